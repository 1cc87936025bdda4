#pragma once
// Names sorted as the system's locale collation sorts them, the order a Windows station
// shows: ICU's collator for the system language (pinyin for Simplified
// Chinese, stroke order for Traditional Chinese, the root collation otherwise) at
// secondary strength, so that case is ignored while accents still count.
#include "platform/SystemLanguage.h"

#include <cstdint>
#include <string>
#include <vector>

struct UCollator;

namespace platform {

// The order without a collator (ICU without data): bytes with ASCII case folded, a name
// before those it begins; <0, 0 or >0.
int CompareFoldingAsciiCase(const std::string& a, const std::string& b);

class NameCollator {
public:
    explicit NameCollator(uint16_t langId = SystemLanguageId());
    ~NameCollator();
    NameCollator(const NameCollator&) = delete;
    NameCollator& operator=(const NameCollator&) = delete;

    // The ICU locale of a language id: "zh" for 2052, "zh-Hant" for 1028, else "" (root).
    static const char* LocaleOf(uint16_t langId);

    // Names equal to the collator (they differ in case only) keep a fixed order: by bytes.
    bool less(const std::string& a, const std::string& b) const;
    void sort(std::vector<std::string>& names) const;

private:
    UCollator* collator_ = nullptr; // null only when ICU has no data: bytes, ASCII case folded
};

} // namespace platform
