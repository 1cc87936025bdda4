// The special scan: set-up, per-page reads with the page test, and the closing analysis
// into the page table and the block table.
#include "test_blanking_fixture.h"

#include "device/PageMatrix.h"

using namespace blanktest;

namespace {

BlankingSettings Special(uint32_t level, uint32_t pageMode, uint32_t pageSkip = 1)
{
    BlankingSettings s;
    s.scanLevel = level;
    s.specialScan = true;
    s.pageMode = pageMode;
    s.pageSkip = pageSkip;
    return s;
}

std::vector<uint8_t> Pattern(uint32_t mode, uint32_t pages)
{
    std::vector<uint8_t> table(pages);
    FillPattern(table.data(), mode, int32_t(pages));
    return table;
}

class SpecialCommands : public RecordingScanTest {
protected:
    std::vector<uint8_t> Pages() const { return {thread->PageTable, thread->PageTable + 32}; }
};

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
    EXPECT_EQ(Pages(), Pattern(3, 32));
    EXPECT_EQ(thread->PageTable[32], 0xFF); // past the block's pages nothing changes
    EXPECT_EQ(thread->pPageEccTable, nullptr);
    EXPECT_EQ(thread->pPageMatrix, nullptr);
    EXPECT_EQ(status.Caption(), "Odd pages 10/12 Bad: 2");
}

TEST_F(SpecialCommands, OtherLevelsCommandsAndTexts)
{
    // Level 6 reading only reads the complement of its pattern.
    BlankingSettings s = Special(5, 4);
    s.pattern = 0x00F0;
    s.readTimes = 1;
    const size_t before = drive.transport->callCount();
    ASSERT_EQ(BlankingCheck(*thread, 5, 305, s), 1);
    std::vector<ScanCommand> expected = {{0x9B}};
    for (uint32_t a : Usable())
        expected.push_back(Scan(a, 0xFF0F, 2, 1, 1, 4, 1));
    const auto sent = Commands();
    EXPECT_EQ(std::vector<ScanCommand>(sent.begin() + long(before), sent.end()), expected);
}

TEST_F(SpecialCommands, NoStopRuleInTheSpecialBranch)
{
    Geometry(1, 1024, 1000, 64);
    pageValue = [](uint32_t, uint32_t) -> uint8_t { return 0; };
    ASSERT_EQ(BlankingCheck(*thread, 5, 305, Special(0, 0)), 1);
    EXPECT_EQ(Table(), std::vector<uint8_t>(1024, 0));
    EXPECT_EQ(status.Caption(), "Specific mode 1 995/1000 Bad: 996");
}

} // namespace
