#include "device/PageMatrix.h"
#include "platform/ProgramDir.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Filled(uint32_t rows, uint32_t cols, uint8_t value) { return Bytes(size_t(rows) * cols, value); }
// A 128-page table marking the pages [first, last) and, when given, page `also`.
Bytes Marked(int first, int last, int also = -1)
{
    Bytes table(128, 0);
    std::fill(table.begin() + first, table.begin() + last, 0xFF);
    if (also >= 0)
        table[also] = 0xFF;
    return table;
}

std::vector<uint32_t> Columns(const std::vector<PageColumnCount>& order)
{
    std::vector<uint32_t> columns;
    for (const auto& entry : order)
        columns.push_back(entry.column);
    return columns;
}

class PageMatrixTest : public ::testing::Test {
protected:
    void SetUp() override { platform::SetProgramDir(dir.path()); }
    // The table chosen for a page, with two guard bytes past its pages.
    Bytes Choose(uint32_t rows, uint32_t pages, const Bytes& values)
    {
        Bytes table(pages + 2, 0x5A);
        SelectPageTable(CMyPage(rows, pages, 2, values.data()), table.data());
        EXPECT_EQ(table[pages] + table[pages + 1], 2 * 0x5A) << "nothing past the block's pages";
        table.resize(pages);
        return table;
    }
    testsupport::TempDir dir;
};

TEST(PageMatrix, ThresholdRowMarksAndUsableSize)
{
    const uint8_t values[] = {253, 255, 252, 255, 255, 255};
    CMyPage page(3, 2, 2, values);
    EXPECT_TRUE(!page.ExceedsThreshold(253) && page.ExceedsThreshold(252));
    // The row minimum over the selected columns decides; a mask with no column makes every row
    // unusable, unless the threshold is 255 or more.
    for (auto [threshold, mask, marks] : {std::tuple{2u, Bytes{0xFF, 0xFF}, Bytes{0xFF, 0, 0xFF}}, {2u, Bytes{0, 0xFF}, Bytes(3, 0xFF)},
                                          {2u, Bytes{0, 0}, Bytes(3, 0)}, {255u, Bytes{0, 0}, Bytes(3, 0xFF)}}) {
        Bytes rows(3);
        CMyPage(3, 2, threshold, values).MarkRows(mask.data(), rows.data());
        EXPECT_EQ(rows, marks) << threshold << " " << int(mask[0]);
    }
    Bytes rowMarks(150, 0xFF);
    std::fill_n(rowMarks.begin() + 20, 50, 0x01); // not 0xFF: unusable
    EXPECT_EQ(CMyPage(150, 8, 2, Filled(150, 8, 255).data()).UsableSize(rowMarks.data(), 120), 12000u);
}

TEST(PageMatrix, ExchangeSortOrdersAreNotStable)
{
    // Columns 1, 2, 3 within the threshold in 5, 5 and 7 of 7 rows: entries 1-3 end as 3, 2, 1.
    auto values = Filled(7, 4, 255);
    for (uint32_t r = 5; r < 7; ++r)
        values[r * 4 + 1] = values[r * 4 + 2] = 0;
    const auto order = CMyPage(7, 4, 2, values.data()).ColumnOrder(0);
    EXPECT_EQ(Columns(order), (std::vector<uint32_t>{0, 3, 2, 1}));
    EXPECT_EQ(order[1].count + order[3].count, 12u);
    // Equal counts keep A = 0, 1, 2, ... and B = 1, 0, 2, 3, ...
    const auto flat = Filled(3, 6, 255);
    EXPECT_EQ(Columns(CMyPage(3, 6, 2, flat.data()).ColumnOrder(0)), (std::vector<uint32_t>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(Columns(CMyPage(3, 6, 2, flat.data()).ColumnOrder(1)), (std::vector<uint32_t>{1, 0, 2, 3, 4, 5}));
    EXPECT_EQ(Columns(CMyPage(3, 2, 2, flat.data()).ColumnOrder(1)), (std::vector<uint32_t>{1, 0}));
}

// Rows: which columns fail in which row, and the table chosen. Order A always keeps column 0
// first, order B column 1; the first best candidate wins (a tie keeps the earlier), and
// with nothing usable order A stays.
TEST_F(PageMatrixTest, TheFirstBestCandidateChoosesItsOrdersFirst120Columns)
{
    const struct { const char* what; std::vector<std::pair<int, int>> bad; Bytes table; } cases[] = {
        {"all usable: n = 128 first", {}, Marked(0, 120)},
        {"column 0 bad everywhere: order B wins at n = 120", {{0, 0}, {1, 0}}, Marked(1, 121)},
        {"tie at 120, one row each: order A, found first", {{0, 0}, {1, 1}}, Marked(2, 121, 0)},
        {"nothing usable in either order: order A", {{0, 0}, {1, 0}, {0, 1}, {1, 1}}, Marked(2, 121, 0)},
    };
    for (const auto& c : cases) {
        auto values = Filled(2, 128, 255);
        for (auto [row, column] : c.bad)
            values[row * 128 + column] = 0;
        EXPECT_EQ(Choose(2, 128, values), c.table) << c.what;
    }
}

TEST_F(PageMatrixTest, SixtyFourPagesGiveSixteenCandidatesAndEveryPageMarked)
{
    auto values = Filled(3, 64, 255);
    values[5] = 200; // row 0 fails on column 5
    EXPECT_EQ(Choose(3, 64, values), Bytes(64, 0xFF)) << "every page there is, no more";
    // n = 64 keeps column 5 in both orders (2 usable rows); from n = 56 on column 5, the only
    // column with a lower count, is left out and all 3 rows count.
    EXPECT_EQ(dir.read("log/page_and_size.txt"), "=========pages:size:which_page_info========\r\n"
              "64:128:0\r\n64:128:1\r\n56:168:0\r\n56:168:1\r\n48:144:0\r\n48:144:1\r\n40:120:0\r\n40:120:1\r\n"
              "\r\n"
              "32:96:0\r\n32:96:1\r\n24:72:0\r\n24:72:1\r\n16:48:0\r\n16:48:1\r\n8:24:0\r\n8:24:1\r\n");
}

TEST(FillPattern, FixedPatternsStayInsideTheirLength)
{
    const uint8_t F = 0xFF;
    const std::pair<uint32_t, Bytes> cases[] = {
        {0, {F, F, F, F, 0, 0, 0, 0}}, {0, {F, F, F, F, 0, 0, F, F, 0, 0, F, F, 0, 0, 0, 0}}, {1, {F, F, 0, 0, F, F, 0, 0}},
        {2, {F, 0, F, 0, F, 0, F, 0}}, {3, {0, F, 0, F, 0, F, 0, F}}, {4, {F, F, F, F, 0, 0, 0, 0}}, {4, {F, F, 0, 0, 0}},
        {5, {F, 0, 0, 0, F, F, F, 0}}, {5, {F, 0, F, F, 0}}, {6, {F, F, F, F, F}}, {0, {0}}, {5, {0}}, {6, {}},
        {1, {F, F, 0, 0, 0}}, {3, {0, F, 0, F, 0}}, {0, {F, 0, 0}}, {1, {F, F}}}; // short and odd lengths: the last pair, none past the end
    for (const auto& [type, expected] : cases) {
        // Guard bytes on both sides: nothing written outside the length.
        Bytes table(expected.size() + 4, 0x5A), guarded = table;
        std::copy(expected.begin(), expected.end(), guarded.begin() + 2);
        EXPECT_TRUE(FillPattern(table.data() + 2, type, static_cast<int32_t>(expected.size())));
        EXPECT_EQ(table, guarded) << "type " << type << ", length " << expected.size();
    }
    Bytes table(8, 0x5A);
    EXPECT_FALSE(FillPattern(table.data(), 7, 8));
    EXPECT_EQ(table, Bytes(8, 0)) << "an unknown type leaves zeros";
    EXPECT_FALSE(FillPattern(table.data(), 0xFFFFFFFFu, 8));
}

} // namespace
