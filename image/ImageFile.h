#pragma once
// The disk image file: a 512-byte header, then the numbered sector records of volume 0
// (512-byte sectors) followed by those of volume 1 (1024-byte sectors). Integers are
// little-endian. A sector without a record reads as zeros.
//
//   header  0.. 8  "61X5 IMG" and a zero byte
//          12..15  disk size in MB (written with volume 0)
//          16+16v  volume v: sector size, file offset of its first record, record count
//   record         u32 sector number, then the sector's bytes
#include <cstdint>
#include <functional>
#include <string>

#include "image/RamDisk.h"

namespace image {

constexpr char kImageMagic[] = "61X5 IMG";  // stored with its terminating zero
constexpr uint32_t kImageHeaderSize = 512;
constexpr uint32_t kImageDiskSizeOffset = 12;
constexpr uint32_t kImageVolumeEntryOffset = 16;
constexpr uint32_t kImageVolumeEntryStride = 16;
constexpr uint32_t kImageVolumeCount = 2;

struct ImageVolumeEntry {
    uint32_t sectorSize = 0;
    uint32_t firstRecordOffset = 0;
    uint32_t recordCount = 0;
};

// Writes the store's present sectors as records of volume `volumeIndex`, in chunk-table
// order and ascending within a chunk, then that volume's header entry. Volume 0 creates
// (or empties) the file and writes the header; volume 1 appends to an existing file. A
// store backed by `path` (RamDisk::BackWith) already holds its records there: they are
// put in order where needed and the file is cut after them. Every presence mark is
// cleared, the store's initialised state ends and its backing is dropped, whatever the
// result. `progress`, when set, runs between the steps so a caller's window stays alive.
bool SaveImageFile(RamDisk& store, const std::string& path, uint32_t volumeIndex,
                   uint32_t diskSizeMB, std::string* error = nullptr,
                   const std::function<void()>& progress = {});

} // namespace image
