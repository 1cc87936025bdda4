#pragma once
// Names on a FAT volume: the UTF-16 long name every entry carries, its 8.3 alias from our
// own generator (upper case, "~N" tails, unique within its folder), the case-insensitive
// key names are looked up by, and the alias checksum that ties long-name pieces to their
// short entry.
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>

namespace image {

using ShortName = std::array<uint8_t, 11>;  // 8 name bytes, 3 extension bytes, blank-padded

constexpr size_t kMaxLongNameUnits = 255;

// UTF-8 -> UTF-16; false for malformed UTF-8.
bool Utf8ToUtf16(const std::string& utf8, std::u16string& utf16);
std::string Utf16ToUtf8(const std::u16string& utf16);

// Checks that a host name can be stored as a FAT long name (no control characters, none
// of " * / : < > ? \ |, not "." or "..", at most 255 UTF-16 units, no trailing dot or
// blank). Fills `longName`; false with a reason otherwise.
bool ValidateLongName(const std::string& utf8, std::u16string& longName, std::string& reason);

// Case-insensitive lookup key of a long name (simple upper-case mapping per code point).
std::u16string FoldName(const std::u16string& name);

// Where a folder's "~N" searches go on, per name cut for the tail's width and extension:
// every tail below the number kept is taken already. A folder only gains aliases while it is built,
// so a search can start there and still find the lowest free tail.
using AliasTails = std::unordered_map<std::u32string, uint32_t>;

// The alias of a long name: the name itself in upper case when it already is a plain
// 8.3 name, otherwise a shortened form with a "~N" tail, the lowest N free; `taken` says
// whether an alias is already used in the target folder, `tails` (when given, one per
// folder) spares the search the tails known to be taken. False only when every tail up
// to ~999999 is taken.
bool MakeShortName(const std::u16string& longName, const std::function<bool(const ShortName&)>& taken,
                   ShortName& alias, AliasTails* tails = nullptr);

// "NAME.EXT" (or "NAME") of an alias, as a long name would spell it.
std::u16string ShortNameText(const ShortName& alias);

uint8_t ShortNameChecksum(const ShortName& alias);

} // namespace image
