#pragma once
// What the benchmarks share: child processes timed with their peak memory, medians, and
// the one CSV line each figure is printed as:
//
//   figure,median,unit,target,met,repetitions
//
// `target` is empty for a figure that has none; `met` is then empty too.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace bench {

// The options bench/run hands every image and copy benchmark: repetitions and the folder
// their scratch trees go in.
struct Options {
    int reps = 5;
    std::string base = std::filesystem::temp_directory_path().string();
};
inline Options ReadOptions(int argc, char** argv)
{
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--reps"))
            o.reps = std::max(1, std::atoi(argv[i + 1]));
        else if (!std::strcmp(argv[i], "--work"))
            o.base = argv[i + 1];
    }
    return o;
}

inline double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

inline double Median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct ChildRun {
    bool ok = false;
    double seconds = 0;
    double peakMiB = 0;   // the child's peak resident memory
    std::string output;   // its standard output
};

// Runs a program from an argument list (searched in PATH) and waits for it; standard
// output is captured, standard error passes through.
inline ChildRun RunChild(const std::vector<std::string>& argv)
{
    ChildRun run;
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    const double start = Now();
    pid_t pid;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (rc != 0) {
        close(pipeFds[0]);
        return run;
    }
    char buffer[4096];
    ssize_t n;
    while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0)
        run.output.append(buffer, size_t(n));
    close(pipeFds[0]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    run.seconds = Now() - start;
    run.peakMiB = double(usage.ru_maxrss) / 1024.0;
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

// "key=value" pairs of a child's output, one per line.
inline double Value(const std::string& output, const std::string& key)
{
    const std::string wanted = key + "=";
    size_t at = 0;
    while ((at = output.find(wanted, at)) != std::string::npos) {
        if (at == 0 || output[at - 1] == '\n')
            return std::atof(output.c_str() + at + wanted.size());
        at += wanted.size();
    }
    return 0;
}

enum class Goal { None, AtMost, Below };

// One figure: the median of its repetitions, checked against its target.
inline bool Figure(const std::string& name, const std::vector<double>& values, const char* unit,
                   Goal goal = Goal::None, double target = 0)
{
    const double median = Median(values);
    bool met = true;
    std::string targetText;
    if (goal != Goal::None) {
        char t[64];
        std::snprintf(t, sizeof t, "%s%g", goal == Goal::AtMost ? "<=" : "<", target);
        targetText = t;
        met = goal == Goal::AtMost ? median <= target : median < target;
    }
    std::printf("%s,%.4g,%s,%s,%s,%zu\n", name.c_str(), median, unit, targetText.c_str(),
                goal == Goal::None ? "" : (met ? "yes" : "no"), values.size());
    std::fflush(stdout);
    return met;
}

inline double CpuSeconds(int who = RUSAGE_SELF)
{
    rusage u{};
    getrusage(who, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

} // namespace bench
