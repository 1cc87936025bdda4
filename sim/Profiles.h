#pragma once
// The flash types the simulator ships with. The sample station kit carries a flash
// description record for each NAND type here.
#include "sim/SimulatedDevice.h"

#include <string>
#include <vector>

namespace sim {

// The kit's flashes keep their usable blocks and factory-bad blocks within the default
// allowed capacity shortfall (2 %), so a run with the kit's own settings is not degraded.

// 1 chip x 1024 blocks (1016 usable) x 64 pages x 2048 bytes; a few factory-bad blocks.
FlashProfile Nand128M();
// The same flash (same ID and record) with 32 factory-bad blocks: a bad-block rate of 3 %,
// past the default allowed shortfall, so the kit's settings degrade it on purpose.
FlashProfile Nand128MWorn();
// 2 chips x 2048 blocks (2032 usable) x 128 pages x 2048 bytes.
FlashProfile Nand1G();
// Small pages: 1 chip x 4096 blocks (4064 usable) x 32 pages x 512 bytes. Its record's
// firmware flag is 0, so it takes the kit's small-page firmware (flag bit clear) and
// never the large-page one.
FlashProfile Nand64MSmallPage();
// A flash no record of the kit names: its run takes the kit's DEFAULT record, which
// describes this geometry (1 chip x 1024 blocks (1016 usable) x 64 pages x 2048 bytes).
FlashProfile NandUnlisted();
// A 4 MB SPI NOR flash.
FlashProfile SpiNor4M();
// The NAND types with a description record flash/<flash id>.txt in the kit.
std::vector<FlashProfile> KitNandProfiles();
// The geometry the kit's flash/DEFAULT record describes (flash ID zero, no stored name).
FlashProfile DefaultRecordProfile();

// The flash ID as the kit names its record files: ten upper-case hex digits, maker first.
std::string FlashIdText(const FlashProfile& profile);

} // namespace sim
