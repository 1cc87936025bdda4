#include "platform/PortIdentity.h"
#include "platform/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <future>
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

ProcessOptions captured(uint32_t timeoutMs = 0, std::string stdinPath = "")
{
    ProcessOptions o;
    o.captureOutput = true;
    o.timeoutMs = timeoutMs;
    o.stdinPath = std::move(stdinPath);
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

TEST(Process, FeedsStandardInputFromAFileAndSetsEnvironmentAndFolder)
{
    testsupport::TempDir dir;
    dir.write("answers.txt", "y\r\nline two\n");
    EXPECT_EQ(RunProcess({"cat"}, captured(2000, dir.file("answers.txt"))).output, "y\r\nline two\n");
    EXPECT_EQ(RunProcess({"cat"}, captured()).output, "") << "never our own standard input";
    // Started without standard input, the input file takes descriptor 0, and gives it back.
    const int input = ::dup(0);
    ::close(0);
    const std::string fed = RunProcess({"cat"}, captured(2000, dir.file("answers.txt"))).output;
    const bool kept = ::fcntl(0, F_GETFD) != -1;
    ::dup2(input, 0), ::close(input);
    EXPECT_EQ(fed, "y\r\nline two\n");
    EXPECT_FALSE(kept);
    auto r = RunProcess({"cat"}, captured(2000, dir.file("missing.txt")));
    EXPECT_TRUE(!r.started && r.error.find("missing.txt") != std::string::npos) << r.error;

    ProcessOptions o = captured();
    o.environment = {{"MPTOOL_PROBE", "x y"}, {"PATH", "/usr/bin:/bin"}};
    o.workingDir = dir.path();
    EXPECT_EQ(RunProcess({"sh", "-c", "echo \"$MPTOOL_PROBE\"; echo \"$PATH\"; pwd"}, o).output,
              "x y\n/usr/bin:/bin\n" + dir.path() + "\n");

    // A named pipe that nobody writes to is an empty input, not a wait.
    ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0600), 0);
    o = captured(2000, dir.file("pipe"));
    auto finished = std::async(std::launch::async, [&] { return RunProcess({"cat"}, o); });
    bool returned = finished.wait_for(std::chrono::seconds(3)) == std::future_status::ready;
    if (!returned) // a writer releases the runner, so that the test ends either way
        ::close(::open(dir.file("pipe").c_str(), O_WRONLY | O_NONBLOCK));
    r = finished.get();
    EXPECT_TRUE(returned) << "opening the input waited for a writer";
    EXPECT_TRUE(r.succeeded() && r.output.empty()) << r.error;
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

TEST(Process, AChildReapedElsewhereEndsTheWaitWithAReason)
{
    // With SIGCHLD ignored the system reaps children itself, so their end cannot be read.
    struct sigaction ignore {}, old {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGCHLD, &ignore, &old), 0);
    auto r = RunProcess({"true"}, captured(60000));
    ::sigaction(SIGCHLD, &old, nullptr);
    EXPECT_TRUE(r.started && !r.timedOut && !r.succeeded()) << "the wait ends when the child does";
    EXPECT_NE(r.error.find("cannot wait for true"), std::string::npos) << r.error;
}

TEST(PortIdentity, NumberFromOutputElseExitStatusAndNothingPastTheLimit)
{
    testsupport::TempDir dir;
    auto script = [&](const std::string& body) {
        dir.write("usbdos", "#!/bin/sh\n" + body + "\n");
        ::chmod(dir.file("usbdos").c_str(), 0755);
        return dir.file("usbdos");
    };
    const std::pair<const char*, uint32_t> cases[] = {{"echo 123", 123}, {"printf ' 1234\\r\\n'", 1234}, {"echo 2147483647", 2147483647u},
        {"echo 2147483648", 0}, {"echo 12x", 0}, {"echo -5", 0}, {"kill -KILL $$", 0}, {"echo \"$1\"", 5}, // the argument as given
        {"exit 45", 45}, {"echo; exit 7", 7}}; // nothing or a blank line printed: the exit status counts
    for (const auto& [body, expected] : cases)
        EXPECT_EQ(RunPortIdentityProgram(script(body), 5, 5000), expected) << body;
    EXPECT_EQ(RunPortIdentityProgram(dir.file("missing"), 5, 5000), 0u);

    auto start = Clock::now();
    EXPECT_EQ(RunPortIdentityProgram(script("echo 123; sleep 30"), 1, 100), 0u);
    EXPECT_LT(Clock::now() - start, milliseconds(1000));
}
