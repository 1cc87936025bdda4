#include "production/WindowLink.h"

#include "toolkit/Dialogs.h"
#include "ui/main.h"

#include <atomic>

namespace production {

namespace {

const char* const kPageModeNames[8] = {
    "Specific mode 1", "Specific mode 2", "Even Pages", "Odd pages",
    "First Half",      "Second Half",     "All Pages",  "Auto Detection",
};

// The main window; before it exists, the settings a fresh station starts with.
class MainWindow : public WindowLink {
public:
    int EccLevel() override { return Form1 ? Form1->iEccLevel : 2; }
    bool PageScan() override { return Form1 && Form1->PageMode; }
    uint8_t DeviceFeature() override { return Form1 ? Form1->eDeviceFeature : 0; }
    int HideDiskRatio() override { return Form1 ? Form1->iHideDiskRatio : 10; }
    int AllowErrorRate() override { return Form1 ? Form1->AllowErrorRate : 2; }
    uint8_t DealCapError() override { return Form1 ? Form1->DealCapError : 0; }
    uint32_t MinValidSize() override { return Form1 ? Form1->iMinValidSize.load() : 0; }
    bool FwUpgradeChecked() override { return !Form1 || Form1->chkFwUpgrade->Checked(); }
    bool IsoUpgradeChecked() override { return Form1 && Form1->chkISOupgrade->Checked(); }
    bool SystemAreaChecked() override { return Form1 && Form1->SystemAreachk->Checked(); }
    int SystemAreaIndex() override { return Form1 ? Form1->SystemAreaComBo->ItemIndex() : 0; }
    uint64_t FirmwareSize() override { return Form1 ? Form1->iFirmwareSize.load() : 0; }
    uint64_t PreferSize() override { return Form1 ? Form1->iPreferSize.load() : 0; }
    uint64_t TelbookSize() override { return Form1 ? Form1->iTelbookSize.load() : 0; }
    uint64_t IsoSize() override { return Form1 ? Form1->iIsoSize.load() : 0; }
    std::vector<std::string> CopyList() override
    {
        return Form1 ? Form1->TntSelectFileList2->Items()->ToVector() : std::vector<std::string>{};
    }
    std::vector<std::string> HideFileList() override
    {
        return Form1 ? Form1->HideFileList.ToVector() : std::vector<std::string>{};
    }
    std::vector<std::string> SpiFileList() override
    {
        return Form1 ? Form1->SpiFileList.ToVector() : std::vector<std::string>{};
    }
    void SetProgramIndex(int index) override
    {
        if (Form1)
            Form1->iProgramIndex = index;
    }
    unsigned LanguageIndex() override { return Form1 ? Form1->LanguageIndex.load() : 0; }
    void SetSystemAreaLabel(const std::string& caption) override
    {
        if (Form1)
            Form1->labSystemArea->SetCaption(caption);
    }
    void ShowWarning(const std::string& text, const std::string& caption) override
    {
        toolkit::TheDialogs().MessageBox(text, caption, toolkit::MB_OK | toolkit::MB_ICONWARNING);
    }
    std::string PageModeName(int mode, unsigned) override { return DefaultPageModeName(mode); }
};

MainWindow g_main;
std::atomic<WindowLink*> g_link{nullptr};

} // namespace

WindowLink& Window()
{
    WindowLink* link = g_link.load();
    return link ? *link : g_main;
}

void SetWindowLink(WindowLink* link)
{
    g_link.store(link);
}

std::string DefaultPageModeName(int mode)
{
    return mode >= 0 && mode < 8 ? kPageModeNames[mode] : "";
}

} // namespace production
