// The page matrix and the choice of the page table from it.
#include "device/PageMatrix.h"

#include "platform/AtomicFile.h"
#include "platform/ProgramDir.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>

CMyPage::CMyPage(uint32_t r, uint32_t c, uint32_t t, const uint8_t* values)
    : rows(r), cols(c), threshold(t)
{
    const size_t size = size_t(r) * c;
    if (values)
        data.assign(values, values + size);
    else
        data.assign(size, 0);
}

CMyPage::~CMyPage() = default;

bool CMyPage::ExceedsThreshold(uint8_t v) const
{
    // Unsigned, as the device counts: a threshold of 255 or more lets every value pass.
    return threshold < 255 && v < 255u - threshold;
}

void CMyPage::MakeMask(const std::vector<PageColumnCount>& order, uint32_t n, uint8_t* mask) const
{
    std::fill(mask, mask + cols, uint8_t(0));
    const size_t marked = std::min<size_t>(n, order.size());
    for (size_t i = 0; i < marked; ++i)
        if (order[i].column < cols)
            mask[order[i].column] = 0xFF;
}

void CMyPage::MarkRows(const uint8_t* mask, uint8_t* marks) const
{
    for (uint32_t r = 0; r < rows; ++r) {
        const uint8_t* row = data.data() + size_t(r) * cols;
        uint8_t m = 255;
        bool selected = false;
        for (uint32_t c = 0; c < cols; ++c) {
            if (mask[c] != 0xFF)
                continue;
            if (row[c] <= m)
                m = row[c];
            selected = true;
        }
        if (!selected)
            m = 0;
        marks[r] = ExceedsThreshold(m) ? 0x00 : 0xFF;
    }
}

uint32_t CMyPage::UsableSize(const uint8_t* marks, uint32_t n) const
{
    uint32_t usable = 0;
    for (uint32_t r = 0; r < rows; ++r)
        usable += marks[r] == 0xFF;
    return usable * n;
}

namespace {

// An exchange sort over counts, kept rather than a stable sort for its order among equal
// counts, which the chosen page tables depend on: entry 0 stays, the rest ends in descending count.
std::vector<PageColumnCount> ExchangeSorted(std::vector<PageColumnCount> pairs)
{
    const size_t cols = pairs.size();
    for (size_t i = 1; i < cols; ++i)
        for (size_t j = i; j < cols; ++j)
            if (pairs[i].count < pairs[j].count)
                std::swap(pairs[i], pairs[j]);
    return pairs;
}

} // namespace

std::vector<PageColumnCount> CMyPage::ColumnCounts() const
{
    std::vector<PageColumnCount> pairs(cols);
    for (uint32_t c = 0; c < cols; ++c)
        pairs[c].column = c;
    // Row by row, the way the values lie in memory.
    for (uint32_t r = 0; r < rows; ++r) {
        const uint8_t* row = data.data() + size_t(r) * cols;
        for (uint32_t c = 0; c < cols; ++c)
            pairs[c].count += !ExceedsThreshold(row[c]);
    }
    return pairs;
}

std::vector<PageColumnCount> CMyPage::ColumnOrder(uint32_t order) const
{
    return OrderFrom(ColumnCounts(), order);
}

std::vector<PageColumnCount> CMyPage::OrderFrom(std::vector<PageColumnCount> pairs, uint32_t order) const
{
    if (order == 1 && pairs.size() >= 2)
        std::swap(pairs[0], pairs[1]);
    return ExchangeSorted(std::move(pairs));
}

// A row is usable under the first n columns of an order exactly when none of them
// exceeds the threshold (the row's minimum over them is then within it): when the first
// exceeding column of the row comes at position n or later. So one pass per order finds
// that position for every row, and the usable rows for every n follow from their counts.
std::vector<PageCandidate> CMyPage::Candidates() const
{
    std::vector<PageCandidate> candidates;
    const std::vector<PageColumnCount> counts = ColumnCounts();
    std::vector<uint32_t> usable[2];
    std::vector<uint32_t> position(cols);
    for (uint32_t order = 0; order < 2; ++order) {
        const std::vector<PageColumnCount> columns = OrderFrom(counts, order);
        for (uint32_t i = 0; i < cols; ++i)
            position[columns[i].column] = i;
        // rowsFirstExceedingAt[p]: rows whose first exceeding column stands at p (cols: none).
        std::vector<uint32_t> rowsFirstExceedingAt(size_t(cols) + 1, 0);
        for (uint32_t r = 0; r < rows; ++r) {
            const uint8_t* row = data.data() + size_t(r) * cols;
            uint32_t first = cols;
            for (uint32_t c = 0; c < cols; ++c)
                if (ExceedsThreshold(row[c]) && position[c] < first)
                    first = position[c];
            ++rowsFirstExceedingAt[first];
        }
        // usable[order][n]: rows whose first exceeding column stands at n or later.
        usable[order].assign(size_t(cols) + 1, 0);
        uint32_t atOrLater = 0;
        for (uint32_t n = cols + 1; n-- > 0;) {
            atOrLater += rowsFirstExceedingAt[n];
            usable[order][n] = atOrLater;
        }
    }
    for (uint32_t k = 0; k < cols / 8; ++k) {
        const uint32_t n = cols - 8 * k;
        for (uint32_t order = 0; order < 2; ++order)
            candidates.push_back({n, usable[order][n] * n, order});
    }
    return candidates;
}

namespace {

// Every device's choice rewrites the same file; one writer at a time keeps it whole.
std::mutex g_logMutex;

void WriteCandidateLog(const std::vector<PageCandidate>& candidates)
{
    std::string text = "=========pages:size:which_page_info========\r\n";
    char line[64];
    for (size_t i = 0; i < candidates.size(); ++i) {
        if (i > 0 && i % 8 == 0)
            text += "\r\n";
        std::snprintf(line, sizeof line, "%u:%u:%u\r\n", candidates[i].pages, candidates[i].size,
                      candidates[i].order);
        text += line;
    }
    const std::string folder = platform::ProgramPath("log");
    std::lock_guard<std::mutex> lock(g_logMutex);
    // The choice does not depend on the log: a folder or file that cannot be written is
    // passed over.
    if (!platform::MakeDirs(folder))
        return;
    (void)platform::WriteFileAtomic(folder + "/page_and_size.txt", text);
}

} // namespace

void SelectPageTable(const CMyPage& page, uint8_t* table)
{
    const std::vector<PageCandidate> candidates = page.Candidates();
    WriteCandidateLog(candidates);

    PageCandidate best;
    for (const PageCandidate& candidate : candidates)
        if (candidate.size > best.size)
            best = candidate;
    // Always the first 120 columns of the best order, whatever its page count: kept as the
    // device expects it, only clamped to the pages a block has.
    page.MakeMask(page.ColumnOrder(best.order), std::min(kSelectedPages, page.cols), table);
}

bool FillPattern(uint8_t* table, uint32_t type, int32_t length)
{
    if (length <= 0)
        return type <= 6;
    const size_t len = static_cast<size_t>(length);
    std::fill(table, table + len, uint8_t(0));
    switch (type) {
    case 0:
        for (size_t i = 0; i + 1 < len; i += 2)
            if (i % 4 == 2)
                table[i] = table[i + 1] = 0xFF;
        table[0] = 0xFF;
        if (len > 1)
            table[1] = 0xFF;
        table[len - 1] = 0x00;
        if (len > 1)
            table[len - 2] = 0x00;
        return true;
    case 1:
        for (size_t i = 0; i + 1 < len; i += 2)
            if (i % 4 == 0)
                table[i] = table[i + 1] = 0xFF;
        return true;
    case 2:
        for (size_t i = 0; i < len; i += 2)
            table[i] = 0xFF;
        return true;
    case 3:
        for (size_t i = 1; i < len; i += 2)
            table[i] = 0xFF;
        return true;
    case 4:
        std::fill(table, table + len / 2, uint8_t(0xFF));
        return true;
    case 5:
        std::fill(table + len / 2, table + len / 2 + len / 2, uint8_t(0xFF));
        table[0] = 0xFF;
        table[len - 1] = 0x00;
        return true;
    case 6:
        std::fill(table, table + len, uint8_t(0xFF));
        return true;
    default:
        return false;
    }
}
