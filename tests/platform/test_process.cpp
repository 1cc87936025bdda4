#include "platform/PortIdentity.h"
#include "platform/Process.h"
#include "platform/SingleInstance.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <csignal>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
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
    r = RunProcess({"sh", "-c", "echo not captured >&2; kill -9 $$"});
    EXPECT_TRUE(r.started && !r.timedOut && r.signal == SIGKILL && !r.succeeded() && r.errorOutput.empty());
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

// One copy per station folder. Run in a child whose descriptor 0 is closed: the lock file
// and the sockets may get 0 when the program starts without standard input.
TEST(SingleInstance, OneCopyPerFolderAlsoOnDescriptorZero)
{
    testsupport::TempDir dir;
    const pid_t child = ::fork();
    if (child == 0) {
        using platform::SingleInstance;
        SingleInstance first("MP3 Tool", dir.path() + "//"), second("MP3 Tool", dir.path());
        bool ok = !first.CheckPreviousInstance() && first.owns();
        ::close(0);  // the second's lock file and its raise request take descriptor 0, one after the other
        ok = ok && second.CheckPreviousInstance() && !second.owns() && first.takeRaiseRequests() == 1;
        first.release();
        SingleInstance third("MP3 Tool", dir.path());  // its lock gets descriptor 0
        ok = ok && !third.CheckPreviousInstance() && third.owns() && !third.CheckPreviousInstance();
        third.release();
        ok = ok && !second.CheckPreviousInstance() && second.owns() && second.listenFd() >= 0;
        // A folder that takes no file: the lock goes to the runtime folder, else /tmp.
        for (const std::string& runtime : {dir.path(), std::string()}) {
            ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
            SingleInstance away("MP3 Tool", "/nonexistent/station"), again("MP3 Tool", "/nonexistent/station");
            ok = ok && !away.CheckPreviousInstance() && again.CheckPreviousInstance() &&
                 away.lockPath().rfind((runtime.empty() ? "/tmp" : runtime) + "/mptool-", 0) == 0;
            ::unlink(away.lockPath().c_str());
        }
        ::_exit(ok ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// The port number: printed (blanks around it), else the exit status; 0 for anything else.
TEST(PortIdentity, PrintedNumberElseExitStatus)
{
    testsupport::TempDir dir;
    dir.write("port", "#!/bin/sh\ncase $1 in 1) printf ' \\t42\\r\\n';; 2) exit 7;; 3) printf ' \\n'; exit 5;; 4) printf 4x; exit 3;;\n"
                      "5) printf 2147483647;; 6) printf 2147483648; exit 3;; 7) printf '9 1';; 8) kill -9 $$;; 9) printf 9; exit 3;; esac\n");
    std::filesystem::permissions(dir.file("port"), std::filesystem::perms::owner_all);
    const uint32_t expected[] = {42, 7, 5, 0, 2147483647, 0, 0, 0, 9};
    for (int n = 1; n <= 9; ++n)
        EXPECT_EQ(RunPortIdentityProgram(dir.file("port"), n, 5000), expected[n - 1]) << n;
    EXPECT_EQ(RunPortIdentityProgram(dir.file("none"), 1, 5000), 0u);
}
