#pragma once
// The fixed texts of the tool in its three languages: dialog captions, option names,
// warnings, and the production engine's failure and result words. Constant data; no file
// replaces them (the user-interface strings in LangStrings.h are the replaceable ones).
//
// Rows are addressed by their name in MessageRows.h (fixed ids 0..103; 95..99 hold nothing)
// and a language index. Each row keeps the exact bytes of its three texts (ASCII, Big5, GBK)
// as stations have always stored them, and the same texts in UTF-8, which is what the
// program shows.

#include "text/MessageRows.h"

#include <cstddef>

// Values of TForm1::LanguageIndex and of every copy taken from it.
enum : unsigned {
    kLanguageEnglish = 0,
    kLanguageTraditionalChinese = 1,  // Big5, lang.ini section "Chinese (Taiwan)"
    kLanguageSimplifiedChinese = 2,   // GBK, lang.ini section "Chinese (PRC)"
    kLanguageCount = 3,
};

constexpr int kMessageCatalogueLastRow = kRowFixUsbIoPort;

// True when `row` is one of the catalogue's ids.
bool MessageCatalogueHasRow(int row);

// UTF-8 text of `row` in `languageIndex`. Never null, never garbage: an id without a row
// gives "", and a language index out of range gives the English text. The pointer stays
// valid for the whole run.
const char* MessageCatalogue(int row, unsigned languageIndex);

// The stored 8-bit text: English in ASCII, Traditional Chinese in Big5, Simplified Chinese
// in GBK; the same fallbacks as above.
const char* MessageCatalogueBytes(int row, unsigned languageIndex);
