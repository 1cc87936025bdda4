#pragma once
// Byte offsets of the FAT boot sector's fields, shared by the image builder and the label
// writer so both read the same layout.
#include <cstdint>

namespace platform::fatboot {

constexpr uint32_t kBpbBytesPerSector = 11;
constexpr uint32_t kBpbSectorsPerCluster = 13;
constexpr uint32_t kBpbReserved = 14;
constexpr uint32_t kBpbFatCount = 16;
constexpr uint32_t kBpbRootEntries = 17;
constexpr uint32_t kBpbTotal16 = 19;
constexpr uint32_t kBpbMedia = 21;
constexpr uint32_t kBpbFatSize16 = 22;
constexpr uint32_t kBpbTotal32 = 32;
constexpr uint32_t kBpbFatSize32 = 36;
constexpr uint32_t kBpbRootCluster = 44;
constexpr uint32_t kBpbFsInfo = 48;
constexpr uint32_t kBpbBackupBoot = 50;
// Extended boot record (FAT12/16 at 36, FAT32 at 64): drive number, signature 0x29,
// serial, label, type name.
constexpr uint32_t kExt16 = 36;
constexpr uint32_t kExt32 = 64;
constexpr uint32_t kExtSignature = 2;
constexpr uint32_t kExtSerial = 3;
constexpr uint32_t kExtLabel = 7;
constexpr uint32_t kExtTypeName = 18;
constexpr uint32_t kBootSignature = 510;

} // namespace platform::fatboot
