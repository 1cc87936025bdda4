#pragma once
// Text conversions. Inside the program texts are UTF-8 (the system code page here);
// stored texts of Windows stations come as Big5 (code page 950) and GBK (936) bytes,
// and the path lists as UTF-16 with a byte-order mark.
//
// No conversion throws or stops early: a byte sequence that is not valid in its encoding
// becomes U+FFFD (one per bad byte or unit), a character the target code page lacks
// becomes '?'.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

enum class CodePage {
    Utf8,  // the system code page; passed through
    Big5,  // Traditional Chinese, code page 950
    Gbk,   // Simplified Chinese, code page 936
    Oem437, // the OEM code page of English stations, 437
};

// The code page of a language index: 0 English (UTF-8), 1 Traditional Chinese (Big5),
// 2 Simplified Chinese (GBK); anything else UTF-8.
CodePage CodePageOfLanguage(unsigned languageIndex);

std::string DecodeToUtf8(std::string_view bytes, CodePage from);
std::string EncodeFromUtf8(std::string_view utf8, CodePage to);
// Encodes without replacing: nullopt when the text is not valid UTF-8 or holds a character
// the code page lacks.
std::optional<std::string> EncodeExactly(std::string_view utf8, CodePage to);
// "code page 936 (GBK)", "code page 950 (Big5)", "code page 437", "UTF-8": for messages.
std::string CodePageName(CodePage cp);

// UTF-16 little- and big-endian, without a byte-order mark. An odd last byte and unpaired
// surrogates become U+FFFD.
std::string Utf16LeToUtf8(std::string_view bytes);
std::string Utf16BeToUtf8(std::string_view bytes);
// Invalid UTF-8 input bytes become U+FFFD.
std::string Utf8ToUtf16Le(std::string_view utf8, bool withByteOrderMark = false);

// The encoding of a text file is decided once for the whole file, never per value (GBK
// and Big5 text is often valid UTF-8 as well: 学习 in GBK, D1 A7 CF B0, reads "ѧϰ").
//  - A byte-order mark names it: FF FE UTF-16 little-endian, FE FF big-endian, EF BB BF
//    UTF-8. This program marks every file it writes that holds more than ASCII.
//  - An unmarked file was written by the station's earlier tools, in its code page: on a
//    GBK or Big5 station it is read in that code page whenever all of it is valid there.
//    It is read as UTF-8 when the code page cannot read it and UTF-8 can, or when both can
//    but the code page's reading needs codes outside its common set (GB2312; Big5's
//    frequent characters) while the UTF-8 reading is plain ASCII and Chinese: how UTF-8
//    files this program wrote before it marked them look. Every byte string is valid in
//    code page 437, so there a file that is valid UTF-8 is read as UTF-8 (437 text past
//    ASCII practically never is), and any other one in 437.
bool UnmarkedTextIsUtf8(std::string_view bytes, CodePage stationCodePage);
// True when every byte of the text decodes in the code page (no replacement).
bool IsValidIn(std::string_view bytes, CodePage cp);

// A whole text file's bytes to UTF-8 by the rule above, in the station's code page; the
// mark is not part of the text.
std::string DecodeTextWithByteOrderMark(std::string_view bytes);
std::string DecodeTextWithByteOrderMark(std::string_view bytes, CodePage stationCodePage);

bool IsValidUtf8(std::string_view text);
// Invalid bytes replaced by U+FFFD.
std::string SanitizeUtf8(std::string_view text);
// Length in UTF-16 units (a character beyond U+FFFF counts two).
size_t Utf16Length(std::string_view utf8);

} // namespace platform
