#pragma once
// Page-mode detection for the special scan, the per-block page test, and the page-table,
// page-ECC-table and mode-ECC logs.
#include <cstdint>
#include <string>

class ProductThread;

// 1 when every page p < pages whose page-table byte is 0xFF has 255 - eccRow[p] <= threshold
// (pages < 1 gives 1), else 0.
int PageEccPass(const uint8_t* pageTable, const uint8_t* eccRow, int32_t pages,
                uint32_t threshold);

// Samples 16 blocks under every page mode and returns the best mode 0..6, or -1 (reads
// failed, no mode scored, or too few blocks to sample).
int DetectPageMode(ProductThread& thread);

// The best of the seven scores: the first strictly highest, -1 when all are 0.
int ChoosePageMode(const uint32_t scores[7]);

// log/<name>: the thread's page table, eight entries a line, and the count of used pages.
void WritePageTableLog(ProductThread& thread, const std::string& name);
// log/<name>: the page ECC table of the first chip, one block a line.
void WriteEccTableLog(ProductThread& thread, const std::string& name);
// log/<slot>_ModeEcc.txt: one sampled row (first = 1 starts the file anew); a "Mode" header
// whenever the mode differs from the last one logged. 1 when written.
int WriteModeEccLog(ProductThread& thread, uint8_t first, uint32_t slot, int32_t mode,
                    uint32_t block, const uint8_t* row, uint32_t count);
