#pragma once
// Text conversions. Inside the program texts are UTF-8 (the system code page here);
// stored texts of the original stations come as Big5 (code page 950) and GBK (936) bytes,
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

// A whole text file's bytes to UTF-8, by its first bytes: FF FE UTF-16 little-endian,
// FE FF UTF-16 big-endian, EF BB BF UTF-8; anything else is UTF-8 when it is valid UTF-8,
// else text in the station's code page (StationText). The mark is not part of the text.
std::string DecodeTextWithByteOrderMark(std::string_view bytes);

bool IsValidUtf8(std::string_view text);
// Invalid bytes replaced by U+FFFD.
std::string SanitizeUtf8(std::string_view text);
// Length in UTF-16 units (a character beyond U+FFFF counts two).
size_t Utf16Length(std::string_view utf8);

} // namespace platform
