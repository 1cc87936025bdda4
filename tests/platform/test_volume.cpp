// Formats by each FAT flag are judged through FormatDrive in the device tests.
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

} // namespace

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
    const std::pair<const char*, const char*> refused[] = {{"TWELVE BYTES", "longer than 11 bytes"}, {"\u4e2d\u6587", "only ASCII characters"},
        {"A*B", "'*'"}, {"A]B", "']'"}, {" LEAD", "starts with a blank"}, {"A\tB", "control character"}};
    for (const auto& [label, reason] : refused) {
        out = WriteVolumeLabel(disk, label);
        EXPECT_FALSE(out.ok) << label;
        EXPECT_NE(out.message.find(reason), std::string::npos) << out.message;
    }
    EXPECT_EQ(ReadVolumeLabel(disk), "MY_AUDIO");
}
