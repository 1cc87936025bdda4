// The flash description, the block tables and the CFG record against the simulated
// controller and the sample station kit.
#include "ProductionFixture.h"

#include "device/Commands.h"
#include "device/Stream.h"
#include "platform/AtomicFile.h"
#include "production/BlockTables.h"
#include "production/FlashRecord.h"
#include "sim/Profiles.h"
#include "sim/StationKit.h"

#include <cstring>
#include <filesystem>
#include <tuple>

using namespace prodtest;

namespace {

class SimTablesTest : public SimThreadTest {
protected:
    // The identification steps of a run: the flash ID and chip count as the sequence keeps
    // them, the description found, its stored name, and the description sent.
    std::string Identify(ProductThread& t)
    {
        uint8_t id[5] = {};
        EXPECT_TRUE(cmd_bReadFlashId(t.hDevice, id));
        t.bFlashMaker = id[4];
        t.iFlashId = uint32_t(id[3]) << 24 | uint32_t(id[2]) << 16 | uint32_t(id[1]) << 8 | id[0];
        t.iChipCount = cmd_GetChipCount(t.hDevice);
        const std::string name = FindFlashRecordFile(t, t.iFlashId, t.bFlashMaker, t.iChipCount);
        const std::string stored = ReadRecordName(".\\flash\\" + name);
        if (stored != "DEFAULT")
            t.sFlashTypeName = stored;
        const std::string path = platform::ProgramDir() + "/flash/" + name;
        EXPECT_TRUE(SendFsmFile(t.hDevice, path));
        return path;
    }
};

TEST_F(SimTablesTest, KitRecordIsFoundLoadedScannedAndWrittenBack)
{
    const sim::FlashProfile profile = sim::Nand128M();
    ProductThread& t = Plug(profile);
    const std::string path = Identify(t);
    EXPECT_EQ(std::filesystem::path(path).filename().string(), sim::FlashIdText(profile) + ".txt");
    EXPECT_EQ(t.sFlashTypeName, profile.name);
    ASSERT_EQ(LoadFlashRecordStage(t, path), 1);
    EXPECT_EQ((std::vector<uint32_t>{t.iBlocksPerChip, t.iUsableBlocksPerChip, t.iPagesPerBlock, t.iPageSize,
                                     t.iRecordByte96}),
              (std::vector<uint32_t>{profile.blocksPerChip, profile.usableBlocksPerChip, profile.pagesPerBlock,
                                     profile.pageSize, profile.writeParameter}));
    EXPECT_EQ(device->flashDescription(), sim::FlashRecordFor(profile, true));

    ASSERT_TRUE(t.AllocateBlockTable());
    ASSERT_EQ(ScanBadBlocks(t, 5, 5), 1);
    // Factory-bad blocks 3 and 517 and the 8 reserved blocks are bad.
    EXPECT_EQ(t.iLastBadCount, 2u);
    EXPECT_EQ(t.pBlockTable[3] | t.pBlockTable[517] | t.pBlockTable[1016], 0);
    EXPECT_EQ(t.pBlockTable[4], 0xFF);

    window.dealCapError = 2;
    t.iSystemAreaBlocks = CalcSystemAreaBlocks(t);
    // With the firmware upgrade on the marks are kept, so the device finds "6205" again.
    ASSERT_EQ(WriteCfg(t, 1), 1);
    EXPECT_EQ(t.iBadBlocks, 2u);
    // The record and the bitmap sit on the first pages of blocks 0 and 1.
    for (uint32_t block : {0u, 1u}) {
        EXPECT_EQ(device->storedPage(block * 64), std::vector<uint8_t>(t.CfgImage, t.CfgImage + 2048));
        EXPECT_EQ(device->storedPage(block * 64 + 1),
                  std::vector<uint8_t>(t.GoodBlockBitmap, t.GoodBlockBitmap + 2048));
    }
    EXPECT_TRUE(device->storedPage(2 * 64).empty());

    // A later run reads the device's own table back.
    ProductThread& again = NewThread();
    std::tie(again.iChipCount, again.iBlocksPerChip, again.iUsableBlocksPerChip, again.iPagesPerBlock,
             again.iPageSize) = std::tie(t.iChipCount, t.iBlocksPerChip, t.iUsableBlocksPerChip, t.iPagesPerBlock,
                                         t.iPageSize);
    ASSERT_TRUE(again.AllocateBlockTable());
    ASSERT_EQ(ReadDeviceInfo(again), 1);
    EXPECT_EQ(again.bInfoByte96, profile.writeParameter);
    EXPECT_EQ(0, std::memcmp(again.DeviceInfoCopy, t.CfgImage, 512));
    uint32_t rate = 0;
    ASSERT_EQ(ReadBadBlockBitmap(again, rate), 1);
    EXPECT_EQ(0, std::memcmp(again.pBlockTable.get(), t.pBlockTable.get(), 1024));
    EXPECT_EQ(rate, 0u); // 2 of 1016 usable blocks
}

TEST_F(SimTablesTest, ImpossibleGeometryFailsAsParseCfgAndTouchesNothingElse)
{
    ProductThread& t = Plug(sim::Nand128M());
    std::string good;
    ASSERT_TRUE(platform::ReadWholeFile(Identify(t), good));
    const struct { const char* what; size_t offset; uint8_t value; uint32_t chips; } cases[] = {
        {"1024 pages per block", FlashRecord::kPagesPerBlockLog2, 10, 1},
        {"usable above blocks per chip", FlashRecord::kUsableBlocks, 0x08, 1}, // 2280 > 1024
        {"no chips", FlashRecord::kPagesPerBlockLog2, 6, 0},
        {"16384-byte pages", FlashRecord::kPageSizeLog2, 14, 1},
    };
    for (const auto& c : cases) {
        std::string bad = good;
        bad[c.offset] = char(c.value);
        const std::string path = station.file("flash/bad.txt");
        ASSERT_TRUE(platform::WriteFileAtomic(path, bad));
        EXPECT_TRUE(SendFsmFile(t.hDevice, path)); // the device takes any description
        t.iChipCount = c.chips;
        status.SetCaption("");
        status.Font()->SetColor(toolkit::clBtnText);
        EXPECT_EQ(LoadFlashRecordStage(t, path), 0) << c.what;
        EXPECT_EQ(status.Caption(), "Parse CFGfail") << c.what;
        EXPECT_EQ(status.Font()->Color(), toolkit::clRed) << c.what;

        // Nothing sized from the refused record: no table, and the table users refuse.
        EXPECT_FALSE(t.AllocateBlockTable()) << c.what;
        device->clearLog();
        uint32_t rate = 0;
        EXPECT_EQ(ScanBadBlocks(t, 5, 5) + ReadBadBlockBitmap(t, rate) + WriteCfg(t, 0) +
                      FinishBadBlockTable(t, 0), 0) << c.what;
        EXPECT_TRUE(device->commandLog().empty()) << c.what;
    }
}

} // namespace
