// FAT names: long names, their 8.3 aliases, and case-insensitive comparison.
#include "image/FatNames.h"

#include <clocale>
#include <cwctype>
#include <locale.h>
#include <vector>

namespace image {
namespace {

bool DecodeUtf8(const std::string& s, std::u32string& out) {
    out.clear();
    for (size_t i = 0; i < s.size();) {
        const uint8_t c = uint8_t(s[i]);
        uint32_t cp;
        size_t n;
        if (c < 0x80) { cp = c; n = 1; }
        else if ((c & 0xE0) == 0xC0) { cp = c & 0x1F; n = 2; }
        else if ((c & 0xF0) == 0xE0) { cp = c & 0x0F; n = 3; }
        else if ((c & 0xF8) == 0xF0) { cp = c & 0x07; n = 4; }
        else return false;
        if (i + n > s.size())
            return false;
        for (size_t k = 1; k < n; ++k) {
            const uint8_t d = uint8_t(s[i + k]);
            if ((d & 0xC0) != 0x80)
                return false;
            cp = cp << 6 | (d & 0x3F);
        }
        static const uint32_t minimum[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < minimum[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        out.push_back(cp);
        i += n;
    }
    return true;
}

std::u16string ToUtf16(const std::u32string& cps) {
    std::u16string out;
    for (char32_t cp : cps) {
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(char16_t(0xD800 + (cp >> 10)));
            out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(char16_t(cp));
        }
    }
    return out;
}

std::u32string ToUtf32(const std::u16string& s) {
    std::u32string out;
    for (size_t i = 0; i < s.size(); ++i) {
        const char32_t u = s[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            out.push_back(0x10000 + ((u - 0xD800) << 10) + (s[i + 1] - 0xDC00));
            ++i;
        } else {
            out.push_back(u);
        }
    }
    return out;
}

// Upper-case mapping independent of the process's locale.
char32_t UpperCase(char32_t cp) {
    if (cp < 0x80)
        return (cp >= 'a' && cp <= 'z') ? cp - 32 : cp;
    static locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
    if (utf8 == locale_t(0))
        return cp;
    const wint_t up = towupper_l(wint_t(cp), utf8);
    return char32_t(up);
}

bool IsShortChar(char32_t c) {
    if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    switch (c) {
    case '$': case '%': case '\'': case '-': case '_': case '@': case '~': case '`':
    case '!': case '(': case ')': case '{': case '}': case '^': case '#': case '&':
        return true;
    default:
        return false;
    }
}

void Fill(ShortName& alias, const std::u32string& base, const std::u32string& ext) {
    alias.fill(' ');
    for (size_t i = 0; i < base.size() && i < 8; ++i)
        alias[i] = uint8_t(base[i]);
    for (size_t i = 0; i < ext.size() && i < 3; ++i)
        alias[8 + i] = uint8_t(ext[i]);
}

} // namespace

bool Utf8ToUtf16(const std::string& utf8, std::u16string& utf16) {
    std::u32string cps;
    if (!DecodeUtf8(utf8, cps))
        return false;
    utf16 = ToUtf16(cps);
    return true;
}

std::string Utf16ToUtf8(const std::u16string& utf16) {
    std::string out;
    for (char32_t cp : ToUtf32(utf16)) {
        if (cp < 0x80) {
            out.push_back(char(cp));
        } else if (cp < 0x800) {
            out.push_back(char(0xC0 | cp >> 6));
            out.push_back(char(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(char(0xE0 | cp >> 12));
            out.push_back(char(0x80 | (cp >> 6 & 0x3F)));
            out.push_back(char(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(char(0xF0 | cp >> 18));
            out.push_back(char(0x80 | (cp >> 12 & 0x3F)));
            out.push_back(char(0x80 | (cp >> 6 & 0x3F)));
            out.push_back(char(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

bool ValidateLongName(const std::string& utf8, std::u16string& longName, std::string& reason) {
    std::u32string cps;
    if (!DecodeUtf8(utf8, cps)) {
        reason = "is not valid UTF-8";
        return false;
    }
    if (cps.empty() || utf8 == "." || utf8 == "..") {
        reason = "is not a file name";
        return false;
    }
    for (char32_t c : cps) {
        if (c < 0x20 || c == 0x7F) {
            reason = "holds a control character, which FAT names cannot";
            return false;
        }
        switch (c) {
        case '"': case '*': case '/': case ':': case '<': case '>': case '?': case '\\': case '|':
            reason = std::string("holds '") + char(c) + "', which FAT names cannot";
            return false;
        default:
            break;
        }
    }
    if (cps.back() == '.' || cps.back() == ' ') {
        reason = "ends in a dot or blank, which FAT names drop";
        return false;
    }
    longName = ToUtf16(cps);
    if (longName.size() > kMaxLongNameUnits) {
        reason = "is longer than 255 UTF-16 units";
        return false;
    }
    return true;
}

std::u16string FoldName(const std::u16string& name) {
    std::u32string cps = ToUtf32(name);
    for (char32_t& c : cps)
        c = UpperCase(c);
    return ToUtf16(cps);
}

bool MakeShortName(const std::u16string& longName, const std::function<bool(const ShortName&)>& taken,
                   ShortName& alias, AliasTails* tails) {
    const std::u32string cps = ToUtf32(longName);

    // A plain 8.3 name (in any letter case) is its own alias.
    {
        std::u32string base, ext;
        bool plain = !cps.empty() && cps[0] != '.';
        int dots = 0;
        for (char32_t c : cps) {
            if (c == '.') {
                ++dots;
                continue;
            }
            const char32_t u = c < 0x80 ? UpperCase(c) : c;
            if (!IsShortChar(u))
                plain = false;
            (dots ? ext : base).push_back(u);
        }
        if (plain && dots <= 1 && !base.empty() && base.size() <= 8 && ext.size() <= 3 &&
            (dots == 0 || !ext.empty())) {
            Fill(alias, base, ext);
            if (!taken(alias))
                return true;
        }
    }

    // Otherwise: blanks and leading dots go, the last dot splits off the extension, other
    // dots go, characters that 8.3 names cannot hold become '_', and a "~N" tail marks it.
    std::u32string stripped;
    for (char32_t c : cps)
        if (c != ' ' && !(c == '.' && stripped.empty()))
            stripped.push_back(c);
    const size_t lastDot = stripped.rfind(U'.');
    auto map = [](char32_t c) -> char32_t {
        const char32_t u = c < 0x80 ? UpperCase(c) : c;
        return IsShortChar(u) ? u : U'_';
    };
    std::u32string base, ext;
    for (size_t i = 0; i < stripped.size(); ++i) {
        if (stripped[i] == '.')
            continue;
        if (lastDot != std::u32string::npos && i > lastDot) {
            if (ext.size() < 3)
                ext.push_back(map(stripped[i]));
        } else if (base.size() < 8) {
            base.push_back(map(stripped[i]));
        }
    }
    if (base.empty())
        base.push_back(U'_');
    // Tails of one width share the name cut to 8 - width characters: names that differ
    // only past the cut compete for the same aliases, so the search state is kept per cut
    // name, per width.
    uint32_t low = 1;
    for (size_t width = 2; width <= 7; ++width, low *= 10) {
        const uint32_t high = low * 10 - 1;
        const std::u32string cut = base.substr(0, std::min<size_t>(base.size(), 8 - width));
        uint32_t* next = nullptr;
        if (tails) {
            next = &(*tails)[cut + U'.' + ext + char32_t(U'0' + width)];
            if (*next < low)
                *next = low;
        }
        for (uint32_t n = next ? *next : low; n <= high; ++n) {
            std::u32string b = cut;
            b.push_back(U'~');
            for (char ch : std::to_string(n))
                b.push_back(char32_t(ch));
            Fill(alias, b, ext);
            if (!taken(alias)) {
                // This tail is taken only once the caller stores the entry: look at it again.
                if (next)
                    *next = n;
                return true;
            }
        }
        if (next)
            *next = high + 1;
    }
    return false;
}

std::u16string ShortNameText(const ShortName& alias) {
    std::u16string out;
    size_t n = 8;
    while (n > 0 && alias[n - 1] == ' ')
        --n;
    for (size_t i = 0; i < n; ++i)
        out.push_back(alias[i]);
    size_t e = 3;
    while (e > 0 && alias[8 + e - 1] == ' ')
        --e;
    if (e) {
        out.push_back(u'.');
        for (size_t i = 0; i < e; ++i)
            out.push_back(alias[8 + i]);
    }
    return out;
}

uint8_t ShortNameChecksum(const ShortName& alias) {
    uint8_t sum = 0;
    for (uint8_t b : alias)
        sum = uint8_t(((sum & 1) ? 0x80 : 0) + (sum >> 1) + b);
    return sum;
}

} // namespace image
