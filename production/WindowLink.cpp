// The engine's window: the one installed, else a fresh station's settings.
#include "production/WindowLink.h"

#include "production/StoredSettings.h"
#include "text/ScanNames.h"
#include "toolkit/Dialogs.h"
#include "toolkit/TThread.h"

#include <atomic>

namespace production {

int FreshStation::EccLevel() { return FreshSettings().iEccLevel; }
bool FreshStation::PageScan() { return FreshSettings().PageMode; }
uint8_t FreshStation::DeviceFeature() { return FreshSettings().eDeviceFeature; }
int FreshStation::HideDiskRatio() { return FreshSettings().iHideDiskRatio; }
int FreshStation::AllowErrorRate() { return FreshSettings().AllowErrorRate; }
uint8_t FreshStation::DealCapError() { return FreshSettings().DealCapError; }
uint32_t FreshStation::MinValidSize() { return 0; }
bool FreshStation::FwUpgradeChecked() { return FreshSettings().chkFwUpgrade; }
bool FreshStation::IsoUpgradeChecked() { return FreshSettings().chkISOupgrade; }
bool FreshStation::SystemAreaChecked() { return FreshSettings().SystemAreachk; }
int FreshStation::SystemAreaIndex() { return FreshSettings().SystemAreaComBo; }
uint64_t FreshStation::FirmwareSize() { return 0; }
uint64_t FreshStation::PreferSize() { return 0; }
uint64_t FreshStation::TelbookSize() { return 0; }
uint64_t FreshStation::IsoSize() { return 0; }
std::vector<std::string> FreshStation::CopyList() { return {}; }
unsigned FreshStation::LanguageIndex() { return 0; }
void FreshStation::SetSystemAreaLabel(const std::string&) {}

bool FreshStation::BlankCheckChecked() { return FreshSettings().chkBlankCheck; }
bool FreshStation::ClearFlashChecked() { return FreshSettings().chkClearFlash; }
bool FreshStation::IsoUpgradeEnabled() { return true; }
bool FreshStation::ParityCheckChecked() { return FreshSettings().chkParityCheck; }
bool FreshStation::NorCheckChecked() { return FreshSettings().chknor; }
bool FreshStation::FormatChecked() { return FreshSettings().chkFormat; }
bool FreshStation::Fat32Checked() { return false; }
std::string FreshStation::VolumeLabelText() { return FreshSettings().LabelEdit; }
int FreshStation::ProgramIndex() { return -1; }
int FreshStation::PreferIndex() { return -1; }
int FreshStation::IsoIndex() { return -1; }
int FreshStation::TelbookIndex() { return -1; }
uint32_t FreshStation::SdkType() { return 0; }
int FreshStation::FlashModuleNo() { return 0; }
int FreshStation::BadThreshold() { return FreshSettings().iBadThreshold; }
int FreshStation::ScanLevel() { return FreshSettings().iScanLevel; }
int FreshStation::Pattern() { return FreshSettings().Pattern; }
int FreshStation::PageSkip() { return FreshSettings().iPageSkip; }
int FreshStation::PageModeSel() { return FreshSettings().PageModeSel; }
int FreshStation::ReadTimes() { return FreshSettings().iReadTimes; }
bool FreshStation::FastBlankCheck() { return false; }
std::string FreshStation::HideDiskLabel() { return FreshSettings().sHideDiskLabel; }
bool FreshStation::UseImgFile() { return FreshSettings().bUseImgFile; }
std::string FreshStation::ImageFile() { return FreshSettings().ImageFile; }
bool FreshStation::SaveSpiImage() { return FreshSettings().SaveSpiImage; }
bool FreshStation::NonFileSystem() { return false; }

void FreshStation::ShowWarning(const std::string& text, const std::string& caption)
{
    toolkit::TheDialogs().MessageBox(text, caption, toolkit::MB_OK | toolkit::MB_ICONWARNING);
}

std::string FreshStation::PageModeName(int mode, unsigned languageIndex)
{
    return ::PageModeName(mode, languageIndex);
}

void FreshStation::ProcessMessages()
{
    if (toolkit::Application)
        toolkit::Application->ProcessMessages();
}

namespace {

FreshStation g_fresh;
std::atomic<WindowLink*> g_main{nullptr};
std::atomic<WindowLink*> g_link{nullptr};

} // namespace

WindowLink& Window()
{
    if (WindowLink* link = g_link.load())
        return *link;
    WindowLink* main = g_main.load();
    return main ? *main : g_fresh;
}

void SetWindowLink(WindowLink* link)
{
    g_link.store(link);
}

void SetMainWindowLink(WindowLink* link)
{
    g_main.store(link);
}

std::string DefaultPageModeName(int mode)
{
    return ::PageModeName(mode, 0);
}

} // namespace production
