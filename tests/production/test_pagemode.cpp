// Page modes: the page test, the page-table queries, the detection of a mode, and the special
// scan that reads every page under a mode's table and lets the closing analysis decide.
#include "test_blanking_fixture.h"

#include "device/PageMatrix.h"
#include "platform/AtomicFile.h"
#include "platform/Clock.h"
#include "production/PageMode.h"
#include "production/PageTableQueries.h"
#include "production/ScanLevel.h"

#include <cstdio>
#include <filesystem>

using namespace blanktest;

namespace {

std::string ReadLog(const std::string& path)
{
    std::string text;
    EXPECT_TRUE(platform::ReadWholeFile(path, text)) << path;
    return text;
}

std::string Hex(const char* format, unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::vector<uint8_t> Pattern(uint32_t mode, uint32_t pages)
{
    std::vector<uint8_t> table(pages);
    FillPattern(table.data(), mode, int32_t(pages));
    return table;
}

TEST(PageMode, PageTestAndChoice)
{
    // 255 - the ECC byte = the page's bit errors; only a used page (0xFF) counts.
    const struct { uint8_t table, ecc; int32_t pages; uint32_t threshold; int pass; } cases[] = {
        {0xFF, 250, 1, 4, 0}, {0x00, 250, 1, 4, 1}, {0xFE, 250, 1, 4, 1}, {0xFF, 251, 1, 4, 1},
        {0xFF, 0, 0, 4, 1},   {0xFF, 0, -3, 4, 1},  {0xFF, 0, 1, 255, 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PageEccPass(&c.table, &c.ecc, c.pages, c.threshold), c.pass)
            << int(c.table) << " " << int(c.ecc) << " " << c.pages << " " << c.threshold;
    const uint8_t table[4] = {0xFF, 0x00, 0xFF, 0xFF};
    const uint8_t row[4] = {255, 0, 255, 240};
    EXPECT_EQ(PageEccPass(table, row, 3, 4), 1); // page 3 lies past the count
    EXPECT_EQ(PageEccPass(table, row, 4, 4), 0);

    // The first strict maximum wins.
    const uint32_t counts[4][7] = {{}, {1024, 0, 1024}, {512, 512, 512, 512, 512, 512, 513}, {0, 0, 0, 0, 0, 7, 7}};
    const int chosen[4] = {-1, 0, 6, 5};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(ChoosePageMode(counts[i]), chosen[i]) << i;
}

using PageModes = RecordingScanTest;

TEST_F(PageModes, OnlyA0xFFByteInsideTheBlockMarksAUsedPage)
{
    std::fill(thread->PageTable, thread->PageTable + 64, uint8_t(0));
    thread->PageTable[0] = thread->PageTable[5] = thread->PageTable[32] = 0xFF; // 32: past the block
    thread->PageTable[1] = 0xFE;
    thread->PageTable[2] = 0x01;
    // From each page: whether it is used, and the next used page (none: the page stays).
    const uint32_t cases[][3] = {{0, 1, 5}, {1, 0, 5}, {4, 0, 5}, {5, 1, 5}, {32, 0, 32}};
    for (const auto& [from, used, next] : cases) {
        uint32_t page = from;
        EXPECT_EQ(IsPageUsed(*thread, from), int(used)) << from;
        EXPECT_EQ(NextUsedPage(*thread, page), next != from ? 1 : 0) << from;
        EXPECT_EQ(page, next) << from;
    }
}

// One random block in each sixteenth of the flash is read under every table, All Pages
// first. A table scores its passing samples x 32 pages / 2; All Pages keeps all 32 pages
// and scores them x its passing samples.
TEST_F(PageModes, DetectionReadsSixteenSamplesUnderEachTableAndLogsThem)
{
    Geometry(1, 512, 400, 32);
    thread->bLogBiTable = 1;
    thread->iSlot = 3;
    const uint8_t row[1] = {0xFF};
    ASSERT_TRUE(platform::MakeDirs(dir.file("log")));
    EXPECT_EQ(WriteModeEccLog(*thread, 1, 3, 5, 0, row, 1), 1); // sets the last mode: 5
    std::filesystem::create_symlink("/dev/full", dir.file("log/9_ModeEcc.txt"));
    EXPECT_EQ(WriteModeEccLog(*thread, 1, 9, 5, 0, row, 1), 0); // the disk is full
    platform::FakeClock clock;
    clock.advance(99);
    ScanRandomSeed(99);
    std::vector<uint32_t> samples;
    for (uint32_t i = 0; i < 16; ++i)
        samples.push_back(uint32_t(ScanRandom()) % 32 + i * 32);
    // Odd pages with 10 bit errors in the blocks below weakBelow.
    const struct { uint32_t weakBelow; int mode; } cases[] = {
        {0, 6},   // 32 x 16 against 16 x 32 / 2
        {320, 2}, // 10 samples weak: 32 x 6 against even pages' 16 x 32 / 2
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        pageValue = [&](uint32_t block, uint32_t p) -> uint8_t { return block < c.weakBelow && p % 2 ? 0xF5 : 0xFF; };
        const size_t before = drive.transport->callCount();
        platform::SetClock(&clock);
        EXPECT_EQ(DetectPageMode(*thread), c.mode);
        platform::SetClock(nullptr);
        EXPECT_EQ(status.Caption(), "Mode Detection");
        const auto calls = drive.transport->calls();
        ASSERT_EQ(calls.size() - before, 7u * 17u);
        std::string log;
        for (int pass = 0; pass < 7; ++pass) {
            const int mode = (pass + 6) % 7;
            EXPECT_EQ(calls[before + size_t(pass) * 17].data, Pattern(uint32_t(mode), 32));
            log += "Mode " + production::DefaultPageModeName(mode) + "\r\n" + std::string(44, '=') + "\r\n";
            for (uint32_t i = 0; i < 16; ++i) {
                const ScanCommand read = Decode(calls[before + size_t(pass) * 17 + 1 + i].cdb.data());
                EXPECT_EQ(read, Scan(samples[i], read.pattern, 1, 3, 0, 4, 1));
                log += Hex("%04u:", samples[i]);
                for (uint32_t p = 0; p < 32; ++p)
                    log += Hex(" %02X", pageValue(samples[i], p));
                log += "\r\n";
            }
        }
        EXPECT_EQ(ReadLog(dir.file("log/3_ModeEcc.txt")), log);
    }
}

BlankingSettings Special(uint32_t level, uint32_t pageMode, uint32_t readTimes = 0, bool fast = false)
{
    BlankingSettings s;
    s.scanLevel = level, s.specialScan = true, s.pageMode = pageMode, s.pageSkip = 1;
    s.pattern = 0x00F0, s.readTimes = readTimes, s.fastCheck = fast;
    return s;
}

TEST_F(PageModes, SpecialScanSetupAndReadFailuresStopAndReleaseTheTable)
{
    const struct { BlankingSettings settings; uint32_t chips, blocks, failAt; const char* text; size_t sent; int gauge = 0; } cases[] = {
        {Special(0, 8), 2, 8, 0, "Mode Detectionfail", 0},
        {Special(0, 7), 1, 15, 0, "Mode Detectionfail", 0}, // detection needs 16 blocks to sample
        {Special(0, 3), 2, 8, 1, "Send Pagetable fail", 1},
        // Pass 1 reaches 5 + (300 x 10 / 2) / 12 = 130 at block 10; pass 2 fails after block 5.
        {Special(1, 2), 2, 8, 1 + 12 + 11, "Blanking Checkfail", 24, 130 + 62},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        Geometry(c.chips, c.blocks, c.blocks * 3 / 4, 32);
        count = 0;
        failAt = c.failAt;
        const size_t before = drive.transport->callCount();
        EXPECT_EQ(BlankingCheck(*thread, 5, 305, c.settings), 0);
        EXPECT_EQ(status.Caption(), c.text);
        EXPECT_EQ(drive.transport->callCount() - before, c.sent);
        EXPECT_EQ(thread->pPageEccTable, nullptr);
        EXPECT_EQ(gauge.Progress(), c.gauge);
    }
}

// Every page of every block is read under the mode's table, past the stop limit of 64-page
// blocks with no good verdict. Page 5 of blocks 3 and 258 has 5 bit errors (threshold 4):
// the text counts page-test failures (Level 2 also the blocks its first pass marked), the
// closing analysis alone decides the table; fast rows from 256 on read 0xFF.
TEST_F(PageModes, SpecialScanReadsPerPageAndTheClosingAnalysisDecides)
{
    Geometry(1, 300, 260, 64);
    bad = {7};
    pageValue = [](uint32_t b, uint32_t p) -> uint8_t { return (b == 3 || b == 258) && p == 5 ? 250 : 0xFF; };
    thread->bLogBiTable = 1;
    thread->iSlot = 3;
    thread->sFlashTypeName = "K9F1G08";
    const struct { uint32_t level, mode, readTimes; bool fast; size_t plain, perPage; ScanCommand last; const char* text; std::set<uint32_t> bad; } cases[] = {
        // Detected (7): All Pages keeps every page; 7 x 16 sample reads come first.
        {0, 7, 0, true, 0, 112 + 256, Scan(255, 0, 1, 3, 1, 4, 1), "All Pages 255/260 Bad: ?", {3}},
        {1, 3, 0, false, 260, 260, Scan(259, 0xAA55, 2, 1, 1, 4, 1), "Odd pages 255/260 Bad: 2", {3, 258}},
        {2, 0, 0, false, 260, 260, Scan(259, 0, 1, 1, 1, 4, 1), "Specific mode 1 255/260 Bad: 0", {}}, // page 5 unused
        {4, 3, 0, false, 0, 518, Scan(259, 0xAA55, 2, 3, 1, 4, 1), "Odd pages 255/260 Bad: 1", {3, 258}},
        {5, 4, 1, false, 0, 260, Scan(259, 0xFF0F, 2, 1, 1, 4, 1), "First Half 255/260 Bad: 1", {3, 258}},
        {6, 1, 0, false, 260, 260, Scan(259, 0xAA55, 4, 1, 1, 4, 1), "Specific mode 2 255/260 Bad: 1", {3, 258}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.level);
        const size_t before = drive.transport->callCount();
        ASSERT_EQ(BlankingCheck(*thread, 5, 305, Special(c.level, c.mode, c.readTimes, c.fast)), 1);
        const auto sent = Commands(before);
        EXPECT_EQ(sent.front(), ScanCommand{0x9B});
        EXPECT_EQ(drive.transport->calls()[before].data, Pattern(std::min(c.mode, 6u), 64));
        size_t reads[2] = {};
        for (const ScanCommand& x : sent)
            reads[x.perPage & 1] += x.opcode == 0x93;
        EXPECT_EQ(std::make_pair(reads[0], reads[1]), std::make_pair(c.plain, c.perPage));
        ScanCommand last = sent.back();
        last.pattern = c.last.pattern ? last.pattern : 0; // Levels 1 and 3: random
        EXPECT_EQ(last, c.last);
        EXPECT_EQ(status.Caption(), c.text);
        EXPECT_EQ(Table(), ExpectedTable(c.bad));
        EXPECT_EQ(thread->pPageEccTable, nullptr);
        EXPECT_EQ(thread->pPageMatrix, nullptr);
    }
    // The last run's page table, and the page bytes of the first chip's blocks.
    const std::string head = "====Flash Type: K9F1G08==========================\r\n";
    std::string table = head + "=========page table ========\r\n", ecc = head + "=========page ECC table ========\r\n";
    for (uint32_t p = 0; p < 64; ++p)
        table += (p && p % 8 == 0 ? "\r\n" : "") + Hex("0x%02X ", Pattern(1, 64)[p]);
    for (uint32_t b = 0; b < 300; ++b) {
        ecc += Hex("%04u: ", b);
        for (uint32_t p = 0; p < 64; ++p)
            ecc += Hex("%02X ", b < 260 ? pageValue(b, p) : 0);
        ecc += "\r\n";
    }
    EXPECT_EQ(ReadLog(dir.file("log/3_page_tab.txt")), table + "\r\nValid Page  32\r\n");
    EXPECT_EQ(ReadLog(dir.file("log/3_Ecc_Tab.txt")), ecc);
    WriteEccTableLog(*thread, "3_Ecc_Tab.txt"); // the table is gone: the heading alone
    EXPECT_EQ(ReadLog(dir.file("log/3_Ecc_Tab.txt")), head + "=========page ECC table ========\r\n");

    // All Pages keeps the best 120 pages of a larger block and judges the blocks on those.
    Geometry(2, 8, 6, 128);
    pageValue = [](uint32_t, uint32_t p) -> uint8_t { return p == 127 ? 0 : 0xFF; };
    ASSERT_EQ(BlankingCheck(*thread, 5, 305, Special(4, 6)), 1);
    EXPECT_EQ(std::count(thread->PageTable, thread->PageTable + 128, 0xFF), 120);
    EXPECT_EQ(thread->PageTable[127], 0);
    EXPECT_EQ(Table(), ExpectedTable({}));
}

} // namespace
