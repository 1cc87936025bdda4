#include "device/PageMatrix.h"
#include <cstddef>

CMyPage::CMyPage(uint32_t r, uint32_t c, uint32_t t, const uint8_t* values)
    : rows(r), cols(c), threshold(t), data(values, values + std::size_t(r) * c)
{
}
CMyPage::~CMyPage() = default;
bool CMyPage::ExceedsThreshold(uint8_t) const { return false; }
void CMyPage::MakeMask(const std::vector<PageColumnCount>&, uint32_t, uint8_t*) const {}
void CMyPage::MarkRows(const uint8_t*, uint8_t*) const {}
uint32_t CMyPage::UsableSize(const uint8_t*, uint32_t) const { return 0; }
std::vector<PageColumnCount> CMyPage::ColumnOrder(uint32_t) const { return {}; }
std::vector<PageCandidate> CMyPage::Candidates() const { return {}; }
void SelectPageTable(const CMyPage&, uint8_t*) {}
bool FillPattern(uint8_t*, uint32_t, int32_t) { return false; }
