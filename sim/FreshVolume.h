#pragma once
// The empty FAT volume the controller lays down on a new disk too small for the tool to
// format (the tool leaves disks under 32 MB as they are and only sets their label).
#include <cstdint>
#include <string>

namespace sim {

// Disks of at most this many bytes come formatted.
inline constexpr uint64_t kSelfFormattedDiskBytes = 32ull << 20;

// Writes a FAT12 or FAT16 volume (label "NO NAME") over the first sectors of the disk file,
// which holds sectors x sectorSize zero bytes. False when the file cannot be written or no
// FAT12/FAT16 layout fits (sectorSize 512 to 4096, a power of two).
bool WriteFreshFatVolume(const std::string& path, uint64_t sectors, uint32_t sectorSize, uint32_t serial);

} // namespace sim
