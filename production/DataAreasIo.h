#pragma once
// File handling shared by the data-area operations: binary files opened through the
// program folder, closed on every return, their sizes measured once and checked.
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace dataareas {

class BinaryFile {
public:
    // mode as for fopen ("rb", "wb"); the path resolves against the program folder.
    BinaryFile(const std::string& path, const char* mode);
    ~BinaryFile();
    BinaryFile(const BinaryFile&) = delete;
    BinaryFile& operator=(const BinaryFile&) = delete;

    bool isOpen() const { return f_ != nullptr; }
    std::FILE* get() const { return f_; }
    // Size of an open regular file; nothing for a folder or when it cannot be measured.
    std::optional<uint64_t> size() const;
    // Reads exactly length bytes at offset; false on a short read.
    bool readAt(uint64_t offset, uint8_t* buffer, size_t length);
    bool close(); // false when buffered output could not be written

private:
    std::FILE* f_ = nullptr;
};

// True when the path names an existing regular file.
bool IsExistingFile(const std::string& path);

// Output written beside its final name and renamed over it only once it is complete, so a
// failed run never leaves a half-written file in place of the previous good one.
class OutputFile {
public:
    explicit OutputFile(const std::string& path);
    ~OutputFile(); // removes the temporary file unless committed
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool isOpen() const { return file_.isOpen(); }
    bool write(const uint8_t* data, size_t length);
    bool commit();

private:
    std::string final_;
    std::string temporary_;
    BinaryFile file_;
    bool committed_ = false;
};

} // namespace dataareas
