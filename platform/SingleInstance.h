#pragma once
// One running program per station folder. The first instance holds an exclusive lock on a
// file named after the window's design caption and listens on a local socket; a second
// instance finds the lock taken, asks the first through the socket to raise its window,
// and ends. The lock dies with the process, so a crash leaves nothing stale behind.
#include <string>

namespace platform {

class SingleInstance {
public:
    // name: the instance name ("MP3 Tool"); folder: where the lock file lives.
    SingleInstance(std::string name, std::string folder);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // True when another instance holds the lock; that instance has then been asked to
    // raise its window. False when this instance now holds the lock and listens.
    bool CheckPreviousInstance();

    bool owns() const { return lockFd_ >= 0; }
    // The listening socket (for a notifier on the UI thread); -1 when not listening.
    int listenFd() const { return listenFd_; }
    // Accepts the pending requests without blocking; returns how many asked for a raise.
    int takeRaiseRequests();
    // Drops the lock and stops listening, so a new copy may start once the window closes.
    void release();

    const std::string& lockPath() const { return lockPath_; }

private:
    std::string name_;
    std::string lockPath_;
    std::string socketName_;
    int lockFd_ = -1;
    int listenFd_ = -1;
};

} // namespace platform
