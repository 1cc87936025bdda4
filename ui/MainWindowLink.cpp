#include "ui/MainWindowLink.h"

#include "production/WindowLink.h"
#include "toolkit/Dialogs.h"
#include "toolkit/TThread.h"
#include "ui/SettingDlg.h"
#include "ui/main.h"

#include <mutex>

namespace ui {

namespace {

// The main window; before it exists, the settings a fresh station starts with.
class MainWindow : public production::WindowLink {
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
    std::string PageModeName(int mode, unsigned languageIndex) override
    {
        return ::PageModeName(mode, languageIndex);
    }

    bool BlankCheckChecked() override { return Form1 && Form1->chkBlankCheck->Checked(); }
    bool ClearFlashChecked() override { return Form1 && Form1->chkClearFlash->Checked(); }
    bool IsoUpgradeEnabled() override { return !Form1 || Form1->chkISOupgrade->Enabled(); }
    bool ParityCheckChecked() override { return Form1 && Form1->chkParityCheck->Checked(); }
    bool NorCheckChecked() override { return Form1 && Form1->chknor->Checked(); }
    bool FormatChecked() override { return Form1 && Form1->chkFormat->Checked(); }
    bool Fat32Checked() override { return Form1 && Form1->chkFAT32->Checked(); }
    std::string VolumeLabelText() override { return Form1 ? Form1->LabelEdit->Text() : std::string(); }
    int ProgramIndex() override { return Form1 ? Form1->iProgramIndex.load() : -1; }
    int PreferIndex() override { return Form1 ? Form1->iPreferIndex.load() : -1; }
    int IsoIndex() override { return Form1 ? Form1->iIsoIndex.load() : -1; }
    int TelbookIndex() override { return Form1 ? Form1->iTelbookIndex.load() : -1; }
    uint32_t SdkType() override { return Form1 ? Form1->iSdkType.load() : 0; }
    int FlashModuleNo() override { return Form1 ? Form1->iFlashModuleNo : 0; }
    int BadThreshold() override { return Form1 ? Form1->iBadThreshold : 0; }
    int ScanLevel() override { return Form1 ? Form1->iScanLevel : 0; }
    int Pattern() override { return Form1 ? Form1->Pattern : 0; }
    int PageSkip() override { return Form1 ? Form1->iPageSkip : 0; }
    int PageModeSel() override { return Form1 ? Form1->PageModeSel : 0; }
    int ReadTimes() override { return Form1 ? Form1->iReadTimes : 0; }
    bool FastBlankCheck() override { return Form1 && Form1->bFastBlankCheck; }
    std::string HideDiskLabel() override { return Form1 ? Form1->sHideDiskLabel : std::string(); }
    bool UseImgFile() override { return Form1 && Form1->bUseImgFile; }
    std::string ImageFile() override { return Form1 ? Form1->ImageFile : std::string(); }
    bool SaveSpiImage() override { return Form1 && Form1->SaveSpiImage; }
    bool NonFileSystem() override { return Form1 && Form1->bNonFileSystem; }

    char PanelDrive(int slot) override
    {
        if (!Form1 || slot < 0 || slot >= kDeviceSlots)
            return 0;
        return Form1->DeviceSlots[slot].drive.load();
    }
    uint64_t PanelDevice(int slot) override
    {
        if (!Form1 || slot < 0 || slot >= kDeviceSlots)
            return 0;
        return Form1->DeviceSlots[slot].serial.load();
    }
    void RunStarted() override
    {
        if (!Form1)
            return;
        std::lock_guard lock(Form1->CountersLock);
        Form1->iRunningThreads += 1;
        Form1->grpFileList->SetEnabled(false);
        Form1->grpMPSetting->SetEnabled(false);
    }
    void RunEnded() override
    {
        if (!Form1)
            return;
        std::lock_guard lock(Form1->CountersLock);
        if (--Form1->iRunningThreads <= 0) {
            Form1->iRunningThreads = 0;
            Form1->grpFileList->SetEnabled(true);
            Form1->grpMPSetting->SetEnabled(true);
        }
    }
    void CountResult(uint32_t result) override
    {
        if (!Form1)
            return;
        std::lock_guard lock(Form1->CountersLock);
        Form1->iTotalCount += 1;
        Form1->iSuccessCount += static_cast<int32_t>(result);
        Form1->iFailCount = Form1->iTotalCount - Form1->iSuccessCount;
        Form1->TotalStr->SetCaption(std::to_string(Form1->iTotalCount.load()));
        Form1->SuccessStr->SetCaption(std::to_string(Form1->iSuccessCount.load()));
        Form1->FailStr->SetCaption(std::to_string(Form1->iFailCount.load()));
    }
    void SetDiskSizeLabel(const std::string& caption) override
    {
        if (Form1)
            Form1->lblsiosize->SetCaption(caption);
    }
    void ProcessMessages() override
    {
        if (toolkit::Application)
            toolkit::Application->ProcessMessages();
    }
};

MainWindow g_main;

} // namespace

void InstallMainWindowLink()
{
    production::SetMainWindowLink(&g_main);
}

} // namespace ui
