// The first half of a run: the device, the copy list's data files, the panel, the flash
// and its description, the block table, the CFG block and the loader initialisation.
#include "production/Sequence.h"

#include "device/Commands.h"
#include "device/HostUtil.h"
#include "device/Stream.h"
#include "platform/ByteOrder.h"
#include "platform/Clock.h"
#include "platform/ProgramDir.h"
#include "production/Blanking.h"
#include "production/BlockTables.h"
#include "production/DrivePrep.h"
#include "production/Firmware.h"
#include "production/FlashRecord.h"
#include "production/WindowLink.h"
#include "production/ppthread.h"
#include "text/LangStrings.h"
#include "text/MessageCatalogue.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace production {

namespace {

constexpr uint8_t kSpiMaker = 0xFF;
constexpr uint32_t kSpiFlashId = 0x00FF00FF;
constexpr uint32_t kDeviceInfoBytes = 512;

// The device opened and the copy list's data files found before the panel changes, so a
// station missing a file fails the run without touching the device's panel.
bool Prepare(ProductThread& t, SequenceState& run)
{
    WindowLink& window = Window();
    if (t.pResultImage)
        t.pResultImage->SetVisible(false);
    t.sPassFile = ".\\misc\\PASS.IMG";
    t.bLogBiTable = RegReadInt("LogBiTable", 0) != 0 ? 1 : 0;

    t.hDevice = platform::OpenDrive(t.sDrive.empty() ? 0 : t.sDrive[0]);
    if (t.hDevice == INVALID_HANDLE_VALUE)
        return Fail(t, run, "FileHandle " + FailMsg.get(), true);

    run.B = window.BlankCheckChecked() ? kBlankCheckSteps : 0;

    if (window.FwUpgradeChecked()) {
        const std::vector<std::string> list = window.CopyList();
        const auto inList = [&list](int index) {
            return index >= 0 && static_cast<size_t>(index) < list.size();
        };
        const int prefer = window.PreferIndex();
        if (!inList(prefer))
            return Fail(t, run, Row(t, kRowCannotFind) + "prefer.dat", true);
        if (window.IsoUpgradeChecked()) {
            const int iso = window.IsoIndex();
            if (!inList(iso))
                return Fail(t, run, Row(t, kRowCannotFind) + "Image.ISO", true);
            t.sIsoFile = list[static_cast<size_t>(iso)];
        }
        t.wsPreferFile = list[static_cast<size_t>(prefer)];
        // A phone book in the first position is not used; one past the list is none.
        const int telbook = window.TelbookIndex();
        if (telbook > 0 && inList(telbook))
            t.wsTelbookFile = list[static_cast<size_t>(telbook)];
    }
    return true;
}

// The panel shows the run: gauge, port text, and the window counts it as running.
void PreparePanel(ProductThread& t, SequenceState& run)
{
    t.SetStep(0);
    if (t.pGauge)
        t.pGauge->SetMaxValue(static_cast<int>(run.B + 100));
    run.startMs = platform::CurrentClock().nowMs();
    std::memset(t.CfgImage, 0, sizeof t.CfgImage);
    std::memset(t.GoodBlockBitmap, 0, sizeof t.GoodBlockBitmap);
    if (t.pTextP) {
        t.pTextP->SetVisible(true);
        t.pTextP->SetCaption("");
    }
    GetPortText(t, t.sDrive, t.pTextP);
    Window().RunStarted();
    run.counted = true;
    if (t.pGauge)
        t.pGauge->SetVisible(true);
    t.SetStep(2);
    if (t.pResultImage)
        t.pResultImage->SetVisible(false);
    StageCaption(t, FILEWriteStr + "...");
}

// The flash identified and its description sent and loaded, then the program file chosen
// for it. Sets spi for an SPI NOR flash, which has no description and no block table.
bool IdentifyFlash(ProductThread& t, SequenceState& run)
{
    t.iChipCount = cmd_GetChipCount(t.hDevice);
    // The reply lands reversed: bytes 0-3 are the ID's low word, byte 4 the maker.
    uint8_t id[5] = {};
    // A device that refuses the read leaves the ID all zero; no flash maker answers 0, so
    // that is no flash to describe (the DEFAULT record would otherwise take it).
    const bool answered = cmd_bReadFlashId(t.hDevice, id) != 0;
    if (!answered || std::all_of(std::begin(id), std::end(id), [](uint8_t b) { return b == 0; }))
        return Fail(t, run, FlashCheckStr + " " + FailMsg.get(), true);
    t.iFlashId = platform::GetLe32(id);
    t.bFlashMaker = id[4];

    if (t.bFlashMaker == kSpiMaker && t.iFlashId == kSpiFlashId) {
        run.spi = true;
        if (t.pTextF)
            t.pTextF->SetCaption("SPI Flash");
        StageCaption(t, BadBlockStr + "...");
        if (!CheckSpiBadBlocks(t.hDevice))
            return Fail(t, run, BadBlockStr + " " + FailMsg.get(), true);
        t.SetStep(10);
        t.iResult = 1;
        // The program-file choice needs a flash description, which an SPI flash has not;
        // its firmware is the program file the copy list classified (the window writes that
        // index on its own thread only, and no run changes it).
        const std::vector<std::string> list = Window().CopyList();
        const int program = Window().ProgramIndex();
        if (program >= 0 && static_cast<size_t>(program) < list.size()) {
            t.iProgramIndex = program;
            t.sProgramFile = list[static_cast<size_t>(program)];
        }
        return true;
    }
    if (t.pTextF)
        t.pTextF->SetCaption(FlashIdText(t) + " " + t.sFlashTypeName);

    const std::string name = FindFlashRecordFile(t, t.iFlashId, t.bFlashMaker, t.iChipCount);
    const std::string stored = ReadRecordName(".\\flash\\" + name);
    if (stored != kDefaultRecordName)
        t.sFlashTypeName = stored;
    if (t.pTextF)
        t.pTextF->SetCaption(FlashIdText(t) + " " + t.sFlashTypeName);
    run.recordPath = platform::ProgramDir() + "/flash/" + name;

    if (!SendFsmFile(t.hDevice, run.recordPath))
        return Fail(t, run, FILEWriteStr + " " + FailMsg.get(), true);
    t.SetStep(5);
    t.iResult = 1;
    if (!LoadFlashRecordStage(t, run.recordPath))
        return FailKeepCaption(t, run, true);
    if (!FindProgramBin(t))
        return Fail(t, run, "Can not find the suitable program.bin!!", true);
    if (!CheckBondingId(t))
        return Fail(t, run, t.Status() + " (" + FileNamePart(t.sProgramFile) + ")", true);
    return true;
}

// Neither scan asked for: the table the device keeps (or all good with the registry's geometry).
bool DeviceOwnTable(ProductThread& t, SequenceState& run)
{
    StageCaption(t, BadBlockStr + "...");
    if (t.bBlocksPerChipOverride) {
        std::memset(t.pBlockTable.get(), 0xFF, t.iBlockTableEntries);
    } else {
        t.bInfoValid = ReadDeviceInfo(t) ? 1 : 0;
        // The device keeps a record written for another write mode: it gets its own
        // record back for reading the bitmap, then the description again.
        const bool otherMode = t.bInfoValid && t.bInfoByte96 != t.iRecordByte96;
        if (otherMode) {
            if (!cmd_bWriteCfgData(t.hDevice, t.DeviceInfoCopy, kDeviceInfoBytes))
                return Fail(t, run, FILEWriteStr + " " + FailMsg.get(), true);
            t.SetStep(5);
            t.iResult = 1;
        }
        if (!ReadBadBlockBitmap(t, run.rate))
            return Fail(t, run, BadBlockStr + FailMsg.get(), true);
        if (otherMode) {
            if (!SendFsmFile(t.hDevice, run.recordPath))
                return Fail(t, run, FILEWriteStr + " " + FailMsg.get(), true);
            t.SetStep(5);
            t.iResult = 1;
        }
        platform::Sleep(100);
        if (!t.bInfoValid && static_cast<uint32_t>(Window().BadThreshold()) < run.rate)
            return Fail(t, run, BadBlockWarningStr.get(), true);
    }
    StageCaption(t, BadBlockStr + "...");
    t.SetStep(run.B + 10);
    return true;
}

// The block table from exactly one source: the clear-flash scan, the blanking check, or the
// table the device keeps.
bool BuildTables(ProductThread& t, SequenceState& run)
{
    WindowLink& window = Window();
    platform::Sleep(100);
    t.iSystemAreaBlocks = CalcSystemAreaBlocks(t);
    platform::Sleep(100);
    if (!t.AllocateBlockTable())
        return Fail(t, run, Row(t, kRowParseCfg) + FailMsg.get(), true);

    const bool blank = window.BlankCheckChecked();
    if (window.ClearFlashChecked() && !blank) {
        // A clear-flash scan that fails leaves the table as far as it got; the run goes on.
        if (ScanBadBlocks(t, 5, run.B + 5)) {
            t.SetStatusColor(toolkit::clBtnText);
            t.SetStep(run.B + 5);
            t.iResult = 1;
        }
    } else if (blank) {
        t.bSpecialScan = window.PageScan() ? 1 : 0;
        if (!BlankingCheck(t, 5, static_cast<int>(run.B + 5)))
            return FailKeepCaption(t, run, true);
        t.SetStatusColor(toolkit::clBtnText);
        t.SetStep(run.B + 5);
        t.iResult = 1;
    } else if (!DeviceOwnTable(t, run)) {
        return false;
    }

    platform::Sleep(100);
    if (t.bLogBiTable) {
        char name[32];
        std::snprintf(name, sizeof name, "%u_bi_tab.txt", t.iSlot);
        WriteBadBlockLog(t, name);
    }
    return true;
}

} // namespace

// In this order, the first failure ending the run:
//   - open the device and find the copy list's data files;
//   - show the run on the panel;
//   - identify the flash and send its description (an SPI flash stops here);
//   - build the block table;
//   - write the CFG block, initialise the loader's flash state machine, and check the
//     loader's SDK matches the page size.
bool IdentifyAndTables(ProductThread& t, SequenceState& run)
{
    if (!Prepare(t, run))
        return false;
    PreparePanel(t, run);
    if (!IdentifyFlash(t, run))
        return false;
    if (run.spi)
        return true;
    if (!BuildTables(t, run))
        return false;

    // The CFG block leaves its own caption when it fails.
    StageCaption(t, Row(t, kRowWriteCfg));
    if (!WriteCfg(t, Window().FwUpgradeChecked() ? 1 : 0))
        return FailKeepCaption(t, run);

    t.SetStatus(Row(t, kRowFsmInit));
    if (!cmd_bFsmInit(t.hDevice))
        return Fail(t, run, Row(t, kRowFsmInit) + FailMsg.get());

    // The loader's SDK is built for one page size; a mismatched flash would not run it.
    const uint32_t sdk = Window().SdkType();
    if ((t.iPageSize > 512 && sdk == 1) || (t.iPageSize <= 512 && sdk == 2))
        return Fail(t, run, Row(t, kRowSdkNoMatch) + "  " + FailMsg.get());
    return true;
}

} // namespace production
