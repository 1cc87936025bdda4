// Page-mode detection, the per-block page test and the page and ECC table logs.
#include "production/PageMode.h"

#include "device/Commands.h"
#include "device/PageMatrix.h"
#include "platform/AtomicFile.h"
#include "platform/ProgramDir.h"
#include "production/FlashRecord.h"
#include "production/ScanLevel.h"
#include "production/SpecialScan.h"
#include "production/WindowLink.h"
#include "production/ppthread.h"
#include "text/LangStrings.h"
#include "text/MessageCatalogue.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr uint32_t kSamples = 16;
constexpr int kAllPagesMode = 6;

std::string Hex2(unsigned value, const char* format)
{
    char text[16];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string FlashTypeHeader(const ProductThread& thread)
{
    return "====Flash Type: " + thread.sFlashTypeName + "==========================\r\n";
}

// Pages of a block that the tables can hold.
uint32_t PagesInTable(const ProductThread& thread)
{
    return std::min(thread.iPagesPerBlock, kThreadBufferSize);
}

// A log that cannot be written is left out; the scan goes on.
void WriteLog(const std::string& name, const std::string& text)
{
    const std::string folder = platform::ProgramPath("log");
    if (platform::MakeDirs(folder))
        (void)platform::WriteFileAtomic(folder + "/" + name, text);
}

// Reads one sample block's page ECC bytes (all pages, any pattern) into row.
bool ReadSample(ProductThread& thread, uint32_t block, uint8_t* row)
{
    const uint16_t pattern = static_cast<uint16_t>(ScanRandom());
    return cmd_bReadPages(thread.hDevice, block, 1, pattern, 1, 3, 0,
                          static_cast<uint8_t>(thread.iEccThreshold), row, 1,
                          thread.iPagesPerBlock) != 0;
}

} // namespace

int PageEccPass(const uint8_t* pageTable, const uint8_t* eccRow, int32_t pages,
                uint32_t threshold)
{
    for (int32_t p = 0; p < pages; ++p) {
        if (pageTable[p] != 0xFF)
            continue;
        if (255 - static_cast<int64_t>(eccRow[p]) > static_cast<int64_t>(threshold))
            return 0;
    }
    return 1;
}

int ChoosePageMode(const uint32_t scores[7])
{
    int best = -1;
    uint32_t maximum = 0;
    for (int m = 0; m < 7; ++m) {
        if (scores[m] > maximum) {
            maximum = scores[m];
            best = m;
        }
    }
    return best;
}

int DetectPageMode(ProductThread& thread)
{
    // The samples need a block in each sixteenth of the flash and whole rows of page bytes.
    if (!GeometryIsSound(thread))
        return -1;
    const uint32_t pages = thread.iPagesPerBlock;
    const uint32_t totalBlocks = thread.iBlocksPerChip * thread.iChipCount;
    const uint32_t stride = totalBlocks / kSamples;
    if (stride == 0)
        return -1;

    thread.SetStatus(MessageCatalogue(kRowModeDetection, thread.iLanguageIndex));
    uint32_t scores[7] = {};
    ScanRandomSeedFromClock();
    uint32_t samples[kSamples];
    for (uint32_t i = 0; i < kSamples; ++i)
        samples[i] = static_cast<uint32_t>(ScanRandom()) % stride + i * stride;

    std::vector<uint8_t> matrix(size_t(kSamples) * pages, 0);
    std::vector<uint8_t> pattern(pages, 0);
    auto readFailed = [&thread]() {
        thread.SetStatus(RealBlankingCheckStr.get() + FailMsg.get());
        return -1;
    };

    // Every page in use: which pages the samples can keep.
    FillPattern(pattern.data(), kAllPagesMode, static_cast<int32_t>(pages));
    if (!cmd_bWritePatternBuffer(thread.hDevice, pattern.data(), pages))
        return -1;
    for (uint32_t i = 0; i < kSamples; ++i) {
        uint8_t* row = matrix.data() + size_t(i) * pages;
        if (!ReadSample(thread, samples[i], row))
            return readFailed();
        if (thread.bLogBiTable)
            WriteModeEccLog(thread, i == 0 ? 1 : 0, thread.iSlot, kAllPagesMode, samples[i], row,
                            pages);
    }
    {
        std::vector<uint8_t> mask(pages, 0);
        std::vector<uint8_t> marks(kSamples, 0);
        auto page = std::make_unique<CMyPage>(kSamples, pages, thread.iEccThreshold, matrix.data());
        SelectPageTable(*page, mask.data());
        page->MarkRows(mask.data(), marks.data());
        ReleasePageEccTable(thread);
        const uint32_t used = static_cast<uint32_t>(std::count(mask.begin(), mask.end(), 0xFF));
        const uint32_t passed = static_cast<uint32_t>(std::count(marks.begin(), marks.end(), 0xFF));
        scores[kAllPagesMode] = used * passed;
    }

    for (int m = 0; m < kAllPagesMode; ++m) {
        FillPattern(pattern.data(), static_cast<uint32_t>(m), static_cast<int32_t>(pages));
        if (!cmd_bWritePatternBuffer(thread.hDevice, pattern.data(), pages))
            return -1;
        uint32_t passing = 0;
        for (uint32_t i = 0; i < kSamples; ++i) {
            uint8_t* row = matrix.data() + size_t(i) * pages;
            if (!ReadSample(thread, samples[i], row))
                return readFailed();
            passing += PageEccPass(pattern.data(), row, static_cast<int32_t>(pages),
                                   thread.iEccThreshold);
            if (thread.bLogBiTable)
                WriteModeEccLog(thread, 0, thread.iSlot, m, samples[i], row, pages);
        }
        scores[m] = (passing * pages) >> 1;
    }
    return ChoosePageMode(scores);
}

void WritePageTableLog(ProductThread& thread, const std::string& name)
{
    const uint32_t pages = PagesInTable(thread);
    std::string text = FlashTypeHeader(thread) + "=========page table ========\r\n";
    uint32_t valid = 0;
    for (uint32_t p = 0; p < pages; ++p) {
        if (p > 0 && p % 8 == 0)
            text += "\r\n";
        text += Hex2(thread.PageTable[p], "0x%02X ");
        valid += thread.PageTable[p] == 0xFF;
    }
    text += "\r\nValid Page  " + std::to_string(valid) + "\r\n";
    WriteLog(name, text);
}

void WriteEccTableLog(ProductThread& thread, const std::string& name)
{
    std::string text = FlashTypeHeader(thread) + "=========page ECC table ========\r\n";
    // Rows exist only for a sound geometry (the table was sized from it).
    if (thread.pPageEccTable && GeometryIsSound(thread)) {
        const uint32_t pages = thread.iPagesPerBlock;
        char number[16];
        for (uint32_t b = 0; b < thread.iBlocksPerChip; ++b) {
            std::snprintf(number, sizeof number, "%04u: ", b);
            text += number;
            const uint8_t* row = thread.pPageEccTable.get() + size_t(b) * pages;
            for (uint32_t p = 0; p < pages; ++p)
                text += Hex2(row[p], "%02X ");
            text += "\r\n";
        }
    }
    WriteLog(name, text);
}

int WriteModeEccLog(ProductThread& thread, uint8_t first, uint32_t slot, int32_t mode,
                    uint32_t block, const uint8_t* row, uint32_t count)
{
    const bool modeChanged = mode != thread.iLastModeEccMode;
    thread.iLastModeEccMode = mode;

    const std::string path = platform::ProgramPath("log/" + std::to_string(slot) + "_ModeEcc.txt");
    std::FILE* file = std::fopen(path.c_str(), first == 1 ? "wb" : "ab");
    if (!file)
        return 0;
    std::string text;
    if (modeChanged) {
        text += "Mode " + production::Window().PageModeName(mode, thread.iLanguageIndex) + "\r\n";
        text += "============================================\r\n";
    }
    char number[16];
    std::snprintf(number, sizeof number, "%04u:", block);
    text += number;
    for (uint32_t i = 0; i < count; ++i)
        text += Hex2(row[i], " %02X");
    text += "\r\n";
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return (std::fclose(file) == 0 && written) ? 1 : 0;
}
