#pragma once
// The page matrix: one quality byte per page position (255 minus the bit errors seen) for
// a set of measured blocks, with the ECC threshold they are judged by. From it the engine
// picks the page table (which page positions of a block the device uses: 0xFF used, 0x00
// not) and judges every block under that table. FillPattern gives the seven fixed tables.
#include <cstdint>
#include <vector>

// Column c and the number of rows whose value there is within the threshold.
struct PageColumnCount {
    uint32_t column = 0;
    uint32_t count = 0;
};

// One page-table candidate of the automatic choice: order 0 keeps column 0 first, order 1
// keeps column 1 first; size = usable rows x pages.
struct PageCandidate {
    uint32_t pages = 0;
    uint32_t size = 0;
    uint32_t order = 0;
};

class CMyPage {
public:
    // Copies rows x cols bytes from values (row r, column c at r x cols + c).
    CMyPage(uint32_t rows, uint32_t cols, uint32_t threshold, const uint8_t* values);
    virtual ~CMyPage();

    // v shows more bit errors than the threshold allows (v < 255 - threshold).
    bool ExceedsThreshold(uint8_t v) const;
    // mask[0..cols-1] := 0, then 0xFF at the columns of the first n entries of order.
    void MakeMask(const std::vector<PageColumnCount>& order, uint32_t n, uint8_t* mask) const;
    // marks[r] := 0xFF when row r's minimum over the masked columns is within the threshold,
    // else 0 (also when the mask selects no column).
    void MarkRows(const uint8_t* mask, uint8_t* marks) const;
    // (rows marked 0xFF) x n.
    uint32_t UsableSize(const uint8_t* marks, uint32_t n) const;

    // Columns with their within-threshold counts; order 0 starts from column 0, order 1
    // from column 1 then column 0. Entry 0 stays, the rest is exchange-sorted by count.
    std::vector<PageColumnCount> ColumnOrder(uint32_t order) const;
    // The candidates in their order: n = cols, cols - 8, ... (floor(cols / 8) counts), each
    // with order 0 then order 1.
    std::vector<PageCandidate> Candidates() const;

    uint32_t rows = 0;
    uint32_t cols = 0;
    uint32_t threshold = 0;
    std::vector<uint8_t> data;

private:
    // Every column with its within-threshold count, in column order.
    std::vector<PageColumnCount> ColumnCounts() const;
    std::vector<PageColumnCount> OrderFrom(std::vector<PageColumnCount> pairs, uint32_t order) const;
};

// Pages the automatic choice marks in the table (as many as the block has, if fewer).
inline constexpr uint32_t kSelectedPages = 120;

// Chooses the page table for the matrix into table (at least page.cols bytes) and rewrites
// log/page_and_size.txt with the candidates.
void SelectPageTable(const CMyPage& page, uint8_t* table);

// Fixed page pattern 0..6 into table[0..length-1]; false (table all 0) for another type.
bool FillPattern(uint8_t* table, uint32_t type, int32_t length);
