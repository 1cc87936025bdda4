#include "ui/CopyList.h"

#include "platform/AtomicFile.h"

#include <cstdint>
#include <fstream>
#include <sys/stat.h>

namespace ui {

namespace {

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

// Decodes UTF-8; a byte that starts no valid sequence stands for itself (Latin-1), so
// 8-bit text that is not UTF-8 is kept rather than dropped.
std::u32string decodeUtf8(std::string_view s)
{
    std::u32string out;
    size_t i = 0;
    while (i < s.size()) {
        unsigned char b = static_cast<unsigned char>(s[i]);
        int extra = b < 0x80 ? 0 : (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : -1;
        char32_t c = extra == 0 ? b : extra == 1 ? (b & 0x1F) : extra == 2 ? (b & 0x0F) : (b & 0x07);
        bool ok = extra >= 0 && i + static_cast<size_t>(extra) < s.size();
        for (int k = 1; ok && k <= extra; ++k) {
            unsigned char t = static_cast<unsigned char>(s[i + k]);
            if ((t & 0xC0) != 0x80)
                ok = false;
            else
                c = (c << 6) | (t & 0x3F);
        }
        if (!ok) {
            out += static_cast<char32_t>(b);
            ++i;
            continue;
        }
        out += c;
        i += static_cast<size_t>(extra) + 1;
    }
    return out;
}

std::u32string decodeUtf16(std::string_view s, bool bigEndian)
{
    std::u32string out;
    auto unit = [&](size_t i) -> char16_t {
        auto a = static_cast<unsigned char>(s[i]), b = static_cast<unsigned char>(s[i + 1]);
        return static_cast<char16_t>(bigEndian ? (a << 8) | b : (b << 8) | a);
    };
    size_t n = s.size() / 2 * 2; // a dangling last byte carries no character
    for (size_t i = 0; i < n; i += 2) {
        char16_t u = unit(i);
        if (u >= 0xD800 && u <= 0xDBFF && i + 2 < n) {
            char16_t v = unit(i + 2);
            if (v >= 0xDC00 && v <= 0xDFFF) {
                out += static_cast<char32_t>(0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00));
                i += 2;
                continue;
            }
        }
        out += (u >= 0xD800 && u <= 0xDFFF) ? U'\uFFFD' : static_cast<char32_t>(u);
    }
    return out;
}

void appendUtf16Le(std::string& out, char32_t c)
{
    auto put = [&](char16_t u) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
    };
    if (c >= 0x10000) {
        c -= 0x10000;
        put(static_cast<char16_t>(0xD800 + (c >> 10)));
        put(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
        put(static_cast<char16_t>(c));
    }
}

} // namespace

std::string PathListFile::Encode(const std::vector<std::string>& entries)
{
    std::string out("\xFF\xFE", 2);
    for (const auto& e : entries) {
        for (char32_t c : decodeUtf8(e))
            appendUtf16Le(out, c);
        appendUtf16Le(out, U'\r');
        appendUtf16Le(out, U'\n');
    }
    return out;
}

std::vector<std::string> PathListFile::Decode(std::string_view bytes)
{
    std::u32string text;
    if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE')
        text = decodeUtf16(bytes.substr(2), false);
    else if (bytes.size() >= 2 && bytes[0] == '\xFE' && bytes[1] == '\xFF')
        text = decodeUtf16(bytes.substr(2), true);
    else if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF")
        text = decodeUtf8(bytes.substr(3));
    else
        text = decodeUtf8(bytes); // the system code page is UTF-8 here

    std::vector<std::string> entries;
    std::string current;
    bool pending = false; // characters since the last line break
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c == U'\r' || c == U'\n' || c == U'\u2028') {
            if (c == U'\r' && i + 1 < text.size() && text[i + 1] == U'\n')
                ++i;
            entries.push_back(current);
            current.clear();
            pending = false;
            continue;
        }
        appendUtf8(current, c);
        pending = true;
    }
    if (pending)
        entries.push_back(current);
    return entries;
}

bool PathListFile::Load(const std::string& path, std::vector<std::string>& entries)
{
    entries.clear();
    std::string bytes;
    if (!platform::ReadWholeFile(path, bytes))
        return false;
    entries = Decode(bytes);
    return true;
}

bool PathListFile::Save(const std::string& path, const std::vector<std::string>& entries)
{
    return platform::WriteFileAtomic(path, Encode(entries));
}

size_t Utf16Length(std::string_view utf8)
{
    size_t n = 0;
    for (char32_t c : decodeUtf8(utf8))
        n += c >= 0x10000 ? 2 : 1;
    return n;
}

bool PathListEntryExists(const std::string& entry)
{
    if (entry.empty())
        return false;
    struct stat st{};
    if (stat(entry.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return true;
    std::ifstream f(entry, std::ios::binary);
    return f.is_open();
}

std::string FileNamePart(const std::string& path)
{
    auto pos = path.find_last_of("/\\:");
    return pos == std::string::npos ? path : path.substr(pos + 1);
}

} // namespace ui
