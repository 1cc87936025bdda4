// Telling the operator, once per device, why a real device cannot be driven.
#include "platform/DeviceAccess.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <map>
#include <unistd.h>

namespace platform {

namespace {

std::mutex g_mutex;
std::function<void(const std::string&)> g_reporter;
std::map<std::string, AccessRefusal> g_reported;

std::string programPath()
{
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path); // no terminator
    return n == -1 ? std::string("mptool") : std::string(path, size_t(n));
}

std::string text(const std::string& node, AccessRefusal what, int error)
{
    const std::string why = std::strerror(error);
    if (what == AccessRefusal::Open)
        return node + ": the device cannot be opened for reading and writing (" + why +
               "). The operator needs read-write access to its nodes: install dist/60-mptool.rules in "
               "/etc/udev/rules.d and join its group mptool, or run mptool as root.";
    return node + ": the kernel refused a vendor command (SG_IO: " + why +
           "). Vendor commands need the CAP_SYS_RAWIO capability: run 'sudo setcap cap_sys_rawio+ep " +
           programPath() + "' or run mptool as root.";
}

} // namespace

void SetDeviceAccessReporter(std::function<void(const std::string& text)> reporter)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_reporter = std::move(reporter);
}

bool ReportAccessRefused(const std::string& node, AccessRefusal what, int error)
{
    std::function<void(const std::string&)> reporter;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!g_reported.emplace(node, what).second)
            return false;
        reporter = g_reporter;
    }
    const std::string line = text(node, what, error);
    std::fprintf(stderr, "mptool: %s\n", line.c_str());
    if (reporter)
        reporter(line);
    return true;
}

std::string AccessRefusalReason(const std::string& node)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    const auto it = g_reported.find(node);
    if (it == g_reported.end())
        return "";
    return it->second == AccessRefusal::Open ? "No access: node permissions" : "No access: CAP_SYS_RAWIO";
}

void ForgetAccessRefusal(const std::string& node)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_reported.erase(node);
}

bool IsAccessRefusal(int error)
{
    return error == EPERM || error == EACCES;
}

} // namespace platform
