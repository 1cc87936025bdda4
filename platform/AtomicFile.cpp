// Whole-file replacement through a temporary file and a rename.
#include "platform/AtomicFile.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace platform {

bool WriteFileAtomic(const std::string& path, std::string_view bytes)
{
    std::string tmp = path + ".tmp" + std::to_string(getpid()) + "." +
                      std::to_string(reinterpret_cast<uintptr_t>(&bytes) & 0xFFFFFF);
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        done += static_cast<size_t>(n);
    }
    bool ok = done == bytes.size() && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok && ::rename(tmp.c_str(), path.c_str()) == 0)
        return true;
    const int why = errno;  // the caller names it
    ::unlink(tmp.c_str());
    errno = why;
    return false;
}

bool ReadWholeFile(const std::string& path, std::string& bytes, unsigned long long limit)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    if (!error && size > limit) {
        std::fprintf(stderr, "mptool: %s holds %llu bytes, more than the %llu a station file may have: not read\n",
                     path.c_str(), static_cast<unsigned long long>(size), limit);
        errno = EFBIG;
        return false;
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    if (in.bad())
        return false;
    bytes = ss.str();
    return true;
}

bool MakeDirs(const std::string& path)
{
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    return std::filesystem::is_directory(path, ec);
}

} // namespace platform
