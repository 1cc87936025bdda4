// The drive preparation helpers: the FAT flag and the disk size from the capacity, the
// port identity in the panel and the log, and the disk checker's verdict.
#include "production/DrivePrep.h"
#include "production/WindowLink.h"
#include "production/ppthread.h"

#include "device/HostUtil.h"
#include "platform/DriveMap.h"
#include "platform/ProgramDir.h"
#include "platform/VolumeTools.h"
#include "support/RecordingTransport.h"
#include "support/SimStation.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "ProductionFixture.h"

namespace {

using prodtest::FakeWindow;
using prodtest::PanelControls;

constexpr uint32_t kMiB = 1u << 20;

std::vector<uint8_t> CapacityReply(uint32_t lastLba, uint32_t blockLength)
{
    return {uint8_t(lastLba >> 24), uint8_t(lastLba >> 16), uint8_t(lastLba >> 8), uint8_t(lastLba),
            uint8_t(blockLength >> 24), uint8_t(blockLength >> 16), uint8_t(blockLength >> 8),
            uint8_t(blockLength)};
}

struct FatCase {
    uint64_t bytes;       // last LBA x block length
    uint32_t blockLength;
    uint32_t flag;
};

class FatFlagRule : public ::testing::TestWithParam<FatCase> {};

TEST_P(FatFlagRule, FollowsTheCapacity)
{
    const FatCase& c = GetParam();
    const uint32_t lastLba = static_cast<uint32_t>(c.bytes / c.blockLength);
    EXPECT_EQ(FatFlagForCapacity(lastLba, c.blockLength), c.flag);
}

INSTANTIATE_TEST_SUITE_P(
    Capacities, FatFlagRule,
    ::testing::Values(FatCase{64ull * kMiB, 2048, kFatFlagLargeClusters},  // small disk, big blocks
                      FatCase{64ull * kMiB, 512, kFatFlagFat16},          // small disk, small blocks
                      FatCase{1ull * kMiB, 4096, kFatFlagLargeClusters},  // 1 MB is the smallest
                      FatCase{kMiB / 2, 2048, kFatFlagFat16},             // below 1 MB
                      FatCase{128ull * kMiB, 2048, kFatFlagFat16},        // 128 MB is not below 128
                      FatCase{600ull * kMiB, 512, kFatFlagFat32},
                      FatCase{512ull * kMiB, 512, kFatFlagFat16},         // exactly 512 MB
                      FatCase{513ull * kMiB, 512, kFatFlagFat32},
                      FatCase{4608ull * kMiB, 512, kFatFlagFat32},        // 4.5 GB, not wrapped
                      FatCase{8192ull * kMiB + 64ull * kMiB, 2048, kFatFlagFat32})); // wraps to 64 in 32 bits

TEST(FatFlagRule, ZeroFieldsGiveZero)
{
    EXPECT_EQ(FatFlagForCapacity(0, 2048), 0u);
    EXPECT_EQ(FatFlagForCapacity(32768, 0), 0u);
}

TEST(DiskSizeRule, BlockUnitsTimesLastLbaInMegabytes)
{
    EXPECT_EQ(DiskSizeMBForCapacity(131072, 512), 64);
    EXPECT_EQ(DiskSizeMBForCapacity(32768, 2048), 64);
    EXPECT_EQ(DiskSizeMBForCapacity(2047, 512), 0) << "below 1 MB";
    EXPECT_EQ(DiskSizeMBForCapacity(1000000, 256), 0) << "blocks below 512 bytes count as 0 units";
    // 4 KiB blocks near the 32-bit LBA limit: 16 TiB, no wrap.
    EXPECT_EQ(DiskSizeMBForCapacity(0xFFFFFFFFu, 4096), static_cast<int32_t>((8ull * 0xFFFFFFFFu) >> 11));
}

class DriveHelpers : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::SetProgramDir(dir.path());
        production::SetWindowLink(&window);
        thread = std::make_unique<ProductThread>('E', 0, &panel.status, &panel.gauge, &panel.image,
                                                 "", &panel.textF, &panel.textP);
    }
    void TearDown() override
    {
        thread.reset();
        production::SetWindowLink(nullptr);
    }

    struct Window : FakeWindow {
        std::vector<std::string> sizeLabels;
        void SetDiskSizeLabel(const std::string& caption) override { sizeLabels.push_back(caption); }
    };

    testsupport::TempDir dir;
    Window window;
    PanelControls panel;
    std::unique_ptr<ProductThread> thread;
};

TEST_F(DriveHelpers, CapacityQueriesOpenTheDriveAndShowTheSize)
{
    testsupport::RecordingDrive drive('E');
    drive.transport->setFallback({CapacityReply(131072, 512), true});
    EXPECT_EQ(GetDiskSizeMB(*thread, "E"), 64);
    EXPECT_EQ(window.sizeLabels, std::vector<std::string>{"64MB"});
    EXPECT_EQ(GetDriveFatFlag(*thread, "E"), 0u);
    const auto calls = drive.transport->calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].cdb[0], 0x25);
    EXPECT_TRUE(drive.noLetterHandleOpen()) << "each query closes what it opened";
}

TEST_F(DriveHelpers, ZeroBlockLengthOrFailedQueryGivesZero)
{
    testsupport::RecordingDrive drive('E');
    drive.transport->push({CapacityReply(131072, 0), true});
    drive.transport->push({CapacityReply(131072, 0), true});
    drive.transport->push({CapacityReply(131072, 512), false});
    EXPECT_EQ(GetDiskSizeMB(*thread, "E"), 0);
    EXPECT_EQ(GetDriveFatFlag(*thread, "E"), 0u);
    EXPECT_EQ(GetDiskSizeMB(*thread, "E"), 0);
    EXPECT_TRUE(window.sizeLabels.empty()) << "no size, no label";
    EXPECT_EQ(GetDiskSizeMB(*thread, "Q"), 0) << "a drive that does not open";
    EXPECT_EQ(GetDriveFatFlag(*thread, "Q"), 0u);
}

std::string ReadLog(const testsupport::TempDir& dir)
{
    std::ifstream in(dir.file("log/1.txt"), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WritePortProgram(const testsupport::TempDir& dir, int number)
{
    std::filesystem::create_directories(dir.file("misc"));
    const std::string path = dir.file("misc/usbdos");
    std::ofstream(path) << "#!/bin/sh\necho " << number << "\n";
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
}

TEST_F(DriveHelpers, PortWithoutANumberShowsZeroDigits)
{
    testsupport::RecordingDrive drive('E');
    drive.transport->setFallback({{0x00}, true}); // EF 9A: no port number
    thread->hDevice = drive.handle;
    panel.textP.SetCaption("");
    EXPECT_TRUE(GetPortText(*thread, "E", &panel.textP));
    EXPECT_EQ(panel.textP.Caption(), "<0-0-0>");
    EXPECT_EQ(ReadLog(dir), "E Port:0-0-0\r\n");
    thread->hDevice = INVALID_HANDLE_VALUE;
}

TEST_F(DriveHelpers, PortIdentityFromThePortProgram)
{
    WritePortProgram(dir, 245);
    testsupport::RecordingDrive drive('E');
    drive.transport->setFallback({{0x85}, true}); // port 5
    thread->hDevice = drive.handle;
    EXPECT_TRUE(GetPortText(*thread, "E", &panel.textP));
    EXPECT_EQ(panel.textP.Caption(), "<2-4-5>");
    EXPECT_NE(ReadLog(dir).find("E Port:2-4-5\r\n"), std::string::npos);
    thread->hDevice = INVALID_HANDLE_VALUE;
}

TEST_F(DriveHelpers, UnusablePortNumberIsLoggedAndLeavesTheText)
{
    WritePortProgram(dir, 300); // a multiple of 100 identifies no port
    testsupport::RecordingDrive drive('E');
    drive.transport->setFallback({{0x85}, true});
    thread->hDevice = drive.handle;
    panel.textP.SetCaption("");
    EXPECT_FALSE(GetPortText(*thread, "E", &panel.textP));
    EXPECT_EQ(panel.textP.Caption(), "");
    EXPECT_NE(ReadLog(dir).find("E:Get port fail <1>!!\r\n"), std::string::npos);
    thread->hDevice = INVALID_HANDLE_VALUE;
}

TEST(DiskChecker, CleanVolumePassesAndAMissingOneFails)
{
    testsupport::TempDir dir;
    const std::string disk = dir.file("disk.img");
    {
        std::ofstream out(disk, std::ios::binary);
        out.seekp(8 * kMiB - 1);
        out.put('\0');
    }
    ASSERT_TRUE(platform::FormatVolume(disk, 0, true).ok);
    platform::DriveBinding binding;
    binding.volumePath = [disk] { return disk; };
    binding.name = "test";
    ASSERT_TRUE(platform::DriveMap::global().bind('S', binding));
    EXPECT_TRUE(RunChkdsk("S"));
    platform::DriveMap::global().release('S');
    EXPECT_FALSE(RunChkdsk("S")) << "no volume behind the letter";
}

} // namespace
