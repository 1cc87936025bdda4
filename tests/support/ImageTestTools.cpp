#include "support/ImageTestTools.h"

#include "support/FatCheck.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace imagetest {
namespace {

uint32_t U32(const char* p) {
    const auto* b = reinterpret_cast<const uint8_t*>(p);
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

} // namespace

ToolRun Run(const std::vector<std::string>& argv) {
    const platform::ProcessResult r = testsupport::RunTool(argv);
    return {r.started && !r.timedOut ? (r.signal ? 128 + r.signal : r.exitCode) : -1, r.output + r.errorOutput};
}

bool ExtractVolume(const std::string& imagePath, uint32_t index, const std::string& rawPath, std::string& error) {
    std::ostringstream whole;
    whole << std::ifstream(imagePath, std::ios::binary).rdbuf();
    const std::string img = whole.str();
    const char* entry = img.data() + 16 + 16 * index;  // sector size, first record offset, record count
    if (img.size() < 512 || img.compare(0, 9, std::string("61X5 IMG\0", 9)) != 0 || U32(entry) != 512u << index) {
        error = "no image header for volume " + std::to_string(index) + " in " + imagePath;
        return false;
    }
    const uint32_t size = U32(entry);
    const uint64_t bytes = uint64_t(U32(img.data() + 12)) << 20;
    std::ofstream(rawPath, std::ios::binary | std::ios::trunc);
    fs::resize_file(rawPath, bytes);
    std::fstream out(rawPath, std::ios::binary | std::ios::in | std::ios::out);
    uint64_t at = U32(entry + 4);
    for (uint32_t r = 0; r < U32(entry + 8); ++r, at += 4 + size) {
        if (at + 4 + size > img.size() || U32(&img[at]) >= bytes / size) {
            error = "record " + std::to_string(r) + " is cut short or lies past the volume";
            return false;
        }
        out.seekp(std::streamoff(uint64_t(U32(&img[at])) * size)).write(&img[at + 4], size);
    }
    error = out.flush() ? "" : "cannot write " + rawPath;
    return error.empty();
}

void WritePatternFile(const std::string& path, uint64_t size, uint32_t seed) {
    std::ofstream f(path, std::ios::binary);
    std::string block(65536, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (uint64_t done = 0; done < size; done += block.size()) {
        block.resize(size_t(std::min<uint64_t>(block.size(), size - done)));
        for (char& b : block)
            b = char((x = x * 1103515245u + 12345u) >> 16);
        f.write(block.data(), std::streamsize(block.size()));
    }
}

std::string CheckVolume(const std::string& image, uint32_t v, const std::string& work) {
    const std::string raw = work + "/vol" + std::to_string(v) + ".raw", back = work + "/back" + std::to_string(v);
    std::string error, complaints;
    EXPECT_TRUE(ExtractVolume(image, v, raw, error)) << error;
    // A clean volume gives only the version line and the summary, and exit code 0.
    const ToolRun fsck = Run({"fsck.fat", "-n", raw});
    std::istringstream lines(fsck.output);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line.rfind("fsck.fat ", 0) != 0 && line.find(" files, ") == std::string::npos &&
            line.find("Checking we can access") == std::string::npos)
            complaints += line + "\n";
    EXPECT_TRUE(fsck.exitCode == 0 && complaints.empty()) << "volume " << v << ":\n" << fsck.output;
    fs::remove_all(back);
    fs::create_directories(back);
    const ToolRun r = Run({"mcopy", "-i", raw, "-s", "-n", "-Q", "::/", back});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return back;
}

void ExpectSameTree(const std::string& expected, const std::string& actual) {
    const ToolRun r = Run({"diff", "-r", expected, actual});
    EXPECT_EQ(r.exitCode, 0) << r.output;
}

void ExpectImageHolds(const std::string& image, const std::string& work, const std::string& expected,
                      const std::string& label, uint32_t mb) {
    char h[16] = {};
    std::ifstream(image, std::ios::binary).read(h, sizeof h);
    EXPECT_EQ(U32(h + 12), mb ? mb : U32(h + 12)) << "disk size in MB";
    for (uint32_t v = 0; v < 2; ++v) {
        ExpectSameTree(expected, CheckVolume(image, v, work));
        const std::string shown = Run({"mlabel", "-i", work + "/vol" + std::to_string(v) + ".raw", "-s", "::"}).output;
        EXPECT_NE(shown.find(label), std::string::npos) << shown;
    }
}

ChildEnd InChild(const std::function<std::string()>& body) {
    int fds[2];
    if (::pipe(fds) != 0)
        return {-1, "no pipe"};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        const std::string said = body();
        [[maybe_unused]] ssize_t n = ::write(fds[1], said.data(), said.size());
        ::_exit(0);
    }
    ::close(fds[1]);
    ChildEnd end;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
        end.said.append(buffer, size_t(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    end.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return end;
}

} // namespace imagetest
