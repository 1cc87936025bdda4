// Running an outside program with a time limit.
#include "platform/Process.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace platform {

namespace {

constexpr size_t kMaxCaptured = 1u << 20;

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

std::string errnoText(const std::string& what, int err)
{
    return what + ": " + std::strerror(err);
}

void appendCapped(std::string& into, const char* data, size_t size)
{
    size_t room = into.size() < kMaxCaptured ? kMaxCaptured - into.size() : 0;
    into.append(data, std::min(room, size));
}

// Reads what a pipe holds now into 'into' (kept up to the cap). Returns false at end of
// file or on an error, when the pipe is done.
bool readSome(int fd, std::string& into)
{
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            appendCapped(into, buf, static_cast<size_t>(n));
            return true;
        }
        if (n == 0)
            return false;
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
}

// After the child has ended, takes what is left in a pipe without waiting for an end of
// file that a leftover grandchild could hold back.
void drain(Fd& fd, std::string& into)
{
    if (!fd.valid())
        return;
    int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags >= 0)
        ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK);
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n > 0) {
            appendCapped(into, buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
    fd.reset();
}

std::vector<std::string> buildEnvironment(const ProcessOptions& options)
{
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        std::string entry(*e);
        bool replaced = false;
        for (const auto& [name, value] : options.environment)
            if (entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 &&
                entry[name.size()] == '=')
                replaced = true;
        if (!replaced)
            env.push_back(std::move(entry));
    }
    for (const auto& [name, value] : options.environment)
        env.push_back(name + "=" + value);
    return env;
}

enum class Wait { Ended, Running, Lost };

// Lost: the child can no longer be waited for, typically because something else in this
// process reaped it (SIGCHLD ignored); its end and exit status are then unknown.
Wait waitExited(pid_t pid, int options, int& status)
{
    for (;;) {
        pid_t r = ::waitpid(pid, &status, options);
        if (r == pid)
            return Wait::Ended;
        if (r == 0)
            return Wait::Running;
        if (errno == EINTR)
            continue;
        return Wait::Lost;
    }
}

void recordStatus(int status, ProcessResult& result)
{
    if (WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
}

// The child's standard descriptors: input from a file (or /dev/null) and, when output is
// captured, a pipe each for its output and error output. Whatever is open closes with it.
struct ChildFds {
    Fd input;
    Fd outRead, outWrite, errRead, errWrite;
};

// Opens what the child reads and writes; false with result.error set.
bool openChildFds(const ProcessOptions& options, ChildFds& fds, ProcessResult& result)
{
    const std::string inputPath = options.stdinPath.empty() ? "/dev/null" : options.stdinPath;
    // Opened without waiting, so that a pipe nobody writes to cannot hold us here; the
    // child then reads it as empty.
    fds.input.reset(::open(inputPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fds.input.valid()) {
        result.error = errnoText("cannot open " + inputPath, errno);
        return false;
    }
    int inputFlags = ::fcntl(fds.input.get(), F_GETFL);
    if (inputFlags >= 0)
        ::fcntl(fds.input.get(), F_SETFL, inputFlags & ~O_NONBLOCK);
    if (!options.captureOutput)
        return true;
    int outPipe[2] = {-1, -1};
    int errPipe[2] = {-1, -1};
    if (::pipe2(outPipe, O_CLOEXEC) != 0) {
        result.error = errnoText("pipe", errno);
        return false;
    }
    fds.outRead.reset(outPipe[0]);
    fds.outWrite.reset(outPipe[1]);
    if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        result.error = errnoText("pipe", errno);
        return false;
    }
    fds.errRead.reset(errPipe[0]);
    fds.errWrite.reset(errPipe[1]);
    return true;
}

// Starts argv with the child's ends of fds as its standard descriptors, in a process group
// of its own and with default signal handling. 0 with pid set, or the error number.
int spawnChild(const std::vector<std::string>& argv, const ProcessOptions& options, const ChildFds& fds,
               pid_t& pid)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds.input.get(), STDIN_FILENO);
    if (options.captureOutput) {
        posix_spawn_file_actions_adddup2(&actions, fds.outWrite.get(), STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, fds.errWrite.get(), STDERR_FILENO);
    }
    // Descriptors that other threads open without close-on-exec stay out of the child.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    if (!options.workingDir.empty())
        posix_spawn_file_actions_addchdir_np(&actions, options.workingDir.c_str());

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t mask;
    sigemptyset(&mask);
    posix_spawnattr_setsigmask(&attr, &mask);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGQUIT, SIGHUP, SIGCHLD, SIGALRM, SIGUSR1, SIGUSR2})
        sigaddset(&defaults, sig);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    // A group of its own, so that a time-out kills the child and what it started, only.
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> envStrings = buildEnvironment(options);
    std::vector<char*> envp;
    for (auto& e : envStrings)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argStrings(argv);
    std::vector<char*> args;
    for (auto& a : argStrings)
        args.push_back(a.data());
    args.push_back(nullptr);

    int rc;
    if (argv[0].find('/') != std::string::npos)
        rc = ::posix_spawn(&pid, args[0], &actions, &attr, args.data(), envp.data());
    else
        rc = ::posix_spawnp(&pid, args[0], &actions, &attr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return rc;
}

// Collects the child's output until it ends: true with its status (or the lost wait) in
// result and the pipes drained. False when the time ran out or polling failed (error set);
// the caller then ends the child.
bool superviseChild(pid_t pid, const std::string& program, const ProcessOptions& options, ChildFds& child,
                    ProcessResult& result)
{
    Fd& outRead = child.outRead;
    Fd& errRead = child.errRead;
    Fd pidFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    using SteadyClock = std::chrono::steady_clock;
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(options.timeoutMs);
    int status = 0;
    for (;;) {
        pollfd fds[3];
        nfds_t count = 0;
        int outIndex = -1, errIndex = -1, pidIndex = -1;
        if (outRead.valid()) {
            outIndex = static_cast<int>(count);
            fds[count++] = {outRead.get(), POLLIN, 0};
        }
        if (errRead.valid()) {
            errIndex = static_cast<int>(count);
            fds[count++] = {errRead.get(), POLLIN, 0};
        }
        if (pidFd.valid()) {
            pidIndex = static_cast<int>(count);
            fds[count++] = {pidFd.get(), POLLIN, 0};
        }
        int waitMs = -1;
        if (options.timeoutMs > 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
            waitMs = static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
        }
        // Without a process descriptor the child's end is found by polling now and then.
        if (!pidFd.valid() && (waitMs < 0 || waitMs > 10))
            waitMs = 10;
        int n = ::poll(fds, count, waitMs);
        if (n < 0 && errno != EINTR) {
            result.error = errnoText("poll", errno);
            return false;
        }
        if (n > 0) {
            if (outIndex >= 0 && fds[outIndex].revents && !readSome(outRead.get(), result.output))
                outRead.reset();
            if (errIndex >= 0 && fds[errIndex].revents && !readSome(errRead.get(), result.errorOutput))
                errRead.reset();
        }
        bool mayHaveEnded = !pidFd.valid() || (n > 0 && pidIndex >= 0 && fds[pidIndex].revents);
        Wait state = mayHaveEnded ? waitExited(pid, WNOHANG, status) : Wait::Running;
        if (state != Wait::Running) {
            if (state == Wait::Ended)
                recordStatus(status, result);
            else
                result.error = errnoText("cannot wait for " + program, errno);
            // A lost child's process id may already belong to another process: no kill.
            drain(outRead, result.output);
            drain(errRead, result.errorOutput);
            return true;
        }
        if (options.timeoutMs > 0 && SteadyClock::now() >= deadline)
            return false;
    }
}

} // namespace

std::string FindProgram(const std::string& name, const std::string& searchPath)
{
    auto isExecutable = [](const std::string& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
    };
    if (name.empty())
        return "";
    if (name.find('/') != std::string::npos)
        return isExecutable(name) ? name : "";
    std::string path = searchPath;
    if (path.empty()) {
        const char* env = std::getenv("PATH");
        path = env ? env : "/usr/local/bin:/usr/bin:/bin";
    }
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(':', start);
        if (end == std::string::npos)
            end = path.size();
        std::string folder = path.substr(start, end - start);
        // An empty entry would mean the current folder, which this program never uses.
        if (!folder.empty()) {
            std::string candidate = folder + "/" + name;
            if (isExecutable(candidate))
                return candidate;
        }
        start = end + 1;
    }
    return "";
}

// In order: open the child's descriptors, start it, close our copies of its ends (so its
// output reaches an end of file when it ends), then collect its output until it ends or
// the time runs out, when it and its group are killed and reaped.
ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options)
{
    ProcessResult result;
    if (argv.empty() || argv[0].empty()) {
        result.error = "no program given";
        return result;
    }

    ChildFds fds;
    if (!openChildFds(options, fds, result))
        return result;
    pid_t pid = 0;
    const int rc = spawnChild(argv, options, fds, pid);
    fds.input.reset();
    fds.outWrite.reset();
    fds.errWrite.reset();
    if (rc != 0) {
        result.error = errnoText("cannot start " + argv[0], rc);
        return result;
    }
    result.started = true;
    result.pid = pid;
    if (superviseChild(pid, argv[0], options, fds, result))
        return result;

    // Past the limit (or the wait itself failed): end our child and its group, then reap it.
    result.timedOut = result.error.empty();
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    int status = 0;
    if (waitExited(pid, 0, status) == Wait::Ended)
        recordStatus(status, result);
    drain(fds.outRead, result.output);
    drain(fds.errRead, result.errorOutput);
    return result;
}

} // namespace platform
