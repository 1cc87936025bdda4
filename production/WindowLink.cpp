#include "production/WindowLink.h"

#include "toolkit/Dialogs.h"

#include <atomic>

namespace production {

namespace {

const char* const kPageModeNames[8] = {
    "Specific mode 1", "Specific mode 2", "Even Pages", "Odd pages",
    "First Half",      "Second Half",     "All Pages",  "Auto Detection",
};

// A window with the settings a fresh station starts with.
class DefaultWindow : public WindowLink {
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
    void SetProgramIndex(int) override {}
    unsigned LanguageIndex() override { return 0; }
    void SetSystemAreaLabel(const std::string&) override {}
    void ShowWarning(const std::string& text, const std::string& caption) override
    {
        toolkit::TheDialogs().MessageBox(text, caption, toolkit::MB_OK | toolkit::MB_ICONWARNING);
    }
    std::string PageModeName(int mode, unsigned) override { return DefaultPageModeName(mode); }
};

DefaultWindow g_default;
std::atomic<WindowLink*> g_link{nullptr};

} // namespace

WindowLink& Window()
{
    WindowLink* link = g_link.load();
    return link ? *link : g_default;
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
