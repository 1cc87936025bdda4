// Block tables: the bad-block scan, the device's own bitmap, the capacity rule, the CFG record.
#include "production/BlockTables.h"

#include "device/Commands.h"
#include "device/HostUtil.h"
#include "platform/AtomicFile.h"
#include "platform/ByteOrder.h"
#include "platform/ProgramDir.h"
#include "production/FlashRecord.h"
#include "production/PageTableQueries.h"
#include "production/WindowLink.h"
#include "production/ppthread.h"
#include "text/LangStrings.h"
#include "text/MessageCatalogue.h"

#include <cstdio>
#include <cstring>
#include <fstream>

namespace {

// With no good block found yet, a scan that has covered more pages than this stops.
constexpr uint64_t kScanGiveUpPages = 49024;
constexpr uint64_t kSystemAreaUnit = 4194304; // 4 MiB
constexpr uint32_t kTrimGroup = 1024;
constexpr uint32_t kUncountedGoodPerGroup = 7;

std::string Row(const ProductThread& thread, MessageRow row)
{
    return MessageCatalogue(row, thread.iLanguageIndex);
}

uint32_t TotalBlocks(const ProductThread& thread)
{
    return thread.iChipCount * thread.iBlocksPerChip;
}

// The table is there and covers every block of the geometry.
bool TablesUsable(const ProductThread& thread)
{
    return GeometryIsSound(thread) && thread.pBlockTable
           && thread.iBlockTableEntries == TotalBlocks(thread);
}

// Bad blocks of the usable area: all bad entries minus the blocks past the usable count of
// each chip. Floored at 0, since a device table or the override may call those good.
uint32_t UsableAreaBad(const ProductThread& thread, uint32_t bad)
{
    const uint32_t reserved =
        (thread.iBlocksPerChip - thread.iUsableBlocksPerChip) * thread.iChipCount;
    return bad > reserved ? bad - reserved : 0;
}

uint64_t RoundUp(uint64_t value, uint64_t unit)
{
    return (value + unit - 1) / unit * unit;
}

std::string CfgLogName(const ProductThread& thread)
{
    return std::to_string(thread.iSlot) + "_bi_tab_cfg.txt";
}

} // namespace

uint8_t BitmapTest(const uint8_t* bitmap, uint32_t index)
{
    return (bitmap[index / 8] & (0x80u >> (index % 8))) ? 0xFF : 0;
}

uint16_t CfgChecksum(const uint8_t* record)
{
    uint16_t sum = 0;
    for (size_t i = FlashRecord::kChecksumFirst; i <= FlashRecord::kChecksumLast; ++i)
        sum = static_cast<uint16_t>(sum + record[i]);
    return sum;
}

uint32_t CountGoodBlocks(const ProductThread& thread)
{
    uint32_t good = 0;
    for (uint32_t i = 0; thread.pBlockTable && i < thread.iBlockTableEntries; ++i)
        good += thread.pBlockTable[i] == 0xFF;
    return good;
}

uint32_t CalcSystemAreaBlocks(ProductThread& thread)
{
    auto& window = production::Window();
    const uint64_t pages = thread.iSysAreaPagesPerBlock ? thread.iSysAreaPagesPerBlock
                                                        : thread.iPagesPerBlock;
    const uint64_t blockBytes = static_cast<uint64_t>(thread.iPageSize) * pages;
    if (blockBytes == 0)
        return 1;

    uint64_t total = RoundUp(window.FirmwareSize(), blockBytes)
                     + RoundUp(window.PreferSize(), blockBytes)
                     + RoundUp(window.TelbookSize(), blockBytes);
    if (window.IsoUpgradeChecked())
        total += RoundUp(window.IsoSize(), blockBytes);
    const uint64_t area = RoundUp(2 * (total + 8 * blockBytes), kSystemAreaUnit);

    char label[256];
    std::snprintf(label, sizeof label, "%s: %llu blocks", SystemAreaSizeStr.get().c_str(),
                  static_cast<unsigned long long>((area + blockBytes - 1) / blockBytes));
    window.SetSystemAreaLabel(label);

    uint64_t units = area / kSystemAreaUnit;
    if (units < 1)
        units = 1;
    const uint32_t computed = units > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(units);

    if (window.SystemAreaChecked()) {
        // The index comes from prefer.ini as stored; one outside the 32 sizes counts as
        // no selection rather than an unlisted (or overflowing) size.
        int index = window.SystemAreaIndex();
        if (index < 0 || index > 31)
            index = -1;
        const int userMb = (index + 1) * 4;
        std::snprintf(label, sizeof label, "%s: %dMB", SystemAreaSizeStr.get().c_str(), userMb);
        window.SetSystemAreaLabel(label);
        const uint32_t user = userMb > 0 ? static_cast<uint32_t>(userMb / 4) : 0;
        if (user < computed)
            window.ShowWarning("The system area size you set is too small!", "Warning");
        return user;
    }
    return computed;
}

int ScanBadBlocks(ProductThread& thread, uint32_t firstStep, uint32_t lastStep)
{
    if (!TablesUsable(thread))
        return 0;
    const bool special = production::Window().PageScan();
    const uint32_t pagesPerBlock = thread.iPagesPerBlock;
    const uint32_t total = thread.iChipCount * thread.iUsableBlocksPerChip;
    uint32_t bad = 0;
    bool seenGood = false;
    std::memset(thread.pBlockTable.get(), 0, thread.iBlockTableEntries);

    for (uint32_t c = 0; c < thread.iChipCount; ++c) {
        for (uint32_t b = 0; b < thread.iUsableBlocksPerChip; ++b) {
            const uint32_t n = c * thread.iUsableBlocksPerChip + b;
            const uint32_t index = c * thread.iBlocksPerChip + b;
            if (cmd_bCheckBlock(thread.hDevice, index, 1)) {
                thread.pBlockTable[index] = 0xFF;
                seenGood = true;
            } else {
                ++bad;
            }
            if (!thread.bBlocksPerChipOverride && !seenGood
                && static_cast<uint64_t>(n) * pagesPerBlock > kScanGiveUpPages) {
                thread.SetStatusColor(toolkit::clRed);
                thread.SetStatus(Row(thread, kRowTooManyBadBlocks));
                thread.iLastBadCount = bad;
                return 0;
            }
            if (n % 5 == 0) {
                thread.SetStatusColor(thread.StatusColor() == toolkit::clBtnText ? toolkit::clRed
                                                                                 : toolkit::clBtnText);
                const std::string stage =
                    special ? production::Window().PageModeName(0, thread.iLanguageIndex)
                            : RealBlankingCheckStr.get();
                thread.SetStatus(stage + " " + std::to_string(n) + "/" + std::to_string(total)
                                 + " " + Row(thread, kRowBad) + ": " + std::to_string(bad));
                const uint64_t span = lastStep >= firstStep ? lastStep - firstStep : 0;
                thread.SetStep(static_cast<uint32_t>(firstStep + span * n / total));
            }
        }
    }
    thread.iLastBadCount = bad;
    return 1;
}

int ReadDeviceInfo(ProductThread& thread)
{
    thread.bInfoValid = 0;
    uint8_t block[FlashRecord::kSize] = {};
    if (!cmd_bReadInfoSector(thread.hDevice, block))
        return 0;
    if (std::memcmp(block + FlashRecord::kChipTag, "6205", 4) != 0)
        return 0;
    // 512 <= page size <= 8192 and 32 <= pages per block <= 512, as exponents.
    const uint8_t pageLog2 = block[FlashRecord::kPageSizeLog2];
    const uint8_t pagesLog2 = block[FlashRecord::kPagesPerBlockLog2];
    if (pageLog2 < 9 || pageLog2 > 13 || pagesLog2 < 5 || pagesLog2 > 9)
        return 0;
    thread.bInfoValid = 1;
    thread.bInfoByte96 = block[FlashRecord::kWriteParameter];
    std::memcpy(thread.DeviceInfoCopy, block, sizeof block);
    return 1;
}

int ReadBadBlockBitmap(ProductThread& thread, uint32_t& rate)
{
    if (!TablesUsable(thread))
        return 0;
    const uint32_t total = TotalBlocks(thread);
    if (!cmd_bReadBlockBitmap(thread.hDevice, thread.GoodBlockBitmap, total / 8))
        return 0;
    uint32_t bad = 0;
    for (uint32_t i = 0; i < total; ++i) {
        thread.pBlockTable[i] = BitmapTest(thread.GoodBlockBitmap, i);
        bad += thread.pBlockTable[i] == 0;
    }
    const uint32_t usable = thread.iChipCount * thread.iUsableBlocksPerChip;
    const uint32_t usableBad = UsableAreaBad(thread, bad);
    if (usable == 0)
        rate = usableBad ? 100 : 0;
    else
        rate = usableBad * 100 / usable;
    return 1;
}

int CheckCapacityRule(ProductThread& thread)
{
    auto& window = production::Window();
    thread.bDegraded = 0;
    uint32_t pages = thread.iPagesPerBlock;
    if (thread.bSpecialScan) {
        pages = 0;
        for (uint32_t p = 0; p < thread.iPagesPerBlock && p < kThreadBufferSize; ++p)
            pages += thread.PageTable[p] == 0xFF;
    }
    if (pages < thread.iPagesPerBlock)
        thread.bDegraded = 1;

    const uint32_t good = CountGoodBlocks(thread);
    if (!thread.bBlocksPerChipOverride) {
        const uint64_t validMb =
            static_cast<uint64_t>(thread.iPageSize / 512) * pages * good / 2048;
        if (validMb < static_cast<uint64_t>(window.MinValidSize()) * 4) {
            thread.SetStatus(Row(thread, kRowValidSizeTooSmall) + FailMsg.get());
            return 0;
        }
    }

    const uint8_t deal = window.DealCapError();
    if (deal == 2)
        return 1;

    const int64_t total = thread.iBlockTableEntries;
    const int64_t allowed = 100 - static_cast<int64_t>(window.AllowErrorRate());
    int64_t n = total;
    while (static_cast<int64_t>(good) < allowed * n / 100)
        n /= 2;
    if (n == total)
        return 1;
    if (deal == 1) {
        thread.SetStatus(Row(thread, kRowBadBlockNoExceed));
        return 0;
    }

    // Degrade: keep about n good blocks. In each group of 1024 entries the first seven good
    // ones stay uncounted; once the counter passes n - 7 x group, every entry is cleared.
    int64_t counted = 0;
    for (uint32_t g = 0; g < thread.iBlockTableEntries / kTrimGroup; ++g) {
        uint32_t run = 0;
        for (uint32_t j = 0; j < kTrimGroup; ++j) {
            uint8_t& entry = thread.pBlockTable[g * kTrimGroup + j];
            if (entry == 0xFF && ++run > kUncountedGoodPerGroup)
                ++counted;
            if (counted > n - static_cast<int64_t>(kUncountedGoodPerGroup) * g)
                entry = 0;
        }
    }
    thread.bDegraded = 1;
    return 1;
}

void BuildCfgRecord(ProductThread& thread, uint8_t keepMarks)
{
    auto& window = production::Window();
    uint8_t* record = thread.CfgImage;
    record[FlashRecord::kChipCount] = static_cast<uint8_t>(thread.iChipCount);
    if (!keepMarks)
        for (size_t i = 0; i < FlashRecord::kMarkCount; ++i)
            record[FlashRecord::kFirstMark + 4 * i] = 'X';

    std::memset(thread.GoodBlockBitmap, 0, sizeof thread.GoodBlockBitmap);
    size_t slots = 0;
    for (uint32_t i = 0; thread.pBlockTable && i < thread.iBlockTableEntries; ++i) {
        if (thread.pBlockTable[i] != 0xFF)
            continue;
        SetBit(thread.GoodBlockBitmap, static_cast<int>(i), true);
        if (slots < FlashRecord::kGoodBlockSlots) {
            platform::PutBe16(record + FlashRecord::kFirstGoodBlocks + 2 * slots, i);
            ++slots;
        }
    }

    record[FlashRecord::kSystemAreaUnits] = static_cast<uint8_t>(thread.iSystemAreaBlocks);
    uint8_t ratio = 0;
    const uint8_t feature = window.DeviceFeature();
    if (feature == 1 || feature == 2) {
        const int percent = window.HideDiskRatio();
        ratio = percent == 100 ? 255 : static_cast<uint8_t>(percent * 256 / 100);
    }
    record[FlashRecord::kHiddenRatio] = ratio;
    std::memcpy(record + FlashRecord::kZeroText, "0000", 4);
    std::memset(record + FlashRecord::kZeroBytes, 0, 5);
    std::memset(record + FlashRecord::kName, 0, FlashRecord::kNameLength);
    const uint16_t sum = CfgChecksum(record);
    platform::PutBe16(record + FlashRecord::kChecksum, sum);
}

int WriteCfg(ProductThread& thread, uint8_t keepMarks)
{
    const std::string failed = Row(thread, kRowWriteCfg) + FailMsg.get();
    // The record's fields and the bitmap must hold what the tables give them.
    if (!TablesUsable(thread) || thread.iSystemAreaBlocks > 0xFF) {
        thread.SetStatus(failed);
        return 0;
    }
    if (!CheckCapacityRule(thread))
        return 0;

    const int64_t bitmapPages =
        TotalBitmapPages(thread.CfgImage[FlashRecord::kBitmapPages], thread.iChipCount);
    if (bitmapPages < 0 || bitmapPages > 0xFF
        || bitmapPages * thread.iPageSize > GeometryLimits::kBitmapBytes) {
        thread.SetStatus(failed);
        return 0;
    }
    thread.CfgImage[FlashRecord::kBitmapPages] = static_cast<uint8_t>(bitmapPages);

    const std::string noGoodPage = "No good page" + FailMsg.get();
    const uint8_t mode = static_cast<uint8_t>(thread.iRecordByte96);
    const uint32_t pageSize = thread.iPageSize;
    uint32_t retries = 0;
    uint32_t written = 0;
    for (;;) {
        if (retries > 0)
            thread.SetStatus(Row(thread, kRowWriteCfg) + std::to_string(retries));
        BuildCfgRecord(thread, keepMarks);

        written = 0;
        bool failedWrite = false;
        bool pageWriteFailed = false;
        uint32_t failedBlock = 0;
        for (uint32_t block = 0; block < thread.iBlockTableEntries && written < 2; ++block) {
            if (thread.pBlockTable[block] != 0xFF)
                continue;
            bool ok = cmd_bCheckBlock(thread.hDevice, block, 1) != 0;
            if (ok) {
                uint32_t page = 0;
                if (!IsPageUsed(thread, 0) && !NextUsedPage(thread, page)) {
                    thread.SetStatus(noGoodPage);
                    return 0;
                }
                const uint32_t base = block * thread.iPagesPerBlock;
                ok = cmd_bWritePage(thread.hDevice, base + page, thread.CfgImage, pageSize, mode) != 0;
                for (int64_t k = 0; ok && k < bitmapPages; ++k) {
                    if (!NextUsedPage(thread, page)) {
                        thread.SetStatus(noGoodPage);
                        return 0;
                    }
                    ok = cmd_bWritePage(thread.hDevice, base + page,
                                        thread.GoodBlockBitmap + k * pageSize, pageSize, mode) != 0;
                }
                pageWriteFailed = !ok;
            }
            if (!ok) {
                failedWrite = true;
                failedBlock = block;
                break;
            }
            ++written;
        }
        if (!failedWrite)
            break;
        if (++retries >= 2) {
            thread.SetStatus(failed);
            return 0;
        }
        thread.pBlockTable[failedBlock] = 0;
        if (pageWriteFailed)
            (void)cmd_bCheckBlock(thread.hDevice, failedBlock, 1);
    }

    const uint32_t bad = thread.iBlockTableEntries - CountGoodBlocks(thread);
    if (thread.bLogBiTable && thread.bDegraded)
        WriteBadBlockLog(thread, CfgLogName(thread));
    if (written < 2) {
        thread.SetStatus("No Good block2");
        thread.SetStatusColor(toolkit::clRed);
        return 0;
    }
    thread.iBadBlocks = UsableAreaBad(thread, bad);
    return 1;
}

int FinishBadBlockTable(ProductThread& thread, uint8_t keepMarks)
{
    if (!TablesUsable(thread))
        return 0;
    if (!CheckCapacityRule(thread))
        return 0;
    BuildCfgRecord(thread, keepMarks);

    uint32_t good = 0;
    for (uint32_t block = 0; block < thread.iBlockTableEntries && good < 4; ++block) {
        if (thread.pBlockTable[block] != 0xFF)
            continue;
        ++good;
        if (good >= 3)
            (void)cmd_bCheckBlock(thread.hDevice, block, 1);
    }
    const uint32_t bad = thread.iBlockTableEntries - CountGoodBlocks(thread);
    thread.iBadBlocks = UsableAreaBad(thread, bad);
    if (thread.bLogBiTable && thread.bDegraded)
        WriteBadBlockLog(thread, CfgLogName(thread));
    if (good < 4) {
        thread.SetStatus("No Good block1");
        thread.SetStatusColor(toolkit::clRed);
        return 0;
    }
    return 1;
}

int WriteBadBlockLog(ProductThread& thread, const std::string& name)
{
    std::string text = "======================Flash Type: " + thread.sFlashTypeName
                       + "========================\r\n";
    text += "==================bad block list ecc detail==========================\r\n";
    char line[64];
    uint32_t listed = 0;
    for (uint32_t i = 0; thread.pBlockTable && i < thread.iBlockTableEntries; ++i) {
        const uint8_t entry = thread.pBlockTable[i];
        if (entry == 0xFF)
            continue;
        std::snprintf(line, sizeof line, "%04u(%X)  ", i, entry);
        text += line;
        if (++listed % 8 == 0)
            text += "\r\n";
    }
    text += "\r\n\r\n=====================================================================\r\n";
    std::snprintf(line, sizeof line, "Total blocks: %u \r\n", TotalBlocks(thread));
    text += line;
    std::snprintf(line, sizeof line, "Total bad bind blocks: %u \r\n", listed);
    text += line;
    thread.iLastBadCount = listed;

    const std::string folder = platform::ProgramPath("log");
    if (!platform::MakeDirs(folder))
        return 0;
    std::ofstream out(folder + "/" + name, std::ios::binary | std::ios::trunc);
    if (!out)
        return 0;
    out << text;
    out.flush();
    return out.good() ? 1 : 0;
}
