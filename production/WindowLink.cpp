// The engine's link to the main window, and the fresh-station answers when none is set.
#include "production/WindowLink.h"

#include "text/ScanNames.h"
#include "toolkit/Dialogs.h"
#include "toolkit/TThread.h"

#include <atomic>

namespace production {

int FreshStation::EccLevel() { return 2; }
bool FreshStation::PageScan() { return false; }
uint8_t FreshStation::DeviceFeature() { return 0; }
int FreshStation::HideDiskRatio() { return 10; }
int FreshStation::AllowErrorRate() { return 2; }
uint8_t FreshStation::DealCapError() { return 0; }
uint32_t FreshStation::MinValidSize() { return 0; }
bool FreshStation::FwUpgradeChecked() { return true; }
bool FreshStation::IsoUpgradeChecked() { return false; }
bool FreshStation::SystemAreaChecked() { return false; }
int FreshStation::SystemAreaIndex() { return 0; }
uint64_t FreshStation::FirmwareSize() { return 0; }
uint64_t FreshStation::PreferSize() { return 0; }
uint64_t FreshStation::TelbookSize() { return 0; }
uint64_t FreshStation::IsoSize() { return 0; }
std::vector<std::string> FreshStation::CopyList() { return {}; }
unsigned FreshStation::LanguageIndex() { return 0; }
void FreshStation::SetSystemAreaLabel(const std::string&) {}

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
