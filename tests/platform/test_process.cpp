#include "platform/Process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <poll.h>
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

    r = RunProcess({"head", "-c", "3000000", "/dev/zero"}, captured(5000));
    EXPECT_TRUE(r.succeeded() && r.output.size() == 1u << 20) << "a capture keeps at most 1 MiB; the child still ends";
    EXPECT_FALSE(RunProcess({"/nonexistent/tool"}, captured()).started);
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
