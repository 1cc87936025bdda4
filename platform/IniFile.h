#pragma once
// Private-profile (INI) files, read and written with the rules the settings files rely on:
//  - section and key names compare case-insensitively (ASCII) and ignore blanks around
//    them; the first matching section, and in it the first matching key, wins;
//  - values are returned without the blanks around them and without one pair of
//    enclosing quotes ("..." or '...');
//  - ReadInteger: decimal with an optional sign; a value of more than two characters
//    beginning "0x"/"0X" (or "$") is hexadecimal; a missing key, an empty or non-numeric
//    value or one out of the 32-bit range gives the default;
//  - ReadBool: ReadInteger(default 1/0) != 0; WriteBool writes "1"/"0";
//  - lines the program does not change stay byte for byte as they were (including their
//    line ends); lines it writes end in CR LF; a new key goes after the last non-blank
//    line of its section, a new section at the end of the file;
//  - UpdateFile replaces the file atomically: a failed write leaves the previous file whole.
// Values are stored bytes. The file's encoding is decided once, for the whole file, by its
// mark or by the station's code page (platform::UnmarkedTextIsUtf8); ReadString gives
// values and ReadSection names as text in it, ReadBytes untouched (files whose sections
// choose their own code page). Writing text past ASCII makes the file UTF-8 with its
// byte-order mark (a file in the code page is converted whole first); a file that only
// gets ASCII keeps its encoding and its other lines byte for byte.
// An IniFile is safe to use from several threads.
#include "platform/TextCodec.h"

#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The class library's profile-file error; its text is "Unable to write to <path>".
class IniFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class IniFile {
public:
    // Loads the file; a missing or unreadable file is an empty document.
    explicit IniFile(std::string path);
    // A document held only in memory (UpdateFile needs a path).
    static IniFile FromText(std::string_view text, std::string path = {});

    IniFile(const IniFile& other);
    IniFile& operator=(const IniFile& other);

    const std::string& FileName() const { return path_; }
    bool Exists() const { return existed_; }  // the file was there when loaded

    std::string ReadString(std::string_view section, std::string_view key, std::string_view def) const;
    std::string ReadBytes(std::string_view section, std::string_view key, std::string_view def) const;
    int32_t ReadInteger(std::string_view section, std::string_view key, int32_t def) const;
    bool ReadBool(std::string_view section, std::string_view key, bool def) const;
    bool SectionExists(std::string_view section) const;
    bool ValueExists(std::string_view section, std::string_view key) const;
    // Key names of the first matching section, in file order (each name once), as text
    // the way ReadString gives values.
    std::vector<std::string> ReadSection(std::string_view section) const;
    std::vector<std::string> ReadSections() const;

    // Changes in memory; UpdateFile writes them. CR and LF inside a value or key would
    // break the file's line structure and are written as blanks.
    void WriteString(std::string_view section, std::string_view key, std::string_view value);
    void WriteInteger(std::string_view section, std::string_view key, int32_t value);
    void WriteBool(std::string_view section, std::string_view key, bool value);
    // Removes every section of that name with all its lines.
    void EraseSection(std::string_view section);
    // Removes the first matching key of the first matching section.
    void DeleteKey(std::string_view section, std::string_view key);

    bool Modified() const;
    // Writes the document when it was modified (or always, with force). False when the
    // write failed; the file on disk is then as it was.
    bool UpdateFile(bool force = false);
    // As UpdateFile, but throws IniFileError("Unable to write to <path>") on failure.
    void UpdateFileOrThrow(bool force = false);

    // The whole document as it would be written.
    std::string Text() const;

    // Integer parsing used by ReadInteger (exposed for the other settings readers).
    static bool ParseInteger(std::string_view text, int32_t& value);

private:
    IniFile() = default;
    struct Line {
        std::string text;  // without its line end
        std::string eol;   // "\r\n", "\n", "\r" or "" (last line without an end)
    };
    void parse(std::string_view bytes);
    // Index range [begin, end) of the lines of a section (begin = header line), or
    // begin == npos when absent.
    struct Range {
        size_t begin, end;
    };
    Range findSection(std::string_view section, size_t from = 0) const;
    size_t findKey(const Range& r, std::string_view key) const;  // line index or npos
    void ensureLastLineEnded();
    std::string decoded(std::string_view stored) const;  // stored bytes as UTF-8 text

    mutable std::recursive_mutex mutex_;
    std::string path_;
    std::vector<Line> lines_;
    bool existed_ = false;
    bool modified_ = false;
    bool utf8_ = true;                        // else the file is in codePage_
    CodePage codePage_ = CodePage::Utf8;
};

} // namespace platform
