// Scan-level and page-mode names in the three languages.
#include "text/ScanNames.h"

#include "text/MessageCatalogue.h"

#include <algorithm>

const char* const ScanLevelNames[kScanLevels][3] = {
    {"Level 1", "Level 1", "Level 1"}, {"Level 2", "Level 2", "Level 2"},
    {"Level 3", "Level 3", "Level 3"}, {"Level 4", "Level 4", "Level 4"},
    {"Level 5", "Level 5", "Level 5"}, {"Level 6", "Level 6", "Level 6"},
    {"Level 7", "Level 7", "Level 7"},
};

const char* const PageModeNames[kPageModes][3] = {
    {"Specific mode 1", "特殊頁一", "特殊页一"},
    {"Specific mode 2", "特殊頁二", "特殊页二"},
    {"Even Pages", "偶數頁", "偶数页"},
    {"Odd pages", "奇數頁", "奇数页"},
    {"First Half", "前半數頁", "前半数页"},
    {"Second Half", "後半數頁", "后半数页"},
    {"All Pages", "全部頁", "全部页"},
    {"Auto Detection", "自動偵測", "自动侦测"},
};

namespace {

unsigned boundedLanguage(unsigned languageIndex)
{
    return languageIndex < kLanguageCount ? languageIndex : kLanguageEnglish;
}

} // namespace

const char* ScanLevelName(long long level, unsigned languageIndex)
{
    long long i = std::clamp<long long>(level, 0, kScanLevels - 1);
    return ScanLevelNames[i][boundedLanguage(languageIndex)];
}

const char* PageModeName(long long mode, unsigned languageIndex)
{
    if (mode < 0 || mode >= kPageModes)
        return "";
    return PageModeNames[mode][boundedLanguage(languageIndex)];
}
