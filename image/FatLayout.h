#pragma once
// Where everything lies on a fresh volume: cluster size, FAT size, data start, cluster
// count. One rule for the formatter and for the geometry tests, so the numbers the
// formatter writes are the numbers the mount reads back.
#include <cstdint>
#include <string>

namespace image {

enum class FatType : uint8_t { None = 0, Fat16 = 2, Fat32 = 3 };

// Below this many clusters a volume is FAT16 (and FAT12 below 4085); from it, FAT32.
constexpr uint32_t kFat32MinClusters = 65525;
constexpr uint32_t kFat16MinClusters = 4085;

struct FatLayout {
    FatType type = FatType::None;
    uint32_t bytesPerSector = 0;
    uint32_t sectorsPerCluster = 0;
    uint32_t reservedSectors = 0;
    uint32_t fatCount = 2;
    uint32_t rootEntries = 0;     // FAT16: 512; FAT32: 0 (the root is cluster 2)
    uint32_t rootDirSectors = 0;  // FAT16 fixed root area
    uint32_t fatSize = 0;         // sectors per FAT
    uint32_t totalSectors = 0;
    uint32_t dataStart = 0;       // first sector of cluster 2
    uint32_t clusterCount = 0;    // valid clusters are 2 .. clusterCount + 1
};

// Layout of a volume of `totalSectors` sectors of `sectorSize` bytes (512 .. 4096).
// FAT16 up to 2048 MB unless it would reach 65525 clusters; FAT32 above. False with a
// reason when no sound FAT16 or FAT32 layout exists for that size.
bool ComputeFatLayout(uint32_t totalSectors, uint32_t sectorSize, FatLayout& layout,
                      std::string* error = nullptr);

} // namespace image
