#include "support/TempDir.h"

#include "platform/AtomicFile.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace testsupport {

TempDir::TempDir()
{
    std::string base = std::filesystem::temp_directory_path().string() + "/mptool-test-XXXXXX";
    if (!mkdtemp(base.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = base;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void TempDir::write(const std::string& relative, const std::string& bytes) const
{
    std::filesystem::path p(file(relative));
    std::filesystem::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string TempDir::read(const std::string& relative) const
{
    std::string bytes;
    platform::ReadWholeFile(file(relative), bytes);
    return bytes;
}

} // namespace testsupport
