#pragma once
// The seven scan levels of the blanking check and the state one check keeps while it runs.
// Each level is a fixed list of passes over the usable blocks, chip by chip; a pass sends
// one page scan (or block check) per block with its pattern and mode bytes.
#include "production/Blanking.h"

#include <cstdint>
#include <vector>

class ProductThread;

// Blocks from this address on get the cheaper test when the fast check is on.
inline constexpr uint32_t kFastCheckFirstBlock = 256;

// One blanking check in progress.
struct BlankingRun {
    ProductThread& thread;
    BlankingSettings settings;
    int stepFrom = 0;
    int stepTo = 0;
    uint32_t total = 0;      // chips x usable blocks per chip
    int32_t bad = 0;         // shown in the status text
    bool goodSeen = false;   // a judged block has read good
    int gaugeBase = 0;       // gauge position at the start of the current pass
    // Special scan: the page mode in use and the page table the device scans with.
    int pageMode = 0;
    std::vector<uint8_t> scanPageTable;

    BlankingRun(ProductThread& t, const BlankingSettings& s) : thread(t), settings(s) {}
};

// Runs the level chosen by the settings; false when it stopped the check (status set).
// A level number outside 0..6 scans nothing and returns true.
bool RunScanLevel(BlankingRun& run);

// The scans' pseudo-random numbers: 0..32767, one generator per thread, seeded from the
// clock at the start of a level or a detection.
void ScanRandomSeed(uint32_t seed);
void ScanRandomSeedFromClock();
int ScanRandom();
