#include "platform/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <thread>

using namespace platform;

namespace {

// Gone or a zombie waiting for its reaper: either way it runs no more.
bool processGone(int pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return true;
    auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

ProcessOptions captured(uint32_t timeoutMs = 0)
{
    ProcessOptions o;
    o.captureOutput = true;
    o.timeoutMs = timeoutMs;
    return o;
}

// For a process that is not our child: waits (without sleeping) until its end is
// visible, since a kill is delivered a moment after kill() returns.
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

} // namespace

TEST(Process, PassesArgumentsLiterallyAndCapturesOutputAndStatus)
{
    auto r = RunProcess({"printf", "%s|", "a b", "$HOME;ls", "*", "\"q\""}, captured());
    ASSERT_TRUE(r.succeeded()) << r.error;
    EXPECT_EQ(r.output, "a b|$HOME;ls|*|\"q\"|");

    r = RunProcess({"sh", "-c", "echo out; echo err >&2; exit 3"}, captured());
    EXPECT_TRUE(r.started);
    EXPECT_FALSE(r.succeeded());
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.output, "out\n");
    EXPECT_EQ(r.errorOutput, "err\n");

    r = RunProcess({"sh", "-c", "kill -TERM $$"}, captured());
    EXPECT_FALSE(r.succeeded());
    EXPECT_EQ(r.signal, SIGTERM);
}

TEST(Process, FeedsStandardInputFromAFileAndSetsEnvironmentAndFolder)
{
    testsupport::TempDir dir;
    dir.write("answers.txt", "y\r\nline two\n");
    ProcessOptions o = captured();
    o.stdinPath = dir.file("answers.txt");
    auto r = RunProcess({"cat"}, o);
    ASSERT_TRUE(r.succeeded()) << r.error;
    EXPECT_EQ(r.output, "y\r\nline two\n");

    // Without an input file the child reads an empty standard input, never ours.
    r = RunProcess({"cat"}, captured());
    ASSERT_TRUE(r.succeeded());
    EXPECT_EQ(r.output, "");

    o = captured();
    o.environment = {{"MPTOOL_PROBE", "x y"}, {"PATH", "/usr/bin:/bin"}};
    o.workingDir = dir.path();
    r = RunProcess({"sh", "-c", "echo \"$MPTOOL_PROBE\"; echo \"$PATH\"; pwd"}, o);
    ASSERT_TRUE(r.succeeded());
    EXPECT_EQ(r.output, "x y\n/usr/bin:/bin\n" + dir.path() + "\n");

    // A named pipe that nobody writes to is an empty input, not a wait.
    ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0600), 0);
    o = captured(2000);
    o.stdinPath = dir.file("pipe");
    std::promise<ProcessResult> done;
    auto finished = done.get_future();
    std::thread runner([&] { done.set_value(RunProcess({"cat"}, o)); });
    bool returned = finished.wait_for(std::chrono::seconds(3)) == std::future_status::ready;
    if (!returned) // a writer releases the runner, so that the test ends either way
        ::close(::open(dir.file("pipe").c_str(), O_WRONLY | O_NONBLOCK));
    runner.join();
    EXPECT_TRUE(returned) << "opening the input waited for a writer";
    r = finished.get();
    EXPECT_TRUE(r.succeeded()) << r.error;
    EXPECT_EQ(r.output, "");

    o.stdinPath = dir.file("missing.txt");
    r = RunProcess({"cat"}, o);
    EXPECT_FALSE(r.started);
    EXPECT_NE(r.error.find("missing.txt"), std::string::npos);
}

TEST(Process, MissingProgramIsAClearFailure)
{
    auto r = RunProcess({"mptool-no-such-program"}, captured());
    EXPECT_FALSE(r.started);
    EXPECT_FALSE(r.succeeded());
    EXPECT_NE(r.error.find("mptool-no-such-program"), std::string::npos);

    r = RunProcess({"/nonexistent/folder/tool"});
    EXPECT_FALSE(r.started);
    r = RunProcess({});
    EXPECT_FALSE(r.started);
}

TEST(Process, TimeLimitKillsTheChildAndItsGroupOnly)
{
    auto start = std::chrono::steady_clock::now();
    auto r = RunProcess({"sleep", "30"}, captured(100));
    EXPECT_TRUE(r.started);
    EXPECT_TRUE(r.timedOut);
    EXPECT_FALSE(r.succeeded());
    EXPECT_TRUE(processGone(r.pid));

    // What the child started goes with it.
    r = RunProcess({"sh", "-c", "sleep 30 & echo $!; wait"}, captured(200));
    EXPECT_TRUE(r.timedOut);
    int grandchild = std::atoi(r.output.c_str());
    ASSERT_GT(grandchild, 0);
    EXPECT_TRUE(processGone(r.pid));
    EXPECT_TRUE(endsWithin(grandchild, 1000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
}

TEST(Process, ReturnsWhenTheChildEndsEvenIfAGrandchildHoldsItsOutput)
{
    auto start = std::chrono::steady_clock::now();
    auto r = RunProcess({"sh", "-c", "sleep 30 & echo $!"}, captured(5000));
    ASSERT_TRUE(r.succeeded());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    int grandchild = std::atoi(r.output.c_str());
    ASSERT_GT(grandchild, 0);
    ::kill(grandchild, SIGKILL);
}

TEST(Process, ManyThreadsRunTheirOwnChildren)
{
    constexpr int kThreads = 8;
    std::string outputs[kThreads];
    bool ok[kThreads] = {};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t, &outputs, &ok] {
            for (int i = 0; i < 5; ++i) {
                auto r = RunProcess({"sh", "-c", "echo $0-$1; exit $0", std::to_string(t), std::to_string(i)}, captured(5000));
                ok[t] = r.started && r.exitCode == t;
                outputs[t] += r.output;
            }
        });
    for (auto& th : threads)
        th.join();
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_TRUE(ok[t]);
        std::string expected;
        for (int i = 0; i < 5; ++i)
            expected += std::to_string(t) + "-" + std::to_string(i) + "\n";
        EXPECT_EQ(outputs[t], expected);
    }
}

TEST(Process, FindProgramSearchesOnlyTheGivenFolders)
{
    testsupport::TempDir dir;
    dir.write("tool", "#!/bin/sh\n");
    dir.write("plain", "data");
    ASSERT_EQ(::chmod(dir.file("tool").c_str(), 0755), 0);
    EXPECT_EQ(FindProgram("tool", "/nonexistent::" + dir.path()), dir.file("tool"));
    EXPECT_EQ(FindProgram("plain", dir.path()), "") << "not executable";
    EXPECT_EQ(FindProgram("sh", dir.path()), "");
}

TEST(Process, AChildReapedElsewhereEndsTheWaitWithAReason)
{
    // With SIGCHLD ignored the system reaps children itself, so their end cannot be read.
    struct sigaction ignore {}, old {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGCHLD, &ignore, &old), 0);
    auto start = std::chrono::steady_clock::now();
    auto r = RunProcess({"true"}, captured(1500));
    ::sigaction(SIGCHLD, &old, nullptr);
    EXPECT_TRUE(r.started);
    EXPECT_FALSE(r.timedOut) << "the wait ends when the child does";
    EXPECT_FALSE(r.succeeded());
    EXPECT_NE(r.error.find("cannot wait for true"), std::string::npos) << r.error;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
}

TEST(Process, ACaptureKeepsAtMostOneMebibyteAndTheChildStillEnds)
{
    auto r = RunProcess({"head", "-c", "3000000", "/dev/zero"}, captured(5000));
    ASSERT_TRUE(r.succeeded()) << r.error;
    EXPECT_EQ(r.output.size(), 1u << 20);
}
