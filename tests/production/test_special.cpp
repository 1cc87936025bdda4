// The special scan: set-up, per-page reads with the page test, and the closing analysis.
#include "test_blanking_fixture.h"

#include "device/PageMatrix.h"

using namespace blanktest;

namespace {

BlankingSettings Special(uint32_t level, uint32_t pageMode, uint32_t readTimes = 0, bool fast = false)
{
    BlankingSettings s;
    s.scanLevel = level, s.specialScan = true, s.pageMode = pageMode, s.pageSkip = 1;
    s.pattern = 0x00F0, s.readTimes = readTimes, s.fastCheck = fast;
    return s;
}

std::vector<uint8_t> Pattern(uint32_t mode, uint32_t pages)
{
    std::vector<uint8_t> table(pages);
    FillPattern(table.data(), mode, int32_t(pages));
    return table;
}

using SpecialCommands = RecordingScanTest;

TEST_F(SpecialCommands, SetupAndReadFailuresStopAndReleaseTheTable)
{
    EXPECT_EQ(BlankingCheck(*thread, 5, 305, Special(0, 8)), 0);
    EXPECT_EQ(status.Caption(), "Mode Detectionfail");
    EXPECT_TRUE(Commands().empty());

    Geometry(1, 15, 12, 32); // detection needs 16 blocks to sample
    EXPECT_EQ(BlankingCheck(*thread, 5, 305, Special(0, 7)), 0);
    EXPECT_EQ(status.Caption(), "Mode Detectionfail");
    EXPECT_TRUE(Commands().empty());

    Geometry(2, 8, 6, 32);
    failAt = 1;
    EXPECT_EQ(BlankingCheck(*thread, 5, 305, Special(0, 3)), 0);
    EXPECT_EQ(status.Caption(), "Send Pagetable fail");
    EXPECT_EQ(thread->pPageEccTable, nullptr);
    EXPECT_EQ(Commands(), std::vector<ScanCommand>{{0x9B}});

    count = 0;
    failAt = 4;
    EXPECT_EQ(BlankingCheck(*thread, 5, 305, Special(4, 2)), 0);
    EXPECT_EQ(status.Caption(), "Blanking Checkfail");
    EXPECT_EQ(thread->pPageEccTable, nullptr);
}

TEST_F(SpecialCommands, Level2ReadsEveryPageOfEveryBlockAfterSendingTheTable)
{
    bad = {2};
    // Block 3's page 5 shows 5 bit errors (threshold 4); block 9's page 4 as well, but
    // "Odd pages" does not use page 4.
    pageValue = [](uint32_t block, uint32_t page) -> uint8_t {
        return (block == 3 && page == 5) || (block == 9 && page == 4) ? 250 : 0xFF;
    };
    ASSERT_EQ(BlankingCheck(*thread, 5, 305, Special(1, 3)), 1);
    EXPECT_EQ(drive.transport->calls()[0].data, Pattern(3, 32));
    std::vector<ScanCommand> expected = {{0x9B}};
    for (uint32_t a : Usable())
        expected.push_back(Scan(a, 0xAA55, 2, 2, 1, 4)); // pass 1 has no special branch
    for (uint32_t a : Usable())
        expected.push_back(Scan(a, 0xAA55, 2, 1, 1, 4, 1)); // every block, marks or not
    EXPECT_EQ(Commands(), expected);

    // The closing analysis decides alone: block 2 answered all pages good per page.
    EXPECT_EQ(Table(), ExpectedTable({3}));
    EXPECT_EQ(std::vector<uint8_t>(thread->PageTable, thread->PageTable + 32), Pattern(3, 32));
    EXPECT_EQ(thread->PageTable[32], 0xFF); // past the block's pages nothing changes
    EXPECT_EQ(thread->pPageEccTable, nullptr);
    EXPECT_EQ(thread->pPageMatrix, nullptr);
    EXPECT_EQ(status.Caption(), "Odd pages 10/12 Bad: 2");
}

// Special branches read every page, past the stop limit of 64-page blocks with no good verdict.
// Page 5 of blocks 3 and 258 has 5 bit errors (threshold 4): the text counts page-test failures,
// the closing analysis alone decides the table; fast rows from 256 on read 0xFF.
TEST_F(SpecialCommands, LevelsReadPerPageAndTheClosingAnalysisDecides)
{
    Geometry(1, 300, 260, 64);
    pageValue = [](uint32_t b, uint32_t p) -> uint8_t { return (b == 3 || b == 258) && p == 5 ? 250 : 0xFF; };
    const struct { uint32_t level, mode, readTimes; bool fast; size_t plain, perPage; ScanCommand last; const char* text; std::set<uint32_t> bad; } cases[] = {
        {0, 6, 0, true, 0, 256, Scan(255, 0, 1, 3, 1, 4, 1), "All Pages 255/260 Bad: ?", {3}}, // no page test in mode 6
        {2, 1, 0, false, 260, 260, Scan(259, 0, 1, 1, 1, 4, 1), "Specific mode 2 255/260 Bad: 1", {3, 258}},
        {4, 3, 0, false, 0, 518, Scan(259, 0xAA55, 2, 3, 1, 4, 1), "Odd pages 255/260 Bad: 1", {3, 258}},
        {5, 4, 1, false, 0, 260, Scan(259, 0xFF0F, 2, 1, 1, 4, 1), "First Half 255/260 Bad: 1", {3, 258}},
        {6, 1, 0, false, 260, 260, Scan(259, 0xAA55, 4, 1, 1, 4, 1), "Specific mode 2 255/260 Bad: 1", {3, 258}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.level);
        const size_t before = drive.transport->callCount();
        ASSERT_EQ(BlankingCheck(*thread, 5, 305, Special(c.level, c.mode, c.readTimes, c.fast)), 1);
        size_t reads[2] = {};
        for (const ScanCommand& x : Since(before))
            reads[x.perPage & 1] += x.opcode == 0x93;
        EXPECT_EQ(std::make_pair(reads[0], reads[1]), std::make_pair(c.plain, c.perPage));
        ScanCommand last = Since(before).back();
        last.pattern = c.last.pattern ? last.pattern : 0; // Levels 1 and 3: random
        EXPECT_EQ(last, c.last);
        EXPECT_EQ(status.Caption(), c.text);
        EXPECT_EQ(Table(), ExpectedTable(c.bad));
    }
}

} // namespace
