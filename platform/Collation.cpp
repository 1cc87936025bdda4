// Sorting names with ICU's collator for the system language.
#include "platform/Collation.h"

#include <algorithm>
#include <unicode/ucol.h>

namespace platform {

int CompareFoldingAsciiCase(const std::string& a, const std::string& b)
{
    auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : int(c); };
    const size_t common = std::min(a.size(), b.size());
    for (size_t i = 0; i != common; ++i) {
        const int x = lower(static_cast<unsigned char>(a[i])), y = lower(static_cast<unsigned char>(b[i]));
        if (x != y)
            return x - y;
    }
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

const char* NameCollator::LocaleOf(uint16_t langId)
{
    switch (langId) {
    case kLangIdChinesePrc:
        return "zh";
    case kLangIdChineseTaiwan:
        return "zh-Hant";
    default:
        return "";
    }
}

NameCollator::NameCollator(uint16_t langId)
{
    UErrorCode status = U_ZERO_ERROR;
    collator_ = ucol_open(LocaleOf(langId), &status);
    if (U_FAILURE(status)) {
        if (collator_)
            ucol_close(collator_);
        collator_ = nullptr;
        return;
    }
    ucol_setStrength(collator_, UCOL_SECONDARY);
}

NameCollator::~NameCollator()
{
    if (collator_)
        ucol_close(collator_);
}

bool NameCollator::less(const std::string& a, const std::string& b) const
{
    int order = 0;
    if (collator_) {
        UErrorCode status = U_ZERO_ERROR;
        UCollationResult r = ucol_strcollUTF8(collator_, a.data(), int32_t(a.size()), b.data(), int32_t(b.size()), &status);
        order = U_FAILURE(status) ? CompareFoldingAsciiCase(a, b) : int(r);
    } else {
        order = CompareFoldingAsciiCase(a, b);
    }
    return order < 0 || (order == 0 && a < b);
}

void NameCollator::sort(std::vector<std::string>& names) const
{
    std::sort(names.begin(), names.end(), [this](const std::string& a, const std::string& b) { return less(a, b); });
}

} // namespace platform
