// The special scan: per-page ECC bytes into the page ECC table, then the tables derived.
#include "production/SpecialScan.h"

#include "device/Commands.h"
#include "device/PageMatrix.h"
#include "production/PageMode.h"
#include "production/ScanLevel.h"
#include "production/ppthread.h"
#include "text/LangStrings.h"
#include "text/MessageCatalogue.h"

#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr uint32_t kDetectMode = 7;

size_t EccTableSize(const ProductThread& thread)
{
    return size_t(thread.iChipCount) * thread.iBlocksPerChip * thread.iPagesPerBlock;
}

uint8_t* RowOf(ProductThread& thread, uint32_t address)
{
    return thread.pPageEccTable.get() + size_t(address) * thread.iPagesPerBlock;
}

std::string SlotLogName(const ProductThread& thread, const char* suffix)
{
    return std::to_string(thread.iSlot) + suffix;
}

} // namespace

void ReleasePageEccTable(ProductThread& thread)
{
    thread.pPageEccTable.reset();
}

bool SpecialScanSetup(BlankingRun& run)
{
    ProductThread& thread = run.thread;
    const int mode = run.settings.pageMode == kDetectMode ? DetectPageMode(thread)
                                                          : static_cast<int>(run.settings.pageMode);
    const uint32_t pages = thread.iPagesPerBlock;
    run.scanPageTable.assign(pages, 0);
    // FillPattern knows the modes and refuses any other, a failed detection (-1) too.
    if (!FillPattern(run.scanPageTable.data(), static_cast<uint32_t>(mode),
                     static_cast<int32_t>(pages))) {
        thread.SetStatus(MessageCatalogue(kRowModeDetection, thread.iLanguageIndex)
                         + FailMsg.get());
        return false;
    }
    run.pageMode = mode;
    thread.pPageEccTable = std::make_unique<uint8_t[]>(EccTableSize(thread)); // zeroed
    if (!cmd_bWritePatternBuffer(thread.hDevice, run.scanPageTable.data(), pages)) {
        thread.SetStatus("Send Pagetable fail");
        ReleasePageEccTable(thread);
        return false;
    }
    return true;
}

int SpecialScanRead(BlankingRun& run, uint32_t address, uint16_t pattern, uint8_t dataMode,
                    uint8_t operation)
{
    ProductThread& thread = run.thread;
    uint8_t* row = RowOf(thread, address);
    if (!cmd_bReadPages(thread.hDevice, address, 1, pattern, dataMode, operation,
                        static_cast<uint8_t>(run.settings.pageSkip),
                        static_cast<uint8_t>(thread.iEccThreshold), row, 1, thread.iPagesPerBlock))
        return -1;
    if (!PageEccPass(run.scanPageTable.data(), row, static_cast<int32_t>(thread.iPagesPerBlock),
                     thread.iEccThreshold)) {
        ++run.bad;
        return 0;
    }
    return 1;
}

void SpecialScanSkipRow(BlankingRun& run, uint32_t address)
{
    std::memset(RowOf(run.thread, address), 0xFF, run.thread.iPagesPerBlock);
}

void SpecialScanClose(BlankingRun& run)
{
    ProductThread& thread = run.thread;
    const uint32_t pages = thread.iPagesPerBlock;
    thread.pPageMatrix = std::make_shared<CMyPage>(thread.iChipCount * thread.iBlocksPerChip, pages,
                                                   thread.iEccThreshold, thread.pPageEccTable.get());
    if (run.pageMode == 6)
        SelectPageTable(*thread.pPageMatrix, thread.PageTable);
    else
        FillPattern(thread.PageTable, static_cast<uint32_t>(run.pageMode),
                    static_cast<int32_t>(pages));
    thread.pPageMatrix->MarkRows(thread.PageTable, thread.pBlockTable.get());

    if (thread.bLogBiTable) {
        WritePageTableLog(thread, SlotLogName(thread, "_page_tab.txt"));
        WriteEccTableLog(thread, SlotLogName(thread, "_Ecc_Tab.txt"));
    }
    thread.pPageMatrix.reset();
    ReleasePageEccTable(thread);
}
