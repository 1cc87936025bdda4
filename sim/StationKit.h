#pragma once
// The sample station kit: the files a production station folder holds, made up for the
// simulated devices (flash description records and flash.ini, the loader, a firmware
// file, the data files, lang.ini, the result pictures and the port-identity script).
#include <string>

namespace sim {

// File names inside the kit folder.
inline constexpr const char* kKitLoader = "misc/FSM01.BIN";
inline constexpr const char* kKitFirmware = "program.bin";
inline constexpr const char* kKitPrefer = "prefer.dat";
inline constexpr const char* kKitTelbook = "telbook.dat";
inline constexpr const char* kKitLang = "misc/lang.ini";
inline constexpr const char* kKitSuccessBmp = "misc/success.bmp";
inline constexpr const char* kKitFailBmp = "misc/fail.bmp";
inline constexpr const char* kKitUsbDos = "misc/usbdos";
inline constexpr const char* kKitFlashIni = "flash/flash.ini";
// The version text the kit's loader carries at offset 8192.
inline constexpr const char* kKitLoaderVersion = "FSM Ver.1.05 SIM";

// Writes the kit into folder (created when missing). False, with a reason in error,
// when a file cannot be written or a text cannot be encoded.
bool WriteStationKit(const std::string& folder, std::string* error = nullptr);

} // namespace sim
