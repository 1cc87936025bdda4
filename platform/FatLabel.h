#pragma once
// The volume label of a FAT12/16/32 volume, written and read by our own code on the
// unmounted device node or disk file, in the station's code page (the Linux FAT tools
// cannot store double-byte labels). A label lives in two places that must agree: the
// boot sector's label field (and the FAT32 backup boot sector's) and the root folder's
// volume-label entry.
#include "platform/TextCodec.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// The 11 label bytes as FAT stores them: blank-padded, in a code page.
using FatLabelBytes = std::array<uint8_t, 11>;

// The label in code page cp: ASCII letters upper-cased, blank-padded. nullopt, with the
// reason, when FAT cannot hold it: empty, over 11 bytes in cp, a leading blank, a control
// character, one of *?.,;:/\|+=<>[]", a character cp lacks, or one whose double-byte code
// holds a byte FAT forbids (Big5 and GBK second bytes may be '\', '[', ']' or '|').
std::optional<FatLabelBytes> EncodeFatLabel(const std::string& label, CodePage cp, std::string& reason);

// Writes the label (null removes it: "NO NAME" in the boot sector, the root entry deleted).
// The whole layout is read and checked before the first byte is written, so a volume that
// cannot take the label is left as it was. False with the reason in error.
bool WriteFatLabel(const std::string& volume, const FatLabelBytes* label, std::string& error);

// The stored label bytes without the padding: the root folder's entry, else the boot
// sector's field unless it reads "NO NAME"; "" when the volume has none. nullopt, with the
// reason, when the volume cannot be read as FAT.
std::optional<std::string> ReadFatLabel(const std::string& volume, std::string& error);

} // namespace platform
