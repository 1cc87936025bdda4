#pragma once
// The path-list files that keep the copy list, the hidden and SPI file lists and the image
// dialog's list between runs ("misc\seting.ini" and friends, not INI files despite the name):
// UTF-16 LE with a byte-order mark, every entry followed by CR LF. Reading also accepts
// UTF-16 BE, UTF-8 with a mark and plain 8-bit text. Inside the program the entries are UTF-8.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct PathListFile {
    // The bytes written for a list: FF FE, then each entry + CR LF in UTF-16 LE.
    static std::string Encode(const std::vector<std::string>& entries);
    // Entries of a file's bytes; the encoding is taken from the byte-order mark.
    static std::vector<std::string> Decode(std::string_view bytes);

    // False when the file is missing or unreadable (entries left empty).
    static bool Load(const std::string& path, std::vector<std::string>& entries);
    // Replaces the file whole (a failed write keeps the previous one); false on failure.
    static bool Save(const std::string& path, const std::vector<std::string>& entries);
};

// True when the entry names an existing folder or a file that opens for reading.
bool PathListEntryExists(const std::string& entry);

// The file-name part of a path (after the last '/', '\' or ':').
std::string FileNamePart(const std::string& path);

} // namespace platform
