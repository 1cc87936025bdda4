#pragma once
// The flash description: a 512-byte record kept in flash/<name>.txt (raw bytes despite the
// extension), sent to the device unchanged and kept as the first 512 bytes of the
// thread's configuration image. Multi-byte values are big-endian.
//
// Lookup and loading:
//   FindFlashRecordFile  chooses the description file by the flash ID stored in it and sets
//                        the thread's flash-type name from flash/flash.ini;
//   ReadRecordName       the name stored inside a description file;
//   LoadFlashRecord      loads the record into the configuration image and derives the
//                        thread's geometry, refusing geometry the tables cannot hold.
#include <cstddef>
#include <cstdint>
#include <string>

class ProductThread;

struct FlashRecord {
    static constexpr size_t kSize = 512;
    static constexpr size_t kMinFileBytes = 128; // shorter description files are refused

    // Byte positions.
    static constexpr size_t kChipTag = 0;          // 4 chars, "6205" in the device's copy
    static constexpr size_t kFirstMark = 2;        // 'X' marks at 2, 6, ... 62
    static constexpr size_t kMarkCount = 16;
    static constexpr size_t kChecksum = 80;        // u16, sum of bytes 82-254
    static constexpr size_t kChecksumFirst = 82;
    static constexpr size_t kChecksumLast = 254;
    static constexpr size_t kChipCount = 82;
    static constexpr size_t kSectorSizeLog2 = 83;
    static constexpr size_t kPageSizeLog2 = 84;
    static constexpr size_t kPagesPerBlockLog2 = 87;
    static constexpr size_t kBlocksPerChipLog2 = 90;
    static constexpr size_t kWriteParameter = 96;  // mode byte of every configuration-page write
    static constexpr size_t kBitmapPages = 137;    // per chip in the file, total once completed
    static constexpr size_t kFirstGoodBlocks = 138; // 8 x u16
    static constexpr size_t kGoodBlockSlots = 8;
    static constexpr size_t kFlashId = 155;        // 5 bytes, ID byte 0 first
    static constexpr size_t kSysAreaPagesPerBlock = 160;
    static constexpr size_t kSystemAreaUnits = 161;
    static constexpr size_t kHiddenRatio = 162;
    static constexpr size_t kZeroText = 163;       // "0000"
    static constexpr size_t kZeroBytes = 167;      // 5 bytes of 0
    static constexpr size_t kUsableBlocks = 216;   // u16
    static constexpr size_t kModuleNumber = 218;
    static constexpr size_t kFirmwareFlag = 220;
    static constexpr size_t kName = 480;           // 32 chars, NUL-terminated unless full
    static constexpr size_t kNameLength = 32;
};

// Limits of what the tables can hold; a description outside them is refused.
struct GeometryLimits {
    static constexpr uint32_t kMinPagesPerBlock = 32;
    static constexpr uint32_t kMaxPagesPerBlock = 512;
    static constexpr uint32_t kMinPageSize = 512;
    static constexpr uint32_t kMaxPageSize = 8192;
    static constexpr uint32_t kMaxTotalBlocks = 65536;
    static constexpr uint32_t kBitmapBytes = 8192;
};

// The name returned when no description file matches, and the flash.ini section used then.
inline constexpr const char* kDefaultRecordName = "DEFAULT";

// Chooses the description file for the 40-bit device flash ID (idHigh: ID byte 0 in its low
// 8 bits; idLow: ID bytes 1-4, byte 1 most significant). Files are tried in name order (a
// byte-wise sort of the folder's entries, so the choice never depends on the file system).
// Returns the file name with its extension, or "DEFAULT". Sets the thread's flash-type name.
std::string FindFlashRecordFile(ProductThread& thread, uint32_t idLow, uint32_t idHigh,
                                uint32_t chipCount);

// The name held in bytes 480-511 of the file, or "DEFAULT" when it has none or won't open.
std::string ReadRecordName(const std::string& path);

// Loads the file into the first 512 bytes of the thread's configuration image and derives
// the geometry. 0 for a file that cannot be opened, holds fewer than 128 bytes, or
// describes geometry outside GeometryLimits (given the thread's chip count).
int LoadFlashRecord(ProductThread& thread, const std::string& path);

// The sequence's "Parse CFG" stage: LoadFlashRecord, and when it refuses the record the
// caption "Parse CFG" + "fail" in red (the run then ends). Returns LoadFlashRecord's result.
int LoadFlashRecordStage(ProductThread& thread, const std::string& path);

// The geometry that sizes the tables.
struct GeometryFields {
    uint32_t iChipCount = 0;
    uint32_t iBlocksPerChip = 0;
    uint32_t iPageSize = 0;
    uint32_t iSectorSize = 0;
    uint32_t iPagesPerBlock = 0;
    uint32_t iUsableBlocksPerChip = 0;
};

// chips >= 1, 32 <= pages per block <= 512, 512 <= page size <= 8192, usable blocks <=
// blocks per chip, 1 <= chips x blocks per chip <= 65536.
bool GeometryFieldsAreSound(const GeometryFields& geometry);
// The same for the thread's fields; the table functions check it before they size
// anything from them.
bool GeometryIsSound(const ProductThread& thread);

// Total good-block-bitmap pages for a chip count: (perChip - 1) x chips + 1; may be
// negative or above 255 for a bad record, which LoadFlashRecord refuses.
int64_t TotalBitmapPages(uint8_t perChip, uint32_t chips);
