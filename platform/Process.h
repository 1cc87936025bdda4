#pragma once
// Runs an outside program from an argument list (never through a shell), waits for it
// with a time limit and reports how it ended. A child still running at its limit is
// killed together with its process group, which is its own: nothing else is touched.
// Safe to call from any thread; each call waits only for its own child.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace platform {

struct ProcessOptions {
    // File fed to the child's standard input; "" gives it /dev/null.
    std::string stdinPath;
    // Real-time limit in milliseconds; 0 waits without a limit.
    uint32_t timeoutMs = 0;
    // Collect standard output (and standard error, kept apart) into the result.
    bool captureOutput = false;
    // Variables set (or replaced) in the child's environment on top of ours.
    std::vector<std::pair<std::string, std::string>> environment;
    // Folder the child starts in; "" keeps ours.
    std::string workingDir;
};

struct ProcessResult {
    bool started = false;    // false: the program could not be started (see error)
    bool timedOut = false;   // ran past its limit and was killed
    int exitCode = -1;       // exit status when it ended by itself
    int signal = 0;          // the signal that ended it, 0 when it exited
    int pid = 0;             // the child's process id, once started
    std::string output;      // standard output, when captured (at most 1 MiB kept)
    std::string errorOutput; // standard error, when captured (at most 1 MiB kept)
    std::string error;       // why it failed to start or to be waited for

    // Ended by itself, within its limit, with exit status 0.
    bool succeeded() const { return started && !timedOut && signal == 0 && exitCode == 0; }
};

// argv[0] names the program: a path when it holds a '/', else searched in PATH.
ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// The full path of a program found in the given search path (colon-separated folders,
// "" = the PATH of this process), or "" when no executable file of that name is there.
std::string FindProgram(const std::string& name, const std::string& searchPath = "");

} // namespace platform
