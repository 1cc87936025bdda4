// Block tables: the clear-flash scan, the device's own bitmap and info block, the capacity
// rule, the system-area size, the page-table queries and the bad-block log.
#include "ProductionFixture.h"

#include "production/BlockTables.h"
#include "production/FlashRecord.h"
#include "production/PageTableQueries.h"
#include "support/RecordingTransport.h"

#include <cstring>

using namespace prodtest;
using testsupport::RecordedCall;
using testsupport::RecordingTransport;
using testsupport::ScriptedAnswer;

namespace {

class TableTest : public ThreadTest {
protected:
    void SetUp() override
    {
        ThreadTest::SetUp();
        transport = std::make_shared<RecordingTransport>();
        transport->setResponder([this](const RecordedCall& call) { return answer ? answer(call) : ScriptedAnswer{{0x01}, true}; });
        thread->hDevice = platform::OpenTransport(transport, 'E');
    }
    void TearDown() override
    {
        platform::CloseDrive(thread->hDevice);
        ThreadTest::TearDown();
    }
    size_t Count(uint8_t opcode) const
    {
        size_t n = 0;
        for (const auto& c : transport->calls())
            n += c.cdb[1] == opcode;
        return n;
    }

    std::shared_ptr<RecordingTransport> transport;
    std::function<ScriptedAnswer(const RecordedCall&)> answer;
};

// ---- clear-flash scan ----

TEST_F(TableTest, ScanWithNoGoodBlockStopsAfterBlock767At64Pages)
{
    SetGeometry(1, 1024, 1000);
    answer = [](const RecordedCall&) { return ScriptedAnswer{{0x00}, true}; };
    EXPECT_EQ(ScanBadBlocks(*thread, 5, 5), 0);
    EXPECT_EQ(Count(0x94), 768u); // n = 766 covers exactly 49024 pages and goes on
    EXPECT_EQ(status.Caption(), "Too many bad block");
    EXPECT_EQ(status.Font()->Color(), toolkit::clRed);
}

TEST_F(TableTest, ScanWithTheOverrideNeverStops)
{
    SetGeometry(1, 1024, 1000);
    thread->bBlocksPerChipOverride = 1;
    answer = [](const RecordedCall&) { return ScriptedAnswer{{0x00}, true}; };
    EXPECT_EQ(ScanBadBlocks(*thread, 5, 5), 1);
    EXPECT_EQ(Count(0x94), 1000u);
    EXPECT_EQ(thread->iLastBadCount, 1000u);
}

TEST_F(TableTest, ScanFillsTheTableAndReportsEveryFifthBlock)
{
    SetGeometry(2, 8, 6, 64);
    gauge.SetMaxValue(400);
    status.Font()->SetColor(toolkit::clBtnText);
    std::vector<std::pair<std::string, toolkit::TColor>> shown;
    status.AddObserver([&](toolkit::TControl& c, toolkit::Prop what) {
        if (what == toolkit::Prop::Caption)
            shown.emplace_back(c.Caption(), c.Font()->Color());
    });
    std::vector<int> steps;
    gauge.AddObserver([&](toolkit::TControl&, toolkit::Prop what) {
        if (what == toolkit::Prop::Progress)
            steps.push_back(gauge.Progress());
    });
    // Blocks 1 and 10 (chip 1, block 2) fail their check.
    answer = [](const RecordedCall& c) {
        const uint32_t block = Be32(&c.cdb[2]);
        return ScriptedAnswer{{uint8_t(block == 1 || block == 10 ? 0 : 1)}, true};
    };
    ASSERT_EQ(ScanBadBlocks(*thread, 5, 305), 1);
    EXPECT_EQ(thread->iLastBadCount, 2u);
    const uint8_t expected[16] = {0xFF, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0,
                                  0xFF, 0xFF, 0, 0xFF, 0xFF, 0xFF, 0, 0};
    EXPECT_EQ(0, std::memcmp(thread->pBlockTable.get(), expected, 16));
    // n runs over the 12 usable blocks; reports at n = 0, 5, 10 with alternating colours.
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[0], std::make_pair(std::string("Blanking Check 0/12 Bad: 0"), toolkit::clRed));
    EXPECT_EQ(shown[1], std::make_pair(std::string("Blanking Check 5/12 Bad: 1"), toolkit::clBtnText));
    EXPECT_EQ(shown[2], std::make_pair(std::string("Blanking Check 10/12 Bad: 2"), toolkit::clRed));
    EXPECT_EQ(steps, (std::vector<int>{5, 5 + 300 * 5 / 12, 5 + 300 * 10 / 12}));
}

TEST_F(TableTest, ScanWithSpecialScanNamesThePageMode)
{
    SetGeometry(1, 32, 1);
    window.pageScan = true;
    ASSERT_EQ(ScanBadBlocks(*thread, 5, 5), 1);
    EXPECT_EQ(status.Caption(), "Specific mode 1 0/1 Bad: 0");
}

// ---- the device's own bitmap and info block ----

TEST_F(TableTest, BitmapBitsAreMostSignificantFirst)
{
    SetGeometry(1, 16, 16);
    answer = [](const RecordedCall& c) {
        ScriptedAnswer a{{}, true};
        if (c.cdb[1] == 0x98)
            a.reply = {0xFF, 0x00};
        return a;
    };
    uint32_t rate = 99;
    ASSERT_EQ(ReadBadBlockBitmap(*thread, rate), 1);
    for (uint32_t i = 0; i < 16; ++i)
        EXPECT_EQ(thread->pBlockTable[i], i < 8 ? 0xFF : 0) << i;
    EXPECT_EQ(rate, 50u);
    const auto calls = transport->calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(Be32(&calls[0].cdb[2]), 2u); // T / 8 bytes
    EXPECT_EQ(calls[0].length, 2u);
}

TEST_F(TableTest, BadBlockRateCountsOnlyTheUsableArea)
{
    SetGeometry(1, 1024, 1000); // 24 reserved blocks
    const struct {
        uint32_t bad;
        uint32_t rate;
    } cases[] = {{0, 0}, {24, 0}, {34, 1}, {214, 19}, {224, 20}, {234, 21}, {1024, 100}};
    for (auto c : cases) {
        answer = [&](const RecordedCall&) {
            ScriptedAnswer a{std::vector<uint8_t>(128, 0xFF), true};
            for (uint32_t i = 0; i < c.bad; ++i)
                a.reply[i / 8] &= uint8_t(~(0x80 >> (i % 8)));
            return a;
        };
        uint32_t rate = 12345;
        ASSERT_EQ(ReadBadBlockBitmap(*thread, rate), 1);
        EXPECT_EQ(rate, c.rate) << c.bad;
    }
}

TEST_F(TableTest, BadBlockRateWithNoUsableBlocksIsZero)
{
    SetGeometry(1, 16, 0); // every block reserved
    for (uint8_t byte : {uint8_t(0xFF), uint8_t(0x00)}) {
        answer = [byte](const RecordedCall&) { return ScriptedAnswer{{byte, byte}, true}; };
        uint32_t rate = 7;
        ASSERT_EQ(ReadBadBlockBitmap(*thread, rate), 1);
        EXPECT_EQ(rate, 0u) << int(byte);
    }
}

TEST_F(TableTest, BitmapTransferFailureReturnsZero)
{
    SetGeometry(1, 16, 16);
    answer = [](const RecordedCall&) { return ScriptedAnswer{{}, false}; };
    uint32_t rate = 7;
    EXPECT_EQ(ReadBadBlockBitmap(*thread, rate), 0);
}

TEST_F(TableTest, DeviceInfoValidity)
{
    const struct {
        const char* what;
        const char* tag;
        uint8_t pageLog2, pagesLog2;
        bool transfer;
        int valid;
    } cases[] = {
        {"valid", "6205", 11, 6, true, 1},
        {"smallest", "6205", 9, 5, true, 1},
        {"largest", "6205", 13, 9, true, 1},
        {"other tag", "6206", 11, 6, true, 0},
        {"page 256", "6205", 8, 6, true, 0},
        {"page 16384", "6205", 14, 6, true, 0},
        {"16 pages", "6205", 11, 4, true, 0},
        {"1024 pages", "6205", 11, 10, true, 0},
        {"no answer", "6205", 11, 6, false, 0},
    };
    for (auto c : cases) {
        answer = [&](const RecordedCall&) {
            ScriptedAnswer a{std::vector<uint8_t>(512, 0), c.transfer};
            std::memcpy(a.reply.data(), c.tag, 4);
            a.reply[84] = c.pageLog2;
            a.reply[87] = c.pagesLog2;
            a.reply[96] = 0x42;
            return a;
        };
        std::memset(thread->DeviceInfoCopy, 0, 512);
        EXPECT_EQ(ReadDeviceInfo(*thread), c.valid) << c.what;
        EXPECT_EQ(thread->bInfoValid, c.valid) << c.what;
        if (c.valid) {
            EXPECT_EQ(thread->bInfoByte96, 0x42);
            EXPECT_EQ(0, std::memcmp(thread->DeviceInfoCopy, "6205", 4));
        }
    }
}

// ---- the capacity rule ----

class CapacityTest : public ThreadTest {
protected:
    // 4096 blocks, the first `perGroup` of each 1024-block group good.
    void Table(uint32_t total, uint32_t perGroup)
    {
        SetGeometry(1, total, total, 64, 2048);
        for (uint32_t i = 0; i < total; ++i)
            thread->pBlockTable[i] = (i % 1024) < perGroup ? 0xFF : 0;
    }
};

TEST_F(CapacityTest, DegradeTrimsToAboutTheHalvedCount)
{
    Table(4096, 450); // G = 1800: N halves 4096 -> 2048 -> 1024 (1800 >= 1003)
    window.dealCapError = 0;
    ASSERT_EQ(CheckCapacityRule(*thread), 1);
    EXPECT_EQ(thread->bDegraded, 1);
    // Groups 0 and 1 keep their 450; in group 2 the counter passes 1024 - 14 at entry 131;
    // group 3 is cleared whole.
    uint32_t kept[4] = {};
    for (uint32_t i = 0; i < 4096; ++i)
        kept[i / 1024] += thread->pBlockTable[i] == 0xFF;
    EXPECT_EQ(kept[0], 450u);
    EXPECT_EQ(kept[1], 450u);
    EXPECT_EQ(kept[2], 131u);
    EXPECT_EQ(kept[3], 0u);
}

TEST_F(CapacityTest, ShowErrorFailsAndDoNotCareGoesOn)
{
    Table(4096, 450);
    window.dealCapError = 1;
    EXPECT_EQ(CheckCapacityRule(*thread), 0);
    EXPECT_EQ(status.Caption(), "Bad Block no Exceed");
    EXPECT_EQ(CountGoodBlocks(*thread), 1800u);

    window.dealCapError = 2;
    status.SetCaption("");
    EXPECT_EQ(CheckCapacityRule(*thread), 1);
    EXPECT_EQ(thread->bDegraded, 0);
    EXPECT_EQ(CountGoodBlocks(*thread), 1800u);
    EXPECT_EQ(status.Caption(), "");
}

TEST_F(CapacityTest, EnoughGoodBlocksChangeNothing)
{
    Table(4096, 1004); // 4016 >= 98% of 4096 (4014)
    window.dealCapError = 0;
    EXPECT_EQ(CheckCapacityRule(*thread), 1);
    EXPECT_EQ(thread->bDegraded, 0);
    EXPECT_EQ(CountGoodBlocks(*thread), 4016u);
}

TEST_F(CapacityTest, SmallFlashDegradesWithoutTrimming)
{
    Table(512, 100);
    window.dealCapError = 0;
    EXPECT_EQ(CheckCapacityRule(*thread), 1);
    EXPECT_EQ(thread->bDegraded, 1);
    EXPECT_EQ(CountGoodBlocks(*thread), 100u);
}

TEST_F(CapacityTest, ValidSizeBelowTheMinimumFails)
{
    Table(1024, 30); // 4 x 64 x 30 / 2048 = 3 MB
    window.minValidSize = 1;
    window.dealCapError = 2;
    EXPECT_EQ(CheckCapacityRule(*thread), 0);
    EXPECT_EQ(status.Caption(), "Valid Size too smallfail");
    thread->bBlocksPerChipOverride = 1;
    EXPECT_EQ(CheckCapacityRule(*thread), 1);
}

TEST_F(CapacityTest, SpecialScanWithUnusedPagesDegrades)
{
    Table(1024, 1024);
    window.dealCapError = 2;
    thread->bSpecialScan = 1;
    thread->PageTable[63] = 0;
    EXPECT_EQ(CheckCapacityRule(*thread), 1);
    EXPECT_EQ(thread->bDegraded, 1);
    thread->bSpecialScan = 0;
    EXPECT_EQ(CheckCapacityRule(*thread), 1);
    EXPECT_EQ(thread->bDegraded, 0);
}

// ---- system-area size ----

TEST_F(ThreadTest, SystemAreaFromTheCopyListSizes)
{
    SetGeometry(1, 1024, 1000, 64, 2048); // 128 KiB blocks
    window.firmwareSize = 200 * 1024;
    window.preferSize = 100 * 1024;
    window.isoSize = 5ull << 30; // not counted: ISO upgrade unchecked
    EXPECT_EQ(CalcSystemAreaBlocks(*thread), 1u);
    EXPECT_EQ(window.labels, (std::vector<std::string>{"System Area Size: 32 blocks"}));

    window.isoUpgrade = true; // 5 GiB counts: no 32-bit wrap
    window.labels.clear();
    EXPECT_EQ(CalcSystemAreaBlocks(*thread), 2561u);
}

TEST_F(ThreadTest, SystemAreaPagesPerBlockSetsTheBlockSize)
{
    SetGeometry(1, 1024, 1000, 64, 2048);
    thread->iSysAreaPagesPerBlock = 32; // 64 KiB blocks
    window.firmwareSize = 1;
    EXPECT_EQ(CalcSystemAreaBlocks(*thread), 1u);
    EXPECT_EQ(window.labels.back(), "System Area Size: 64 blocks");
}

TEST_F(ThreadTest, FixedSystemAreaSize)
{
    SetGeometry(1, 1024, 1000, 64, 2048);
    window.systemArea = true;
    window.systemAreaIndex = 1; // 8 MB
    EXPECT_EQ(CalcSystemAreaBlocks(*thread), 2u);
    EXPECT_EQ(window.labels.back(), "System Area Size: 8MB");
    EXPECT_TRUE(window.warnings.empty());

    window.firmwareSize = 10 << 20; // needs 24 MB
    EXPECT_EQ(CalcSystemAreaBlocks(*thread), 2u);
    EXPECT_EQ(window.warnings, (std::vector<std::string>{"Warning: The system area size you set is too small!"}));
}

TEST_F(ThreadTest, FixedSystemAreaIndexOutsideTheListCountsAsNoSelection)
{
    SetGeometry(1, 1024, 1000, 64, 2048);
    window.systemArea = true;
    for (int index : {32, 40, 2147483647, -5}) {
        window.systemAreaIndex = index;
        EXPECT_EQ(CalcSystemAreaBlocks(*thread), 0u) << index;
        EXPECT_EQ(window.labels.back(), "System Area Size: 0MB") << index;
    }
    window.systemAreaIndex = 31; // the last listed size
    EXPECT_EQ(CalcSystemAreaBlocks(*thread), 32u);
    EXPECT_EQ(window.labels.back(), "System Area Size: 128MB");
}

// ---- page-table queries ----

TEST_F(ThreadTest, PageTableQueries)
{
    thread->iPagesPerBlock = 64;
    EXPECT_EQ(IsPageUsed(*thread, 0), 1);
    thread->PageTable[0] = 0xFE;
    EXPECT_EQ(IsPageUsed(*thread, 0), 0);
    EXPECT_EQ(IsPageUsed(*thread, 64), 0); // beyond the block
    uint32_t page = 63;
    EXPECT_EQ(NextUsedPage(*thread, page), 0);
    EXPECT_EQ(page, 63u);
    std::memset(thread->PageTable, 0, 64);
    thread->PageTable[17] = 0xFF;
    page = 0;
    EXPECT_EQ(NextUsedPage(*thread, page), 1);
    EXPECT_EQ(page, 17u);
    EXPECT_EQ(NextUsedPage(*thread, page), 0);
    EXPECT_EQ(page, 17u);
}

// ---- the bad-block log ----

TEST_F(ThreadTest, BadBlockLogByteForByte)
{
    SetGeometry(1, 32, 32);
    MarkAllGood();
    const uint32_t bad[] = {0, 3, 4, 5, 9, 12, 17, 20, 31};
    for (uint32_t b : bad)
        thread->pBlockTable[b] = 0;
    thread->pBlockTable[9] = 0xFE;
    thread->pBlockTable[31] = 0x3A;
    thread->sFlashTypeName = "K9F1G08 x 2";
    ASSERT_EQ(WriteBadBlockLog(*thread, "0_bi_tab.txt"), 1);
    const std::string expected =
        "======================Flash Type: K9F1G08 x 2========================\r\n"
        "==================bad block list ecc detail==========================\r\n"
        "0000(0)  0003(0)  0004(0)  0005(0)  0009(FE)  0012(0)  0017(0)  0020(0)  \r\n"
        "0031(3A)  "
        "\r\n\r\n=====================================================================\r\n"
        "Total blocks: 32 \r\n"
        "Total bad bind blocks: 9 \r\n";
    EXPECT_EQ(dir.read("log/0_bi_tab.txt"), expected);
    EXPECT_EQ(thread->iLastBadCount, 9u);
}

TEST_F(ThreadTest, BadBlockLogWithNoBadBlocksAndATruncatedOldFile)
{
    SetGeometry(1, 32, 32);
    MarkAllGood();
    dir.write("log/3_bi_tab_cfg.txt", std::string(5000, 'x'));
    ASSERT_EQ(WriteBadBlockLog(*thread, "3_bi_tab_cfg.txt"), 1);
    EXPECT_EQ(dir.read("log/3_bi_tab_cfg.txt"),
              "======================Flash Type: ========================\r\n"
              "==================bad block list ecc detail==========================\r\n"
              "\r\n\r\n=====================================================================\r\n"
              "Total blocks: 32 \r\n"
              "Total bad bind blocks: 0 \r\n");
}

} // namespace
