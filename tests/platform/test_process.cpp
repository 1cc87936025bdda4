#include "platform/PortIdentity.h"
#include "platform/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace platform;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

// Whether a process has ended (a kill is delivered a moment after kill() returns).
bool endsWithin(int pid, int ms)
{
    int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0)
        return true; // already reaped
    pollfd p{fd, POLLIN, 0};
    bool ended = ::poll(&p, 1, ms) == 1;
    ::close(fd);
    return ended;
}

ProcessOptions captured(uint32_t timeoutMs = 0)
{
    ProcessOptions o;
    o.captureOutput = true;
    o.timeoutMs = timeoutMs;
    return o;
}

} // namespace

TEST(Process, PassesArgumentsLiterallyAndCapturesOutputAndStatus)
{
    auto r = RunProcess({"printf", "%s|", "a b", "$HOME;ls", "*", "\"q\""}, captured());
    EXPECT_EQ(r.output, "a b|$HOME;ls|*|\"q\"|");
    r = RunProcess({"sh", "-c", "echo out; echo err >&2; exit 3"}, captured());
    EXPECT_TRUE(r.started && !r.succeeded() && r.exitCode == 3);
    EXPECT_EQ(r.output + r.errorOutput, "out\nerr\n");
    // More than a pipe holds on both outputs: what is left when the child ends is read too.
    r = RunProcess({"sh", "-c", "head -c 300000 /dev/zero; head -c 300000 /dev/zero >&2"}, captured());
    EXPECT_EQ(r.output.size() + r.errorOutput.size(), 600000u);
    r = RunProcess({"sh", "-c", "kill -TERM $$"}, captured());
    EXPECT_TRUE(!r.succeeded() && r.signal == SIGTERM);

    r = RunProcess({"head", "-c", "3000000", "/dev/zero"}, captured(5000));
    EXPECT_TRUE(r.succeeded() && r.output.size() == 1u << 20) << "a capture keeps at most 1 MiB; the child still ends";
    for (const auto& argv : std::vector<std::vector<std::string>>{{"mptool-no-such"}, {"/nonexistent/tool"}, {}}) {
        r = RunProcess(argv, captured());
        EXPECT_FALSE(r.started || r.succeeded());
        EXPECT_NE(r.error.find(argv.empty() ? "" : argv[0]), std::string::npos) << r.error;
    }
}

TEST(Process, TimeLimitKillsTheChildAndItsGroupAndNoGrandchildHoldsTheWait)
{
    auto start = Clock::now();
    auto r = RunProcess({"sh", "-c", "sleep 30 & echo $!; wait"}, captured(200));
    EXPECT_TRUE(r.started && r.timedOut && !r.succeeded() && r.signal == SIGKILL) << "killed and reaped";
    int grandchild = std::atoi(r.output.c_str());
    ASSERT_GT(grandchild, 0);
    EXPECT_TRUE(endsWithin(r.pid, 0));
    EXPECT_TRUE(endsWithin(grandchild, 1000)) << "what the child started goes with it";
    EXPECT_LT(Clock::now() - start, milliseconds(1500));

    // The child ends while a grandchild still holds its output.
    start = Clock::now();
    r = RunProcess({"sh", "-c", "sleep 30 & echo $!"}, captured(5000));
    ASSERT_TRUE(r.succeeded());
    EXPECT_LT(Clock::now() - start, milliseconds(1000));
    if ((grandchild = std::atoi(r.output.c_str())) > 0)
        ::kill(grandchild, SIGKILL);
}

TEST(PortIdentity, NumberFromOutputElseExitStatusAndNothingPastTheLimit)
{
    testsupport::TempDir dir;
    auto script = [&](const std::string& body) {
        dir.write("usbdos", "#!/bin/sh\n" + body + "\n");
        ::chmod(dir.file("usbdos").c_str(), 0755);
        return dir.file("usbdos");
    };
    const std::pair<const char*, uint32_t> cases[] = {{"printf ' 1234\\r\\n'", 1234}, {"echo 2147483648", 0}, {"echo 12x", 0},
        {"kill -KILL $$", 0}, {"echo \"$1\"", 5}, {"echo; exit 7", 7}}; // a blank line printed: the exit status counts
    for (const auto& [body, expected] : cases)
        EXPECT_EQ(RunPortIdentityProgram(script(body), 5, 5000), expected) << body;
    EXPECT_EQ(RunPortIdentityProgram(dir.file("missing"), 5, 5000), 0u);

    auto start = Clock::now();
    EXPECT_EQ(RunPortIdentityProgram(script("echo 123; sleep 30"), 1, 100), 0u);
    EXPECT_LT(Clock::now() - start, milliseconds(1000));
}
