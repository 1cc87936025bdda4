#pragma once
// The station's language and code page, in place of the system's default language and its
// ANSI/OEM code page: taken from the locale the process runs under. Volume labels are
// stored in that code page, and station files written on Windows in it read right.
#include "platform/TextCodec.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// Language ids as Windows numbers them.
constexpr uint16_t kLangIdChinesePrc = 2052;    // 0x0804
constexpr uint16_t kLangIdChineseTaiwan = 1028; // 0x0404
constexpr uint16_t kLangIdEnglishUs = 1033;     // 0x0409

// The language id of a locale name such as "zh_TW.UTF-8": zh_CN and zh_SG give 2052;
// zh_TW, zh_HK and zh_MO give 1028; anything else (including "", "C", "POSIX") 1033.
uint16_t LangIdFromLocale(const std::string& localeName);

// The locale of the process: the first non-empty of LC_ALL, LC_MESSAGES and LANG.
uint16_t SystemLanguageId();

// 2052 GBK (936), 1028 Big5 (950), any other language the OEM code page 437.
CodePage CodePageOfLangId(uint16_t langId);
// Station files are read in it, each file as a whole (UnmarkedTextIsUtf8).
CodePage StationCodePage();

} // namespace platform
