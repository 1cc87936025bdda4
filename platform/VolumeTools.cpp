// FAT volume work through dosfstools and mtools.
#include "platform/VolumeTools.h"

#include "platform/FatLabel.h"
#include "platform/Process.h"

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <linux/fs.h>
#include <mutex>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

std::mutex g_configMutex;
VolumeToolConfig g_config;

constexpr uint32_t kFat16ClusterBytes = 8192;
// dosfstools picks FAT32 by itself from this size on; a "FAT" format must not.
constexpr uint64_t kAutoFat32FromBytes = 512ull << 20;

std::string searchPath(const VolumeToolConfig& config)
{
    if (!config.searchPath.empty())
        return config.searchPath;
    const char* env = std::getenv("PATH");
    std::string path = env ? env : "/usr/bin:/bin";
    // The FAT tools live in sbin, which an operator's PATH may lack.
    return path + ":/usr/local/sbin:/usr/sbin:/sbin";
}

ToolOutcome failure(std::string message, bool timedOut = false)
{
    ToolOutcome out;
    out.timedOut = timedOut;
    out.message = std::move(message);
    return out;
}

// A volume that vanished (unplugged, deleted disk file) fails at once, before any tool.
bool volumeThere(const std::string& volume, std::string& message)
{
    struct stat st {};
    if (volume.empty()) {
        message = "no volume";
        return false;
    }
    if (::stat(volume.c_str(), &st) != 0 || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))) {
        message = "volume " + volume + " is not there";
        return false;
    }
    return true;
}

ToolOutcome runTool(const std::string& tool, std::vector<std::string> args, uint32_t timeLimitMs,
                    const std::string& stdinPath = "", std::string* output = nullptr)
{
    VolumeToolConfig config = GetVolumeToolConfig();
    std::string program = FindProgram(tool, searchPath(config));
    if (program.empty())
        return failure(tool + " not found");
    args.insert(args.begin(), program);
    ProcessOptions options;
    options.captureOutput = true;
    options.timeoutMs = timeLimitMs;
    options.stdinPath = stdinPath;
    // mtools takes a plain disk file without a drive configuration; long names in UTF-8.
    options.environment = {{"MTOOLS_SKIP_CHECK", "1"}, {"LC_ALL", "C.UTF-8"}};
    ProcessResult r = RunProcess(args, options);
    if (output)
        *output = r.output;
    if (r.succeeded()) {
        ToolOutcome done;
        done.ok = true;
        return done;
    }
    if (!r.started)
        return failure(r.error);
    if (r.timedOut)
        return failure(tool + " ran past its time limit and was stopped", true);
    if (!r.error.empty()) {
        ToolOutcome out = failure(tool + ": " + r.error);
        out.waitFailed = true;
        return out;
    }
    std::string why = r.errorOutput.empty() ? r.output : r.errorOutput;
    while (!why.empty() && (why.back() == '\n' || why.back() == '\r'))
        why.pop_back();
    std::string status = r.signal ? "signal " + std::to_string(r.signal) : "status " + std::to_string(r.exitCode);
    return failure(tool + " failed (" + status + ")" + (why.empty() ? "" : ": " + why));
}

// "\A\B" or "A/B/" -> "::/A/B"; the root is "::/". mtools reads path components as
// patterns, where '[' opens a character class; "[[]" matches the '[' itself. The last
// component of a name to be made (mmd, a copy's target) is taken literally, so only
// the folders leading to it are escaped then.
std::string mtoolsPath(const std::string& inside, bool lastLiteral = false)
{
    std::string p;
    for (char c : inside)
        p += c == '\\' ? '/' : c;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    if (p.empty() || p[0] != '/')
        p.insert(p.begin(), '/');
    size_t literalFrom = lastLiteral ? p.rfind('/') : p.size();
    std::string out = "::";
    for (size_t i = 0; i < p.size(); ++i)
        out += p[i] == '[' && i < literalFrom ? std::string("[[]") : std::string(1, p[i]);
    return out;
}

bool isRoot(const std::string& inside)
{
    return mtoolsPath(inside) == "::/";
}

struct VolumeGeometry {
    uint64_t bytes = 0;
    uint32_t sectorBytes = 512;
};

VolumeGeometry geometry(const std::string& volume)
{
    VolumeGeometry g;
    struct stat st {};
    if (::stat(volume.c_str(), &st) != 0)
        return g;
    if (S_ISREG(st.st_mode)) {
        g.bytes = static_cast<uint64_t>(st.st_size);
        return g;
    }
    int fd = ::open(volume.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return g;
    uint64_t bytes = 0;
    int sector = 0;
    if (::ioctl(fd, BLKGETSIZE64, &bytes) == 0)
        g.bytes = bytes;
    if (::ioctl(fd, BLKSSZGET, &sector) == 0 && sector >= 512)
        g.sectorBytes = static_cast<uint32_t>(sector);
    ::close(fd);
    return g;
}

} // namespace

void SetVolumeToolConfig(const VolumeToolConfig& config)
{
    std::lock_guard<std::mutex> lock(g_configMutex);
    g_config = config;
}

VolumeToolConfig GetVolumeToolConfig()
{
    std::lock_guard<std::mutex> lock(g_configMutex);
    return g_config;
}

ToolOutcome FormatVolume(const std::string& volume, uint32_t fatFlag, bool quick, const std::string& stdinPath,
                         std::optional<uint32_t> timeLimitMs)
{
    std::string why;
    if (!volumeThere(volume, why))
        return failure(why);
    VolumeGeometry g = geometry(volume);
    std::vector<std::string> args;
    if (fatFlag == 255 || fatFlag == 0) {
        if (g.bytes >= kAutoFat32FromBytes)
            args.insert(args.end(), {"-F", "16"});
        if (fatFlag == 255) {
            uint32_t perCluster = g.sectorBytes >= kFat16ClusterBytes ? 1 : kFat16ClusterBytes / g.sectorBytes;
            args.insert(args.end(), {"-s", std::to_string(perCluster)});
        }
    } else {
        args.insert(args.end(), {"-F", "32"});
    }
    if (!quick)
        args.push_back("-c");
    // The drive map names the node to format; a whole-disk node that once held a
    // partition table is formatted whole, as the device's single volume.
    args.push_back("-I");
    args.push_back(volume);
    return runTool("mkfs.fat", args, timeLimitMs.value_or(GetVolumeToolConfig().formatTimeMs), stdinPath);
}

ToolOutcome WriteVolumeLabel(const std::string& volume, const std::string& label, CodePage cp)
{
    std::optional<FatLabelBytes> bytes;
    if (!label.empty()) {
        std::string problem;
        bytes = EncodeFatLabel(label, cp, problem);
        if (!bytes)
            return failure("the label \"" + label + "\" is refused: " + problem);
    }
    std::string why;
    if (!volumeThere(volume, why))
        return failure(why);
    if (!WriteFatLabel(volume, bytes ? &*bytes : nullptr, why))
        return failure(why);
    ToolOutcome done;
    done.ok = true;
    return done;
}

std::optional<std::string> ReadVolumeLabel(const std::string& volume, CodePage cp)
{
    std::string why;
    if (!volumeThere(volume, why))
        return std::nullopt;
    std::optional<std::string> bytes = ReadFatLabel(volume, why);
    if (!bytes)
        return std::nullopt;
    return DecodeToUtf8(*bytes, cp);
}

bool IsFatVolume(const std::string& volume)
{
    std::string why;
    return volumeThere(volume, why) && runTool("minfo", {"-i", volume, "::"}, GetVolumeToolConfig().toolTimeMs).ok;
}

bool VolumeFolderExists(const std::string& volume, const std::string& folder)
{
    std::string why;
    if (!volumeThere(volume, why))
        return false;
    if (isRoot(folder))
        return IsFatVolume(volume);
    // Only a folder holds a "." entry, so a file of that name does not count.
    return runTool("mdir", {"-i", volume, "-b", mtoolsPath(folder) + "/."}, GetVolumeToolConfig().toolTimeMs).ok;
}

ToolOutcome MakeVolumeFolder(const std::string& volume, const std::string& folder)
{
    std::string why;
    if (!volumeThere(volume, why))
        return failure(why);
    if (isRoot(folder))
        return failure("the root folder cannot be made");
    return runTool("mmd", {"-i", volume, mtoolsPath(folder, true)}, GetVolumeToolConfig().toolTimeMs);
}

ToolOutcome CopyFileToVolume(const std::string& volume, const std::string& hostFile, const std::string& target)
{
    std::string why;
    if (!volumeThere(volume, why))
        return failure(why);
    struct stat st {};
    if (::stat(hostFile.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return failure(hostFile + " is not a file that can be copied");
    if (hostFile.empty() || hostFile[0] != '/')
        return failure(hostFile + " is not an absolute path");
    VolumeToolConfig config = GetVolumeToolConfig();
    uint64_t mib = static_cast<uint64_t>(st.st_size) >> 20;
    uint64_t limit = config.copyTimeMs + mib * config.copyMsPerMiB;
    // "-D o": a name already there is overwritten, never asked about; "-m": the copy keeps
    // the file's modification time, as a Windows file copy does.
    return runTool("mcopy", {"-i", volume, "-D", "o", "-m", hostFile, mtoolsPath(target, true)},
                   static_cast<uint32_t>(std::min<uint64_t>(limit, UINT32_MAX)));
}

ToolOutcome CopyFilesToVolume(const std::string& volume, const std::vector<std::string>& hostFiles,
                              const std::string& targetFolder, size_t* copied)
{
    // One run takes the files until their names fill this much of the command line.
    constexpr size_t kRunArgumentBytes = 256 * 1024;
    constexpr size_t kRunFiles = 4096;
    size_t done = 0;
    auto report = [&](ToolOutcome out) {
        if (copied)
            *copied = done;
        return out;
    };
    std::string why;
    if (!volumeThere(volume, why))
        return report(failure(why));
    VolumeToolConfig config = GetVolumeToolConfig();
    const std::string target = mtoolsPath(targetFolder) + (isRoot(targetFolder) ? "" : "/");
    while (done < hostFiles.size()) {
        // "-D o" and "-m" as for one file; a file that cannot be copied ends the run before it.
        std::vector<std::string> args = {"-i", volume, "-D", "o", "-m"};
        std::optional<ToolOutcome> refused;
        size_t bytes = 0, end = done;
        uint64_t limit = config.copyTimeMs;
        for (; end < hostFiles.size() && end - done < kRunFiles && bytes < kRunArgumentBytes; ++end) {
            const std::string& file = hostFiles[end];
            struct stat st {};
            if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
                refused = failure(file + " is not a file that can be copied");
                break;
            }
            if (file.empty() || file[0] != '/') {
                refused = failure(file + " is not an absolute path");
                break;
            }
            args.push_back(file);
            bytes += file.size() + 1;
            limit += std::max<uint64_t>(1, static_cast<uint64_t>(st.st_size) >> 20) * config.copyMsPerMiB;
        }
        if (end > done) {
            args.push_back(target);
            ToolOutcome ran = runTool("mcopy", args, static_cast<uint32_t>(std::min<uint64_t>(limit, UINT32_MAX)));
            if (!ran.ok)
                return report(ran);
            done = end;
        }
        if (refused)
            return report(*refused);
    }
    ToolOutcome outcome;
    outcome.ok = true;
    return report(outcome);
}

ToolOutcome CheckVolume(const std::string& volume, uint32_t timeLimitMs, bool repair)
{
    std::string why;
    if (!volumeThere(volume, why))
        return failure(why);
    return runTool("fsck.fat", {repair ? "-a" : "-n", volume}, timeLimitMs);
}

} // namespace platform
