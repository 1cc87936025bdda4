#pragma once
// The firmware ("program") file: the few byte positions the tool reads or writes, the
// choice of the program file that fits the loaded flash description, and the check that
// the firmware's bonding ID fits the controller chip.
#include <cstddef>
#include <cstdint>

class ProductThread;

struct FirmwareHeader {
    static constexpr size_t kChipTag = 0;          // "6205": the file carries a module block
    static constexpr size_t kSdkType = 5;          // 1: pages <= 512 bytes, 2: larger pages
    static constexpr size_t kCodeSize = 16;        // u16 big-endian, 512-byte units
    static constexpr size_t kBondingTag = 2044;    // "ID" marks a valid bonding ID
    static constexpr size_t kBondingId = 2047;     // 0xFF any chip, 0 none
    static constexpr size_t kModuleMark = 38909;   // 0x97FD, 'U'
    static constexpr size_t kFirmwareFlag = 38910; // 0x97FE, bit 0x20 is the firmware flag
    static constexpr size_t kModuleNumber = 38911; // 0x97FF
    static constexpr uint8_t kModuleMarkValue = 'U';
    static constexpr uint8_t kFlagByteValue = 0xAA;
    static constexpr uint8_t kFirmwareFlagBit = 0x20;
    static constexpr uint8_t kAnyChip = 0xFF;
    static constexpr uint8_t kChipAcceptsAny = 0x0F;
};

// Picks the first copy-list file whose name holds "program" (any case) and whose header
// fits the thread's firmware flag and module number. 1 with the thread's program index and
// path set; 0 with the index -1 and an empty path. The window's own index is left alone:
// every thread runs this, and devices of other flashes choose other files.
int FindProgramBin(ProductThread& thread);

// 1 when the firmware may be written to this chip, else 0 with the status text set.
int CheckBondingId(ProductThread& thread);
