// The flash types the simulator ships with.
#include "sim/Profiles.h"

#include <cstdio>

namespace sim {

FlashProfile Nand128M()
{
    FlashProfile p;
    p.name = "SIM NAND 128M";
    p.flashId = {0x5A, 0xF1, 0x80, 0x15, 0x40};
    p.chips = 1;
    p.blocksPerChip = 1024;
    p.usableBlocksPerChip = 1016;
    p.pagesPerBlock = 64;
    p.pageSize = 2048;
    p.writeParameter = 0x01;
    p.factoryBadBlocks = {3, 517};
    // One block that reads back with too many bit errors whatever is written.
    p.pageFaults = {{100, 10, 8, PageFault::When::Always, 0}};
    return p;
}

FlashProfile Nand128MWorn()
{
    FlashProfile p = Nand128M();
    p.name = "SIM NAND 128M WORN";
    p.factoryBadBlocks.clear();
    for (uint32_t b = 0; b < 32; ++b)
        p.factoryBadBlocks.push_back(100 + b * 7);
    p.pageFaults.clear();
    return p;
}

FlashProfile Nand1G()
{
    FlashProfile p;
    p.name = "SIM NAND 1G";
    p.flashId = {0x5A, 0xD3, 0x81, 0x95, 0x58};
    p.chips = 2;
    p.blocksPerChip = 2048;
    p.usableBlocksPerChip = 2032;
    p.pagesPerBlock = 128;
    p.pageSize = 2048;
    p.writeParameter = 0x02;
    p.factoryBadBlocks = {16, 2048 + 77};
    return p;
}

FlashProfile Nand64MSmallPage()
{
    FlashProfile p;
    p.name = "SIM NAND 64M SP";
    p.flashId = {0x5A, 0x76, 0x10, 0x2A, 0x00};
    p.chips = 1;
    p.blocksPerChip = 4096;
    p.usableBlocksPerChip = 4064;
    p.pagesPerBlock = 32;
    p.pageSize = 512;
    p.writeParameter = 0x00;
    p.firmwareFlag = 0;
    p.factoryBadBlocks = {9, 2222};
    return p;
}

FlashProfile NandUnlisted()
{
    FlashProfile p;
    p.name = "SIM NAND UNLISTED";
    p.flashId = {0x5A, 0xDA, 0x10, 0x95, 0x44};
    p.chips = 1;
    p.blocksPerChip = 1024;
    p.usableBlocksPerChip = 1016;
    p.pagesPerBlock = 64;
    p.pageSize = 2048;
    p.writeParameter = 0x01;
    p.factoryBadBlocks = {40};
    return p;
}

FlashProfile DefaultRecordProfile()
{
    FlashProfile p = NandUnlisted();
    p.name = "";
    p.flashId = {};
    return p;
}

FlashProfile SpiNor4M()
{
    FlashProfile p;
    p.name = "SIM SPI NOR 4M";
    p.flashId = {0xFF, 0x00, 0xFF, 0x00, 0xFF};
    p.spi = true;
    p.chips = 1;
    p.spiSizeMB = 4;
    return p;
}

std::vector<FlashProfile> KitNandProfiles()
{
    return {Nand128M(), Nand1G(), Nand64MSmallPage()};
}

std::string FlashIdText(const FlashProfile& profile)
{
    char text[11];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X%02X", profile.flashId[0], profile.flashId[1],
                  profile.flashId[2], profile.flashId[3], profile.flashId[4]);
    return text;
}

} // namespace sim
