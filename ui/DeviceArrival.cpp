// Device arrival and removal: the handler of the volume notifications. Every decision
// leaves a line in the event log.
#include "ui/DeviceArrival.h"
#include "ui/main.h"

#include "device/Commands.h"
#include "device/HostUtil.h"
#include "device/Stream.h"
#include "platform/ByteOrder.h"
#include "platform/Clock.h"
#include "platform/DeviceAccess.h"
#include "platform/DriveMap.h"
#include "production/ppthread.h"
#include "text/LangStrings.h"
#include "toolkit/Dialogs.h"

#include <cstdio>

using namespace toolkit;

namespace {

std::string Letter(char x) { return std::string(1, x); }

} // namespace

namespace ui {

std::string PortIdentity(int hundreds, int tens, int units)
{
    return " Port:" + std::to_string(hundreds) + "-" + std::to_string(tens) + "-" + std::to_string(units);
}

std::string FormatFlashId(const uint8_t id[8])
{
    // The buffer holds the bytes reversed: read it as a little-endian number, high word
    // (the maker byte) first.
    uint32_t low = platform::GetLe32(id);
    uint32_t high = platform::GetLe32(id + 4);
    char buf[32];
    std::snprintf(buf, sizeof buf, "ID:%02X%08X", high, low);
    return buf;
}

} // namespace ui

void TForm1::OnDeviceChange(const TMessage& message)
{
    bool arrival = message.WParam == DBT_DEVICEARRIVAL;
    bool removal = message.WParam == DBT_DEVICEREMOVECOMPLETE;
    if ((!arrival && !removal) || message.DeviceType != DBT_DEVTYP_VOLUME)
        return;
    for (int i = 0; i < 26; ++i) {
        if (!(message.UnitMask & (1u << i)))
            continue;
        char x = static_cast<char>('A' + i);
        if (arrival)
            arrive(x);
        else
            remove(x);
    }
}

void TForm1::startThread(char drive, int slot)
{
    if (StartThread) {
        StartThread(drive, slot);
        return;
    }
    DeviceSlot& s = DeviceSlots[slot];
    std::string label = LabelEdit->Text();
    auto* thread = new ProductThread(drive, slot, s.status, s.gauge, s.image, label.c_str(), s.textF, s.textP);
    thread->iDeviceSerial = s.serial;
    s.running = true;
    thread->OnTerminate = [this, slot](toolkit::TThread*) { runEnded(slot); };
    thread->Resume();
}

bool TForm1::removalIsCurrent(char letter) const
{
    // The bus unbinds a letter before it tells of the removal; a panel whose device is
    // still bound to the letter heard a removal meant for the device before it.
    const uint64_t bound = platform::DriveMap::global().serialOf(letter);
    for (const auto& slot : DeviceSlots)
        if (slot.drive == letter)
            return bound == 0 || slot.serial == 0 || slot.serial != bound;
    return true;
}

// In order: the arrival is logged and checked (closing, gone, already served, running the
// loader, not answering), a panel is chosen and the loader uploaded; in fixed-port mode
// the panel then follows the USB port; the run starts, or waits for the manual start.
void TForm1::arrive(char x)
{
    const std::string X = Letter(x);
    AppendLog(X + ":" + "<--");
    if (ClosingAfterRuns) {
        AppendLog(X + ": closing, not taken");
        return;
    }
    // Events queue up while the window is busy: by the time this one is handled its
    // device may be gone, or another one may hold the letter. What the letter holds now
    // is the device this arrival stands for, and every command below reaches only it.
    const uint64_t serial = platform::DriveMap::global().serialOf(x);
    if (serial == 0) {
        AppendLog(X + ": gone");
        return;
    }
    const platform::DrivePin pin(x, serial);
    if (!takeArrival(x, serial))
        return;

    int p = FirstFreeSlot();
    AppendLog(X + ":" + std::to_string(p));
    if (p == kDeviceSlots) {
        TheDialogs().MessageBox(ExceedLimitMsg.get(), StatusMsg.get(), MB_OK);
        iFailedArrivals += 1;
        return;
    }
    // In fixed-port mode the panel is claimed once the port is known.
    const bool fixedPort = chkUsbPort->Checked();
    if (!fixedPort) {
        DeviceSlots[p].serial = serial;
        DeviceSlots[p].drive = x;
        DeviceSlots[p].gauge->SetVisible(true);
        auto lock = DeviceSlots[p].status->Lock();
        DeviceSlots[p].status->Font()->SetColor(clWindowText);
        DeviceSlots[p].status->SetCaption(FSMWrite.get());
    }
    platform::Sleep(100);

    const bool started = UploadFirmware(x, iFsmSize, sFsmPath);
    if (!started) {
        loaderRefused(x, serial, p);
    } else if (fixedPort) {
        p = portPanel(x, p);
        claimPortPanel(x, serial, p);
    }
    if (started) {
        if (!CheckManuupgrade->Checked())
            startThread(x, p);
        else
            DeviceSlots[p].status->SetCaption(DevicePluginStr.get());
    }
    // The manual-start mode cannot change while a device is in.
    CheckManuupgrade->SetEnabled(false);
    iDeviceCount += 1;
}

bool TForm1::takeArrival(char x, uint64_t serial)
{
    const std::string X = Letter(x);
    for (const auto& slot : DeviceSlots)
        if (slot.drive == x && slot.serial != 0 && slot.serial != serial) {
            // The panel's device left without its removal reaching us yet.
            remove(x);
            break;
        }
    // Before the reset below: a device that has its run already (it may run the loader
    // now) is never reset, nor started a second time.
    if (IsDriveInSlot(x)) {
        AppendLog(X + ": exists continue");
        return false;
    }
    // A device that already runs the loader is reset; it comes back as a new arrival.
    if (cmd_bIsChipModeByDrive(x) == 1) {
        AppendLog(X + ":" + "-> reset");
        platform::Sleep(200);
        cmd_bResetByDrive(x);
        return false;
    }
    if (cmd_bInquiry(x) == 0) {
        AppendLog(X + ":" + "cmd_bInquiry fail continue");
        iFailedArrivals += 1;
        // Counted as a device so that its removal frees the panel again.
        if (showRefusedAccess(x, serial, FirstFreeSlot()))
            iDeviceCount += 1;
        return false;
    }
    return true;
}

void TForm1::loaderRefused(char x, uint64_t serial, int p)
{
    const std::string problem = LoaderFileProblem(sFsmPath);
    if (!problem.empty()) {
        const std::string line = "loader " + sFsmPath + " " + problem;
        AppendLog(Letter(x) + ": " + line);
        std::fprintf(stderr, "mptool: %s\n", line.c_str());
    }
    {
        auto lock = DeviceSlots[p].status->Lock();
        DeviceSlots[p].status->SetCaption(FSMLoadStr + FailMsg);
        DeviceSlots[p].status->Font()->SetColor(clRed);
    }
    // In fixed-port mode no panel holds the device, so only this count tells of it.
    iFailedArrivals += 1;
    (void)showRefusedAccess(x, serial, p);
}

int TForm1::portPanel(char x, int p)
{
    const std::string X = Letter(x);
    HANDLE h = platform::OpenDrive(x);
    uint8_t hundreds = 0, tens = 0, units = 0;
    int r = GetSerialDigits(h, &hundreds, &tens, &units);
    if (r < 0) {
        AppendLog(X + ":Get port fail <1>!!");
        platform::CloseDrive(h);
        return p;
    }
    sArrivingPortId = ui::PortIdentity(hundreds, tens, units);
    platform::CloseDrive(h);

    // Panel 0 follows whichever port arrives while it is free; the others keep the port
    // they first served.
    if (PortSlotTaken[0] != 1)
        PortSlotId[0] = sArrivingPortId;
    int k = 0;
    while (k < kDeviceSlots && PortSlotId[k] != sArrivingPortId)
        ++k;
    if (k == kDeviceSlots) {
        k = 1;
        while (k < kDeviceSlots && PortSlotTaken[k] == 1)
            ++k;
        if (k < kDeviceSlots)
            PortSlotId[k] = sArrivingPortId;
    }
    if (k < kDeviceSlots && DeviceSlots[k].drive != 0 && DeviceSlots[k].drive != x) {
        // The port's panel still holds another device (two devices reporting
        // the same port): one panel never serves two threads, so this one
        // takes the first free panel without a binding.
        AppendLog(X + ":" + "port panel busy" + sArrivingPortId);
    } else if (k < kDeviceSlots) {
        p = k;
        PortSlotDrive[p] = x;
        PortSlotTaken[p] = 1;
    } else {
        TheDialogs().MessageBox("Over 8 device!", Application->Title(), MB_OK);
    }
    return p;
}

void TForm1::claimPortPanel(char x, uint64_t serial, int p)
{
    {
        auto lock = DeviceSlots[p].status->Lock();
        DeviceSlots[p].status->Font()->SetColor(clWindowText);
        DeviceSlots[p].status->SetCaption(FSMWrite.get());
    }
    DeviceSlots[p].serial = serial;
    DeviceSlots[p].drive = x;
    DeviceSlots[p].gauge->SetVisible(true);
    DeviceSlots[p].status->SetCaption(FSMWrite + SuccessMsg);
    // The panel shows the flash ID at once.
    uint8_t id[8] = {};
    if (cmd_bReadFlashIdByDrive(x, id))
        DeviceSlots[p].textF->SetCaption(ui::FormatFlashId(id));
}

bool TForm1::showRefusedAccess(char x, uint64_t serial, int p)
{
    // A device the program may not drive is an operator's set-up fault: its panel says so,
    // red, beside the full text in the event log, and holds it until it is pulled.
    const auto binding = platform::DriveMap::global().find(x);
    const std::string reason = binding ? platform::AccessRefusalReason(binding->name) : std::string();
    if (reason.empty() || p >= kDeviceSlots || (DeviceSlots[p].drive != 0 && DeviceSlots[p].drive != x))
        return false;
    DeviceSlots[p].serial = serial;
    DeviceSlots[p].drive = x;
    {
        auto lock = DeviceSlots[p].status->Lock();
        DeviceSlots[p].status->SetCaption(reason);
        DeviceSlots[p].status->Font()->SetColor(clRed);
    }
    CheckManuupgrade->SetEnabled(false);
    return true;
}

void TForm1::setPanelIdle(int p)
{
    DeviceSlot& s = DeviceSlots[p];
    {
        auto lock = s.status->Lock();
        s.status->Font()->SetColor(clWindowText);
    }
    s.gauge->SetVisible(false);
    s.gauge->SetProgress(0);
    s.image->SetVisible(false);
    s.textP->SetCaption("");
    s.textF->SetCaption("");
    s.status->SetCaption(WaitDeviceMsg.get());
}

void TForm1::remove(char x)
{
    const std::string X = Letter(x);
    AppendLog(X + ": -->");
    int p = SlotOfDrive(x);
    if (p < kDeviceSlots && !removalIsCurrent(x)) {
        AppendLog(X + ": still here");
        return;
    }
    // The port stays bound to its panel.
    if (chkUsbPort->Checked())
        for (int k = 0; k < kDeviceSlots; ++k)
            if (PortSlotDrive[k] == x) {
                PortSlotDrive[k] = 0;
                p = k;
            }
    if (!IsDriveInSlot(x))
        return;
    // The panel waits again; with every panel waiting the manual-start mode may change.
    if (p < kDeviceSlots) {
        setPanelIdle(p);
        bool allWaiting = true;
        const std::string waiting = WaitDeviceMsg.get();
        for (const auto& slot : DeviceSlots)
            if (slot.status->Caption() != waiting)
                allWaiting = false;
        if (allWaiting)
            CheckManuupgrade->SetEnabled(true);
    }
    // With the last device gone, the results of the earlier ones are cleared.
    ReleaseDriveSlot(x);
    if (--iDeviceCount == 0) {
        for (auto& slot : DeviceSlots) {
            slot.image->SetVisible(false);
            slot.textF->SetCaption("");
        }
    }
}

void TForm1::CheckManuupgradeClick(TControl*)
{
    Upgradebtn->SetEnabled(CheckManuupgrade->Checked());
}

void TForm1::UpgradebtnClick(TControl*)
{
    if (ClosingAfterRuns)
        return; // the window closes once the runs in production have ended
    const std::string plugged = DevicePluginStr.get();
    for (int i = 0; i < kDeviceSlots; ++i) {
        char drive = DeviceSlots[i].drive;
        if (drive != 0 && DeviceSlots[i].status->Caption() == plugged)
            startThread(drive, i);
    }
}
