#pragma once
// The names of the controller's command codes, shared by the device layer that sends them
// and the simulator that answers them, so both speak of the same command by one name.
#include <cstdint>

namespace platform::scsi {

// Standard SCSI opcodes (byte 0 of the command block).
inline constexpr uint8_t kInquiry = 0x12;
inline constexpr uint8_t kStartStopUnit = 0x1B;
inline constexpr uint8_t kReadCapacity = 0x25; // sent in a 6-byte block
inline constexpr uint8_t kRead10 = 0x28;
inline constexpr uint8_t kWrite10 = 0x2A;

// Byte 0 of a vendor command block: the direction of its data.
inline constexpr uint8_t kVendorIn = 0xEF;  // answers with a reply, or moves nothing
inline constexpr uint8_t kVendorOut = 0xEE; // carries data to the device

// Vendor sub-opcodes (byte 1), grouped by what they serve.
namespace vendor {
// Identification and state.
inline constexpr uint8_t kReadFlashId = 0x70;      // in: 5 id bytes
inline constexpr uint8_t kReset = 0x81;            // back to the ROM, no data
inline constexpr uint8_t kAskLoaderModel = 0x82;   // in: "6205" once the loader runs
inline constexpr uint8_t kChipCount = 0x84;        // in: number of flash chips
inline constexpr uint8_t kAskChipModel = 0x85;     // in: "6205"
inline constexpr uint8_t kBondingId = 0x8B;        // in: the chip's bonding id
inline constexpr uint8_t kPortNumber = 0x9A;       // in: 0x80 | USB port, 0 when unknown
inline constexpr uint8_t kSpiSize = 0x9C;          // in: SPI flash size in MB
inline constexpr uint8_t kGetB0 = 0xB0;            // in: one byte nothing reads
// Loader upload.
inline constexpr uint8_t kUploadBegin = 0x77;      // size u32 at 2
inline constexpr uint8_t kUploadChunk = 0x78;      // out: a piece of the loader
inline constexpr uint8_t kUploadChecksum = 0x79;   // byte sum u16 at 2
// Flash description, scanning and pages.
inline constexpr uint8_t kWriteDescription = 0x71; // out: flash description pieces
inline constexpr uint8_t kSpiBadBlockCheck = 0x72; // status, SPI flash only
inline constexpr uint8_t kReadInfoSector = 0x80;   // in: the device information block
inline constexpr uint8_t kScan = 0x93;             // write/verify/read pattern scan
inline constexpr uint8_t kCheckBlock = 0x94;       // erase test of blocks
inline constexpr uint8_t kWritePage = 0x95;        // out: one page
inline constexpr uint8_t kReadPage = 0x96;         // in: pages
inline constexpr uint8_t kFsmInit = 0x97;          // the loader's initialisation
inline constexpr uint8_t kReadBlockBitmap = 0x98;  // in: good-block bitmap
inline constexpr uint8_t kRead99 = 0x99;           // in: 512 bytes nothing reads
inline constexpr uint8_t kWritePageTable = 0x9B;   // out: which pages of a block are used
// Data streams (firmware and data files) and the SPI areas.
inline constexpr uint8_t kStreamSetup = 0x7A;      // size u32 at 2
inline constexpr uint8_t kStreamData = 0x7B;       // out: a piece of the stream
inline constexpr uint8_t kStreamEnd = 0x7C;        // status
inline constexpr uint8_t kParityCheck = 0x87;      // status, parity in byte 1
inline constexpr uint8_t kReadSpiArea = 0x9D;      // index, count u16 at 2, 4
inline constexpr uint8_t kWriteSpiArea = 0x9E;     // index, count u16 at 2, 4
// Disks.
inline constexpr uint8_t kStartDisk = 0x73;        // status
inline constexpr uint8_t kHiddenDisk = 0x92;       // status: switch to the hidden disk
// Settings.
inline constexpr uint8_t kSetSysAreaSize = 0x83;   // unit at 2
inline constexpr uint8_t kSetFlashModule = 0x8D;   // module number at 2
inline constexpr uint8_t kSetValue8E = 0x8E;       // value at 2, no caller
inline constexpr uint8_t kSetValue8F = 0x8F;       // value at 2, no caller
inline constexpr uint8_t kSetValue91 = 0x91;       // value at 2, no caller
} // namespace vendor

// One number per command: (byte 0 << 8 | byte 1) for a vendor block, byte 0 otherwise.
constexpr uint16_t VendorIn(uint8_t sub) { return uint16_t(kVendorIn << 8 | sub); }
constexpr uint16_t VendorOut(uint8_t sub) { return uint16_t(kVendorOut << 8 | sub); }

} // namespace platform::scsi
