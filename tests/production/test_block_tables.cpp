// Block tables: the clear-flash scan, the device's own bitmap and info block, the capacity
// rule, the system-area size, the page-table queries and the bad-block log.
#include "ProductionFixture.h"

#include "production/BlockTables.h"
#include "production/FlashRecord.h"

#include <cstring>

using namespace prodtest;

namespace {

TEST_F(ThreadTest, ScanFillsTheTableAndReportsEveryFifthBlock)
{
    SetGeometry(2, 8, 6, 64);
    gauge.SetMaxValue(400);
    status.Font()->SetColor(toolkit::clBtnText);
    std::vector<std::pair<std::string, toolkit::TColor>> shown;
    status.AddObserver([&](toolkit::TControl& c, toolkit::Prop what) {
        if (what == toolkit::Prop::Caption)
            shown.emplace_back(c.Caption(), c.Font()->Color());
    });
    // Blocks 1 and 10 (chip 1, block 2) fail their check.
    answer = [](const RecordedCall& c) {
        const uint32_t block = Be32(&c.cdb[2]);
        return ScriptedAnswer{{uint8_t(block == 1 || block == 10 ? 0 : 1)}, true};
    };
    ASSERT_EQ(ScanBadBlocks(*thread, 5, 305), 1);
    EXPECT_EQ(thread->iLastBadCount, 2u);
    const uint8_t expected[16] = {0xFF, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0xFF, 0xFF, 0, 0xFF, 0xFF, 0xFF, 0, 0};
    EXPECT_EQ(0, std::memcmp(thread->pBlockTable.get(), expected, 16));
    // n runs over the 12 usable blocks; reports at n = 0, 5, 10 with alternating colours.
    using Shown = std::vector<std::pair<std::string, toolkit::TColor>>;
    EXPECT_EQ(shown, (Shown{{"Blanking Check 0/12 Bad: 0", toolkit::clRed},
                            {"Blanking Check 5/12 Bad: 1", toolkit::clBtnText},
                            {"Blanking Check 10/12 Bad: 2", toolkit::clRed}}));
    EXPECT_EQ(gauge.Progress(), 5 + 300 * 10 / 12);
    // With the special scan set the text names the first page mode; a fresh station (no
    // window) has it unset.
    window.pageScan = true;
    ASSERT_EQ(ScanBadBlocks(*thread, 5, 305), 1);
    EXPECT_EQ(shown.back().first, "Specific mode 1 10/12 Bad: 2");
    production::SetWindowLink(nullptr);
    ASSERT_EQ(ScanBadBlocks(*thread, 5, 305), 1);
    EXPECT_EQ(shown.back().first, "Blanking Check 10/12 Bad: 2");
    production::SetWindowLink(&window);
}

TEST_F(ThreadTest, BitmapBitsAreMostSignificantFirst)
{
    SetGeometry(1, 16, 16);
    answer = [](const RecordedCall&) { return ScriptedAnswer{{0xFF, 0x00}, true}; };
    uint32_t rate = 99;
    ASSERT_EQ(ReadBadBlockBitmap(*thread, rate), 1);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(thread->pBlockTable[i], i < 8 ? 0xFF : 0) << i;
    EXPECT_EQ(rate, 50u);
    const auto calls = drive.transport->calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(std::vector<uint32_t>({calls[0].opcode(), Be32(&calls[0].cdb[2]), uint32_t(calls[0].length)}),
              std::vector<uint32_t>({0x98, 2, 2})); // T / 8 bytes

    answer = [](const RecordedCall&) { return ScriptedAnswer{{}, false}; };
    EXPECT_EQ(ReadBadBlockBitmap(*thread, rate), 0);
}

TEST_F(ThreadTest, BadBlockRateCountsOnlyTheUsableAreaNeverBelowZero)
{
    // 1024 blocks, 1000 usable, threshold 20 %: at, above and below; the 24 reserved blocks
    // never count, even when more of them read bad than usable blocks.
    const struct { uint32_t usable, bad, rate; } cases[] = {
        {1000, 0, 0},   {1000, 24, 0},   {1000, 34, 1},   {1000, 214, 19},
        {1000, 224, 20}, {1000, 234, 21}, {1000, 1024, 100}, {0, 0, 0}, {0, 1024, 0}};
    for (auto c : cases) {
        SetGeometry(1, 1024, c.usable);
        answer = [&](const RecordedCall&) {
            ScriptedAnswer a{std::vector<uint8_t>(128, 0xFF), true};
            for (uint32_t i = 0; i < c.bad; ++i)
                a.reply[i / 8] &= uint8_t(~(0x80 >> (i % 8)));
            return a;
        };
        uint32_t rate = 12345;
        ASSERT_EQ(ReadBadBlockBitmap(*thread, rate), 1);
        EXPECT_EQ(rate, c.rate) << c.usable << " " << c.bad;
    }
}

TEST_F(ThreadTest, DeviceInfoValidity)
{
    const struct { const char* tag; uint8_t pageLog2, pagesLog2; bool transfer; int valid; } cases[] = {
        {"6205", 11, 6, true, 1},  {"6205", 9, 5, true, 1},   {"6205", 13, 9, true, 1},
        {"6206", 11, 6, true, 0},  {"6205", 8, 6, true, 0},   {"6205", 14, 6, true, 0},
        {"6205", 11, 4, true, 0},  {"6205", 11, 10, true, 0}, {"6205", 11, 6, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        answer = [&](const RecordedCall&) {
            ScriptedAnswer a{std::vector<uint8_t>(512, 0), c.transfer};
            std::memcpy(a.reply.data(), c.tag, 4);
            a.reply[84] = c.pageLog2;
            a.reply[87] = c.pagesLog2;
            a.reply[96] = 0x42;
            return a;
        };
        std::memset(thread->DeviceInfoCopy, 0, 512);
        EXPECT_EQ(ReadDeviceInfo(*thread), c.valid);
        EXPECT_EQ(thread->bInfoValid, c.valid);
        if (c.valid) {
            EXPECT_EQ(thread->bInfoByte96, 0x42);
            EXPECT_EQ(0, std::memcmp(thread->DeviceInfoCopy, "6205", 4));
        }
    }
}

class CapacityTest : public ThreadTest {
protected:
    // `total` blocks, the first `perGroup` of each 1024-block group good.
    void Table(uint32_t total, uint32_t perGroup)
    {
        SetGeometry(1, total, total, 64, 2048);
        for (uint32_t i = 0; i < total; ++i)
            thread->pBlockTable[i] = (i % 1024) < perGroup ? 0xFF : 0;
    }
};

TEST_F(CapacityTest, Cases)
{
    const struct {
        const char* what;
        uint32_t total, perGroup;
        uint8_t dealCapError;
        int result, degraded;
        uint32_t good;
        const char* caption;
    } cases[] = {
        {"degrade trims", 4096, 450, 0, 1, 1, 450 + 450 + 131, ""},
        {"show error", 4096, 450, 1, 0, 0, 1800, "Bad Block no Exceed"},
        {"do not care", 4096, 450, 2, 1, 0, 1800, ""},
        {"98 % good", 4096, 1004, 0, 1, 0, 4016, ""},
        {"98 % of 1024 rounded down: 1003 good is enough", 1024, 1003, 0, 1, 0, 1003, ""},
        {"1002 good is not: halved to 512 and 7 uncounted", 1024, 1002, 0, 1, 1, 519, ""},
        {"small flash degrades untrimmed", 512, 100, 0, 1, 1, 100, ""},
    };
    for (const auto& c : cases) {
        Table(c.total, c.perGroup);
        window.dealCapError = c.dealCapError;
        status.SetCaption("");
        thread->bDegraded = 0;
        EXPECT_EQ(CheckCapacityRule(*thread), c.result) << c.what;
        EXPECT_EQ(thread->bDegraded, c.degraded) << c.what;
        EXPECT_EQ(CountGoodBlocks(*thread), c.good) << c.what;
        EXPECT_EQ(status.Caption(), c.caption) << c.what;
    }
    // Without a window a fresh station's settings apply: a 2 % shortfall.
    production::SetWindowLink(nullptr);
    Table(1024, 1002);
    EXPECT_EQ(CheckCapacityRule(*thread), 1);
    EXPECT_EQ(thread->bDegraded, 1);
    production::SetWindowLink(&window);
    // The trimmed table: G = 1800 halves N 4096 -> 2048 -> 1024; group 2 is cut where the
    // counter passes 1024 - 14, group 3 cleared whole.
    Table(4096, 450);
    window.dealCapError = 0;
    ASSERT_EQ(CheckCapacityRule(*thread), 1);
    uint32_t kept[4] = {};
    for (uint32_t i = 0; i < 4096; ++i)
        kept[i / 1024] += thread->pBlockTable[i] == 0xFF;
    EXPECT_EQ(std::vector<uint32_t>(kept, kept + 4), (std::vector<uint32_t>{450, 450, 131, 0}));
}

TEST_F(CapacityTest, MinimumValidSizeAndSpecialScanPages)
{
    Table(1024, 30); // 4 x 64 x 30 / 2048 = 3 MB
    window.minValidSize = 1;
    window.dealCapError = 2;
    EXPECT_EQ(CheckCapacityRule(*thread), 0);
    EXPECT_EQ(status.Caption(), "Valid Size too smallfail");
    thread->bBlocksPerChipOverride = 1;
    EXPECT_EQ(CheckCapacityRule(*thread), 1);

    Table(1024, 1024);
    thread->bSpecialScan = 1;
    thread->PageTable[63] = 0;
    EXPECT_EQ(CheckCapacityRule(*thread), 1);
    EXPECT_EQ(thread->bDegraded, 1);
    thread->bSpecialScan = 0;
    EXPECT_EQ(CheckCapacityRule(*thread), 1);
    EXPECT_EQ(thread->bDegraded, 0);
}

TEST_F(ThreadTest, SystemAreaFromTheCopyListSizes)
{
    SetGeometry(1, 1024, 1000, 64, 2048); // 128 KiB blocks
    window.firmwareSize = 200 * 1024;
    window.preferSize = 100 * 1024;
    window.isoSize = 5ull << 30; // not counted: ISO upgrade unchecked
    EXPECT_EQ(CalcSystemAreaBlocks(*thread), 1u);
    EXPECT_EQ(window.labels, (std::vector<std::string>{"System Area Size: 32 blocks"}));
    window.isoUpgrade = true; // 5 GiB counts: no 32-bit wrap
    EXPECT_EQ(CalcSystemAreaBlocks(*thread), 2561u);

    window.isoUpgrade = false;
    window.firmwareSize = 1;
    window.preferSize = 0;
    thread->iSysAreaPagesPerBlock = 32; // 64 KiB blocks
    EXPECT_EQ(CalcSystemAreaBlocks(*thread), 1u);
    EXPECT_EQ(window.labels.back(), "System Area Size: 64 blocks");
}

TEST_F(ThreadTest, FixedSystemAreaSize)
{
    SetGeometry(1, 1024, 1000, 64, 2048);
    window.systemArea = true;
    const struct { int index; uint32_t blocks; const char* label; } cases[] = {
        {1, 2, "8MB"},  {31, 32, "128MB"}, {32, 0, "0MB"},
        {40, 0, "0MB"}, {2147483647, 0, "0MB"}, {-5, 0, "0MB"}};
    for (auto c : cases) {
        window.systemAreaIndex = c.index;
        EXPECT_EQ(CalcSystemAreaBlocks(*thread), c.blocks) << c.index;
        EXPECT_EQ(window.labels.back(), std::string("System Area Size: ") + c.label) << c.index;
        if (c.blocks) {
            EXPECT_TRUE(window.warnings.empty()) << c.index;
        }
    }
    window.warnings.clear();
    window.systemAreaIndex = 1;
    window.firmwareSize = 10 << 20; // needs 24 MB
    EXPECT_EQ(CalcSystemAreaBlocks(*thread), 2u);
    EXPECT_EQ(window.warnings, (std::vector<std::string>{"Warning: The system area size you set is too small!"}));
}

TEST_F(ThreadTest, BadBlockLogByteForByte)
{
    SetGeometry(1, 32, 32);
    MarkAllGood();
    for (uint32_t b : {0, 3, 4, 5, 9, 12, 17, 20, 31})
        thread->pBlockTable[b] = 0;
    thread->pBlockTable[9] = 0xFE;
    thread->pBlockTable[31] = 0x3A;
    thread->sFlashTypeName = "K9F1G08 x 2";
    ASSERT_EQ(WriteBadBlockLog(*thread, "0_bi_tab.txt"), 1);
    EXPECT_EQ(dir.read("log/0_bi_tab.txt"),
              "======================Flash Type: K9F1G08 x 2========================\r\n"
              "==================bad block list ecc detail==========================\r\n"
              "0000(0)  0003(0)  0004(0)  0005(0)  0009(FE)  0012(0)  0017(0)  0020(0)  \r\n"
              "0031(3A)  "
              "\r\n\r\n=====================================================================\r\n"
              "Total blocks: 32 \r\n"
              "Total bad bind blocks: 9 \r\n");
    EXPECT_EQ(thread->iLastBadCount, 9u);

    // No bad blocks, and a longer old file is cut to the new text.
    MarkAllGood();
    thread->sFlashTypeName = "";
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
