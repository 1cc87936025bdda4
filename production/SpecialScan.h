#pragma once
// The special scan: one ECC byte per page of every block into the page ECC table, each
// block checked against the scan's page table as it is read, and afterwards the page
// table and the block table derived from the whole table.
#include <cstdint>

struct BlankingRun;
class ProductThread;

// Before the level: the page mode (detected when the setting asks for it), the page ECC
// table and the scan page table sent to the device. False with the status text set.
bool SpecialScanSetup(BlankingRun& run);

// One block's read in a special branch: its row of the page ECC table from the device,
// then the page test, whose failure adds a bad block. -1 when the read failed, 0 when the
// page test failed, 1 otherwise.
int SpecialScanRead(BlankingRun& run, uint32_t address, uint16_t pattern, uint8_t dataMode,
                    uint8_t operation);
// A block the fast check passes over: every page of its row reads as free of bit errors.
void SpecialScanSkipRow(BlankingRun& run, uint32_t address);

// After the level: page matrix, the thread's page table, the block table and the logs.
// The "All Pages" choice always keeps pages (the first 120 of its order, or all of a
// smaller block), so the closing analysis cannot fail.
void SpecialScanClose(BlankingRun& run);

// Frees the thread's page ECC table (also on a failing exit of the level).
void ReleasePageEccTable(ProductThread& thread);
