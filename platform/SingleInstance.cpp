// One running program per station folder: the lock and the raise requests.
#include "platform/SingleInstance.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform {

namespace {

// The socket lives in the abstract namespace: no file to clean up, no 108-byte path limit
// on deep station folders. Its name is tied to the lock file, so each station folder has
// its own pair.
sockaddr_un abstractAddress(const std::string& name, socklen_t& length)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string text = name.substr(0, sizeof addr.sun_path - 2);
    addr.sun_path[0] = '\0';
    std::memcpy(addr.sun_path + 1, text.data(), text.size());
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + text.size());
    return addr;
}

bool askToRaise(const std::string& socketName)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    socklen_t len = 0;
    sockaddr_un addr = abstractAddress(socketName, len);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0;
    if (ok) {
        const char msg[] = "raise\n";
        ok = send(fd, msg, sizeof msg - 1, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof msg - 1);
    }
    close(fd);
    return ok;
}

} // namespace

SingleInstance::SingleInstance(std::string name, std::string folder) : name_(std::move(name))
{
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    lockPath_ = folder + "/" + name_ + ".lock";
    socketName_ = "mptool:" + std::to_string(std::hash<std::string>{}(lockPath_)) + ":" + name_;
}

SingleInstance::~SingleInstance() { release(); }

bool SingleInstance::CheckPreviousInstance()
{
    if (lockFd_ >= 0)
        return false;
    int fd = open(lockPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        // A program folder we cannot write to: the lock goes to the runtime folder,
        // still named after this program folder.
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        std::string folder = runtime && *runtime ? runtime : "/tmp";
        lockPath_ = folder + "/mptool-" + std::to_string(std::hash<std::string>{}(lockPath_)) + "-" + name_ + ".lock";
        fd = open(lockPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    }
    if (fd < 0)
        return false; // no lock at all: the program runs rather than refusing every start
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        askToRaise(socketName_);
        return true;
    }
    lockFd_ = fd;
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s >= 0) {
        socklen_t len = 0;
        sockaddr_un addr = abstractAddress(socketName_, len);
        if (bind(s, reinterpret_cast<sockaddr*>(&addr), len) == 0 && listen(s, 4) == 0)
            listenFd_ = s;
        else
            close(s);
    }
    return false;
}

int SingleInstance::takeRaiseRequests()
{
    if (listenFd_ < 0)
        return 0;
    int count = 0;
    for (;;) {
        int c = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0)
            break;
        // The asking side writes its request and closes at once; wait a moment for it.
        timeval tv{0, 200000};
        setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        char buf[16] = {};
        ssize_t n = recv(c, buf, sizeof buf - 1, 0);
        if (n > 0 && std::strncmp(buf, "raise", 5) == 0)
            ++count;
        close(c);
    }
    return count;
}

void SingleInstance::release()
{
    if (listenFd_ >= 0) {
        close(listenFd_);
        listenFd_ = -1;
    }
    if (lockFd_ >= 0) {
        flock(lockFd_, LOCK_UN);
        close(lockFd_);
        lockFd_ = -1;
    }
}

} // namespace platform
