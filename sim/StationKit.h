#pragma once
// The sample station kit: the files a production station folder holds, made up for the
// simulated devices (flash description records and flash.ini, the loader, a firmware
// file, the data files, the copy list naming them, lang.ini, the result pictures and the
// port-identity script).
#include "sim/SimulatedDevice.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// File names inside the kit folder.
inline constexpr const char* kKitLoader = "misc/FSM01.BIN";
inline constexpr const char* kKitFirmware = "program.bin";            // pages above 512 bytes
inline constexpr const char* kKitFirmwareSmallPage = "program_sp.bin"; // pages of 512 bytes
inline constexpr const char* kKitPrefer = "prefer.dat";
inline constexpr const char* kKitTelbook = "telbook.dat";
inline constexpr const char* kKitLang = "misc/lang.ini";
inline constexpr const char* kKitSuccessBmp = "misc/success.bmp";
inline constexpr const char* kKitFailBmp = "misc/fail.bmp";
inline constexpr const char* kKitUsbDos = "misc/usbdos";
// The copy list: the firmware, the prefer data and the phone book, by full path.
inline constexpr const char* kKitCopyList = "misc/seting.ini";
inline constexpr const char* kKitFlashIni = "flash/flash.ini";
// The description of every flash that no record file names.
inline constexpr const char* kKitDefaultRecord = "flash/DEFAULT";
// Sent unchanged to the device in the encrypted-disk mode.
inline constexpr const char* kKitPassImage = "misc/PASS.IMG";
// The version text the kit's loader carries at offset 8192.
inline constexpr const char* kKitLoaderVersion = "FSM Ver.1.05 SIM";

// Firmware layout positions the kit's program files fill in.
inline constexpr uint32_t kFirmwareBytes = 98304;
inline constexpr uint32_t kFirmwareSdkTypeOffset = 5;
inline constexpr uint32_t kFirmwareCodeSizeOffset = 16;   // u16 big-endian, 512-byte units
inline constexpr uint32_t kFirmwareBondingTagOffset = 2044; // "ID"
inline constexpr uint32_t kFirmwareBondingIdOffset = 2047;
inline constexpr uint32_t kFirmwareModuleBlockOffset = 38909; // 'U', flags, module number
inline constexpr uint8_t kFirmwareFlagBit = 0x20;                // in the byte after 'U'

// The 512-byte flash description record of a NAND profile, as the kit's
// flash/<flash id>.txt holds it. storeName puts the profile's name in bytes 480-511
// (an empty name there leaves the flash-type name to flash.ini).
std::vector<uint8_t> FlashRecordFor(const FlashProfile& profile, bool storeName);

// Writes the kit into folder (created when missing). False, with a reason in error,
// when a file cannot be written or a text cannot be encoded.
bool WriteStationKit(const std::string& folder, std::string* error = nullptr);

} // namespace sim
