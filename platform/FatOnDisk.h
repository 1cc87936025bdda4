#pragma once
// The FAT on-disk layout: boot sector, FSInfo sector, FAT entries, directory and long-name
// entries. The image builder, the label writer and the simulator's fresh volumes all
// write and read volumes through these names and through one boot-sector reader.
#include <cstdint>

namespace platform::fat {

// ---- boot sector ----
constexpr uint32_t kBootJump = 0;          // EB xx 90, or E9 xx xx
constexpr uint32_t kBootOemName = 3;       // 8 bytes
constexpr uint32_t kBpbBytesPerSector = 11;
constexpr uint32_t kBpbSectorsPerCluster = 13;
constexpr uint32_t kBpbReserved = 14;
constexpr uint32_t kBpbFatCount = 16;
constexpr uint32_t kBpbRootEntries = 17;
constexpr uint32_t kBpbTotal16 = 19;
constexpr uint32_t kBpbMedia = 21;
constexpr uint32_t kBpbFatSize16 = 22;
constexpr uint32_t kBpbSectorsPerTrack = 24;
constexpr uint32_t kBpbHeads = 26;
constexpr uint32_t kBpbTotal32 = 32;
constexpr uint32_t kBpbFatSize32 = 36;
constexpr uint32_t kBpbRootCluster = 44;
constexpr uint32_t kBpbFsInfo = 48;
constexpr uint32_t kBpbBackupBoot = 50;
// Extended boot record (FAT12/16 at 36, FAT32 at 64): drive number, signature 0x29,
// serial, label, type name.
constexpr uint32_t kExt16 = 36;
constexpr uint32_t kExt32 = 64;
constexpr uint32_t kExtDrive = 0;
constexpr uint32_t kExtSignature = 2;
constexpr uint32_t kExtSerial = 3;
constexpr uint32_t kExtLabel = 7;
constexpr uint32_t kExtTypeName = 18;
constexpr uint8_t kExtendedSignature = 0x29; // the serial, label and type fields follow
constexpr uint8_t kDriveFixed = 0x80;
constexpr uint8_t kMediaFixed = 0xF8;
constexpr uint32_t kBootSignature = 510;     // 55 AA
// The label field of a volume without a label.
constexpr uint8_t kNoName[11] = {'N', 'O', ' ', 'N', 'A', 'M', 'E', ' ', ' ', ' ', ' '};

// ---- FAT32 FSInfo sector ----
constexpr uint32_t kFsInfoLeadSignature = 0x41615252;   // at 0
constexpr uint32_t kFsInfoStructSignature = 0x61417272; // at kFsInfoStruct
constexpr uint32_t kFsInfoTrailSignature = 0xAA550000;  // at kFsInfoTrail
constexpr uint32_t kFsInfoStruct = 484;
constexpr uint32_t kFsInfoFreeCount = 488;
constexpr uint32_t kFsInfoNextFree = 492;
constexpr uint32_t kFsInfoTrail = 508;
constexpr uint32_t kFsInfoUnknown = 0xFFFFFFFF;         // a count or hint not known

// ---- FAT entries ----
constexpr uint32_t kFat16EndOfChain = 0xFFF8;
constexpr uint32_t kFat32EndOfChain = 0x0FFFFFF8;
constexpr uint32_t kFat32Mask = 0x0FFFFFFF; // the top four bits are reserved

// ---- directory entries ----
constexpr uint32_t kEntryBytes = 32;
constexpr uint32_t kEntryName = 0;         // 8 + 3 bytes, blank-padded
constexpr uint32_t kEntryAttr = 11;
constexpr uint32_t kEntryCreateTime = 14;
constexpr uint32_t kEntryCreateDate = 16;
constexpr uint32_t kEntryAccessDate = 18;
constexpr uint32_t kEntryClusterHigh = 20; // FAT32 only
constexpr uint32_t kEntryWriteTime = 22;
constexpr uint32_t kEntryWriteDate = 24;
constexpr uint32_t kEntryClusterLow = 26;
constexpr uint32_t kEntrySize = 28;
constexpr uint8_t kAttrLabel = 0x08;
constexpr uint8_t kAttrDirectory = 0x10;
constexpr uint8_t kAttrLongName = 0x0F;    // read-only, hidden, system, label together
constexpr uint8_t kAttrMask = 0x3F;        // the attribute bits FAT defines
// First name byte: 0x00 ends the folder, 0xE5 marks a deleted entry. A name starting
// with 0xE5 (a lead byte in GBK and Big5) is stored starting with 0x05.
constexpr uint8_t kEntryEnd = 0x00;
constexpr uint8_t kEntryDeleted = 0xE5;
constexpr uint8_t kEntryLeadE5 = 0x05;

// ---- long-name entries ----
// Pieces of 13 UTF-16 units precede the short entry, last piece first; the order byte
// counts from 1 and marks the last piece with 0x40.
constexpr uint32_t kLongOrder = 0;
constexpr uint32_t kLongType = 12;
constexpr uint32_t kLongChecksum = 13;     // of the short name
constexpr uint32_t kLongCluster = 26;      // always 0
constexpr uint8_t kLongLastPiece = 0x40;
constexpr uint32_t kUnitsPerPiece = 13;
constexpr uint8_t kPieceUnitOffsets[kUnitsPerPiece] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

// The boot sector's numbers as they stand, before any check: the total and the FAT size
// come from the 32-bit field when the 16-bit one is 0; a volume whose 16-bit FAT size is
// 0 is laid out as FAT32 (its root is a cluster chain, its extended record at 64).
struct BootParameters {
    uint32_t bytesPerSector = 0;
    uint32_t sectorsPerCluster = 0;
    uint32_t reservedSectors = 0;
    uint32_t fatCount = 0;
    uint32_t rootEntries = 0;
    uint32_t totalSectors = 0;
    uint32_t fatSize = 0;
    uint32_t rootCluster = 0;  // meaningful on FAT32 only
    uint32_t backupBoot = 0;   // FAT32 only
    bool fat32Layout = false;
    uint32_t extended = kExt16; // offset of the extended boot record
};

// Reads the parameters from a boot sector of at least 512 bytes.
BootParameters ReadBootParameters(const uint8_t* boot);

// True when bytes 510-511 hold 55 AA.
bool HasBootSignature(const uint8_t* boot);

} // namespace platform::fat
