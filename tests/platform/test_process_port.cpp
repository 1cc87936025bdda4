// The port-identity program: its printed number, else its exit status.
#include "platform/PortIdentity.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sys/stat.h>

using namespace platform;

namespace {

std::string script(const testsupport::TempDir& dir, const std::string& body)
{
    dir.write("usbdos", "#!/bin/sh\n" + body + "\n");
    ::chmod(dir.file("usbdos").c_str(), 0755);
    return dir.file("usbdos");
}

} // namespace

TEST(PortIdentity, NumberFromOutputElseExitStatus)
{
    testsupport::TempDir dir;
    struct Case {
        const char* body;
        uint32_t expected;
    } cases[] = {
        {"echo 123", 123},
        {"printf ' 1234\\r\\n'", 1234},
        {"echo 2147483647", 2147483647u},
        {"echo 2147483648", 0},     // beyond the signed range the digits are taken in
        {"echo 12x", 0},            // not a number
        {"echo -5", 0},
        {"exit 45", 45},            // prints nothing: the exit status counts
        {"echo; exit 7", 7},        // blank output is nothing printed
        {"echo \"$1\"", 5},         // the argument arrives as given
        {"kill -KILL $$", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(RunPortIdentityProgram(script(dir, c.body), 5, 5000), c.expected) << c.body;
    EXPECT_EQ(RunPortIdentityProgram(dir.file("missing"), 5, 5000), 0u);
}

TEST(PortIdentity, AProgramPastItsLimitCountsAsNoIdentity)
{
    testsupport::TempDir dir;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RunPortIdentityProgram(script(dir, "echo 123; sleep 30"), 1, 100), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
}
