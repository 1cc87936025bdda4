#pragma once
// A FAT16 or FAT32 volume laid over the sector store, starting at its sector 0 with no
// partition table: format, mount, and the FAT operations the directory code needs
// (follow, set, allocate and free cluster chains). Every FAT change goes to both FATs.
// FAT32 volumes carry the FSInfo sector and the backup boot sector (sector 6, with the
// FSInfo copy at 7); `Flush` brings the FSInfo counts up to date before a save.
#include <cstdint>
#include <string>

#include "image/FatLayout.h"
#include "image/RamDisk.h"
#include "platform/FatOnDisk.h"

namespace image {

using platform::fat::kFat16EndOfChain;
using platform::fat::kFat32EndOfChain;
constexpr uint32_t kFat32BackupBootSector = 6;
constexpr uint32_t kFat32FsInfoSector = 1;
constexpr uint32_t kMaxSectorSize = 4096;

// Error codes of the directory and file operations, kept for diagnosis.
enum FatError : uint8_t {
    kFatErrNone = 0,
    kFatErrChainFree = 19,  // a directory chain reaches a free FAT entry
    kFatErrNoCluster = 21,  // no free cluster
    kFatErrRootFull = 23,   // the FAT16 root area is full
};

class FatVolume {
public:
    explicit FatVolume(RamDisk& store) : store_(store) {}

    // Sets up the store for `sectorCount` sectors of `sectorSize` bytes, formats and
    // mounts. `error` says why when false.
    bool CreateVolume(uint32_t sectorCount, uint32_t sectorSize, std::string* error = nullptr);
    bool Format(uint32_t sectorCount, uint32_t sectorSize, std::string* error = nullptr);
    bool Mount();
    bool ParseBootSector(uint32_t start);
    bool ReadPartitionEntry(uint8_t index, uint32_t& start);

    // 0: `c` now holds the next cluster; 1: the entry is free; 2: end of chain (raw value
    // left in `c`); 3: not mounted, `c` not a cluster of the volume, or the FAT could not
    // be read.
    int NextCluster(uint32_t& c);
    bool SetEntry(uint32_t cluster, uint32_t value);
    // A free cluster, marked end of chain, searched upward from the next-free hint.
    bool AllocCluster(uint32_t& cluster);
    bool FreeChain(uint32_t first);
    bool ZeroCluster(uint32_t cluster);

    // The boot sector's volume label (11 bytes, blank-padded), copied to the backup.
    bool SetBootLabel(const uint8_t label[11]);
    // Writes the FSInfo free count and next-free hint (FAT32; nothing to do on FAT16).
    bool Flush();

    uint32_t ClusterSector(uint32_t c) const { return (c - 2) * sectorsPerCluster + dataStart; }
    uint64_t ClusterPos(uint32_t c) const { return uint64_t(ClusterSector(c)) * bytesPerSector; }
    uint64_t RootDirPos() const { return (uint64_t(fatCount) * fatSize + fatStart) * bytesPerSector; }
    uint32_t SectorInCluster(uint64_t pos) const { return uint32_t((pos / bytesPerSector) % sectorsPerCluster); }
    uint32_t ClusterBytes() const { return uint32_t(sectorsPerCluster) * bytesPerSector; }
    uint32_t EndOfChain() const { return type == FatType::Fat16 ? kFat16EndOfChain : kFat32EndOfChain; }
    bool IsEndOfChain(uint32_t v) const;
    bool mounted() const { return type != FatType::None; }
    // Counts the free entries of the first FAT.
    bool CountFreeClusters(uint32_t& count);

    bool ReadSector(uint32_t sector, uint8_t* buffer) { return store_.ReadSector(sector, buffer); }
    bool WriteSector(uint32_t sector, const uint8_t* buffer) { return store_.WriteSector(sector, buffer); }
    bool WriteSectors(uint32_t first, uint32_t count, const uint8_t* buffer) {
        return store_.WriteSectors(first, count, buffer);
    }
    RamDisk& store() { return store_; }

    // Mounted geometry.
    uint16_t bytesPerSector = 0;
    uint8_t sectorsPerCluster = 0;
    uint32_t fatStart = 0;
    uint8_t fatCount = 0;
    uint16_t rootEntries = 0;
    uint32_t totalSectors = 0;
    uint32_t fatSize = 0;
    uint32_t rootCluster = 0;
    uint32_t dataStart = 0;
    uint32_t dataSectors = 0;
    uint32_t clusterCount = 0;
    uint8_t clusterShift = 0;
    uint8_t sectorShift = 0;
    FatType type = FatType::None;
    uint8_t errorCode = kFatErrNone;
    uint32_t nextFreeHint = 2;

private:
    // Sector and byte offset of a cluster's entry in the first FAT.
    void EntryPlace(uint32_t c, uint32_t& sector, uint32_t& offset) const;
    uint32_t GetRaw(const uint8_t* sector, uint32_t offset) const;
    void PutRaw(uint8_t* sector, uint32_t offset, uint32_t value) const;
    // Writes a first-FAT sector and its twin in every other FAT.
    bool WriteFatSector(uint32_t sector, const uint8_t* buffer);
    bool WriteBootSector(const uint8_t* buffer);
    // Visits the first FAT's entries from cluster `from` to the last cluster, reading each
    // FAT sector once into the sector buffer; visit(cluster, sector, offset) returns true
    // to stop there. False when a FAT sector cannot be read.
    template <class Visit>
    bool ScanFat(uint32_t from, Visit visit);

    RamDisk& store_;
    uint8_t buffer_[kMaxSectorSize] = {};
};

} // namespace image
