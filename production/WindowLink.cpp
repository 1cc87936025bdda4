#include "production/WindowLink.h"

#include "text/ScanNames.h"
#include "toolkit/Dialogs.h"
#include "toolkit/TThread.h"

#include <atomic>

namespace production {

namespace {

// The settings a fresh station starts with, for an engine running without a main window;
// the same values the main window's link gives while no main window exists.
class FreshStation : public WindowLink {
public:
    int EccLevel() override { return 2; }
    bool PageScan() override { return false; }
    uint8_t DeviceFeature() override { return 0; }
    int HideDiskRatio() override { return 10; }
    int AllowErrorRate() override { return 2; }
    uint8_t DealCapError() override { return 0; }
    uint32_t MinValidSize() override { return 0; }
    bool FwUpgradeChecked() override { return true; }
    bool IsoUpgradeChecked() override { return false; }
    bool SystemAreaChecked() override { return false; }
    int SystemAreaIndex() override { return 0; }
    uint64_t FirmwareSize() override { return 0; }
    uint64_t PreferSize() override { return 0; }
    uint64_t TelbookSize() override { return 0; }
    uint64_t IsoSize() override { return 0; }
    std::vector<std::string> CopyList() override { return {}; }
    unsigned LanguageIndex() override { return 0; }
    void SetSystemAreaLabel(const std::string&) override {}
    void ShowWarning(const std::string& text, const std::string& caption) override
    {
        toolkit::TheDialogs().MessageBox(text, caption, toolkit::MB_OK | toolkit::MB_ICONWARNING);
    }
    std::string PageModeName(int mode, unsigned languageIndex) override
    {
        return ::PageModeName(mode, languageIndex);
    }
    void ProcessMessages() override
    {
        if (toolkit::Application)
            toolkit::Application->ProcessMessages();
    }
};

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
