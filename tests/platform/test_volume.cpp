// The format runner on sparse disk files, judged by the real fsck.fat and minfo. The flags on
// an ordinary 64 MiB disk are covered through FormatDrive in the device tests.
#include "platform/Process.h"
#include "platform/VolumeTools.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace platform;

namespace {

std::string makeDisk(const testsupport::TempDir& dir, uint64_t mib)
{
    dir.write("disk.img", "");
    std::filesystem::resize_file(dir.file("disk.img"), mib << 20);
    return dir.file("disk.img");
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
        const char* clusterSize; // "" = what the tool chose
    } cases[] = {
        {255, 8, true, "FAT12", "16 sectors"}, // 8192-byte clusters, too few of them for 16 bits
        {7, 64, true, "FAT32", ""},            // any other nonzero flag
        {0, 8, false, "FAT12", ""},            // a full format reads the volume first
        {0, 600, true, "FAT16", ""},           // never FAT32, although the tool would pick it here
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("flag " + std::to_string(c.flag) + ", " + std::to_string(c.mib) + " MiB");
        std::string disk = makeDisk(dir, c.mib);
        auto out = FormatVolume(disk, c.flag, c.quick);
        ASSERT_TRUE(out.ok) << out.message;
        EXPECT_TRUE(run({"fsck.fat", "-n", disk}).succeeded());
        std::string info = run({"minfo", "-i", disk, "::"}).output;
        EXPECT_EQ(field(info, "disk type=\""), std::string(c.type) + "   \"");
        if (*c.clusterSize) {
            EXPECT_EQ(field(info, "cluster size: "), c.clusterSize);
        }
        EXPECT_TRUE(IsFatVolume(disk));
    }
}

TEST(VolumeTools, FailuresAndRefusedLabelsSayWhyAndChangeNothing)
{
    testsupport::TempDir dir;
    std::string disk = makeDisk(dir, 600);
    auto out = FormatVolume(disk, 255, true); // 600 MiB cannot be FAT with 8192-byte clusters
    EXPECT_FALSE(out.ok);
    EXPECT_NE(out.message.find("mkfs.fat failed (status 1)"), std::string::npos) << out.message;
    EXPECT_FALSE(IsFatVolume(disk));
    EXPECT_EQ(FormatVolume(dir.file("vanished.img"), 0, true).message,
              "volume " + dir.file("vanished.img") + " is not there");
    VolumeToolConfig config;
    config.searchPath = dir.file("empty-bin");
    SetVolumeToolConfig(config);
    out = FormatVolume(disk, 0, true);
    SetVolumeToolConfig({});
    EXPECT_EQ(out.message, "mkfs.fat not found");

    disk = makeDisk(dir, 8);
    ASSERT_TRUE(FormatVolume(disk, 0, true).ok);
    ASSERT_TRUE(WriteVolumeLabel(disk, "my_audio").ok);
    const std::pair<const char*, const char*> refused[] = {
        {"TWELVE BYTES", "longer than 11 bytes"}, {"\u4e2d\u6587", "only ASCII characters"},
        {"A*B", "'*'"}, {"A]B", "']'"}, {" LEAD", "starts with a blank"}, {"A\tB", "control character"},
    };
    for (const auto& [label, reason] : refused) {
        out = WriteVolumeLabel(disk, label);
        EXPECT_FALSE(out.ok) << label;
        EXPECT_NE(out.message.find(reason), std::string::npos) << out.message;
    }
    EXPECT_EQ(ReadVolumeLabel(disk), "MY_AUDIO");
}
