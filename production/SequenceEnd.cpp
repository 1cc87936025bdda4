// The end of every run (result text, caption, image, log line, counters, the panel of a
// removed device) and the small pieces the stages share.
#include "production/Sequence.h"

#include "device/HostUtil.h"
#include "platform/Clock.h"
#include "platform/ProgramDir.h"
#include "platform/SgIoTransport.h"
#include "production/BlockTables.h"
#include "production/WindowLink.h"
#include "production/ppthread.h"
#include "text/LangStrings.h"
#include "text/MessageCatalogue.h"

#include <cstdio>
#include <filesystem>

namespace production {

std::string Row(const ProductThread& thread, MessageRow row)
{
    return MessageCatalogue(row, thread.iLanguageIndex);
}

void StageCaption(ProductThread& thread, const std::string& caption)
{
    if (!thread.pStatusText)
        return;
    auto lock = thread.pStatusText->Lock();
    thread.SetStatusColor(toolkit::clBtnText);
    thread.SetStatus(caption);
}

bool FailKeepCaption(ProductThread& thread, SequenceState& run, bool early)
{
    // The device's own answer to the command that failed, while it is the latest one.
    if (run.reason.empty())
        run.reason = platform::TakeTransportFailure();
    thread.SetStatusColor(toolkit::clRed);
    thread.iResult = 0;
    if (early)
        run.earlyFailure = true;
    return false;
}

bool Fail(ProductThread& thread, SequenceState& run, const std::string& caption, bool early)
{
    if (thread.pStatusText) {
        auto lock = thread.pStatusText->Lock();
        thread.SetStatus(caption);
        thread.SetStatusColor(toolkit::clRed);
    }
    return FailKeepCaption(thread, run, early);
}

std::string FileNamePart(const std::string& path)
{
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool ReopenDevice(ProductThread& thread, SequenceState& run, bool early)
{
    platform::CloseDrive(thread.hDevice);
    thread.hDevice = platform::OpenDrive(thread.sDrive.empty() ? 0 : thread.sDrive[0]);
    if (thread.hDevice == INVALID_HANDLE_VALUE)
        return Fail(thread, run, "FileHandle " + FailMsg.get(), early);
    return true;
}

std::string FlashIdText(const ProductThread& thread)
{
    char text[24];
    std::snprintf(text, sizeof text, "ID:%02X%08X", thread.bFlashMaker, thread.iFlashId);
    return text;
}

std::string ResultText(const ProductThread& thread, bool scanned, int32_t mb, int64_t seconds)
{
    const std::string sec = Row(thread, kRowSec);
    char text[128];
    if (scanned)
        std::snprintf(text, sizeof text, "%u/%u, %dMB, %lld%s", thread.iBadBlocks,
                      thread.iChipCount * thread.iUsableBlocksPerChip, mb,
                      static_cast<long long>(seconds), sec.c_str());
    else
        std::snprintf(text, sizeof text, "%dMB, %lld%s", mb, static_cast<long long>(seconds), sec.c_str());
    return text;
}

namespace {

// The panel still holds this run's device: its letter, and not another device given it since.
bool PanelIsOurs(const ProductThread& thread)
{
    const char drive = thread.sDrive.empty() ? 0 : thread.sDrive[0];
    const int slot = static_cast<int>(thread.iSlot);
    const char panel = Window().PanelDrive(slot);
    if (panel == 0 || panel != drive)
        return false;
    const uint64_t device = Window().PanelDevice(slot);
    return thread.iDeviceSerial == 0 || device == 0 || device == thread.iDeviceSerial;
}

// The result picture, shown only while the panel still holds this device: a panel that
// was freed, or given to the next device meanwhile, is not this run's to paint.
void ShowResultImage(ProductThread& thread, const char* relative)
{
    if (!thread.pResultImage || !PanelIsOurs(thread))
        return;
    const std::string path = platform::ProgramPath(relative);
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error))
        return;
    thread.pResultImage->SetVisible(true);
    thread.pResultImage->LoadFromFile(path);
}

} // namespace

void SuccessPath(ProductThread& thread, SequenceState& run)
{
    WindowLink& window = Window();
    // Let the device settle after the copy before it is reported done.
    if (!window.CopyList().empty())
        platform::Sleep(10000);
    platform::Sleep(100);
    if (thread.iResult != 1) {
        FailurePath(thread, run);
        return;
    }
    if (thread.pGauge)
        thread.SetStep(static_cast<uint32_t>(thread.pGauge->MaxValue()));
    // The duration comes from the monotonic clock, so a run across midnight counts right.
    const int64_t seconds =
        static_cast<int64_t>((platform::CurrentClock().nowMs() - run.startMs) / 1000);
    const bool scanned = window.BlankCheckChecked() || window.ClearFlashChecked();
    if (thread.pTextF)
        thread.pTextF->SetCaption(ResultText(thread, scanned, run.mb, seconds));

    std::string caption = SuccessMsg.get();
    if (thread.bDegraded)
        caption += "(" + Row(thread, kRowDegrade) + ")";
    if (thread.pStatusText) {
        auto lock = thread.pStatusText->Lock();
        thread.SetStatus(caption);
        thread.SetStatusColor(toolkit::clBlue);
    }
    ShowResultImage(thread, "misc/success.bmp");
    AppendLog(thread.sDrive + " success!");
}

void FailurePath(ProductThread& thread, SequenceState& run)
{
    if (run.reason.empty())
        run.reason = platform::TakeTransportFailure();
    thread.iResult = 0;
    platform::CloseDrive(thread.hDevice);
    thread.hDevice = platform::OpenDrive(thread.sDrive.empty() ? 0 : thread.sDrive[0]);
    // The failure already shows red; the table's last check only adds its own caption.
    if (!run.earlyFailure)
        (void)FinishBadBlockTable(thread, Window().FwUpgradeChecked() ? 1 : 0);
    platform::CloseDrive(thread.hDevice);
    thread.hDevice = INVALID_HANDLE_VALUE;

    ShowResultImage(thread, "misc/fail.bmp");
    // The device went away or the panel belongs to another device by now: the panel
    // waits for the next one instead of showing this device's failure.
    if (!PanelIsOurs(thread) && thread.pStatusText) {
        auto lock = thread.pStatusText->Lock();
        if (thread.StatusColor() == toolkit::clRed) {
            thread.SetStatus(WaitDeviceMsg.get());
            thread.SetStatusColor(toolkit::clBtnText);
        }
    }
    AppendLog(thread.sDrive + " fail!" + (run.reason.empty() ? "" : " (" + run.reason + ")"));
}

void CommonEnd(ProductThread& thread, SequenceState& run)
{
    WindowLink& window = Window();
    platform::CloseDrive(thread.hDevice);
    thread.hDevice = INVALID_HANDLE_VALUE;
    // Only a run that raised the count lowers it again.
    if (run.counted) {
        window.RunEnded();
        run.counted = false;
    }
    thread.UpdateTotals();
    thread.FreeBlockTable();

    if (window.PanelDrive(static_cast<int>(thread.iSlot)) == 0) {
        thread.SetStatusColor(toolkit::clBtnText);
        if (thread.pGauge)
            thread.pGauge->SetVisible(false);
        thread.SetStep(0);
        if (thread.pResultImage)
            thread.pResultImage->SetVisible(false);
        if (thread.pTextP)
            thread.pTextP->SetCaption("");
        if (thread.pTextF)
            thread.pTextF->SetCaption("");
        thread.SetStatus(WaitDeviceMsg.get());
    }
}

} // namespace production
