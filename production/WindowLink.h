#pragma once
// What the production engine reads from the main window (settings and copy-list figures)
// and the few things it writes there besides its own panel (the system-area label, the
// program-file index, a warning box). The program links the main window in; tests install
// a window of their own.
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
    virtual void SetProgramIndex(int index) = 0;     // iProgramIndex

    virtual unsigned LanguageIndex() = 0;            // the window's LanguageIndex
    virtual void SetSystemAreaLabel(const std::string& caption) = 0; // labSystemArea
    virtual void ShowWarning(const std::string& text, const std::string& caption) = 0;

    // Page-mode name (0..7) in a language.
    virtual std::string PageModeName(int mode, unsigned languageIndex) = 0;
};

// The window the engine talks to: the main window Form1 unless another is set (before
// Form1 exists, the settings a fresh station starts with).
WindowLink& Window();
// Installs a window (null restores the default). Not for use while threads run.
void SetWindowLink(WindowLink* link);

// Built-in page-mode names in English ("" outside 0..7).
std::string DefaultPageModeName(int mode);

} // namespace production
