#pragma once
// Choosing the language of the user interface: the language id from the radio buttons or
// the system locale, the lang.ini section and LanguageIndex it selects, reloading the
// user-interface strings from that section, and the captions composed from them.
// TForm1::ApplyLanguage and TForm1::TntRdoLangAutoClick (defined here) are built on them.

#include "platform/SystemLanguage.h"

#include <cstdint>
#include <string>
#include <vector>

// Language ids in the Windows numbering the station files and the registry keep (one
// definition, the platform's, which the locale maps to).
constexpr uint16_t kLangIdSimplifiedChinese = platform::kLangIdChinesePrc;
constexpr uint16_t kLangIdTraditionalChinese = platform::kLangIdChineseTaiwan;
constexpr uint16_t kLangIdEnglish = platform::kLangIdEnglishUs;

// Where the radio choice is kept between runs.
inline constexpr const char* kLanguageRegistryKey = "SoftWare\\KOV6125\\Vornagel28";
inline constexpr const char* kLanguageRegistryValue = "LanguageID";

// The values of LanguageID, one per radio button.
enum LanguageChoice : int {
    kLanguageChoiceAuto = 0,         // TntRdoLangAuto: follow the system's language
    kLanguageChoiceEnglish = 1,      // TntRdoLangEng
    kLanguageChoiceSimplified = 2,   // TntRdoLangSC
    kLanguageChoiceTraditional = 3,  // TntRdoLangTC
};

// Any stored value other than 1, 2 or 3 means Auto.
LanguageChoice LanguageChoiceFromValue(int storedValue);

// The language id of a locale name such as "zh_TW.UTF-8": zh_CN and zh_SG give 2052;
// zh_TW, zh_HK and zh_MO give 1028; anything else (including "", "C", "POSIX") English.
uint16_t LangIdFromLocale(const std::string& localeName);

// Stand-in for the platform's system default language: the locale the process runs
// under, taken from the first non-empty of LC_ALL, LC_MESSAGES and LANG.
uint16_t GetSystemDefaultLangID();

// The language id that ApplyLanguage uses for a radio choice: Auto asks the system.
uint16_t LangIdForChoice(LanguageChoice choice);

// The lang.ini section and LanguageIndex of a language id, by exact comparison: 2052 and
// 1028 choose the Chinese sections; every other id, other Chinese ones included, English.
struct LanguageSection {
    const char* section;     // "English", "Chinese (Taiwan)", "Chinese (PRC)"
    unsigned languageIndex;  // 0, 1, 2; also names the section's code page
};
LanguageSection SectionForLangId(uint16_t langId);

// Replaces the keyed user-interface strings from `section` of the INI file at `iniPath`,
// each read with its current text as default and decoded from the section's code page
// (Big5, GBK, or UTF-8 for English) to UTF-8; then composes BlankingCheckSetupStr from BlankingCheckStr and SettingMsg. A
// missing file, section or key leaves the text as it was; a key with an empty value
// empties it.
void LoadLanguageStrings(const std::string& iniPath, const LanguageSection& section);

// The user-interface strings' texts in the order of KeyedUiStrings(), taken before a
// language change.
std::vector<std::string> KeyedUiStringTexts();

// A text the window or a production run composed from the strings, redrawn in the current
// language: the longest string text of `before` the caption starts with, and a result word
// (SuccessMsg, FailMsg) it ends with, become the strings' current texts; whatever else it
// holds (numbers, file names, catalogue rows) stays as it was written.
std::string RedrawCaption(const std::string& caption, const std::vector<std::string>& before);

// The date of the firmware family that the window caption names.
inline constexpr const char* kBuildDateText = "Dec 27 2011";

// TitleStr + " (6205, Dec 27 2011) + " + the loader's version text.
std::string MainWindowCaption(const std::string& fsmVersion);

class TForm1;

// The choice the radio buttons show, in the two orders the window tests them. They differ
// only when no radio is checked: the click handler stores Auto, ApplyLanguage (whose last
// case is the English radio) uses English.
LanguageChoice StoredLanguageChoice(const TForm1& form);   // English, SC, TC, else Auto
LanguageChoice AppliedLanguageChoice(const TForm1& form);  // Auto, SC, TC, else English
