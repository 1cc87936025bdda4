// The main window's link for the production engine.
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
    int EccLevel() override { return Form1 ? Form1->iEccLevel : fresh_.EccLevel(); }
    bool PageScan() override { return Form1 ? Form1->PageMode : fresh_.PageScan(); }
    uint8_t DeviceFeature() override { return Form1 ? Form1->eDeviceFeature : fresh_.DeviceFeature(); }
    int HideDiskRatio() override { return Form1 ? Form1->iHideDiskRatio : fresh_.HideDiskRatio(); }
    int AllowErrorRate() override { return Form1 ? Form1->AllowErrorRate : fresh_.AllowErrorRate(); }
    uint8_t DealCapError() override { return Form1 ? Form1->DealCapError : fresh_.DealCapError(); }
    uint32_t MinValidSize() override { return Form1 ? Form1->iMinValidSize.load() : fresh_.MinValidSize(); }
    bool FwUpgradeChecked() override { return Form1 ? Form1->chkFwUpgrade->Checked() : fresh_.FwUpgradeChecked(); }
    bool IsoUpgradeChecked() override { return Form1 ? Form1->chkISOupgrade->Checked() : fresh_.IsoUpgradeChecked(); }
    bool SystemAreaChecked() override { return Form1 ? Form1->SystemAreachk->Checked() : fresh_.SystemAreaChecked(); }
    int SystemAreaIndex() override { return Form1 ? Form1->SystemAreaComBo->ItemIndex() : fresh_.SystemAreaIndex(); }
    uint64_t FirmwareSize() override { return Form1 ? Form1->iFirmwareSize.load() : fresh_.FirmwareSize(); }
    uint64_t PreferSize() override { return Form1 ? Form1->iPreferSize.load() : fresh_.PreferSize(); }
    uint64_t TelbookSize() override { return Form1 ? Form1->iTelbookSize.load() : fresh_.TelbookSize(); }
    uint64_t IsoSize() override { return Form1 ? Form1->iIsoSize.load() : fresh_.IsoSize(); }
    std::vector<std::string> CopyList() override
    {
        return Form1 ? Form1->TntSelectFileList2->Items()->ToVector() : fresh_.CopyList();
    }
    std::vector<std::string> HideFileList() override
    {
        return Form1 ? Form1->HideFileList.ToVector() : std::vector<std::string>{};
    }
    std::vector<std::string> SpiFileList() override
    {
        return Form1 ? Form1->SpiFileList.ToVector() : std::vector<std::string>{};
    }
    unsigned LanguageIndex() override { return Form1 ? Form1->LanguageIndex.load() : fresh_.LanguageIndex(); }
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

    bool BlankCheckChecked() override { return Form1 ? Form1->chkBlankCheck->Checked() : fresh_.BlankCheckChecked(); }
    bool ClearFlashChecked() override { return Form1 ? Form1->chkClearFlash->Checked() : fresh_.ClearFlashChecked(); }
    bool IsoUpgradeEnabled() override { return Form1 ? Form1->chkISOupgrade->Enabled() : fresh_.IsoUpgradeEnabled(); }
    bool ParityCheckChecked() override { return Form1 ? Form1->chkParityCheck->Checked() : fresh_.ParityCheckChecked(); }
    bool NorCheckChecked() override { return Form1 ? Form1->chknor->Checked() : fresh_.NorCheckChecked(); }
    bool FormatChecked() override { return Form1 ? Form1->chkFormat->Checked() : fresh_.FormatChecked(); }
    bool Fat32Checked() override { return Form1 ? Form1->chkFAT32->Checked() : fresh_.Fat32Checked(); }
    std::string VolumeLabelText() override { return Form1 ? Form1->LabelEdit->Text() : fresh_.VolumeLabelText(); }
    int ProgramIndex() override { return Form1 ? Form1->iProgramIndex.load() : fresh_.ProgramIndex(); }
    int PreferIndex() override { return Form1 ? Form1->iPreferIndex.load() : fresh_.PreferIndex(); }
    int IsoIndex() override { return Form1 ? Form1->iIsoIndex.load() : fresh_.IsoIndex(); }
    int TelbookIndex() override { return Form1 ? Form1->iTelbookIndex.load() : fresh_.TelbookIndex(); }
    uint32_t SdkType() override { return Form1 ? Form1->iSdkType.load() : fresh_.SdkType(); }
    int FlashModuleNo() override { return Form1 ? Form1->iFlashModuleNo : fresh_.FlashModuleNo(); }
    int BadThreshold() override { return Form1 ? Form1->iBadThreshold : fresh_.BadThreshold(); }
    int ScanLevel() override { return Form1 ? Form1->iScanLevel : fresh_.ScanLevel(); }
    int Pattern() override { return Form1 ? Form1->Pattern : fresh_.Pattern(); }
    int PageSkip() override { return Form1 ? Form1->iPageSkip : fresh_.PageSkip(); }
    int PageModeSel() override { return Form1 ? Form1->PageModeSel : fresh_.PageModeSel(); }
    int ReadTimes() override { return Form1 ? Form1->iReadTimes : fresh_.ReadTimes(); }
    bool FastBlankCheck() override { return Form1 ? Form1->bFastBlankCheck : fresh_.FastBlankCheck(); }
    std::string HideDiskLabel() override { return Form1 ? Form1->sHideDiskLabel : fresh_.HideDiskLabel(); }
    bool UseImgFile() override { return Form1 ? Form1->bUseImgFile : fresh_.UseImgFile(); }
    std::string ImageFile() override { return Form1 ? Form1->ImageFile : fresh_.ImageFile(); }
    bool SaveSpiImage() override { return Form1 ? Form1->SaveSpiImage : fresh_.SaveSpiImage(); }
    bool NonFileSystem() override { return Form1 ? Form1->bNonFileSystem : fresh_.NonFileSystem(); }

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

private:
    production::FreshStation fresh_;
};

MainWindow g_main;

} // namespace

void InstallMainWindowLink()
{
    production::SetMainWindowLink(&g_main);
}

} // namespace ui
