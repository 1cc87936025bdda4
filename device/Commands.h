#pragma once
// One stateless function per device command: the controller's vendor commands (0xEF: reply
// or nothing, 0xEE: data to the device) and the few standard SCSI commands we need.
//
// Each function builds its command block fresh, sends it once through the handle's
// transport and turns the outcome into one of four result forms:
//   transfer    - nonzero when the request was carried out
//   status      - transfer AND reply byte 0: nonzero only when bit 0 of the status byte is 1
//   reply byte  - reply byte 0, 0 when the transfer failed
//   model match - 1 when reply bytes 0-3 are "6205"
// A failed transfer always leaves an all-zero reply, so every form yields 0 then.
// Nothing is cached or retried here; meaning and retries belong to the callers.
//
// Handle-taking functions leave the caller's handle open. The by-letter functions open the
// drive through the drive map, send one request, close it, and return 0 when it won't open.
#include "platform/DeviceHandle.h"

#include <cstdint>

// The chip model that the loader and the ROM answer with (EF 82, EF 85).
inline constexpr char kChipModel[4] = {'6', '2', '0', '5'};
// The scan command (EF 93) replies into a buffer of this size: status byte + results.
inline constexpr uint32_t kScanReplySize = 1024;

// ---- by drive letter ----
int cmd_bReadFlashIdByDrive(char letter, uint8_t* id);   // EF 70, id: 5 bytes, stored reversed
int cmd_bIsChipModeByDrive(char letter);                 // EF 82, model match
int cmd_bResetByDrive(char letter);                      // EF 81, no data
int cmd_bInquiry(char letter);                           // INQUIRY; 1 whenever the drive opens

// ---- flash identification and scanning ----
int cmd_bReadFlashId(HANDLE handle, uint8_t* id);        // EF 70, id: 5 bytes, stored reversed
// EF 93. out receives pagesPerBlock result bytes (perPage != 0) or count bytes (perPage 0),
// and only when the result is nonzero. A reply that would not fit kScanReplySize is refused.
int cmd_bReadPages(HANDLE handle, uint32_t block, uint32_t count, uint16_t pattern,
                   uint8_t dataMode, uint8_t operation, uint8_t pageSkip, uint8_t eccThreshold,
                   uint8_t* out, int perPage, uint32_t pagesPerBlock);
int cmd_bCheckBlock(HANDLE handle, uint32_t block, uint32_t count);                 // EF 94
int cmd_bWritePage(HANDLE handle, uint32_t page, const uint8_t* buffer, uint32_t length,
                   uint8_t mode);                                                   // EE 95
int cmd_bReadPage(HANDLE handle, uint32_t page, uint16_t n, uint8_t* buffer, uint32_t length,
                  uint8_t mode);                                                    // EF 96
int cmd_bFsmInit(HANDLE handle);                                                    // EF 97
int cmd_bReadBlockBitmap(HANDLE handle, uint8_t* buffer, uint32_t length);          // EF 98
int cmd_bWritePatternBuffer(HANDLE handle, const uint8_t* buffer, uint32_t length); // EE 9B

// ---- disk ----
// READ CAPACITY (0x25, in a 6-byte block). Both outputs are stored, 0 after a failure.
int cmd_bReadCapacity(HANDLE handle, uint32_t* lastLba, uint32_t* blockLength);
int cmd_bWrite10(HANDLE handle, const uint8_t* buffer, uint32_t sectorSize, uint32_t lba,
                 uint16_t count);                                                   // 2A
int cmd_bRead10(HANDLE handle, uint8_t* buffer, uint32_t sectorSize, uint32_t lba,
                uint16_t count);                                                    // 28
int cmd_bStopUnit(HANDLE handle);                        // START STOP UNIT, stop, no data
int cmd_bStartDisk(HANDLE handle);                       // EF 73, status
int cmd_bChangeToHiddenDisk(HANDLE handle);              // EF 92, status

// ---- loader upload ----
int cmd_bFwUploadBegin(HANDLE handle, uint32_t size);                                // EF 77
int cmd_bFwUploadChunk(HANDLE handle, const uint8_t* buffer, uint32_t length);       // EE 78
int cmd_bFwUploadChecksum(HANDLE handle, uint16_t sum);                             // EF 79

// ---- configuration, data streams, firmware ----
int cmd_bWriteCfgData(HANDLE handle, const uint8_t* buffer, uint32_t length);        // EE 71
int cmd_bBadBlockCheck(HANDLE handle);                   // EF 72, status, 300 s
int cmd_bWriteSetup(HANDLE handle, uint32_t size);       // EF 7A, status
int cmd_bWriteData(HANDLE handle, const uint8_t* buffer, uint32_t length);           // EE 7B
int cmd_bWriteEnd(HANDLE handle);                        // EF 7C, status
int cmd_bFwParityCheck(HANDLE handle);                   // EF 87, status
int cmd_bSetFlashModuleNo(HANDLE handle, uint8_t number); // EF 8D, status
int cmd_bReadInfoSector(HANDLE handle, uint8_t* buffer); // EF 80, 512 bytes
int cmd_bRead99(HANDLE handle, uint8_t* buffer);         // EF 99, 512 bytes
int cmd_bReadArea(HANDLE handle, uint16_t index, uint16_t count, uint8_t* buffer);        // EF 9D
int cmd_bWriteArea(HANDLE handle, uint16_t index, uint16_t count, const uint8_t* buffer); // EE 9E

// ---- single bytes and settings ----
uint8_t cmd_GetChipCount(HANDLE handle);                 // EF 84, reply byte
uint8_t cmd_GetPortNumber(HANDLE handle);                // EF 9A, reply byte
uint8_t cmd_Get9C(HANDLE handle);                        // EF 9C, reply byte
int cmd_bGetB0(HANDLE handle, uint8_t* out);             // EF B0, out := reply byte 0
int cmd_bGet8B(HANDLE handle, uint8_t* out);             // EF 8B, out := reply byte 0
int cmd_bIsChipMode(HANDLE handle);                      // EF 85, model match
int cmd_bSetSysAreaSize(HANDLE handle, uint8_t unit);    // EF 83, transfer
int cmd_bCmd91(HANDLE handle, uint8_t value);            // EF 91, status
int cmd_bCmd8E(HANDLE handle, uint8_t value);            // EF 8E, status
int cmd_bCmd8F(HANDLE handle, uint8_t value);            // EF 8F, status
