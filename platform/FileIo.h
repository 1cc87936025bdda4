#pragma once
// Whole reads and writes at a file offset: pread/pwrite may move fewer bytes than asked
// or be interrupted, so they are repeated until every byte has moved.
#include <cstddef>
#include <cstdint>

namespace platform {

// False on an error or at the end of the file before `length` bytes (errno EIO then).
bool ReadFullyAt(int fd, void* data, size_t length, uint64_t offset);
bool WriteFullyAt(int fd, const void* data, size_t length, uint64_t offset);

} // namespace platform
