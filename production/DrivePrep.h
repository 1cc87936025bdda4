#pragma once
// Small operations the production sequence runs around the disk: the disk checker with a
// time limit, the FAT flag for the format runner, the disk size in MB, and the device's
// USB-port identity. Each opens and closes what it needs, except GetPortText, which uses
// the thread's open device.
//
// A drive is the one-letter drive string ("E"); the device is the one the drive map binds
// to that letter.
#include <cstdint>
#include <string>

class ProductThread;

namespace toolkit {
class TStaticText;
}

// FAT flags of the format runner.
inline constexpr uint32_t kFatFlagFat16 = 0;
inline constexpr uint32_t kFatFlagFat32 = 1;
inline constexpr uint32_t kFatFlagLargeClusters = 255; // FAT with 8192-byte clusters

// Runs the disk checker on the drive (about 15 s at most; past that our own checker is
// killed). True only when it ended by itself with exit code 0.
bool RunChkdsk(const std::string& drive);

// From the capacity: 255 for 1 <= MB < 128 with blocks of 2048 bytes or more, else 1 above
// 512 MB, else 0; 0 also when the drive does not open or its capacity cannot be read.
uint32_t GetDriveFatFlag(ProductThread& thread, const std::string& drive);

// The FAT flag rule on a capacity (last LBA and block length) as READ CAPACITY gives it.
uint32_t FatFlagForCapacity(uint32_t lastLba, uint32_t blockLength);

// The disk size in MB, 0 on any failure; also shown in the main window's disk-size label.
int32_t GetDiskSizeMB(ProductThread& thread, const std::string& drive);

// (block length / 512) x last LBA / 2048 without overflow, at most INT32_MAX.
int32_t DiskSizeMBForCapacity(uint32_t lastLba, uint32_t blockLength);

// Logs the port identity of the thread's device and shows "<h-t-u>" in textP. False (and
// a "Get port fail" log line) when the port identity program gave no usable number.
bool GetPortText(ProductThread& thread, const std::string& drive, toolkit::TStaticText* textP);
