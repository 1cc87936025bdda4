#pragma once
// What the production engine reads from the main window (settings and copy-list figures)
// and the few things it writes there besides its own panel (the system-area label, a
// warning box, the counters). The user interface installs the main window's
// implementation (ui/MainWindowLink.h); tests install a window of their own.
#include <cstdint>
#include <string>
#include <vector>

namespace production {

class WindowLink {
public:
    virtual ~WindowLink() = default;

    // Production settings.
    virtual int EccLevel() = 0;                 // iEccLevel, 0 = "Default"
    virtual bool PageScan() = 0;                // PageMode ("Special Scan")
    virtual uint8_t DeviceFeature() = 0;        // eDeviceFeature: 0 normal, 1 encrypted, 2 hidden
    virtual int HideDiskRatio() = 0;            // iHideDiskRatio, percent
    virtual int AllowErrorRate() = 0;           // AllowErrorRate, percent
    virtual uint8_t DealCapError() = 0;         // 0 degrade, 1 show the error, 2 do not care
    virtual uint32_t MinValidSize() = 0;        // iMinValidSize, 4 MiB units

    // Main-window controls that are settings.
    virtual bool FwUpgradeChecked() = 0;        // chkFwUpgrade
    virtual bool IsoUpgradeChecked() = 0;       // chkISOupgrade
    virtual bool SystemAreaChecked() = 0;       // SystemAreachk
    virtual int SystemAreaIndex() = 0;          // SystemAreaComBo item index, -1 = none

    // Copy-list figures (byte sizes of the classified files).
    virtual uint64_t FirmwareSize() = 0;
    virtual uint64_t PreferSize() = 0;
    virtual uint64_t TelbookSize() = 0;
    virtual uint64_t IsoSize() = 0;
    virtual std::vector<std::string> CopyList() = 0; // TntSelectFileList2 items, in order
    // Hidden-disk and SPI file lists (misc/hideseting.ini, misc/spiseting.ini), in order.
    virtual std::vector<std::string> HideFileList() { return {}; }
    virtual std::vector<std::string> SpiFileList() { return {}; }

    virtual unsigned LanguageIndex() = 0;            // the window's LanguageIndex
    virtual void SetSystemAreaLabel(const std::string& caption) = 0; // labSystemArea
    virtual void ShowWarning(const std::string& text, const std::string& caption) = 0;

    // Page-mode name (0..7) in a language.
    virtual std::string PageModeName(int mode, unsigned languageIndex) = 0;

    // ---- read by the production sequence ----
    // Option boxes of the main window.
    virtual bool BlankCheckChecked() = 0;         // chkBlankCheck
    virtual bool ClearFlashChecked() = 0;         // chkClearFlash
    virtual bool IsoUpgradeEnabled() = 0;         // chkISOupgrade->Enabled
    virtual bool ParityCheckChecked() = 0;        // chkParityCheck
    virtual bool NorCheckChecked() = 0;           // chknor
    virtual bool FormatChecked() = 0;             // chkFormat
    virtual bool Fat32Checked() = 0;              // chkFAT32
    virtual std::string VolumeLabelText() = 0;    // LabelEdit text
    // Copy-list positions of the classified files (-1 none) and the firmware's SDK type.
    virtual int ProgramIndex() = 0;
    virtual int PreferIndex() = 0;
    virtual int IsoIndex() = 0;
    virtual int TelbookIndex() = 0;
    virtual uint32_t SdkType() = 0;
    // Further production settings.
    virtual int FlashModuleNo() = 0;              // iFlashModuleNo
    virtual int BadThreshold() = 0;               // iBadThreshold, percent
    virtual int ScanLevel() = 0;                  // iScanLevel
    virtual int Pattern() = 0;                    // Pattern
    virtual int PageSkip() = 0;                   // iPageSkip
    virtual int PageModeSel() = 0;                // PageModeSel
    virtual int ReadTimes() = 0;                  // iReadTimes
    virtual bool FastBlankCheck() = 0;            // bFastBlankCheck
    virtual std::string HideDiskLabel() = 0;      // sHideDiskLabel
    virtual bool UseImgFile() = 0;                // bUseImgFile
    virtual std::string ImageFile() = 0;
    virtual bool SaveSpiImage() = 0;
    virtual bool NonFileSystem() = 0;             // bNonFileSystem

    // ---- written by the production threads (the shared ones without lost updates) ----
    // The drive letter of a panel's DeviceSlot; 0 once the device was removed.
    virtual char PanelDrive(int slot) { (void)slot; return 0; }
    // The drive binding (its serial) of the device the panel holds; 0 when unknown.
    virtual uint64_t PanelDevice(int slot) { (void)slot; return 0; }
    // iRunningThreads += 1 and the file-list and settings groups disabled.
    virtual void RunStarted() {}
    // iRunningThreads -= 1; at 0 (never below) both groups enabled again.
    virtual void RunEnded() {}
    // The totals after one run: total + 1, success + result (0 or 1), fail = total -
    // success, then the three captions.
    virtual void CountResult(uint32_t result) { (void)result; }
    // The disk-size label lblsiosize.
    virtual void SetDiskSizeLabel(const std::string& caption) { (void)caption; }
    // Lets the user-interface thread handle what is waiting (nothing from a worker).
    virtual void ProcessMessages() {}
};

// The settings a fresh station starts with (production/StoredSettings.h gives the stored
// ones), for an engine running without a main window; the main window's link answers the
// same while no main window exists. Nothing is in the copy list.
class FreshStation : public WindowLink {
public:
    int EccLevel() override;
    bool PageScan() override;
    uint8_t DeviceFeature() override;
    int HideDiskRatio() override;
    int AllowErrorRate() override;
    uint8_t DealCapError() override;
    uint32_t MinValidSize() override;
    bool FwUpgradeChecked() override;
    bool IsoUpgradeChecked() override;
    bool SystemAreaChecked() override;
    int SystemAreaIndex() override;
    uint64_t FirmwareSize() override;
    uint64_t PreferSize() override;
    uint64_t TelbookSize() override;
    uint64_t IsoSize() override;
    std::vector<std::string> CopyList() override;
    unsigned LanguageIndex() override;
    void SetSystemAreaLabel(const std::string&) override;
    void ShowWarning(const std::string& text, const std::string& caption) override;
    std::string PageModeName(int mode, unsigned languageIndex) override;

    bool BlankCheckChecked() override;
    bool ClearFlashChecked() override;
    bool IsoUpgradeEnabled() override;
    bool ParityCheckChecked() override;
    bool NorCheckChecked() override;
    bool FormatChecked() override;
    bool Fat32Checked() override;
    std::string VolumeLabelText() override;
    int ProgramIndex() override;
    int PreferIndex() override;
    int IsoIndex() override;
    int TelbookIndex() override;
    uint32_t SdkType() override;
    int FlashModuleNo() override;
    int BadThreshold() override;
    int ScanLevel() override;
    int Pattern() override;
    int PageSkip() override;
    int PageModeSel() override;
    int ReadTimes() override;
    bool FastBlankCheck() override;
    std::string HideDiskLabel() override;
    bool UseImgFile() override;
    std::string ImageFile() override;
    bool SaveSpiImage() override;
    bool NonFileSystem() override;

    void ProcessMessages() override;
};

// The window the engine talks to: the one set with SetWindowLink, else the program's main
// window once the user interface has installed it, else the settings a fresh station
// starts with.
WindowLink& Window();
// Installs a window (null restores the default). Not for use while threads run.
void SetWindowLink(WindowLink* link);
// The default window, installed by the user interface (the engine includes nothing of it).
void SetMainWindowLink(WindowLink* link);

// The page-mode names in English ("" outside 0..7), for logs and tests.
std::string DefaultPageModeName(int mode);

} // namespace production
