#pragma once
// Level names and page-mode names in the three languages (English, Traditional Chinese,
// Simplified Chinese), as the program shows them (UTF-8): the settings dialog lists them
// and the production engine writes them into its texts and logs.
inline constexpr int kScanLevels = 7;
inline constexpr int kPageModes = 8;
extern const char* const ScanLevelNames[kScanLevels][3];
extern const char* const PageModeNames[kPageModes][3];
// Bounded look-ups: an index or language out of range gives the last level, "" for a
// page mode, English for a language.
const char* ScanLevelName(long long level, unsigned languageIndex);
const char* PageModeName(long long mode, unsigned languageIndex);
