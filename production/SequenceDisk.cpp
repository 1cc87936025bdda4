// The second half of a run: the firmware and data areas, the parity check and the start of
// the disk, then the SPI read-back or the disk itself (format, label, copy, hidden part).
#include "production/Sequence.h"

#include "device/Commands.h"
#include "device/HostUtil.h"
#include "device/Stream.h"
#include "platform/Clock.h"
#include "platform/ProgramDir.h"
#include "production/DataAreas.h"
#include "production/DrivePrep.h"
#include "production/WindowLink.h"
#include "production/ppthread.h"
#include "text/LangStrings.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <filesystem>

namespace production {

namespace {

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool IsFolder(const std::string& item)
{
    std::error_code error;
    return std::filesystem::is_directory(platform::ProgramPath(item), error);
}

// One copy-list or hidden-list item onto the root of the drive: a file under its own
// name (overwriting), a folder with everything in it.
bool CopyItem(const std::string& drive, const std::string& item)
{
    const std::string root = drive + ":\\";
    if (IsFolder(item))
        return CopyTree(platform::ProgramPath(item), root);
    return CopyFileToDrive(platform::ProgramPath(item), root + FileNamePart(item));
}

// One data area: setup, data, end, each with its caption; the steps (0: none) follow each.
struct AreaStage {
    std::string setup, writing, end;
    std::string path;
    uint32_t setupStep = 0, dataStep = 0, endStep = 0;
    uint32_t setupPause = 0, dataPause = 0, endPause = 0;
};

bool WriteArea(ProductThread& t, SequenceState& run, const AreaStage& area)
{
    StageCaption(t, area.setup + "...");
    uint32_t announced = 0;
    if (!SendWriteSetup(t.hDevice, area.path, &announced))
        return Fail(t, run, area.setup + " " + FailMsg.get());
    if (area.setupStep)
        t.SetStep(area.setupStep);
    t.iResult = 1;
    platform::Sleep(area.setupPause);
    StageCaption(t, area.writing + "...");
    if (!SendProgramFile(t.hDevice, area.path, announced))
        return Fail(t, run, area.writing + " " + FailMsg.get());
    if (area.dataStep)
        t.SetStep(area.dataStep);
    t.iResult = 1;
    platform::Sleep(area.dataPause);
    StageCaption(t, area.end + "...");
    if (!SendWriteEnd(t.hDevice))
        return Fail(t, run, area.end + " " + FailMsg.get());
    if (area.endStep)
        t.SetStep(area.endStep);
    t.iResult = 1;
    platform::Sleep(area.endPause);
    return true;
}

// The program file, retried as a whole (set-up included) up to ten times: a stream the
// device refused leaves it expecting a fresh set-up, not the rest of the data.
bool WriteProgram(ProductThread& t, SequenceState& run)
{
    for (int attempt = 1;; ++attempt) {
        if (attempt == 1)
            StageCaption(t, ProgramWriteSetupStr + "...");
        uint32_t announced = 0;
        if (!SendWriteSetup(t.hDevice, t.sProgramFile, &announced))
            return Fail(t, run, ProgramWriteSetupStr + " " + FailMsg.get());
        t.SetStep(run.B + 17);
        t.iResult = 1;
        platform::Sleep(200);
        if (attempt == 1)
            StageCaption(t, ProgramWriteStr + "...(" + FileNamePart(t.sProgramFile) + ")");
        if (SendProgramFile(t.hDevice, t.sProgramFile, announced))
            break;
        if (attempt == kStreamAttempts)
            return Fail(t, run, ProgramWriteStr + " " + FailMsg.get());
        t.SetStatus("Program Writing Retry " + std::to_string(attempt));
    }
    t.SetStep(run.B + 20);
    t.iResult = 1;
    platform::Sleep(100);
    StageCaption(t, ProgramWriteEndStr + "...");
    if (!SendWriteEnd(t.hDevice))
        return Fail(t, run, ProgramWriteEndStr + " " + FailMsg.get());
    t.SetStep(run.B + 21);
    t.iResult = 1;
    return true;
}

// The prefer data. Without an ISO box to tick its gauge steps sit five later, taking up the
// room the CD-ROM image would have used.
bool WritePrefer(ProductThread& t, SequenceState& run)
{
    const uint32_t shift = Window().IsoUpgradeEnabled() ? 0 : 5;
    for (int attempt = 1;; ++attempt) {
        platform::Sleep(100);
        if (attempt == 1)
            StageCaption(t, PreferWriteSetupStr + "...");
        uint32_t announced = 0;
        if (!SendWriteSetup(t.hDevice, t.wsPreferFile, &announced))
            return Fail(t, run, PreferWriteSetupStr + " " + FailMsg.get());
        t.SetStep(run.B + 25 + shift);
        t.iResult = 1;
        platform::Sleep(200);
        if (attempt == 1)
            StageCaption(t, PreferWriteStr + "...");
        if (SendDataFile(t.hDevice, t.wsPreferFile, announced)) {
            t.SetStep(run.B + 30 + shift);
            t.iResult = 1;
            break;
        }
        if (attempt == kStreamAttempts)
            return Fail(t, run, PreferWriteStr + " " + FailMsg.get());
        t.SetStatus("Prefer Writing Retry " + std::to_string(attempt));
    }
    platform::Sleep(200);
    StageCaption(t, PreferWriteEndStr + "...");
    if (!SendWriteEnd(t.hDevice))
        return Fail(t, run, PreferWriteEndStr + " " + FailMsg.get());
    t.SetStep(run.B + 35 + shift);
    t.iResult = 1;
    platform::Sleep(100);
    return true;
}

// The data areas after the prefer data, each only when there is something to write: the SPI
// hidden files, the phone book, the CD-ROM image and the PASS image of an encrypted disk.
bool WriteDataAreas(ProductThread& t, SequenceState& run)
{
    WindowLink& window = Window();
    if (run.spi && !window.SpiFileList().empty() && !WriteSpiHiddenFiles(t))
        return Fail(t, run, Row(t, kRowSpiHiddenFiles) + FailMsg.get());

    if (!t.wsTelbookFile.empty()) {
        platform::Sleep(100);
        AreaStage telbook{"Telbook Write Setup", "Telbook Writing", "Telbook Write End",
                          t.wsTelbookFile, 0, 0, 0, 200, 200, 0};
        if (!WriteArea(t, run, telbook))
            return false;
    }
    platform::Sleep(100);
    if (window.IsoUpgradeChecked()) {
        AreaStage iso{ISOWriteSetupStr.get(), ISOWriteStr.get(), ISOWriteEndStr.get(), t.sIsoFile,
                      run.B + 40, run.B + 45, run.B + 50, 100, 200, 200};
        if (!WriteArea(t, run, iso))
            return false;
    }
    if (window.DeviceFeature() == 1) {
        AreaStage pass{PassWriteSetupStr.get(), PassWriteStr.get(), PassWriteEndStr.get(), t.sPassFile,
                       run.B + 55, run.B + 65, run.B + 70, 100, 200, 200};
        if (!WriteArea(t, run, pass))
            return false;
    }
    return true;
}

// The firmware checked and told its module number, then the disk started: after this the
// device answers as a disk (or as an SPI flash).
bool StartTheDisk(ProductThread& t, SequenceState& run)
{
    WindowLink& window = Window();
    if (window.ParityCheckChecked()) {
        StageCaption(t, FwParityCheckStr + "...");
        if (!CheckFirmwareParity(t.hDevice))
            return Fail(t, run, FwParityCheckStr + " " + FailMsg.get());
        t.SetStep(run.B + 72);
        t.iResult = 1;
    }
    window.ProcessMessages();
    const int module = window.FlashModuleNo();
    if (module != 0)
        (void)cmd_bSetFlashModuleNo(t.hDevice, static_cast<uint8_t>(module));
    platform::Sleep(2000);
    StageCaption(t, Row(t, kRowStartDisk));
    if (!StartDisk(t.hDevice))
        return Fail(t, run, Row(t, kRowStartDisk) + FailMsg.get());
    t.SetStep(run.B + 75);
    t.iResult = 1;
    return true;
}

// An SPI device has no disk: its program area is read back and compared when asked, slot 0
// may save the whole flash as an image, and the size reported is the flash size.
bool FinishSpi(ProductThread& t, SequenceState& run)
{
    WindowLink& window = Window();
    if (window.NorCheckChecked()) {
        const std::string failed = Row(t, kRowCheckData) + FailMsg.get();
        t.SetStatus(Row(t, kRowCheckData));
        t.SetStep(78);
        char name[32];
        std::snprintf(name, sizeof name, "%u_Read_buffer.bin", t.iSlot);
        if (!DumpSpiProgramArea(t, t.sProgramFile, name, t.wsPreferFile))
            return Fail(t, run, failed);
        t.SetStep(80);
        if (!CompareSpiDump(t, t.sProgramFile, name, t.wsPreferFile))
            return Fail(t, run, failed);
    }
    if (t.iSlot == 0 && window.SaveSpiImage()) {
        t.SetStatus(Row(t, kRowSaveFlashImage));
        if (!DumpSpiFlash(t, ".\\NorImage.bin"))
            return Fail(t, run, Row(t, kRowSaveFlashImage) + FailMsg.get());
    }
    run.mb = cmd_Get9C(t.hDevice);
    t.iResult = 1;
    return true;
}

std::string FormatCaption(uint32_t fat)
{
    return FormatStr + (fat == kFatFlagFat32 ? "FAT32..." : "FAT16...");
}

bool SetLabelOrFail(ProductThread& t, SequenceState& run, const std::string& label)
{
    if (SetDriveVolumeLabel(t.sDrive, label))
        return true;
    Window().ProcessMessages();
    return Fail(t, run, SetLabelStr + " " + FailMsg.get());
}

// Format when the disk has no readable volume, when asked to, or when the device
// kept a record of another write mode; otherwise only the label is brought in line.
bool FormatOrLabel(ProductThread& t, SequenceState& run)
{
    WindowLink& window = Window();
    const std::string label = window.VolumeLabelText();
    const bool freeOk = DriveFreeSpaceReadable(t.sDrive);
    const bool format = !freeOk || window.FormatChecked()
                        || (t.bInfoValid && t.bInfoByte96 != t.iRecordByte96);
    if (!format) {
        if (GetDriveVolumeLabel(t.sDrive[0]) == label)
            return true;
        StageCaption(t, SetLabelStr + "...");
        return SetLabelOrFail(t, run, label);
    }

    platform::Sleep(100);
    uint32_t fat = GetDriveFatFlag(t, t.sDrive);
    if (window.Fat32Checked())
        fat = kFatFlagFat32;
    StageCaption(t, FormatCaption(fat));
    // The format runner opens the drive itself.
    platform::CloseDrive(t.hDevice);
    t.hDevice = INVALID_HANDLE_VALUE;
    const bool skipFormat = run.mb < kMinFormatMB;
    platform::Sleep(2000);
    for (int attempt = 1; !skipFormat; ++attempt) {
        if (FormatDrive(t.sDrive, true, fat)) {
            t.iResult = 1;
            break;
        }
        if (attempt == kFormatAttempts)
            return Fail(t, run, FormatStr + " " + FailMsg.get());
    }
    if (!SetLabelOrFail(t, run, label))
        return false;
    platform::Sleep(100);
    return true;
}

// Every copy-list item but the data files the device took and the firmware.
bool CopyFiles(ProductThread& t, SequenceState& run)
{
    WindowLink& window = Window();
    t.SetStep(run.B + 80);
    window.ProcessMessages();
    const std::vector<std::string> list = window.CopyList();
    const int skipped[] = {t.iProgramIndex, window.PreferIndex(), window.IsoIndex(), window.TelbookIndex()};
    for (size_t i = 0; i < list.size(); ++i) {
        if (std::find(std::begin(skipped), std::end(skipped), static_cast<int>(i)) != std::end(skipped))
            continue;
        if (Lower(FileNamePart(list[i])).find(".bin") != std::string::npos)
            continue;
        StageCaption(t, CopyFileMsg + "...");
        if (!CopyItem(t.sDrive, list[i]))
            return Fail(t, run, CopyFileMsg + FailMsg.get());
    }
    t.SetStep(run.B + 85);
    window.ProcessMessages();
    return true;
}

// The hidden disk formatted, labelled and filled from the hidden-file list.
bool FillHiddenDisk(ProductThread& t, SequenceState& run)
{
    WindowLink& window = Window();
    t.SetStep(run.B + 90);
    window.ProcessMessages();
    uint32_t fat = GetDriveFatFlag(t, t.sDrive);
    const int32_t size = GetDiskSizeMB(t, t.sDrive);
    if (window.Fat32Checked())
        fat = kFatFlagFat32;
    StageCaption(t, FormatCaption(fat));
    platform::CloseDrive(t.hDevice);
    t.hDevice = INVALID_HANDLE_VALUE;
    if (size >= kMinFormatMB) {
        if (!FormatDrive(t.sDrive, true, fat))
            return Fail(t, run, FormatStr + " " + FailMsg.get());
        t.iResult = 1;
    }
    if (!SetLabelOrFail(t, run, window.HideDiskLabel()))
        return false;
    t.SetStep(run.B + 95);
    window.ProcessMessages();
    StageCaption(t, HiddenDiskStr + CopyFileMsg + "...");
    for (const std::string& item : window.HideFileList())
        if (!CopyItem(t.sDrive, item))
            return Fail(t, run, HiddenDiskStr + CopyFileMsg + " " + FailMsg.get());
    t.SetStep(run.B + 95);
    return true;
}

// The hidden disk written raw from an image file, which must fit on it.
bool WriteHiddenImage(ProductThread& t, SequenceState& run)
{
    WindowLink& window = Window();
    const std::string image = window.ImageFile();
    if (window.HideDiskRatio() == 100 && !ReopenDevice(t, run))
        return false;
    t.SetStatus(Row(t, kRowMapImageFile));
    const int64_t size = OpenImageFile(t, image);
    if (size < 0)
        return Fail(t, run, Row(t, kRowImageFileError));
    const uint64_t imageMB = static_cast<uint64_t>(size) / 1024 / 1024;
    const int32_t diskMB = GetDiskSizeMB(t, t.sDrive);
    // The disk size sign-extended against the image size, both unsigned.
    if (static_cast<uint64_t>(static_cast<int64_t>(diskMB)) < imageMB) {
        AppendLog(std::to_string(diskMB));
        return Fail(t, run, Row(t, kRowHiddenDiskSmall));
    }
    run.mb = static_cast<int32_t>(std::min<uint64_t>(imageMB, INT32_MAX));
    if (!WriteImageToDisk(t, t.sDrive, image, run.B + 90, run.B + 98))
        return Fail(t, run, Row(t, kRowMapImageFile) + FailMsg.get());
    (void)RunChkdsk(t.sDrive);
    (void)EjectDevice(t, t.hDevice);
    return true;
}

// The encrypted or hidden part of the disk, reached by switching the device over to it:
// a signed file area, an image file, or a formatted disk filled from the hidden-file list.
bool HiddenPart(ProductThread& t, SequenceState& run)
{
    WindowLink& window = Window();
    platform::Sleep(200);
    const uint8_t feature = window.DeviceFeature();
    if (feature != 1 && feature != 2) {
        t.SetStep(run.B + 95);
        return true;
    }
    StageCaption(t, ChangeDiskStr + "...");
    // The format closed the handle; the switch needs it open whatever the ratio.
    if ((window.HideDiskRatio() != 100 || t.hDevice == INVALID_HANDLE_VALUE) && !ReopenDevice(t, run))
        return false;
    if (!ChangeToHiddenDisk(t.hDevice))
        return Fail(t, run, ChangeDiskStr + " " + FailMsg.get());
    platform::Sleep(100);

    if (feature == 2 && window.NonFileSystem()) {
        t.SetStatus(Row(t, kRowMapImageFile));
        if (!WriteSignedFileArea(t, run.B + 90, run.B + 98))
            return Fail(t, run, Row(t, kRowMapImageFile) + FailMsg.get());
        (void)EjectDevice(t, t.hDevice);
        return true;
    }
    if (window.UseImgFile())
        return WriteHiddenImage(t, run);
    return FillHiddenDisk(t, run);
}

// The user disk of a NAND device: its size, then format or label and the copy list (skipped
// when the whole disk is encrypted), then the hidden part.
bool FinishDisk(ProductThread& t, SequenceState& run)
{
    WindowLink& window = Window();
    if (!ReopenDevice(t, run))
        return false;
    platform::Sleep(100);
    run.mb = GetDiskSizeMB(t, t.sDrive);
    if (run.mb <= 0) {
        AppendLog("bGetDiskSizeMB(drive) <= 0");
        return Fail(t, run, Row(t, kRowDiskSizeError));
    }
    const bool wholeDiskEncrypted = window.DeviceFeature() == 1 && window.HideDiskRatio() == 100;
    if (!wholeDiskEncrypted) {
        if (!FormatOrLabel(t, run) || !CopyFiles(t, run))
            return false;
    }
    return HiddenPart(t, run);
}

} // namespace

// In this order, each stage needing the one before it and the first failure ending the run:
//   - the program file, then the prefer data;
//   - the data areas (SPI hidden files, phone book, CD-ROM image, PASS image);
//   - the firmware parity check and the start of the disk;
//   - an SPI device's read-back, or a NAND device's disk: format or label, copy, hidden part.
bool FirmwareAndDisk(ProductThread& t, SequenceState& run)
{
    WindowLink& window = Window();
    // Without the firmware upgrade the run ends with the tables.
    if (!window.FwUpgradeChecked()) {
        if (t.pGauge)
            t.SetStep(static_cast<uint32_t>(t.pGauge->MaxValue()));
        t.iResult = 1;
        return true;
    }
    if (!WriteProgram(t, run) || !WritePrefer(t, run) || !WriteDataAreas(t, run)
        || !StartTheDisk(t, run))
        return false;
    return run.spi ? FinishSpi(t, run) : FinishDisk(t, run);
}

} // namespace production
