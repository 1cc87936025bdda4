// The drive preparation rules: the FAT flag and the disk size from the capacity, and the
// port identity in the panel and the log.
#include "ProductionFixture.h"

#include "production/DrivePrep.h"

#include <filesystem>
#include <fstream>

using namespace prodtest;

namespace {

constexpr uint64_t kMiB = 1u << 20;

TEST(DrivePrepRules, FatFlagAndDiskSizeFollowTheCapacity)
{
    const struct {
        uint64_t bytes; // last LBA x block length
        uint32_t blockLength, flag;
    } cases[] = {
        {64 * kMiB, 2048, kFatFlagLargeClusters}, {64 * kMiB, 512, kFatFlagFat16},
        {kMiB / 2, 2048, kFatFlagFat16},          {128 * kMiB, 2048, kFatFlagFat16},
        {512 * kMiB, 512, kFatFlagFat16},         {513 * kMiB, 512, kFatFlagFat32},
        {4608 * kMiB, 512, kFatFlagFat32},        // 4.5 GB, not wrapped
        {8256 * kMiB, 2048, kFatFlagFat32},       // wraps to 64 MB in 32 bits
    };
    for (const auto& c : cases)
        EXPECT_EQ(FatFlagForCapacity(uint32_t(c.bytes / c.blockLength), c.blockLength), c.flag)
            << c.bytes / kMiB << " MB / " << c.blockLength;
    EXPECT_EQ(FatFlagForCapacity(0, 2048), 0u);
    EXPECT_EQ(FatFlagForCapacity(32768, 0), 0u);

    EXPECT_EQ(DiskSizeMBForCapacity(32768, 2048), 64);
    EXPECT_EQ(DiskSizeMBForCapacity(2047, 512), 0) << "below 1 MB";
    EXPECT_EQ(DiskSizeMBForCapacity(1000000, 256), 0) << "blocks below 512 bytes count as 0 units";
    // 4 KiB blocks near the 32-bit LBA limit: 16 TiB, no wrap.
    EXPECT_EQ(DiskSizeMBForCapacity(0xFFFFFFFFu, 4096), int32_t((8ull * 0xFFFFFFFFu) >> 11));
}

TEST_F(ThreadTest, PortIdentityInThePanelAndTheLog)
{
    const auto portProgram = [this](int number) {
        std::filesystem::create_directories(dir.file("misc"));
        std::ofstream(dir.file("misc/usbdos")) << "#!/bin/sh\necho " << number << "\n";
        std::filesystem::permissions(dir.file("misc/usbdos"), std::filesystem::perms::owner_all);
    };
    answer = [](const RecordedCall&) { return ScriptedAnswer{{0x00}, true}; }; // EF 9A: no port
    EXPECT_TRUE(GetPortText(*thread, "E", &textP));
    EXPECT_EQ(textP.Caption(), "<0-0-0>");
    EXPECT_EQ(dir.read("log/1.txt"), "E Port:0-0-0\r\n");

    portProgram(245);
    answer = [](const RecordedCall&) { return ScriptedAnswer{{0x85}, true}; }; // port 5
    EXPECT_TRUE(GetPortText(*thread, "E", &textP));
    EXPECT_EQ(textP.Caption(), "<2-4-5>");
    EXPECT_NE(dir.read("log/1.txt").find("E Port:2-4-5\r\n"), std::string::npos);

    portProgram(300); // a multiple of 100 identifies no port
    textP.SetCaption("");
    EXPECT_FALSE(GetPortText(*thread, "E", &textP));
    EXPECT_EQ(textP.Caption(), "");
    EXPECT_NE(dir.read("log/1.txt").find("E:Get port fail <1>!!\r\n"), std::string::npos);
}

} // namespace
