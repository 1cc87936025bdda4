// The one reader of a FAT boot sector's parameters.
#include "platform/FatOnDisk.h"

#include "platform/ByteOrder.h"

namespace platform::fat {

BootParameters ReadBootParameters(const uint8_t* boot)
{
    BootParameters p;
    p.bytesPerSector = GetLe16(boot + kBpbBytesPerSector);
    p.sectorsPerCluster = boot[kBpbSectorsPerCluster];
    p.reservedSectors = GetLe16(boot + kBpbReserved);
    p.fatCount = boot[kBpbFatCount];
    p.rootEntries = GetLe16(boot + kBpbRootEntries);
    p.totalSectors = GetLe16(boot + kBpbTotal16);
    if (p.totalSectors == 0)
        p.totalSectors = GetLe32(boot + kBpbTotal32);
    const uint32_t fatSize16 = GetLe16(boot + kBpbFatSize16);
    p.fatSize = fatSize16 ? fatSize16 : GetLe32(boot + kBpbFatSize32);
    p.fat32Layout = fatSize16 == 0;
    p.rootCluster = GetLe32(boot + kBpbRootCluster);
    p.backupBoot = GetLe16(boot + kBpbBackupBoot);
    p.extended = p.fat32Layout ? kExt32 : kExt16;
    return p;
}

bool HasBootSignature(const uint8_t* boot)
{
    return boot[kBootSignature] == 0x55 && boot[kBootSignature + 1] == 0xAA;
}

} // namespace platform::fat
