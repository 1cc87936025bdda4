// The empty FAT12/FAT16 volume a simulated device lays down on a new small disk.
#include "sim/FreshVolume.h"

#include "platform/ByteOrder.h"
#include "platform/FatOnDisk.h"

#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace sim {

namespace {

using namespace platform::fat;

constexpr uint32_t kReservedSectors = 1;
constexpr uint32_t kFats = 2;
constexpr uint32_t kRootEntries = 512;
constexpr uint32_t kMaxFat12Clusters = 4084;
constexpr uint32_t kMaxFat16Clusters = 65524;

struct Layout {
    uint32_t sectorsPerCluster = 0;
    uint32_t fatSectors = 0;
    uint32_t rootSectors = 0;
    bool fat12 = false;
};

// The FAT size settles after a few rounds: a larger FAT leaves fewer clusters to map.
bool settle(uint64_t sectors, uint32_t sectorSize, uint32_t spc, bool fat12, Layout& out)
{
    const uint32_t root = (kRootEntries * kEntryBytes + sectorSize - 1) / sectorSize;
    uint64_t fat = 1, clusters = 0;
    for (int round = 0; round < 8; ++round) {
        const uint64_t fixed = kReservedSectors + kFats * fat + root;
        if (fixed >= sectors)
            return false;
        clusters = (sectors - fixed) / spc;
        const uint64_t fatBytes = fat12 ? ((clusters + 2) * 3 + 1) / 2 : (clusters + 2) * 2;
        const uint64_t need = (fatBytes + sectorSize - 1) / sectorSize;
        if (need <= fat)
            break;
        fat = need;
    }
    const bool fits = fat12 ? clusters >= 1 && clusters <= kMaxFat12Clusters
                            : clusters > kMaxFat12Clusters && clusters <= kMaxFat16Clusters;
    if (!fits)
        return false;
    out = {spc, uint32_t(fat), root, fat12};
    return true;
}

bool chooseLayout(uint64_t sectors, uint32_t sectorSize, Layout& out)
{
    for (uint32_t spc = 1; spc <= 64 && spc * sectorSize <= 32768; spc *= 2)
        for (bool fat12 : {true, false})
            if (settle(sectors, sectorSize, spc, fat12, out))
                return true;
    return false;
}

std::vector<uint8_t> bootSector(uint64_t sectors, uint32_t sectorSize, const Layout& l, uint32_t serial)
{
    std::vector<uint8_t> b(sectorSize, 0);
    b[kBootJump] = 0xEB;
    b[kBootJump + 1] = 0x3C;
    b[kBootJump + 2] = 0x90;
    std::memcpy(&b[kBootOemName], "SIM6205 ", 8);
    platform::PutLe16(&b[kBpbBytesPerSector], sectorSize);
    b[kBpbSectorsPerCluster] = uint8_t(l.sectorsPerCluster);
    platform::PutLe16(&b[kBpbReserved], kReservedSectors);
    b[kBpbFatCount] = kFats;
    platform::PutLe16(&b[kBpbRootEntries], kRootEntries);
    if (sectors < 65536)
        platform::PutLe16(&b[kBpbTotal16], uint32_t(sectors));
    else
        platform::PutLe32(&b[kBpbTotal32], uint32_t(sectors));
    b[kBpbMedia] = kMediaFixed;
    platform::PutLe16(&b[kBpbFatSize16], l.fatSectors);
    platform::PutLe16(&b[kBpbSectorsPerTrack], 32);
    platform::PutLe16(&b[kBpbHeads], 64);
    b[kExt16 + kExtDrive] = kDriveFixed;
    b[kExt16 + kExtSignature] = kExtendedSignature;
    platform::PutLe32(&b[kExt16 + kExtSerial], serial);
    std::memcpy(&b[kExt16 + kExtLabel], kNoName, sizeof kNoName);
    std::memcpy(&b[kExt16 + kExtTypeName], l.fat12 ? "FAT12   " : "FAT16   ", 8);
    b[kBootSignature] = 0x55;
    b[kBootSignature + 1] = 0xAA;
    return b;
}

bool writeAt(int fd, const uint8_t* data, size_t length, uint64_t offset)
{
    size_t done = 0;
    while (done < length) {
        ssize_t n = ::pwrite(fd, data + done, length - done, off_t(offset + done));
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

} // namespace

bool WriteFreshFatVolume(const std::string& path, uint64_t sectors, uint32_t sectorSize, uint32_t serial)
{
    if (sectorSize < 512 || sectorSize > 4096 || (sectorSize & (sectorSize - 1)) || sectors > 0xFFFFFFFFu)
        return false;
    Layout layout;
    if (!chooseLayout(sectors, sectorSize, layout))
        return false;
    const std::vector<uint8_t> boot = bootSector(sectors, sectorSize, layout, serial);
    // The first two entries of each FAT: the media byte, then an end mark with the
    // volume's clean bits set.
    const std::vector<uint8_t> fatStart =
        layout.fat12 ? std::vector<uint8_t>{kMediaFixed, 0xFF, 0xFF} : std::vector<uint8_t>{kMediaFixed, 0xFF, 0xFF, 0xFF};
    int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = writeAt(fd, boot.data(), boot.size(), 0);
    for (uint32_t i = 0; ok && i < kFats; ++i) {
        const uint64_t fatSector = kReservedSectors + uint64_t(i) * layout.fatSectors;
        ok = writeAt(fd, fatStart.data(), fatStart.size(), fatSector * sectorSize);
    }
    ok = ::close(fd) == 0 && ok;
    return ok;
}

} // namespace sim
