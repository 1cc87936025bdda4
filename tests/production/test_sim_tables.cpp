// The flash description, the block tables and the CFG record against the simulated
// controller and the sample station kit.
#include "ProductionFixture.h"

#include "device/Commands.h"
#include "device/HostUtil.h"
#include "device/Stream.h"
#include "production/BlockTables.h"
#include "production/Firmware.h"
#include "production/FlashRecord.h"
#include "sim/Profiles.h"
#include "sim/StationKit.h"
#include "platform/AtomicFile.h"
#include "support/SimStation.h"

#include <cstring>
#include <filesystem>

using namespace prodtest;

namespace {

class SimTablesTest : public ::testing::Test, protected PanelControls {
protected:
    void SetUp() override
    {
        production::SetWindowLink(&window);
        window.dealCapError = 2;
    }
    void TearDown() override
    {
        for (auto& t : threads)
            platform::CloseDrive(t->hDevice);
        threads.clear();
        production::SetWindowLink(nullptr);
    }

    // Plugs a device, uploads the kit's loader and gives a thread a handle on it.
    ProductThread& Plug(const sim::FlashProfile& profile)
    {
        device = station.bus().plug(profile);
        letter = station.bus().letterOf(device);
        const auto size = FileSizeOf(station.file(sim::kKitLoader));
        EXPECT_TRUE(size.has_value());
        EXPECT_TRUE(UploadFirmware(letter, static_cast<uint32_t>(*size), sim::kKitLoader));
        return NewThread();
    }
    ProductThread& NewThread()
    {
        threads.push_back(std::make_unique<ProductThread>(letter, 0, &status, &gauge, &image, "",
                                                          &textF, &textP));
        threads.back()->hDevice = platform::OpenDrive(letter);
        return *threads.back();
    }
    // The flash identification and description steps of a run, up to the loaded record.
    // The flash ID and chip count as the sequence keeps them.
    static void ReadId(ProductThread& t)
    {
        uint8_t id[5] = {};
        EXPECT_TRUE(cmd_bReadFlashId(t.hDevice, id));
        t.bFlashMaker = id[4];
        t.iFlashId = uint32_t(id[3]) << 24 | uint32_t(id[2]) << 16 | uint32_t(id[1]) << 8 | id[0];
        t.iChipCount = cmd_GetChipCount(t.hDevice);
    }
    std::string Identify(ProductThread& t)
    {
        ReadId(t);
        const std::string name = FindFlashRecordFile(t, t.iFlashId, t.bFlashMaker, t.iChipCount);
        const std::string stored = ReadRecordName(".\\flash\\" + name);
        if (stored != "DEFAULT")
            t.sFlashTypeName = stored;
        const std::string path = platform::ProgramDir() + "/flash/" + name;
        EXPECT_TRUE(SendFsmFile(t.hDevice, path));
        return path;
    }

    testsupport::SimStation station;
    FakeWindow window;
    std::shared_ptr<sim::SimulatedDevice> device;
    char letter = 0;
    std::vector<std::unique_ptr<ProductThread>> threads;
};

TEST_F(SimTablesTest, KitRecordIsFoundLoadedScannedAndWrittenBack)
{
    const sim::FlashProfile profile = sim::Nand128M();
    ProductThread& t = Plug(profile);
    const std::string path = Identify(t);
    EXPECT_EQ(std::filesystem::path(path).filename().string(), sim::FlashIdText(profile) + ".txt");
    EXPECT_EQ(t.sFlashTypeName, profile.name);
    ASSERT_EQ(LoadFlashRecordStage(t, path), 1);
    EXPECT_EQ(t.iBlocksPerChip, profile.blocksPerChip);
    EXPECT_EQ(t.iUsableBlocksPerChip, profile.usableBlocksPerChip);
    EXPECT_EQ(t.iPagesPerBlock, profile.pagesPerBlock);
    EXPECT_EQ(t.iPageSize, profile.pageSize);
    EXPECT_EQ(t.iRecordByte96, profile.writeParameter);
    EXPECT_EQ(device->flashDescription(), sim::FlashRecordFor(profile, true));

    ASSERT_TRUE(t.AllocateBlockTable());
    ASSERT_EQ(ScanBadBlocks(t, 5, 5), 1);
    // Factory-bad blocks 3 and 517 and the 24 reserved blocks are bad.
    EXPECT_EQ(t.iLastBadCount, 2u);
    EXPECT_EQ(t.pBlockTable[3], 0);
    EXPECT_EQ(t.pBlockTable[517], 0);
    EXPECT_EQ(t.pBlockTable[1000], 0);
    EXPECT_EQ(t.pBlockTable[4], 0xFF);

    t.iSystemAreaBlocks = CalcSystemAreaBlocks(t);
    // With the firmware upgrade on the marks are kept, so the device finds "6205" again.
    ASSERT_EQ(WriteCfg(t, 1), 1);
    EXPECT_EQ(t.iBadBlocks, 2u);
    // The record and the bitmap sit on the first pages of blocks 0 and 1.
    for (uint32_t block : {0u, 1u}) {
        const auto record = device->storedPage(block * 64);
        ASSERT_EQ(record.size(), 2048u);
        EXPECT_EQ(0, std::memcmp(record.data(), t.CfgImage, 2048)) << block;
        const auto bitmap = device->storedPage(block * 64 + 1);
        ASSERT_EQ(bitmap.size(), 2048u);
        EXPECT_EQ(0, std::memcmp(bitmap.data(), t.GoodBlockBitmap, 2048)) << block;
    }
    EXPECT_TRUE(device->storedPage(2 * 64).empty());

    // A later run reads the device's own table back.
    ProductThread& again = NewThread();
    again.iChipCount = t.iChipCount;
    again.iBlocksPerChip = t.iBlocksPerChip;
    again.iUsableBlocksPerChip = t.iUsableBlocksPerChip;
    again.iPagesPerBlock = t.iPagesPerBlock;
    again.iPageSize = t.iPageSize;
    ASSERT_TRUE(again.AllocateBlockTable());
    ASSERT_EQ(ReadDeviceInfo(again), 1);
    EXPECT_EQ(again.bInfoByte96, profile.writeParameter);
    EXPECT_EQ(0, std::memcmp(again.DeviceInfoCopy, t.CfgImage, 512));
    uint32_t rate = 0;
    ASSERT_EQ(ReadBadBlockBitmap(again, rate), 1);
    EXPECT_EQ(0, std::memcmp(again.pBlockTable.get(), t.pBlockTable.get(), 1024));
    EXPECT_EQ(rate, 0u); // 2 of 1000 usable blocks
}

TEST_F(SimTablesTest, FirstGoodBlockFailingItsCheckGivesWriteCfg1)
{
    ProductThread& t = Plug(sim::Nand128M());
    ASSERT_EQ(LoadFlashRecordStage(t, Identify(t)), 1);
    ASSERT_TRUE(t.AllocateBlockTable());
    std::memset(t.pBlockTable.get(), 0xFF, 1000);
    t.pBlockTable[3] = 0;
    device->failCommand(0xEF94, 1, sim::FaultKind::StatusClear);
    ASSERT_EQ(WriteCfg(t, 0), 1);
    EXPECT_EQ(status.Caption(), "Write CFG1");
    EXPECT_EQ(t.pBlockTable[0], 0);
    EXPECT_TRUE(device->storedPage(0).empty());
    EXPECT_EQ(device->storedPage(64).size(), 2048u);
    EXPECT_EQ(device->storedPage(2 * 64).size(), 2048u);
    // The record names blocks 1, 2, 4, ... as the first good ones.
    const uint8_t first[6] = {0, 1, 0, 2, 0, 4};
    EXPECT_EQ(0, std::memcmp(device->storedPage(64).data() + 138, first, 6));
}

TEST_F(SimTablesTest, CfgPageWritesRefusedTwiceFailTheStage)
{
    ProductThread& t = Plug(sim::Nand128M());
    ASSERT_EQ(LoadFlashRecordStage(t, Identify(t)), 1);
    ASSERT_TRUE(t.AllocateBlockTable());
    std::memset(t.pBlockTable.get(), 0xFF, 1000);
    device->failCommand(0xEE95, 1, sim::FaultKind::Transport, 2);
    EXPECT_EQ(WriteCfg(t, 0), 0);
    EXPECT_EQ(status.Caption(), "Write CFGfail");
}

TEST_F(SimTablesTest, KitFirmwareFitsTheKitFlash)
{
    const sim::FlashProfile profile = sim::Nand128M();
    ProductThread& t = Plug(profile);
    ASSERT_EQ(LoadFlashRecordStage(t, Identify(t)), 1);
    window.copyList = {station.file(sim::kKitPrefer), station.file(sim::kKitFirmware)};
    ASSERT_EQ(FindProgramBin(t), 1);
    EXPECT_EQ(window.programIndex, 1);
    EXPECT_EQ(CheckBondingId(t), 1); // the kit flash's chip accepts any firmware
    EXPECT_EQ(device->countOf(0xEF8B), 1u);
}

TEST_F(SimTablesTest, ImpossibleGeometryFailsAsParseCfgAndTouchesNothingElse)
{
    ProductThread& t = Plug(sim::Nand128M());
    const std::string kitPath = Identify(t);
    std::string good;
    ASSERT_TRUE(platform::ReadWholeFile(kitPath, good));
    struct Case {
        const char* what;
        size_t offset;
        uint8_t value;
        uint32_t chips;
    } cases[] = {
        {"1024 pages per block", FlashRecord::kPagesPerBlockLog2, 10, 1},
        {"usable above blocks per chip", FlashRecord::kUsableBlocks, 0x08, 1}, // 2280 > 1024
        {"no chips", FlashRecord::kPagesPerBlockLog2, 6, 0},
        {"16384-byte pages", FlashRecord::kPageSizeLog2, 14, 1},
    };
    for (const auto& c : cases) {
        std::string bad = good;
        bad[c.offset] = static_cast<char>(c.value);
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
        EXPECT_EQ(ScanBadBlocks(t, 5, 5), 0);
        EXPECT_EQ(ReadBadBlockBitmap(t, rate), 0);
        EXPECT_EQ(WriteCfg(t, 0), 0);
        EXPECT_EQ(FinishBadBlockTable(t, 0), 0);
        EXPECT_TRUE(device->commandLog().empty()) << c.what;
    }
}

TEST_F(SimTablesTest, FlashWithoutDescriptionUsesTheDefaultFile)
{
    sim::FlashProfile profile = sim::Nand128M();
    profile.flashId = {0x11, 0x22, 0x33, 0x44, 0x55};
    // The station's description of last resort: a file called DEFAULT, no extension.
    const std::vector<uint8_t> record = sim::FlashRecordFor(sim::Nand128M(), false);
    ASSERT_TRUE(platform::WriteFileAtomic(station.file("flash/DEFAULT"),
                                          std::string(record.begin(), record.end())));
    ASSERT_TRUE(platform::WriteFileAtomic(station.file("flash/flash.ini"),
                                          "[DEFAULT]\r\n1=Any NAND\r\n"));
    ProductThread& t = Plug(profile);
    ReadId(t);
    EXPECT_EQ(t.bFlashMaker, 0x11);
    EXPECT_EQ(t.iFlashId, 0x22334455u);
    ASSERT_EQ(t.iChipCount, 1u);
    const std::string name = FindFlashRecordFile(t, t.iFlashId, t.bFlashMaker, t.iChipCount);
    EXPECT_EQ(name, "DEFAULT");
    EXPECT_EQ(t.sFlashTypeName, "Any NAND");
    EXPECT_EQ(ReadRecordName(".\\flash\\" + name), "DEFAULT");
    const std::string path = platform::ProgramDir() + "/flash/" + name;
    EXPECT_TRUE(SendFsmFile(t.hDevice, path));
    ASSERT_EQ(LoadFlashRecordStage(t, path), 1);
    EXPECT_EQ(t.iPagesPerBlock, 64u);

    // Without that file neither sending nor loading succeeds, and the run stops at Parse CFG.
    std::filesystem::remove(station.file("flash/DEFAULT"));
    EXPECT_FALSE(SendFsmFile(t.hDevice, path));
    EXPECT_EQ(LoadFlashRecordStage(t, path), 0);
    EXPECT_EQ(status.Caption(), "Parse CFGfail");
}

} // namespace
