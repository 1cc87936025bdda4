#pragma once
// Shared pieces of the fuzz harnesses: a program folder of the process's own, files written
// from the input, a device that takes every command.
#include "platform/ProgramDir.h"
#include "platform/ScsiTransport.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <unistd.h>

namespace fuzz {

// A broken invariant stops the fuzzer, which keeps the input as a finding.
[[noreturn]] inline void Fail(const char* file, int line, const char* condition)
{
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
    std::abort();
}
#define FUZZ_CHECK(condition) ((condition) ? void() : fuzz::Fail(__FILE__, __LINE__, #condition))

// A fresh program folder, removed at exit; the name lives on the heap because the removal
// runs after the statics are gone.
inline const std::string& Folder()
{
    static const std::string* folder = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "mptool-fuzz-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            std::abort();
        for (const char* sub : {"/misc", "/flash", "/log"})
            std::filesystem::create_directories(pattern + sub);
        platform::SetProgramDir(pattern);
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(*folder, ec);
        });
        return new std::string(pattern);
    }();
    return *folder;
}

// Removing first spares the flush ext4 does for a file truncated and written again.
inline std::string Put(const std::string& relative, std::string_view bytes)
{
    const std::string path = Folder() + "/" + relative;
    std::remove(path.c_str());
    std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
    return path;
}

inline std::string_view Bytes(const uint8_t* data, size_t size) { return {reinterpret_cast<const char*>(data), size}; }

// Data-in replies read 1 (done); data-out bytes are counted.
struct AcceptingDevice : platform::ScsiTransport {
    bool execute(const uint8_t*, int, platform::Direction direction, uint8_t* buffer, uint32_t length,
                 uint32_t) override
    {
        if (direction == platform::Direction::In && length > 0)
            buffer[0] = 1;
        if (direction == platform::Direction::Out)
            bytesOut += length;
        return true;
    }
    uint64_t bytesOut = 0;
};

} // namespace fuzz
