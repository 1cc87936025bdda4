// INI files read and written with the rules the settings files rely on.
#include "platform/IniFile.h"

#include "platform/AtomicFile.h"
#include "platform/SystemLanguage.h"
#include "platform/TextCodec.h"

#include <algorithm>
#include <cctype>
#include <climits>

namespace platform {

namespace {

constexpr size_t npos = static_cast<size_t>(-1);

std::string_view trim(std::string_view s)
{
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; };
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    return s;
}

bool sameName(std::string_view a, std::string_view b)
{
    a = trim(a);
    b = trim(b);
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// A UTF-8 byte-order mark at the very start is not part of the first line's text.
std::string_view withoutBom(std::string_view s, bool first)
{
    if (first && s.substr(0, 3) == "\xEF\xBB\xBF")
        s.remove_prefix(3);
    return s;
}

// "[name]" (blanks around allowed, anything after "]" ignored): the name, else npos.
bool sectionName(std::string_view line, std::string_view& name)
{
    line = trim(line);
    if (line.empty() || line.front() != '[')
        return false;
    size_t close = line.find(']');
    if (close == std::string_view::npos)
        return false;
    name = trim(line.substr(1, close - 1));
    return true;
}

// "key=value": splits at the first '='; comment lines and lines without '=' are no keys.
bool keyValue(std::string_view line, std::string_view& key, std::string_view& value)
{
    std::string_view t = trim(line);
    if (t.empty() || t.front() == ';' || t.front() == '[')
        return false;
    size_t eq = line.find('=');
    if (eq == std::string_view::npos)
        return false;
    key = trim(line.substr(0, eq));
    value = trim(line.substr(eq + 1));
    return !key.empty();
}

std::string clean(std::string_view s)
{
    std::string out(s);
    for (char& c : out)
        if (c == '\r' || c == '\n')
            c = ' ';
    return out;
}

} // namespace

IniFile::IniFile(std::string path) : path_(std::move(path))
{
    std::string bytes;
    if (ReadWholeFile(path_, bytes)) {
        existed_ = true;
        parse(bytes);
    }
}

IniFile IniFile::FromText(std::string_view text, std::string path)
{
    IniFile f;
    f.path_ = std::move(path);
    f.parse(text);
    return f;
}

IniFile::IniFile(const IniFile& other)
{
    std::lock_guard lock(other.mutex_);
    path_ = other.path_;
    lines_ = other.lines_;
    existed_ = other.existed_;
    modified_ = other.modified_;
    utf8_ = other.utf8_;
    codePage_ = other.codePage_;
}

IniFile& IniFile::operator=(const IniFile& other)
{
    if (this == &other)
        return *this;
    IniFile copy(other);
    std::lock_guard lock(mutex_);
    path_ = std::move(copy.path_);
    lines_ = std::move(copy.lines_);
    existed_ = copy.existed_;
    modified_ = copy.modified_;
    utf8_ = copy.utf8_;
    codePage_ = copy.codePage_;
    return *this;
}

void IniFile::parse(std::string_view bytes)
{
    lines_.clear();
    // One encoding for the whole file (see UnmarkedTextIsUtf8).
    codePage_ = StationCodePage();
    utf8_ = bytes.substr(0, 3) == "\xEF\xBB\xBF" || UnmarkedTextIsUtf8(bytes, codePage_);
    size_t pos = 0;
    while (pos < bytes.size()) {
        size_t end = bytes.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) {
            lines_.push_back({std::string(bytes.substr(pos)), ""});
            break;
        }
        size_t eolLen = (bytes[end] == '\r' && end + 1 < bytes.size() && bytes[end + 1] == '\n') ? 2 : 1;
        lines_.push_back({std::string(bytes.substr(pos, end - pos)), std::string(bytes.substr(end, eolLen))});
        pos = end + eolLen;
    }
}

IniFile::Range IniFile::findSection(std::string_view section, size_t from) const
{
    for (size_t i = from; i < lines_.size(); ++i) {
        std::string_view name;
        if (sectionName(withoutBom(lines_[i].text, i == 0), name) && sameName(name, section)) {
            size_t end = i + 1;
            std::string_view other;
            while (end < lines_.size() && !sectionName(lines_[end].text, other))
                ++end;
            return {i, end};
        }
    }
    return {npos, npos};
}

size_t IniFile::findKey(const Range& r, std::string_view key) const
{
    if (r.begin == npos)
        return npos;
    for (size_t i = r.begin + 1; i < r.end; ++i) {
        std::string_view k, v;
        if (!keyValue(lines_[i].text, k, v))
            continue;
        // A name in the file's code page is also found by its text, the name ReadSection
        // lists for it.
        if (sameName(k, key) || (!utf8_ && sameName(decoded(k), key)))
            return i;
    }
    return npos;
}

std::string IniFile::ReadString(std::string_view section, std::string_view key, std::string_view def) const
{
    std::lock_guard lock(mutex_);
    if (findKey(findSection(section), key) == npos)
        return std::string(def);
    return decoded(ReadBytes(section, key, ""));
}

std::string IniFile::ReadBytes(std::string_view section, std::string_view key, std::string_view def) const
{
    std::lock_guard lock(mutex_);
    size_t i = findKey(findSection(section), key);
    if (i == npos)
        return std::string(def);
    std::string_view k, v;
    keyValue(lines_[i].text, k, v);
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
    return std::string(v);
}

bool IniFile::ParseInteger(std::string_view text, int32_t& value)
{
    std::string_view s = trim(text);
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    } else if (s.size() > 1 && s[0] == '$') {
        base = 16;
        s.remove_prefix(1);
    }
    if (s.empty())
        return false;
    uint64_t acc = 0;
    for (char c : s) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        acc = acc * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
        if (acc > 0xFFFFFFFFull)
            return false;
    }
    if (base == 16) {
        // Hexadecimal covers the full 32 bits: 0xFFFFFFFF is -1.
        int32_t v = static_cast<int32_t>(static_cast<uint32_t>(acc));
        value = negative ? static_cast<int32_t>(0u - static_cast<uint32_t>(v)) : v;
        return true;
    }
    if (negative ? acc > 0x80000000ull : acc > 0x7FFFFFFFull)
        return false;
    value = negative ? static_cast<int32_t>(-static_cast<int64_t>(acc)) : static_cast<int32_t>(acc);
    return true;
}

int32_t IniFile::ReadInteger(std::string_view section, std::string_view key, int32_t def) const
{
    int32_t v;
    return ParseInteger(ReadBytes(section, key, ""), v) ? v : def;
}

bool IniFile::ReadBool(std::string_view section, std::string_view key, bool def) const
{
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

bool IniFile::SectionExists(std::string_view section) const
{
    std::lock_guard lock(mutex_);
    return findSection(section).begin != npos;
}

bool IniFile::ValueExists(std::string_view section, std::string_view key) const
{
    std::lock_guard lock(mutex_);
    return findKey(findSection(section), key) != npos;
}

std::vector<std::string> IniFile::ReadSection(std::string_view section) const
{
    std::lock_guard lock(mutex_);
    std::vector<std::string> keys;
    Range r = findSection(section);
    if (r.begin == npos)
        return keys;
    for (size_t i = r.begin + 1; i < r.end; ++i) {
        std::string_view k, v;
        if (!keyValue(lines_[i].text, k, v))
            continue;
        bool seen = std::any_of(keys.begin(), keys.end(), [&](const std::string& s) { return sameName(s, k); });
        if (!seen)
            keys.emplace_back(k);
    }
    // Key names may be paths (lists stored as keys): text, as ReadString gives values.
    for (std::string& key : keys)
        key = decoded(key);
    return keys;
}

std::vector<std::string> IniFile::ReadSections() const
{
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    for (size_t i = 0; i < lines_.size(); ++i) {
        std::string_view name;
        if (!sectionName(withoutBom(lines_[i].text, i == 0), name))
            continue;
        bool seen = std::any_of(names.begin(), names.end(), [&](const std::string& s) { return sameName(s, name); });
        if (!seen)
            names.emplace_back(name);
    }
    return names;
}

void IniFile::ensureLastLineEnded()
{
    if (!lines_.empty() && lines_.back().eol.empty())
        lines_.back().eol = "\r\n";
}

std::string IniFile::decoded(std::string_view stored) const
{
    return utf8_ ? SanitizeUtf8(stored) : DecodeToUtf8(stored, codePage_);
}

void IniFile::WriteString(std::string_view section, std::string_view key, std::string_view value)
{
    std::lock_guard lock(mutex_);
    // Text past ASCII goes into a file in UTF-8, marked as such: a file in the station's
    // code page is converted whole first, so that it keeps one encoding.
    auto ascii = [](std::string_view t) { return std::all_of(t.begin(), t.end(), [](char c) { return (c & 0x80) == 0; }); };
    if (!utf8_ && !(ascii(section) && ascii(key) && ascii(value))) {
        for (Line& line : lines_)
            line.text = DecodeToUtf8(line.text, codePage_);
        utf8_ = true;
    }
    std::string k = clean(trim(key));
    std::string v = clean(value);
    modified_ = true;
    Range r = findSection(section);
    if (r.begin == npos) {
        ensureLastLineEnded();
        if (!lines_.empty() && !trim(lines_.back().text).empty())
            lines_.push_back({"", "\r\n"});
        lines_.push_back({"[" + clean(trim(section)) + "]", "\r\n"});
        lines_.push_back({k + "=" + v, "\r\n"});
        return;
    }
    size_t i = findKey(r, key);
    if (i != npos) {
        // Keep the key's spelling as the file has it.
        std::string_view fk, fv;
        keyValue(lines_[i].text, fk, fv);
        lines_[i].text = std::string(fk) + "=" + v;
        if (lines_[i].eol.empty())
            lines_[i].eol = "\r\n";
        return;
    }
    size_t at = r.end;
    while (at > r.begin + 1 && trim(lines_[at - 1].text).empty())
        --at;
    if (at == lines_.size())
        ensureLastLineEnded();
    else if (lines_[at - 1].eol.empty())
        lines_[at - 1].eol = "\r\n";
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at), Line{k + "=" + v, "\r\n"});
}

void IniFile::WriteInteger(std::string_view section, std::string_view key, int32_t value)
{
    WriteString(section, key, std::to_string(value));
}

void IniFile::WriteBool(std::string_view section, std::string_view key, bool value)
{
    WriteString(section, key, value ? "1" : "0");
}

void IniFile::EraseSection(std::string_view section)
{
    std::lock_guard lock(mutex_);
    for (;;) {
        Range r = findSection(section);
        if (r.begin == npos)
            return;
        lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(r.begin),
                     lines_.begin() + static_cast<std::ptrdiff_t>(r.end));
        modified_ = true;
    }
}

void IniFile::DeleteKey(std::string_view section, std::string_view key)
{
    std::lock_guard lock(mutex_);
    size_t i = findKey(findSection(section), key);
    if (i == npos)
        return;
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(i));
    modified_ = true;
}

bool IniFile::Modified() const
{
    std::lock_guard lock(mutex_);
    return modified_;
}

std::string IniFile::Text() const
{
    std::lock_guard lock(mutex_);
    std::string out;
    for (const Line& l : lines_) {
        out += l.text;
        out += l.eol;
    }
    // A UTF-8 document past ASCII carries the mark, so it never reads as the code page.
    const bool marked = out.compare(0, 3, "\xEF\xBB\xBF") == 0;
    if (utf8_ && !marked && std::any_of(out.begin(), out.end(), [](char c) { return (c & 0x80) != 0; }))
        out.insert(0, "\xEF\xBB\xBF");
    return out;
}

bool IniFile::UpdateFile(bool force)
{
    std::lock_guard lock(mutex_);
    if (!modified_ && !force)
        return true;
    if (path_.empty() || !WriteFileAtomic(path_, Text()))
        return false;
    modified_ = false;
    existed_ = true;
    return true;
}

void IniFile::UpdateFileOrThrow(bool force)
{
    if (!UpdateFile(force))
        throw IniFileError("Unable to write to " + path_);
}

} // namespace platform
