#pragma once
// The per-device production thread, ProductThread.
//
// The main window creates one, suspended, for every device it has given a panel, hands it
// the drive letter, the panel index and the panel's controls, and resumes it; the thread
// runs the production sequence once, reports progress and the result in its panel and in
// the window's counters, and frees itself.
//
// The fields below are shared by every stage of the sequence (flash lookup, block tables,
// scans, firmware and data areas). A name's first letters give its kind: s text, ws a file
// path, i a number, b a byte or flag, h the device handle, p an owned or borrowed object.
#include "platform/DeviceHandle.h"
#include "toolkit/Controls.h"
#include "toolkit/TThread.h"

#include <cstdint>
#include <memory>
#include <string>

class CMyPage;

inline constexpr uint32_t kThreadBufferSize = 8192;

class ProductThread : public toolkit::TThread {
public:
    ProductThread(char drive, int slot, toolkit::TStaticText* status, toolkit::TGauge* gauge,
                  toolkit::TImage* image, const char* volumeLabel, toolkit::TStaticText* textF,
                  toolkit::TStaticText* textP);
    ~ProductThread() override;

    // Stores the step and moves the gauge on the user-interface thread; returns after it moved.
    void SetStep(uint32_t step);
    // Runs on the user-interface thread: the gauge's progress := iStep.
    void UpdateGauge();
    // Counts this run in the main window's totals (total, success += iResult, fail) and
    // shows them; once at the end of every run.
    void UpdateTotals();
    // Status caption of the panel, written from the worker thread.
    void SetStatus(const std::string& caption);
    std::string Status() const;
    void SetStatusColor(toolkit::TColor color);
    toolkit::TColor StatusColor() const;

    // A zeroed block table of iChipCount x iBlocksPerChip entries; none (and false) when
    // the geometry is not sound.
    bool AllocateBlockTable();
    void FreeBlockTable();

    // ---- fields ----
    std::string sDrive;                     // the drive letter, one character
    toolkit::TStaticText* pStatusText;      // the panel's status caption
    toolkit::TStaticText* pTextF;           // the panel's flash/result text
    toolkit::TStaticText* pTextP;           // the panel's port text
    toolkit::TGauge* pGauge;                // the panel's progress gauge
    toolkit::TImage* pResultImage;          // the panel's result image
    std::string sVolumeLabel;
    uint32_t iResult = 0;                   // 1 after each stage that succeeded, 0 after a failure
    uint32_t iSystemAreaBlocks = 0;         // system-area size in 4 MiB units
    uint32_t iRecordByte96 = 0;             // flash record byte 96, the write parameter
    uint32_t iFlashId = 0;                  // flash ID bytes 1-4 (byte 1 most significant)
    uint8_t bFlashMaker = 0;                // flash ID byte 0
    uint32_t iChipCount = 0;
    uint32_t iBlocksPerChip = 0;
    uint32_t iPageSize = 0;
    uint32_t iSectorSize = 0;
    uint32_t iPagesPerBlock = 0;
    uint32_t iEccThreshold = 0;             // permitted bit errors per page
    std::string sFlashTypeName;             // heads every table log
    uint32_t iBadBlocks = 0;                // bad blocks of the usable area
    uint32_t iSysAreaPagesPerBlock = 0;     // record byte 160, 0 = iPagesPerBlock
    uint32_t iUsableBlocksPerChip = 0;
    uint32_t iModuleNumber = 0;             // record byte 218
    uint32_t iFirmwareFlag = 0;             // record byte 220
    HANDLE hDevice = INVALID_HANDLE_VALUE;
    std::unique_ptr<uint8_t[]> pBlockTable; // iBlockTableEntries bytes, 0xFF = good block
    uint8_t CfgImage[kThreadBufferSize];    // first 512 bytes: the flash record
    uint8_t GoodBlockBitmap[kThreadBufferSize];
    uint32_t iSlot;                         // panel index 0..7
    uint8_t bBlocksPerChipOverride = 0;     // registry BlocksPerChip overrides the geometry
    uint8_t bDegraded = 0;                  // the capacity rule degraded the device
    std::unique_ptr<uint8_t[]> pPageEccTable;
    std::shared_ptr<CMyPage> pPageMatrix;
    uint8_t PageTable[kThreadBufferSize];   // one byte per page of a block, 0xFF = used
    uint32_t iStep = 0;
    uint8_t bSpecialScan = 0;
    uint8_t bLogBiTable = 0;
    std::string sProgramFile;
    // Copy-list index of sProgramFile (-1 none): this run's own choice, kept apart from the
    // window's classification so that runs of other flashes cannot change it.
    int32_t iProgramIndex = -1;
    std::string wsPreferFile;
    std::string wsTelbookFile;
    std::string sIsoFile;
    std::string sPassFile;
    uint32_t iLastBadCount = 0;
    uint32_t iLanguageIndex = 0;
    int32_t iLastModeEccMode = -1;
    uint8_t bInfoValid = 0;
    uint8_t bInfoByte96 = 0;
    uint8_t DeviceInfoCopy[kThreadBufferSize];
    uint64_t iImageFileSize = 0;

    // The drive binding the run belongs to (0: whatever the letter holds): the run stops
    // reaching the letter once another device has taken it.
    uint64_t iDeviceSerial = 0;

    // Entries of pBlockTable (0 while there is none).
    uint32_t iBlockTableEntries = 0;

protected:
    void Execute() override;
};
