// The page matrix: judging rows under a page mask, the automatic page-table choice with its
// candidate log, and the fixed page patterns.
#include "device/PageMatrix.h"

#include "platform/AtomicFile.h"
#include "platform/ProgramDir.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<uint8_t> Filled(uint32_t rows, uint32_t cols, uint8_t value)
{
    return std::vector<uint8_t>(size_t(rows) * cols, value);
}

std::vector<uint32_t> Columns(const std::vector<PageColumnCount>& order)
{
    std::vector<uint32_t> columns;
    for (const auto& entry : order)
        columns.push_back(entry.column);
    return columns;
}

class PageMatrixLogTest : public ::testing::Test {
protected:
    void SetUp() override { platform::SetProgramDir(dir.path()); }
    std::string Log()
    {
        std::string text;
        EXPECT_TRUE(platform::ReadWholeFile(dir.file("log/page_and_size.txt"), text));
        return text;
    }
    testsupport::TempDir dir;
};

TEST(PageMatrix, ThresholdAndRowMarks)
{
    const uint8_t values[] = {253, 255, 252, 255, 255, 255};
    CMyPage page(3, 2, 2, values);
    EXPECT_FALSE(page.ExceedsThreshold(253));
    EXPECT_TRUE(page.ExceedsThreshold(252));

    // The row minimum over the selected columns decides; a mask with no column makes every
    // row unusable.
    const uint8_t both[] = {0xFF, 0xFF};
    const uint8_t second[] = {0x00, 0xFF};
    const uint8_t none[] = {0x00, 0x00};
    uint8_t marks[3];
    page.MarkRows(both, marks);
    EXPECT_EQ((std::vector<uint8_t>(marks, marks + 3)), (std::vector<uint8_t>{0xFF, 0x00, 0xFF}));
    page.MarkRows(second, marks);
    EXPECT_EQ((std::vector<uint8_t>(marks, marks + 3)), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF}));
    page.MarkRows(none, marks);
    EXPECT_EQ((std::vector<uint8_t>(marks, marks + 3)), (std::vector<uint8_t>{0, 0, 0}));

    // Only a threshold of 255 or more lets the empty selection pass.
    CMyPage lenient(3, 2, 255, values);
    lenient.MarkRows(none, marks);
    EXPECT_EQ((std::vector<uint8_t>(marks, marks + 3)), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF}));
}

TEST(PageMatrix, UsableSizeCountsMarkedRowsTimesPages)
{
    const auto values = Filled(150, 8, 255);
    CMyPage page(150, 8, 2, values.data());
    std::vector<uint8_t> marks(150, 0);
    for (int r = 0; r < 100; ++r)
        marks[r * 3 / 2] = 0xFF;
    EXPECT_EQ(page.UsableSize(marks.data(), 120), 12000u);
}

TEST(PageMatrix, ExchangeSortOrdersAreNotStable)
{
    // Columns 1, 2, 3 within the threshold in 5, 5 and 7 of 7 rows: entries 1-3 end as
    // columns 3, 2, 1.
    const uint32_t rows = 7, cols = 4;
    auto values = Filled(rows, cols, 255);
    for (uint32_t r = 5; r < rows; ++r) {
        values[r * cols + 1] = 0;
        values[r * cols + 2] = 0;
    }
    CMyPage page(rows, cols, 2, values.data());
    EXPECT_EQ(Columns(page.ColumnOrder(0)), (std::vector<uint32_t>{0, 3, 2, 1}));
    const auto a = page.ColumnOrder(0);
    EXPECT_EQ(a[1].count, 7u);
    EXPECT_EQ(a[3].count, 5u);

    // Equal counts keep A = 0, 1, 2, ... and B = 1, 0, 2, 3, ...
    const auto flat = Filled(3, 6, 255);
    CMyPage even(3, 6, 2, flat.data());
    EXPECT_EQ(Columns(even.ColumnOrder(0)), (std::vector<uint32_t>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(Columns(even.ColumnOrder(1)), (std::vector<uint32_t>{1, 0, 2, 3, 4, 5}));
}

TEST_F(PageMatrixLogTest, AllUsableChoosesTheFirstCandidateAndMarks120Columns)
{
    const auto values = Filled(4, 128, 255);
    CMyPage page(4, 128, 2, values.data());
    std::vector<uint8_t> table(130, 0x5A);
    SelectPageTable(page, table.data());
    for (uint32_t c = 0; c < 128; ++c)
        EXPECT_EQ(table[c], c < 120 ? 0xFF : 0x00) << c;
    EXPECT_EQ(table[128], 0x5A); // nothing past the block's pages
    EXPECT_EQ(table[129], 0x5A);

    // Header, then 32 lines for n = 128, 120, ..., 8 in four groups of eight.
    std::string expected = "=========pages:size:which_page_info========\r\n";
    for (int k = 0; k < 16; ++k) {
        if (k > 0 && k % 4 == 0)
            expected += "\r\n";
        const int n = 128 - 8 * k;
        for (int order = 0; order < 2; ++order)
            expected += std::to_string(n) + ":" + std::to_string(4 * n) + ":"
                        + std::to_string(order) + "\r\n";
    }
    EXPECT_EQ(Log(), expected);
}

TEST_F(PageMatrixLogTest, SixtyFourPagesGiveSixteenLinesAndEveryPageMarked)
{
    // Fewer pages than 120: the table marks every page there is, and no more.
    auto values = Filled(3, 64, 255);
    values[0 * 64 + 5] = 200; // row 0 fails on column 5
    CMyPage page(3, 64, 2, values.data());
    std::vector<uint8_t> table(64 + 4, 0x5A);
    SelectPageTable(page, table.data());
    for (uint32_t c = 0; c < 64; ++c)
        EXPECT_EQ(table[c], 0xFF) << c;
    EXPECT_EQ(table[64], 0x5A);

    // n = 64 keeps column 5 in both orders (2 usable rows); from n = 56 on column 5, the
    // only column with a lower count, is left out and all 3 rows count.
    const std::string expected =
        "=========pages:size:which_page_info========\r\n"
        "64:128:0\r\n64:128:1\r\n56:168:0\r\n56:168:1\r\n"
        "48:144:0\r\n48:144:1\r\n40:120:0\r\n40:120:1\r\n"
        "\r\n"
        "32:96:0\r\n32:96:1\r\n24:72:0\r\n24:72:1\r\n"
        "16:48:0\r\n16:48:1\r\n8:24:0\r\n8:24:1\r\n";
    EXPECT_EQ(Log(), expected);
}

TEST_F(PageMatrixLogTest, OrderBWinsWhenColumnZeroIsBad)
{
    // Column 0 fails in every row: order A always keeps it and finds nothing usable, order
    // B moves it last, so (120, order B) is the best and column 0 is left out.
    auto values = Filled(2, 128, 255);
    values[0] = 0;
    values[128] = 0;
    CMyPage page(2, 128, 2, values.data());
    std::vector<uint8_t> table(128, 0x5A);
    SelectPageTable(page, table.data());
    EXPECT_EQ(table[0], 0x00);
    for (uint32_t c = 1; c <= 120; ++c)
        EXPECT_EQ(table[c], 0xFF) << c;
    for (uint32_t c = 121; c < 128; ++c)
        EXPECT_EQ(table[c], 0x00) << c;
    const std::string log = Log();
    EXPECT_NE(log.find("128:0:0\r\n128:0:1\r\n120:0:0\r\n120:240:1\r\n"), std::string::npos);
}

TEST_F(PageMatrixLogTest, NothingUsableFallsBackToOrderA)
{
    const auto values = Filled(2, 128, 0);
    CMyPage page(2, 128, 2, values.data());
    std::vector<uint8_t> table(128, 0x5A);
    SelectPageTable(page, table.data());
    for (uint32_t c = 0; c < 128; ++c)
        EXPECT_EQ(table[c], c < 120 ? 0xFF : 0x00) << c;
}

TEST(PageMatrix, LogFolderThatCannotBeMadeDoesNotStopTheChoice)
{
    testsupport::TempDir dir;
    ASSERT_TRUE(platform::WriteFileAtomic(dir.file("log"), "a file where the folder goes"));
    platform::SetProgramDir(dir.path());
    const auto values = Filled(1, 32, 255);
    CMyPage page(1, 32, 2, values.data());
    std::vector<uint8_t> table(32, 0);
    SelectPageTable(page, table.data());
    EXPECT_EQ(table, std::vector<uint8_t>(32, 0xFF));
}

struct PatternCase {
    uint32_t type;
    std::vector<uint8_t> expected; // its size is the length
};

TEST(FillPattern, FixedPatterns)
{
    const uint8_t F = 0xFF;
    const std::vector<PatternCase> cases = {
        {0, {F, F, F, F, 0, 0, 0, 0}},
        {0, {F, F, F, F, 0, 0, F, F, 0, 0, F, F, 0, 0, 0, 0}},
        {1, {F, F, 0, 0, F, F, 0, 0}},
        {2, {F, 0, F, 0, F, 0, F, 0}},
        {3, {0, F, 0, F, 0, F, 0, F}},
        {4, {F, F, F, F, 0, 0, 0, 0}},
        {4, {F, F, 0, 0, 0}},
        {5, {F, 0, 0, 0, F, F, F, 0}},
        {5, {F, 0, F, F, 0}},
        {6, {F, F, F, F, F}},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> table(c.expected.size() + 2, 0x5A);
        EXPECT_TRUE(FillPattern(table.data(), c.type, static_cast<int32_t>(c.expected.size())));
        EXPECT_EQ(std::vector<uint8_t>(table.begin(), table.end() - 2), c.expected)
            << "type " << c.type << " length " << c.expected.size();
        EXPECT_EQ(table[c.expected.size()], 0x5A);
    }
}

TEST(FillPattern, UnknownTypeLeavesZeros)
{
    std::vector<uint8_t> table(8, 0x5A);
    EXPECT_FALSE(FillPattern(table.data(), 7, 8));
    EXPECT_EQ(table, std::vector<uint8_t>(8, 0));
    EXPECT_FALSE(FillPattern(table.data(), 0xFFFFFFFFu, 8));
}

TEST(FillPattern, TinyLengthsStayInside)
{
    uint8_t table[3] = {0x5A, 0x5A, 0x5A};
    EXPECT_TRUE(FillPattern(table, 0, 1));
    EXPECT_EQ(table[0], 0x00);
    EXPECT_EQ(table[1], 0x5A);
    EXPECT_TRUE(FillPattern(table, 5, 1));
    EXPECT_EQ(table[1], 0x5A);
    EXPECT_TRUE(FillPattern(table, 6, 0));
    EXPECT_EQ(table[0], 0x00);
}

} // namespace
