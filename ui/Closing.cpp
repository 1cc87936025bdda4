// Closing the window while devices are in production: the operator is asked first, and
// on yes the window takes no new device and closes once the running ones have ended. A
// terminate signal cannot wait: each running device gets its "interrupted" line.
#include "device/HostUtil.h"
#include "text/MessageCatalogue.h"
#include "toolkit/Dialogs.h"
#include "toolkit/TThread.h"
#include "ui/main.h"

#include <cstdio>

using namespace toolkit;

namespace {

// The question in the station's language (English, Traditional, Simplified Chinese).
const char* const kCloseWhileRunning[kLanguageCount] = {
    "Devices are in production. Take no new device and close the window when they have finished?",
    "裝置正在量產中。不再接受新裝置，並在它們完成後關閉視窗？",
    "设备正在量产中。不再接受新设备，并在它们完成后关闭窗口？",
};

} // namespace

bool TForm1::DevicesRunning() const
{
    for (const auto& slot : DeviceSlots)
        if (slot.running)
            return true;
    return false;
}

bool TForm1::AskToCloseWhileRunning()
{
    if (ClosingAfterRuns)
        return true;
    const unsigned language = LanguageIndex < kLanguageCount ? LanguageIndex.load() : kLanguageEnglish;
    const int answer =
        TheDialogs().MessageBox(kCloseWhileRunning[language], Application->Title(), MB_YESNO | MB_ICONQUESTION);
    if (answer != IDYES)
        return false;
    ClosingAfterRuns = true;
    AppendLog("closing: no new device");
    return true;
}

void TForm1::LogInterrupted()
{
    for (const auto& slot : DeviceSlots)
        if (slot.running && slot.drive) {
            const std::string line = std::string(1, slot.drive.load()) + " interrupted";
            AppendLog(line);
            std::fprintf(stderr, "mptool: %s\n", line.c_str());
        }
}

void TForm1::runEnded(int slot)
{
    DeviceSlots[slot].running = false;
    if (!DevicesRunning() && OnRunsEnded)
        OnRunsEnded();
}
