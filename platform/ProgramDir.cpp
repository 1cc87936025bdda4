// The program folder that station paths resolve against.
#include "platform/ProgramDir.h"

#include <mutex>
#include <unistd.h>

namespace platform {

namespace {
std::mutex g_mutex;
std::string g_dir;

std::string executableDir()
{
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf); // no terminator
    if (n == -1)
        return ".";
    std::string path(buf, static_cast<size_t>(n));
    auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}
} // namespace

void SetProgramDir(const std::string& dir)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_dir = dir;
    while (g_dir.size() > 1 && g_dir.back() == '/')
        g_dir.pop_back();
}

std::string ProgramDir()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_dir.empty())
        g_dir = executableDir();
    return g_dir;
}

std::string ProgramPath(const std::string& relative)
{
    std::string p = relative;
    for (auto& c : p)
        if (c == '\\')
            c = '/';
    if (!p.empty() && p[0] == '/')
        return p;
    while (p.rfind("./", 0) == 0)
        p.erase(0, 2);
    return ProgramDir() + "/" + p;
}

} // namespace platform
