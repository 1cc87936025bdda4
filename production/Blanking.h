#pragma once
// The blanking check: every usable block of the device is tested with the page-scan
// command at the chosen scan level and its verdict lands in the thread's block table
// (0xFF good). With the special scan every page's ECC byte is read instead, and the page
// table and the block table are derived from all of them at the end.
#include <cstdint>

class ProductThread;

// The settings the check reads once at entry.
struct BlankingSettings {
    uint32_t scanLevel = 0;  // 0..6 = Level 1..7; anything else scans nothing
    uint32_t pattern = 0;    // Level 6's pattern (low 16 bits)
    uint32_t pageSkip = 0;   // sent as one byte in every page scan
    uint32_t readTimes = 0;  // Level 6: 0 write and verify; 1, 2, 3 verify only
    bool specialScan = false;
    uint32_t pageMode = 0;   // special scan: 0..6 a fixed page table, 7 automatic detection
    bool fastCheck = false;  // blocks from address 256 on get a cheaper test
};

// The settings of the main window; the special-scan flag is the thread's bSpecialScan,
// which the sequence copies from the settings before the check.
BlankingSettings ReadBlankingSettings(const ProductThread& thread);

// Runs the check with the window's settings; the gauge moves from stepFrom to stepTo.
// 1: the block table is filled. 0: the device failed, the status text says why.
int BlankingCheck(ProductThread& thread, int stepFrom, int stepTo);
int BlankingCheck(ProductThread& thread, int stepFrom, int stepTo,
                  const BlankingSettings& settings);
