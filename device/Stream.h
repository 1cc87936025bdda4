#pragma once
// Whole host files sent to the device in 2048-byte pieces, and one-line wrappers of single
// commands for the production sequence.
//
// Streams read the file in binary and send exactly the bytes read as each piece. A file whose
// length is a multiple of 2048 (an empty file included) ends with a piece of 0 bytes: the
// device counts on that closing piece. A stream stops with false at the first failing piece
// and at a read error. Relative paths ("misc\FSM01.BIN") resolve against the program folder.
//
// The data stream is driven by the caller: SendWriteSetup, then SendProgramFile or
// SendDataFile on the same path with the size the set-up announced, then SendWriteEnd,
// stopping at the first false. The data sends exactly the announced bytes: a file that
// grew or shrank since the set-up gives false before its last piece goes out.
#include "platform/DeviceHandle.h"

#include <cstdint>
#include <optional>
#include <string>

inline constexpr uint32_t kStreamPieceSize = 2048;

// The most a loader may hold: the controller's loader RAM.
inline constexpr uint64_t kMaxLoaderSize = 1u << 20;
// What is wrong with a loader file, for the event log ("" when nothing): missing or
// unreadable, empty, or larger than kMaxLoaderSize.
std::string LoaderFileProblem(const std::string& path);

// Loader upload on the drive with that letter: EF 77 size, EE 78 pieces, EF 79 byte sum.
// The drive is closed on every path once opened.
bool UploadFirmware(char letter, uint32_t size, const std::string& path);

bool SendFirmwareFile(HANDLE handle, const std::string& path); // pieces through EE 78
bool SendFileChecksum(HANDLE handle, const std::string& path); // byte sum through EF 79
bool SendFsmFile(HANDLE handle, const std::string& path);      // pieces through EE 71
// Announces the file's size through EF 7A. A file that cannot be opened, or is too large
// for the 32-bit size, is not announced and gives false.
bool SendWriteSetup(HANDLE handle, const std::string& path, uint32_t* announced = nullptr);
bool SendProgramFile(HANDLE handle, const std::string& path, uint32_t announced); // EE 7B pieces
bool SendDataFile(HANDLE handle, const std::string& path, uint32_t announced);    // EE 7B pieces

bool SendWriteEnd(HANDLE handle);        // EF 7C
bool StartDisk(HANDLE handle);           // EF 73
bool CheckSpiBadBlocks(HANDLE handle);   // EF 72 (300 s)
int CheckFirmwareParity(HANDLE handle);  // EF 87, result unchanged
bool ChangeToHiddenDisk(HANDLE handle);  // EF 92
uint8_t ReadDeviceFlag(HANDLE handle);   // EF 8B reply byte (chip bonding ID), 0 on failure

// The big-endian number at bytes 155.. of a flash description file (its flash ID): width 5
// gives 40 bits, width 4 gives 32 bits sign-extended, other widths 0. 0 when the file does
// not open or holds fewer than 128 bytes; bytes past the file's end count as 0.
uint64_t ReadFileBigEndianValue(int width, const std::string& path);

// Helpers shared with other streams.
// Size of a file (its end position); nothing when it cannot be opened.
std::optional<uint64_t> FileSizeOf(const std::string& path);
// Sum of all bytes of a file modulo 65536; nothing when it cannot be read whole.
std::optional<uint16_t> FileByteSum(const std::string& path);
