#pragma once
// Per-device block bookkeeping of the production thread and the configuration record
// written into the device's first two good blocks.
//
//   BlockTable       one byte per block (chip c, block b at c x blocks per chip + b),
//                    0xFF = good, anything else bad;
//   GoodBlockBitmap  one bit per block, bit i = bit 7 - (i mod 8) of byte i / 8, 1 = good;
//   CFG record       the flash description completed with the chip count, the first eight
//                    good blocks, the system-area size, the hidden-disk ratio and a checksum.
//
// All of them work on the ProductThread's fields and run on its thread.
#include <cstdint>
#include <string>

class ProductThread;

// Bytes of the system area in 4 MiB units (at least 1 unless the operator fixed a size).
// Also writes the main window's system-area label and warns when a fixed size is too small.
uint32_t CalcSystemAreaBlocks(ProductThread& thread);

// Clear-flash scan (EF 94 on every usable block). 1, or 0 on "Too many bad block".
int ScanBadBlocks(ProductThread& thread, uint32_t firstStep, uint32_t lastStep);

// Reads the device's own configuration record (EF 80); returns and stores the valid flag.
int ReadDeviceInfo(ProductThread& thread);

// Reads the device's good-block bitmap (EF 98) into the thread and fills the block table.
// rate: bad blocks of the usable area in percent (never below 0). 1 when the device answered.
int ReadBadBlockBitmap(ProductThread& thread, uint32_t& rate);

// The capacity rule: 1 to go on (possibly degraded and trimmed), 0 with the status text set.
int CheckCapacityRule(ProductThread& thread);

// Completes the CFG record and writes it with the bitmap into the first two good blocks.
// keepMarks: leave bytes 2, 6, ... 62 as the description file has them.
int WriteCfg(ProductThread& thread, uint8_t keepMarks);

// The failure path's table completion: the same bookkeeping as WriteCfg without writing.
int FinishBadBlockTable(ProductThread& thread, uint8_t keepMarks);

// Writes log/<name> listing every bad block; 1 when written.
int WriteBadBlockLog(ProductThread& thread, const std::string& name);

// 0xFF when block i's bit is set, else 0.
uint8_t BitmapTest(const uint8_t* bitmap, uint32_t index);

// The CFG record steps shared by WriteCfg and FinishBadBlockTable: chip count and marks,
// the bitmap and the first eight good blocks from the table, the fixed positions and the
// checksum. Byte 137 is not touched.
void BuildCfgRecord(ProductThread& thread, uint8_t keepMarks);

// Big-endian 16-bit sum of bytes 82-254 of a record.
uint16_t CfgChecksum(const uint8_t* record);

// Number of 0xFF entries of the thread's block table.
uint32_t CountGoodBlocks(const ProductThread& thread);
