// The format runner on sparse disk files, judged by the real fsck.fat and minfo.
#include "platform/Process.h"
#include "platform/VolumeTools.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

using namespace platform;

namespace {

std::string makeDisk(const testsupport::TempDir& dir, uint64_t mib)
{
    std::string path = dir.file("disk.img");
    int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    EXPECT_EQ(::ftruncate(fd, static_cast<off_t>(mib << 20)), 0);
    ::close(fd);
    return path;
}

ProcessResult run(std::vector<std::string> argv)
{
    ProcessOptions o;
    o.captureOutput = true;
    o.timeoutMs = 20000;
    o.environment = {{"MTOOLS_SKIP_CHECK", "1"}};
    argv[0] = FindProgram(argv[0], "/usr/sbin:/sbin:/usr/bin:/bin");
    return RunProcess(argv, o);
}

std::string field(const std::string& text, const std::string& key)
{
    auto at = text.find(key);
    return at == std::string::npos ? "" : text.substr(at + key.size(), text.find('\n', at) - at - key.size());
}

} // namespace

TEST(VolumeTools, FormatsEachFatFlagAsTheToolsJudgeIt)
{
    testsupport::TempDir dir;
    struct Case {
        uint32_t flag;
        uint64_t mib;
        bool quick;
        const char* type;
        const char* clusterSectors; // "" = what the tool chose
    } cases[] = {
        {255, 64, true, "FAT16", "16"}, // 8192-byte clusters
        {255, 8, true, "FAT12", "16"},  // too few clusters for 16 bits
        {1, 64, true, "FAT32", ""},
        {7, 64, true, "FAT32", ""},     // any other nonzero flag
        {0, 64, true, "FAT16", ""},
        {0, 8, false, "FAT12", ""},     // a full format reads the volume first
        {0, 600, true, "FAT16", ""},    // never FAT32, although the tool would pick it here
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("flag " + std::to_string(c.flag) + ", " + std::to_string(c.mib) + " MiB");
        std::string disk = makeDisk(dir, c.mib);
        auto out = FormatVolume(disk, c.flag, c.quick);
        ASSERT_TRUE(out.ok) << out.message;
        EXPECT_TRUE(run({"fsck.fat", "-n", disk}).succeeded());
        std::string info = run({"minfo", "-i", disk, "::"}).output;
        EXPECT_EQ(field(info, "disk type=\""), std::string(c.type) + "   \"");
        if (*c.clusterSectors) {
            EXPECT_EQ(field(info, "cluster size: "), std::string(c.clusterSectors) + " sectors");
        }
        EXPECT_TRUE(IsFatVolume(disk));
    }
}

TEST(VolumeTools, FormatFailuresCarryTheirReason)
{
    testsupport::TempDir dir;
    // 600 MiB cannot be FAT with 8192-byte clusters: the tool refuses.
    std::string disk = makeDisk(dir, 600);
    auto out = FormatVolume(disk, 255, true);
    EXPECT_FALSE(out.ok);
    EXPECT_NE(out.message.find("mkfs.fat failed (status 1)"), std::string::npos) << out.message;
    EXPECT_FALSE(IsFatVolume(disk));

    out = FormatVolume(dir.file("vanished.img"), 0, true);
    EXPECT_EQ(out.message, "volume " + dir.file("vanished.img") + " is not there");

    VolumeToolConfig config;
    config.searchPath = dir.file("empty-bin");
    SetVolumeToolConfig(config);
    out = FormatVolume(disk, 0, true);
    SetVolumeToolConfig({});
    EXPECT_EQ(out.message, "mkfs.fat not found");
}

TEST(VolumeTools, RefusedLabelsSayWhyAndChangeNothing)
{
    testsupport::TempDir dir;
    std::string disk = makeDisk(dir, 8);
    ASSERT_TRUE(FormatVolume(disk, 0, true).ok);
    ASSERT_TRUE(WriteVolumeLabel(disk, "my_audio").ok);
    struct Case {
        const char* label;
        const char* reason;
    } cases[] = {
        {"TWELVE BYTES", "longer than 11 bytes"},
        {"\u4e2d\u6587", "only ASCII characters"}, // a Chinese label: 6 bytes of UTF-8
        {"A*B", "'*'"},
        {"A]B", "']'"},
        {" LEAD", "starts with a blank"},
        {"A\tB", "control character"},
    };
    for (const auto& c : cases) {
        auto out = WriteVolumeLabel(disk, c.label);
        EXPECT_FALSE(out.ok) << c.label;
        EXPECT_NE(out.message.find(c.reason), std::string::npos) << out.message;
    }
    EXPECT_EQ(ReadVolumeLabel(disk), "MY_AUDIO");
}
