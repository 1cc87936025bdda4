// The image volume: format, mount, and the FAT cluster chains.
#include "image/FatVolume.h"

#include <cstring>
#include <vector>

#include "platform/ByteOrder.h"
#include "platform/FatOnDisk.h"

namespace image {
namespace {

using namespace platform::fat;
constexpr uint32_t kBootFillStart = 90;

} // namespace

bool FatVolume::CreateVolume(uint32_t sectorCount, uint32_t sectorSize, std::string* error) {
    if (!store_.Init(sectorSize)) {
        if (error)
            *error = store_.lastError();
        return false;
    }
    type = FatType::None;
    if (!Format(sectorCount, sectorSize, error))
        return false;
    if (!Mount()) {
        if (error)
            *error = "the freshly formatted volume does not mount";
        return false;
    }
    return true;
}

bool FatVolume::Format(uint32_t sectorCount, uint32_t sectorSize, std::string* error) {
    FatLayout l;
    if (!ComputeFatLayout(sectorCount, sectorSize, l, error))
        return false;
    if (store_.sectorSize() != sectorSize) {
        if (error)
            *error = "the sector store holds " + std::to_string(store_.sectorSize()) + "-byte sectors";
        return false;
    }
    auto failWrite = [&] {
        if (error)
            *error = store_.lastError().empty() ? "the sector store refused a write while formatting"
                                                : store_.lastError();
        return false;
    };
    const bool fat32 = l.type == FatType::Fat32;

    uint8_t* b = buffer_;
    std::memset(b, 0, sectorSize);
    b[kBootJump] = 0xEB;
    b[kBootJump + 1] = 0x00;
    b[kBootJump + 2] = 0x90;
    std::memcpy(b + kBootOemName, "KOV61x5", 8);
    platform::PutLe16(b + kBpbBytesPerSector, sectorSize);
    b[kBpbSectorsPerCluster] = uint8_t(l.sectorsPerCluster);
    platform::PutLe16(b + kBpbReserved, l.reservedSectors);
    b[kBpbFatCount] = uint8_t(l.fatCount);
    platform::PutLe16(b + kBpbRootEntries, l.rootEntries);
    b[kBpbMedia] = kMediaFixed;
    platform::PutLe32(b + kBpbTotal32, sectorCount);
    const uint32_t ext = fat32 ? kExt32 : kExt16;
    if (fat32) {
        platform::PutLe32(b + kBpbFatSize32, l.fatSize);
        platform::PutLe32(b + kBpbRootCluster, 2);
        platform::PutLe16(b + kBpbFsInfo, kFat32FsInfoSector);
        platform::PutLe16(b + kBpbBackupBoot, kFat32BackupBootSector);
    } else {
        platform::PutLe16(b + kBpbFatSize16, l.fatSize);
    }
    // The extended record carries the label that tools compare with the root's label
    // entry; the serial follows from the size so that a build is reproducible.
    b[ext + kExtDrive] = kDriveFixed;
    b[ext + kExtSignature] = kExtendedSignature;
    platform::PutLe32(b + ext + kExtSerial, 0x61050000u ^ sectorCount ^ (sectorSize << 16));
    std::memcpy(b + ext + kExtLabel, kNoName, 11);
    std::memcpy(b + ext + kExtTypeName, fat32 ? "FAT32   " : "FAT16   ", 8);
    std::memset(b + kBootFillStart, 0xFF, kBootSignature - kBootFillStart);
    b[kBootSignature] = 0x55;
    b[kBootSignature + 1] = 0xAA;
    if (!WriteBootSector(b))
        return failWrite();

    // The FSInfo sector and its copy before the FATs: the store keeps sectors written
    // front to back in their final order without sorting them again.
    if (fat32) {
        std::memset(b, 0, sectorSize);
        platform::PutLe32(b, kFsInfoLeadSignature);
        platform::PutLe32(b + kFsInfoStruct, kFsInfoStructSignature);
        platform::PutLe32(b + kFsInfoFreeCount, l.clusterCount - 1);
        platform::PutLe32(b + kFsInfoNextFree, 3);
        platform::PutLe32(b + kFsInfoTrail, kFsInfoTrailSignature);
        if (!store_.WriteSector(kFat32FsInfoSector, b) ||
            !store_.WriteSector(kFat32BackupBootSector + kFat32FsInfoSector, b))
            return failWrite();
    }

    // Both FATs and the root area start out zero.
    const uint32_t batch = 64;
    std::vector<uint8_t> zeros(size_t(batch) * sectorSize, 0);
    const uint64_t rootSectors = fat32 ? l.sectorsPerCluster : l.rootDirSectors;
    const uint64_t zeroCount = uint64_t(l.fatCount) * l.fatSize + rootSectors;
    for (uint64_t done = 0; done < zeroCount;) {
        const uint32_t n = uint32_t(std::min<uint64_t>(batch, zeroCount - done));
        if (!store_.WriteSectors(uint32_t(l.reservedSectors + done), n, zeros.data()))
            return failWrite();
        done += n;
    }

    // Entry 0 holds the media byte, entry 1 the clean-shutdown bits; on FAT32 the root
    // cluster 2 is one cluster long.
    std::memset(b, 0, sectorSize);
    if (fat32) {
        platform::PutLe32(b, kFat32Mask & (0xFFFFFF00u | kMediaFixed));
        platform::PutLe32(b + 4, 0xFFFFFFFF);
        platform::PutLe32(b + 8, kFat32EndOfChain);
    } else {
        platform::PutLe16(b, 0xFF00u | kMediaFixed);
        platform::PutLe16(b + 2, 0xFFFF);
    }
    for (uint32_t f = 0; f < l.fatCount; ++f)
        if (!store_.WriteSector(l.reservedSectors + f * l.fatSize, b))
            return failWrite();

    return true;
}

bool FatVolume::WriteBootSector(const uint8_t* boot) {
    if (!store_.WriteSector(0, boot))
        return false;
    return !ReadBootParameters(boot).fat32Layout || store_.WriteSector(kFat32BackupBootSector, boot);
}

bool FatVolume::Mount() {
    if (ParseBootSector(0))
        return true;
    for (uint8_t i = 0; i < 5; ++i) {
        uint32_t start;
        if (!ReadPartitionEntry(i, start))
            return false;
        if (ParseBootSector(start))
            return true;
    }
    return false;
}

bool FatVolume::ReadPartitionEntry(uint8_t index, uint32_t& start) {
    uint8_t* b = buffer_;
    if (!store_.ReadSector(0, b) || !HasBootSignature(b))
        return false;
    const uint32_t at = 446 + 16u * index;
    if (at + 16 > store_.sectorSize())
        return false;
    const uint8_t status = b[at];
    if (status != 0x00 && status != 0x80)
        return false;
    start = platform::GetLe32(b + at + 8);
    return true;
}

bool FatVolume::ParseBootSector(uint32_t start) {
    type = FatType::None;
    nextFreeHint = 2;
    uint8_t* b = buffer_;
    if (!store_.ReadSector(start, b))
        return false;
    if (!(b[0] == 0xE9 || (b[0] == 0xEB && b[2] == 0x90)))
        return false;
    if (!HasBootSignature(b))
        return false;
    if (b[kBpbBytesPerSector] != 0)
        return false;
    switch (b[kBpbBytesPerSector + 1]) {
    case 0x02: sectorShift = 9; break;
    case 0x04: sectorShift = 10; break;
    case 0x08: sectorShift = 11; break;
    case 0x10: sectorShift = 12; break;
    default: return false;
    }
    bytesPerSector = uint16_t(1u << sectorShift);
    if (bytesPerSector != store_.sectorSize())
        return false;
    const uint8_t spc = b[kBpbSectorsPerCluster];
    if (spc == 0 || (spc & (spc - 1)) != 0)
        return false;
    sectorsPerCluster = spc;
    clusterShift = 0;
    while ((1u << clusterShift) < spc)
        ++clusterShift;
    const BootParameters p = ReadBootParameters(b);
    fatStart = p.reservedSectors + start;
    fatCount = uint8_t(p.fatCount);
    rootEntries = uint16_t(p.rootEntries);
    totalSectors = p.totalSectors;
    fatSize = p.fatSize;
    rootCluster = p.rootCluster;
    if (fatCount == 0 || fatSize == 0)
        return false;
    uint64_t data = uint64_t(fatCount) * fatSize + fatStart;
    const uint32_t perSector = bytesPerSector / kEntryBytes;
    if (rootEntries != 0)
        data += rootEntries / perSector + (rootEntries % perSector ? 1 : 0);
    if (data >= totalSectors)
        return false;
    dataStart = uint32_t(data);
    dataSectors = totalSectors - dataStart;
    clusterCount = dataSectors >> clusterShift;
    const FatType t = clusterCount >= kFat32MinClusters ? FatType::Fat32 : FatType::Fat16;
    // The FAT must map every cluster, and a FAT32 root must be a valid cluster.
    const uint64_t entries = uint64_t(fatSize) * bytesPerSector / (t == FatType::Fat16 ? 2 : 4);
    if (entries < uint64_t(clusterCount) + 2)
        return false;
    if (t == FatType::Fat32 && (rootCluster < 2 || rootCluster > clusterCount + 1))
        return false;
    if (t == FatType::Fat16 && rootEntries == 0)
        return false;
    // On FAT16 bytes 44-47 belong to the extended record (they hold part of the label);
    // its root is the fixed area, which cluster 0 stands for.
    if (t == FatType::Fat16)
        rootCluster = 0;
    type = t;
    return true;
}

bool FatVolume::IsEndOfChain(uint32_t v) const {
    return type == FatType::Fat16 ? v >= kFat16EndOfChain : (v & kFat32Mask) >= kFat32EndOfChain;
}

void FatVolume::EntryPlace(uint32_t c, uint32_t& sector, uint32_t& offset) const {
    const uint64_t byte = uint64_t(c) * (type == FatType::Fat16 ? 2 : 4);
    sector = uint32_t(byte / bytesPerSector) + fatStart;
    offset = uint32_t(byte % bytesPerSector);
}

uint32_t FatVolume::GetRaw(const uint8_t* sector, uint32_t offset) const {
    return type == FatType::Fat16 ? platform::GetLe16(sector + offset) : (platform::GetLe32(sector + offset) & kFat32Mask);
}

void FatVolume::PutRaw(uint8_t* sector, uint32_t offset, uint32_t value) const {
    if (type == FatType::Fat16) {
        platform::PutLe16(sector + offset, value);
    } else {
        // The top four bits are reserved and kept.
        const uint32_t old = platform::GetLe32(sector + offset) & 0xF0000000u;
        platform::PutLe32(sector + offset, old | (value & kFat32Mask));
    }
}

bool FatVolume::WriteFatSector(uint32_t sector, const uint8_t* buffer) {
    for (uint32_t f = 0; f < fatCount; ++f)
        if (!store_.WriteSector(sector + f * fatSize, buffer))
            return false;
    return true;
}

int FatVolume::NextCluster(uint32_t& c) {
    // A cluster outside the volume has no entry; reading one would touch (and save) a
    // sector past the FAT.
    if (!mounted() || c < 2 || c > clusterCount + 1)
        return 3;
    uint32_t sector, offset;
    EntryPlace(c, sector, offset);
    if (!store_.ReadSector(sector, buffer_))
        return 3;
    c = GetRaw(buffer_, offset);
    if (IsEndOfChain(c))
        return 2;
    return c == 0 ? 1 : 0;
}

bool FatVolume::SetEntry(uint32_t cluster, uint32_t value) {
    if (!mounted() || cluster < 2 || cluster > clusterCount + 1)
        return false;
    uint32_t sector, offset;
    EntryPlace(cluster, sector, offset);
    if (!store_.ReadSector(sector, buffer_))
        return false;
    PutRaw(buffer_, offset, value);
    return WriteFatSector(sector, buffer_);
}

template <class Visit>
bool FatVolume::ScanFat(uint32_t from, Visit visit) {
    uint32_t loaded = 0xFFFFFFFFu;
    for (uint32_t c = from; c <= clusterCount + 1; ++c) {
        uint32_t sector, offset;
        EntryPlace(c, sector, offset);
        if (sector != loaded) {
            if (!store_.ReadSector(sector, buffer_))
                return false;
            loaded = sector;
        }
        if (visit(c, sector, offset))
            break;
    }
    return true;
}

bool FatVolume::AllocCluster(uint32_t& cluster) {
    if (!mounted())
        return false;
    uint32_t found = 0, foundSector = 0;
    const bool read = ScanFat(nextFreeHint < 2 ? 2 : nextFreeHint, [&](uint32_t c, uint32_t sector, uint32_t offset) {
        if (GetRaw(buffer_, offset) != 0)
            return false;
        PutRaw(buffer_, offset, EndOfChain());
        found = c;
        foundSector = sector;
        return true;
    });
    if (!read)
        return false;
    if (found == 0) {
        nextFreeHint = clusterCount + 2;
        errorCode = kFatErrNoCluster;
        return false;
    }
    if (!WriteFatSector(foundSector, buffer_))
        return false;
    nextFreeHint = found;
    cluster = found;
    return true;
}

bool FatVolume::FreeChain(uint32_t c) {
    if (!mounted())
        return false;
    if (c < 2)
        return true;
    if (c > clusterCount + 1)
        return false;
    uint32_t sector, offset;
    EntryPlace(c, sector, offset);
    if (!store_.ReadSector(sector, buffer_))
        return false;
    for (uint32_t steps = 0; steps <= clusterCount; ++steps) {
        const uint32_t v = GetRaw(buffer_, offset);
        PutRaw(buffer_, offset, 0);
        if (v < 2 || IsEndOfChain(v))
            return WriteFatSector(sector, buffer_);
        if (v > clusterCount + 1) {
            WriteFatSector(sector, buffer_);
            return false;
        }
        if (v < nextFreeHint)
            nextFreeHint = v;
        uint32_t nextSector, nextOffset;
        EntryPlace(v, nextSector, nextOffset);
        if (nextSector != sector) {
            if (!WriteFatSector(sector, buffer_) || !store_.ReadSector(nextSector, buffer_))
                return false;
            sector = nextSector;
        }
        offset = nextOffset;
    }
    // A chain longer than the volume loops back on itself.
    WriteFatSector(sector, buffer_);
    return false;
}

bool FatVolume::ZeroCluster(uint32_t cluster) {
    if (!mounted() || cluster < 2 || cluster > clusterCount + 1)
        return false;
    std::memset(buffer_, 0, bytesPerSector);
    const uint32_t first = ClusterSector(cluster);
    for (uint32_t i = 0; i < sectorsPerCluster; ++i)
        if (!store_.WriteSector(first + i, buffer_))
            return false;
    return true;
}

bool FatVolume::SetBootLabel(const uint8_t label[11]) {
    if (!mounted() || !store_.ReadSector(0, buffer_))
        return false;
    const uint32_t ext = type == FatType::Fat32 ? kExt32 : kExt16;
    std::memcpy(buffer_ + ext + kExtLabel, label, 11);
    return WriteBootSector(buffer_);
}

bool FatVolume::CountFreeClusters(uint32_t& count) {
    if (!mounted())
        return false;
    count = 0;
    return ScanFat(2, [&](uint32_t, uint32_t, uint32_t offset) {
        if (GetRaw(buffer_, offset) == 0)
            ++count;
        return false;
    });
}

bool FatVolume::Flush() {
    if (!mounted())
        return false;
    if (type != FatType::Fat32)
        return true;
    uint32_t freeCount;
    if (!CountFreeClusters(freeCount))
        return false;
    if (!store_.ReadSector(kFat32FsInfoSector, buffer_))
        return false;
    platform::PutLe32(buffer_ + kFsInfoFreeCount, freeCount);
    uint32_t hint = nextFreeHint + 1;
    if (hint > clusterCount + 1)
        hint = kFsInfoUnknown;
    platform::PutLe32(buffer_ + kFsInfoNextFree, hint);
    return store_.WriteSector(kFat32FsInfoSector, buffer_) &&
           store_.WriteSector(kFat32BackupBootSector + kFat32FsInfoSector, buffer_);
}

} // namespace image
