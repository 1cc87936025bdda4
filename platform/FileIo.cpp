// Whole reads and writes at a file offset, repeated until every byte has moved.
#include "platform/FileIo.h"

#include <cerrno>
#include <unistd.h>

namespace platform {

bool ReadFullyAt(int fd, void* data, size_t length, uint64_t offset)
{
    auto* at = static_cast<uint8_t*>(data);
    for (size_t done = 0; done < length;) {
        const ssize_t n = ::pread(fd, at + done, length - done, off_t(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            errno = EIO; // the file ends before the bytes asked for
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

bool WriteFullyAt(int fd, const void* data, size_t length, uint64_t offset)
{
    const auto* at = static_cast<const uint8_t*>(data);
    for (size_t done = 0; done < length;) {
        const ssize_t n = ::pwrite(fd, at + done, length - done, off_t(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

} // namespace platform
