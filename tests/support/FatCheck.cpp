#include "support/FatCheck.h"

#include "platform/ByteOrder.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>
#include <vector>

namespace testsupport {

namespace {

uint32_t le16(const std::string& b, size_t at) { return platform::GetLe16(reinterpret_cast<const uint8_t*>(b.data() + at)); }
uint32_t le32(const std::string& b, size_t at) { return platform::GetLe32(reinterpret_cast<const uint8_t*>(b.data() + at)); }

std::string readAt(const std::string& disk, uint64_t at, size_t length)
{
    std::ifstream in(disk, std::ios::binary);
    in.seekg(std::streamoff(at));
    std::string bytes(length, '\0');
    in.read(bytes.data(), std::streamsize(length));
    return in ? bytes : std::string();
}

// FAT's rule for label bytes as fixed dosfstools applies it.
bool labelBytesValid(const std::string& label)
{
    if (label.size() != 11 || label[0] == ' ' || label == std::string(11, ' '))
        return false;
    for (unsigned char b : label)
        if (b < 0x20 || b == 0x7F || (b < 0x80 && std::strchr("\"*+,./:;<=>?[\\]|", b)))
            return false;
    return true;
}

} // namespace

platform::ProcessResult RunTool(std::vector<std::string> argv)
{
    platform::ProcessOptions options;
    options.captureOutput = true;
    options.timeoutMs = 60000;
    options.environment = {{"MTOOLS_SKIP_CHECK", "1"}, {"LC_ALL", "C.UTF-8"}};
    const char* path = std::getenv("PATH");
    argv[0] = platform::FindProgram(argv[0], std::string(path ? path : "/usr/bin:/bin") + ":/usr/sbin:/sbin");
    return platform::RunProcess(argv, options);
}

RawLabels ReadRawLabels(const std::string& disk)
{
    RawLabels labels;
    const std::string boot = readAt(disk, 0, 512);
    if (boot.empty())
        return labels;
    const uint32_t sector = le16(boot, 11), perCluster = uint8_t(boot[13]), reserved = le16(boot, 14);
    const uint32_t fats = uint8_t(boot[16]), rootEntries = le16(boot, 17), fat16Size = le16(boot, 22);
    const bool fat32 = fat16Size == 0;
    const uint64_t dataStart = (uint64_t(reserved) + fats * uint64_t(fat32 ? le32(boot, 36) : fat16Size)) * sector;
    const size_t field = fat32 ? 71 : 43;
    labels.boot = boot.substr(field, 11);
    uint64_t root = dataStart;
    size_t rootBytes = rootEntries * 32;
    if (fat32) {
        labels.backup = readAt(disk, uint64_t(le16(boot, 50)) * sector + field, 11);
        root += uint64_t(le32(boot, 44) - 2) * perCluster * sector;
        rootBytes = perCluster * sector; // the first cluster holds the label of a fresh volume
    }
    const std::string entries = readAt(disk, root, rootBytes);
    for (size_t i = 0; i + 32 <= entries.size() && entries[i] != 0; i += 32) {
        const uint8_t attr = uint8_t(entries[i + 11]);
        if (uint8_t(entries[i]) != 0xE5 && attr != 0x0F && (attr & 0x18) == 0x08) {
            labels.root = entries.substr(i, 11);
            const uint32_t time = le16(entries, i + 22), date = le16(entries, i + 24);
            std::tm t{.tm_sec = int(time & 31) * 2, .tm_min = int(time >> 5 & 63), .tm_hour = int(time >> 11),
                      .tm_mday = int(date & 31), .tm_mon = int(date >> 5 & 15) - 1, .tm_year = int(date >> 9) + 80, .tm_isdst = -1};
            labels.rootWritten = std::mktime(&t);
            break;
        }
    }
    return labels;
}

FsckVerdict CheckFat(const std::string& disk)
{
    const platform::ProcessResult r = RunTool({"fsck.fat", "-n", disk});
    FsckVerdict verdict{r.succeeded(), r.output + r.errorOutput};
    if (verdict.clean || !r.started || r.timedOut || r.exitCode != 1)
        return verdict;

    std::istringstream lines(r.output);
    const std::regex allowed("fsck\\.fat .*|Volume label '.*' stored in root directory is not valid\\.|"
                             "  Auto-removing label\\.||Leaving filesystem unchanged\\.|.*: [0-9]+ files, .*");
    bool complained = false;
    for (std::string line; std::getline(lines, line);) {
        if (!std::regex_match(line, allowed))
            return verdict;
        complained = complained || line.find("is not valid") != std::string::npos;
    }
    RawLabels labels = ReadRawLabels(disk);
    std::string root = labels.root;
    if (!root.empty() && uint8_t(root[0]) == 0x05)
        root[0] = char(0xE5);
    bool highByte = false;
    for (unsigned char b : labels.boot)
        highByte = highByte || b >= 0x80;
    verdict.clean = complained && highByte && labelBytesValid(labels.boot) && root == labels.boot &&
                    (labels.backup.empty() || labels.backup == labels.boot);
    return verdict;
}

} // namespace testsupport
