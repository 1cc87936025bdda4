#include "ImageTestTools.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace imagetest {
namespace {

uint32_t GetU32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

} // namespace

ToolRun Run(const std::vector<std::string>& argv) {
    ToolRun result;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "MTOOLS_SKIP_CHECK=", 18) != 0 && std::strncmp(*e, "LD_PRELOAD=", 11) != 0)
            env.push_back(*e);
    env.push_back("MTOOLS_SKIP_CHECK=1");
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (rc != 0) {
        ::close(pipeFds[0]);
        result.output = "cannot start " + argv[0];
        return result;
    }
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(pipeFds[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        result.output.append(buf, size_t(n));
    }
    ::close(pipeFds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

bool ReadImageHeader(const std::string& imagePath, ImageContents& contents, std::string& error) {
    FILE* f = std::fopen(imagePath.c_str(), "rb");
    if (!f) {
        error = "cannot open " + imagePath;
        return false;
    }
    uint8_t h[512];
    const bool ok = std::fread(h, 1, sizeof h, f) == sizeof h;
    std::fclose(f);
    if (!ok || std::memcmp(h, "61X5 IMG\0", 9) != 0) {
        error = "no image header";
        return false;
    }
    contents.diskSizeMB = GetU32(h + 12);
    for (int v = 0; v < 2; ++v) {
        contents.volumes[v].sectorSize = GetU32(h + 16 + 16 * v);
        contents.volumes[v].firstRecordOffset = GetU32(h + 20 + 16 * v);
        contents.volumes[v].recordCount = GetU32(h + 24 + 16 * v);
    }
    return true;
}

bool ExtractVolume(const std::string& imagePath, uint32_t index, const std::string& rawPath, std::string& error) {
    ImageContents c;
    if (!ReadImageHeader(imagePath, c, error))
        return false;
    const ImageVolume& v = c.volumes[index];
    if (v.sectorSize != 512u << index) {
        error = "volume " + std::to_string(index) + " has sector size " + std::to_string(v.sectorSize);
        return false;
    }
    const uint64_t volumeBytes = uint64_t(c.diskSizeMB) << 20;
    const uint64_t sectors = volumeBytes / v.sectorSize;
    FILE* in = std::fopen(imagePath.c_str(), "rb");
    const int out = ::open(rawPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = in && out >= 0 && ::ftruncate(out, off_t(volumeBytes)) == 0 &&
              fseeko(in, v.firstRecordOffset, SEEK_SET) == 0;
    std::vector<uint8_t> record(4 + v.sectorSize);
    for (uint32_t r = 0; ok && r < v.recordCount; ++r) {
        if (std::fread(record.data(), 1, record.size(), in) != record.size()) {
            error = "record " + std::to_string(r) + " is cut short";
            ok = false;
            break;
        }
        const uint32_t sector = GetU32(record.data());
        if (sector >= sectors) {
            error = "record " + std::to_string(r) + " names sector " + std::to_string(sector) + " past the volume";
            ok = false;
            break;
        }
        if (::pwrite(out, record.data() + 4, v.sectorSize, off_t(uint64_t(sector) * v.sectorSize)) !=
            ssize_t(v.sectorSize)) {
            error = "cannot write " + rawPath;
            ok = false;
        }
    }
    if (in)
        std::fclose(in);
    if (out >= 0)
        ::close(out);
    if (!ok && error.empty())
        error = "cannot extract volume " + std::to_string(index);
    return ok;
}

void WritePatternFile(const std::string& path, uint64_t size, uint32_t seed) {
    FILE* f = std::fopen(path.c_str(), "wb");
    std::vector<uint8_t> block(65536);
    uint32_t x = seed * 2654435761u + 1;
    for (uint64_t done = 0; done < size;) {
        const size_t n = size_t(std::min<uint64_t>(block.size(), size - done));
        for (size_t i = 0; i < n; ++i) {
            x = x * 1103515245u + 12345u;
            block[i] = uint8_t(x >> 16);
        }
        std::fwrite(block.data(), 1, n, f);
        done += n;
    }
    std::fclose(f);
}

void MakeDirs(const std::string& path) {
    std::filesystem::create_directories(path);
}

std::string FsckComplaints(const std::string& rawPath) {
    const ToolRun r = Run({"fsck.fat", "-n", rawPath});
    // A clean volume gives the version line, the summary line, and exit code 0.
    std::string lines;
    size_t start = 0;
    while (start < r.output.size()) {
        size_t end = r.output.find('\n', start);
        if (end == std::string::npos)
            end = r.output.size();
        const std::string line = r.output.substr(start, end - start);
        start = end + 1;
        if (line.rfind("fsck.fat ", 0) == 0 || line.find(" files, ") != std::string::npos ||
            line.find("Checking we can access") != std::string::npos || line.empty())
            continue;
        lines += line + "\n";
    }
    if (r.exitCode != 0 && lines.empty())
        lines = "exit code " + std::to_string(r.exitCode) + "\n" + r.output;
    return lines;
}

} // namespace imagetest
