// Text conversions between UTF-8, UTF-16, Big5, GBK and code page 437.
#include "platform/TextCodec.h"

#include "platform/SystemLanguage.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <iconv.h>
#include <vector>

namespace platform {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void appendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Decodes one UTF-8 character at pos; returns its length in bytes (0 when invalid: the
// caller takes one byte as bad).
size_t nextUtf8(std::string_view s, size_t pos, char32_t& c)
{
    auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    unsigned char lead = b(pos);
    size_t len;
    char32_t min;
    if (lead < 0x80) {
        c = lead;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        len = 2, c = lead & 0x1F, min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        len = 3, c = lead & 0x0F, min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        len = 4, c = lead & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (pos + len > s.size())
        return 0;
    for (size_t i = 1; i < len; ++i) {
        if ((b(pos + i) & 0xC0) != 0x80)
            return 0;
        c = (c << 6) | (b(pos + i) & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return 0;
    return len;
}

std::string utf16ToUtf8(std::string_view bytes, bool littleEndian)
{
    std::string out;
    out.reserve(bytes.size());
    auto unit = [&](size_t i) -> char16_t {
        auto lo = static_cast<unsigned char>(bytes[littleEndian ? i : i + 1]);
        auto hi = static_cast<unsigned char>(bytes[littleEndian ? i + 1 : i]);
        return static_cast<char16_t>(lo | (hi << 8));
    };
    size_t n = bytes.size() / 2;
    for (size_t k = 0; k < n; ++k) {
        char16_t u = unit(2 * k);
        if (u >= 0xD800 && u <= 0xDBFF && k + 1 < n) {
            char16_t v = unit(2 * (k + 1));
            if (v >= 0xDC00 && v <= 0xDFFF) {
                appendUtf8(out, 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (v - 0xDC00));
                ++k;
                continue;
            }
        }
        appendUtf8(out, (u >= 0xD800 && u <= 0xDFFF) ? kReplacement : u);
    }
    if (bytes.size() % 2)
        appendUtf8(out, kReplacement);
    return out;
}

const char* iconvName(CodePage cp)
{
    switch (cp) {
    case CodePage::Big5:
        return "CP950";
    case CodePage::Gbk:
        return "GBK";
    case CodePage::Oem437:
        return "CP437";
    default:
        return "UTF-8";
    }
}

iconv_t openIconv(const char* to, const char* from)
{
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1) && std::string_view(from) == "CP950")
        cd = iconv_open(to, "BIG5");
    if (cd == reinterpret_cast<iconv_t>(-1) && std::string_view(to) == "CP950")
        cd = iconv_open("BIG5", from);
    return cd;
}

// Converts with iconv; on a bad input sequence calls onBad(out, skipLength) and goes on.
// skip: how many input bytes a bad sequence consumes.
template <class OnBad, class Skip>
std::string convert(std::string_view in, const char* to, const char* from, OnBad onBad, Skip skip)
{
    std::string out;
    iconv_t cd = openIconv(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        // No converter on this system: keep the ASCII part, mark the rest.
        for (char ch : in)
            if (static_cast<unsigned char>(ch) < 0x80)
                out += ch;
            else
                onBad(out);
        return out;
    }
    std::vector<char> buf(4096);
    char* inPtr = const_cast<char*>(in.data());
    size_t inLeft = in.size();
    while (inLeft > 0) {
        char* outPtr = buf.data();
        size_t outLeft = buf.size();
        size_t r = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        out.append(buf.data(), static_cast<size_t>(outPtr - buf.data()));
        if (r != static_cast<size_t>(-1))
            continue;
        if (errno == E2BIG)
            continue;
        // EILSEQ, or EINVAL for an incomplete sequence at the end.
        onBad(out);
        size_t n = std::min(inLeft, skip(std::string_view(inPtr, inLeft)));
        inPtr += n;
        inLeft -= n;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    char* outPtr = buf.data();
    size_t outLeft = buf.size();
    iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
    out.append(buf.data(), static_cast<size_t>(outPtr - buf.data()));
    iconv_close(cd);
    return out;
}

} // namespace

CodePage CodePageOfLanguage(unsigned languageIndex)
{
    switch (languageIndex) {
    case 1:
        return CodePage::Big5;
    case 2:
        return CodePage::Gbk;
    default:
        return CodePage::Utf8;
    }
}

bool IsValidUtf8(std::string_view text)
{
    char32_t c;
    for (size_t pos = 0; pos < text.size();) {
        size_t n = nextUtf8(text, pos, c);
        if (n == 0)
            return false;
        pos += n;
    }
    return true;
}

std::string SanitizeUtf8(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    char32_t c;
    for (size_t pos = 0; pos < text.size();) {
        size_t n = nextUtf8(text, pos, c);
        if (n == 0) {
            appendUtf8(out, kReplacement);
            ++pos;
        } else {
            out.append(text.substr(pos, n));
            pos += n;
        }
    }
    return out;
}

size_t Utf16Length(std::string_view utf8)
{
    size_t units = 0;
    char32_t c;
    for (size_t pos = 0; pos < utf8.size();) {
        size_t n = nextUtf8(utf8, pos, c);
        units += (n != 0 && c >= 0x10000) ? 2 : 1;
        pos += n ? n : 1;
    }
    return units;
}

std::string DecodeToUtf8(std::string_view bytes, CodePage from)
{
    if (from == CodePage::Utf8)
        return SanitizeUtf8(bytes);
    // A bad double-byte pair is dropped one byte at a time, so an ASCII byte that
    // follows a stray lead byte survives.
    return convert(
        bytes, "UTF-8", iconvName(from), [](std::string& out) { appendUtf8(out, kReplacement); },
        [](std::string_view) { return size_t{1}; });
}

std::string EncodeFromUtf8(std::string_view utf8, CodePage to)
{
    if (to == CodePage::Utf8)
        return SanitizeUtf8(utf8);
    std::string clean = SanitizeUtf8(utf8);
    // A character the code page lacks is skipped whole and written as '?'.
    return convert(
        clean, iconvName(to), "UTF-8", [](std::string& out) { out += '?'; },
        [](std::string_view rest) {
            char32_t c;
            size_t n = nextUtf8(rest, 0, c);
            return n ? n : size_t{1};
        });
}

std::optional<std::string> EncodeExactly(std::string_view utf8, CodePage to)
{
    if (!IsValidUtf8(utf8))
        return std::nullopt;
    if (to == CodePage::Utf8)
        return std::string(utf8);
    iconv_t cd = openIconv(iconvName(to), "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return std::nullopt;
    std::string out(utf8.size() * 4 + 4, '\0');
    char* inPtr = const_cast<char*>(utf8.data());
    size_t inLeft = utf8.size();
    char* outPtr = out.data();
    size_t outLeft = out.size();
    const bool done = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1) && inLeft == 0;
    iconv_close(cd);
    if (!done)
        return std::nullopt;
    out.resize(out.size() - outLeft);
    return out;
}

std::string CodePageName(CodePage cp)
{
    switch (cp) {
    case CodePage::Big5:
        return "code page 950 (Big5)";
    case CodePage::Gbk:
        return "code page 936 (GBK)";
    case CodePage::Oem437:
        return "code page 437";
    default:
        return "UTF-8";
    }
}

std::string Utf16LeToUtf8(std::string_view bytes)
{
    return utf16ToUtf8(bytes, true);
}

std::string Utf16BeToUtf8(std::string_view bytes)
{
    return utf16ToUtf8(bytes, false);
}

std::string Utf8ToUtf16Le(std::string_view utf8, bool withByteOrderMark)
{
    std::string out;
    out.reserve(utf8.size() * 2 + 2);
    auto put = [&](char16_t u) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
    };
    if (withByteOrderMark)
        put(0xFEFF);
    char32_t c;
    for (size_t pos = 0; pos < utf8.size();) {
        size_t n = nextUtf8(utf8, pos, c);
        if (n == 0) {
            c = kReplacement;
            n = 1;
        }
        pos += n;
        if (c >= 0x10000) {
            c -= 0x10000;
            put(static_cast<char16_t>(0xD800 + (c >> 10)));
            put(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            put(static_cast<char16_t>(c));
        }
    }
    return out;
}

bool IsValidIn(std::string_view bytes, CodePage cp)
{
    if (cp == CodePage::Utf8)
        return IsValidUtf8(bytes);
    if (cp == CodePage::Oem437)
        return true;
    // A bad byte decodes to U+FFFD, which GBK and Big5 text cannot hold otherwise.
    return DecodeToUtf8(bytes, cp).find("\xEF\xBF\xBD") == std::string::npos;
}

namespace {

// Every double-byte code of the text lies in the code page's common set: GB2312 (A1-F7 /
// A1-FE) in GBK, the symbols and frequent characters (A1-C6 leads) in Big5. UTF-8 Chinese
// read as GBK or Big5 falls outside it (its bytes 80-A0 and E4-E9 leads).
bool commonDoubleByteText(std::string_view bytes, CodePage cp)
{
    for (size_t i = 0; i < bytes.size(); ++i) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        if (lead < 0x80)
            continue;
        if (i + 1 >= bytes.size())
            return false;
        const auto trail = static_cast<unsigned char>(bytes[++i]);
        const bool common = cp == CodePage::Gbk ? lead >= 0xA1 && lead <= 0xF7 && trail >= 0xA1 && trail <= 0xFE
                                                : lead >= 0xA1 && lead <= 0xC6;
        if (!common)
            return false;
    }
    return true;
}

// The UTF-8 text holds only ASCII and East Asian characters and punctuation.
bool eastAsianUtf8Text(std::string_view utf8)
{
    char32_t c;
    for (size_t pos = 0; pos < utf8.size();) {
        const size_t n = nextUtf8(utf8, pos, c);
        if (n == 0)
            return false;
        pos += n;
        const bool ok = c < 0x80 || (c >= 0x2000 && c <= 0x206F) || (c >= 0x3000 && c <= 0x30FF) ||
                        (c >= 0x3400 && c <= 0x9FFF) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFF00 && c <= 0xFFEF);
        if (!ok)
            return false;
    }
    return true;
}

} // namespace

bool UnmarkedTextIsUtf8(std::string_view bytes, CodePage stationCodePage)
{
    if (!IsValidUtf8(bytes))
        return false;
    if (stationCodePage != CodePage::Gbk && stationCodePage != CodePage::Big5)
        return true;
    if (!IsValidIn(bytes, stationCodePage))
        return true;
    // Valid both ways (学习 in GBK is also "ѧϰ" in UTF-8): the code page, unless its
    // reading needs rare codes where the UTF-8 one is plain Chinese (a file this program
    // wrote before it marked its files).
    return !commonDoubleByteText(bytes, stationCodePage) && eastAsianUtf8Text(bytes);
}

std::string DecodeTextWithByteOrderMark(std::string_view bytes, CodePage stationCodePage)
{
    if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE')
        return Utf16LeToUtf8(bytes.substr(2));
    if (bytes.size() >= 2 && bytes[0] == '\xFE' && bytes[1] == '\xFF')
        return Utf16BeToUtf8(bytes.substr(2));
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF")
        return SanitizeUtf8(bytes.substr(3));
    return UnmarkedTextIsUtf8(bytes, stationCodePage) ? std::string(bytes) : DecodeToUtf8(bytes, stationCodePage);
}

std::string DecodeTextWithByteOrderMark(std::string_view bytes)
{
    return DecodeTextWithByteOrderMark(bytes, StationCodePage());
}

} // namespace platform
