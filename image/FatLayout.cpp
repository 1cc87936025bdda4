// The fresh volume's layout rule: FAT type, cluster size, FAT size.
#include "image/FatLayout.h"

namespace image {
namespace {

// Cluster size in 512-byte units by volume size, as the format has always chosen it.
uint32_t Fat16Units(uint32_t mb) {
    if (mb < 16) return 2;
    if (mb < 128) return 4;
    if (mb < 256) return 8;
    if (mb < 512) return 16;
    if (mb < 1024) return 32;
    return 64;
}

bool Fill(FatType type, uint32_t totalSectors, uint32_t sectorSize, uint32_t mb, FatLayout& l) {
    const uint32_t perSector = sectorSize / 512;
    uint32_t units = type == FatType::Fat16 ? Fat16Units(mb) : 32;  // FAT32 only from 2047 MB up
    if (perSector > units)
        units = perSector;  // a cluster is never smaller than a sector
    l = FatLayout{};
    l.type = type;
    l.bytesPerSector = sectorSize;
    l.sectorsPerCluster = units / perSector;
    l.totalSectors = totalSectors;
    const uint64_t clusterBytes = uint64_t(l.sectorsPerCluster) * sectorSize;
    const uint64_t t = totalSectors, s = sectorSize;
    if (type == FatType::Fat16) {
        l.reservedSectors = 1;
        l.rootEntries = 512;
        l.rootDirSectors = 512 * 32 / sectorSize;
        const uint64_t overhead = l.reservedSectors + l.rootDirSectors;
        if (t <= overhead)
            return false;
        const uint64_t q = ((t - overhead) * s + 8) / (clusterBytes + 4);
        l.fatSize = uint32_t((2 * q + s + 3) / s);
    } else {
        l.reservedSectors = 32;
        if (t <= l.reservedSectors)
            return false;
        const uint64_t q = ((t - l.reservedSectors) * s + 16) / (clusterBytes + 8);
        l.fatSize = uint32_t((4 * q + s + 7) / s);
    }
    const uint64_t dataStart = uint64_t(l.reservedSectors) + uint64_t(l.fatCount) * l.fatSize + l.rootDirSectors;
    if (dataStart >= t)
        return false;
    l.dataStart = uint32_t(dataStart);
    l.clusterCount = uint32_t((t - dataStart) / l.sectorsPerCluster);
    return true;
}

} // namespace

bool ComputeFatLayout(uint32_t totalSectors, uint32_t sectorSize, FatLayout& layout, std::string* error) {
    auto fail = [&](const std::string& text) {
        if (error)
            *error = text;
        return false;
    };
    if (sectorSize < 512 || sectorSize > 4096 || (sectorSize & (sectorSize - 1)) != 0)
        return fail("sector size " + std::to_string(sectorSize) + " is not 512, 1024, 2048 or 4096");
    const uint64_t bytes = uint64_t(totalSectors) * sectorSize;
    const uint32_t mb = uint32_t((bytes + (1u << 20) - 1) >> 20);

    FatLayout l;
    bool fat16 = mb <= 2048 && Fill(FatType::Fat16, totalSectors, sectorSize, mb, l);
    // The mount tells FAT16 from FAT32 by the cluster count alone, so a FAT16 layout that
    // reaches 65525 clusters (2048 MB) is laid out as FAT32 instead.
    if (fat16 && l.clusterCount >= kFat32MinClusters)
        fat16 = false;
    if (fat16) {
        if (l.clusterCount < kFat16MinClusters)
            return fail("a volume of " + std::to_string(mb) + " MB is too small for FAT16");
    } else {
        if (!Fill(FatType::Fat32, totalSectors, sectorSize, mb, l) || l.clusterCount < kFat32MinClusters)
            return fail("a volume of " + std::to_string(mb) + " MB has no sound FAT16 or FAT32 layout");
        if (l.clusterCount > 0x0FFFFFF5u)
            return fail("a volume of " + std::to_string(mb) + " MB has too many clusters for FAT32");
    }
    // Every cluster needs its FAT entry (plus the two reserved ones).
    const uint64_t entries = uint64_t(l.fatSize) * sectorSize / (l.type == FatType::Fat16 ? 2 : 4);
    if (entries < uint64_t(l.clusterCount) + 2)
        return fail("the FAT of a " + std::to_string(mb) + " MB volume cannot map all its clusters");
    layout = l;
    return true;
}

} // namespace image
