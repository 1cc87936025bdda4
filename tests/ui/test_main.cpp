// The main window without its screen: creation, first paint, the settings file
// misc/prefer.ini, the copy list, the firmware's module number, the loader version and
// the link the production engine reads.
#include "device/HostUtil.h"
#include "platform/IniFile.h"
#include "platform/PathListFile.h"
#include "platform/ProgramDir.h"
#include "production/WindowLink.h"
#include "support/TempDir.h"
#include "toolkit/Dialogs.h"
#include "ui/SettingDlg.h"
#include "ui/Unit2.h"
#include "ui/Unit3.h"
#include "ui/isomain.h"
#include "ui/main.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>

using namespace toolkit;
using Names = std::vector<std::string>;

namespace {

const char* const kPrefer = ".\\misc\\prefer.ini";

// A firmware-like file: chip tag, SDK type at byte 5, 'U' 0xAA module at 0x97FD.
std::string Firmware(size_t size, uint8_t sdk, int module = -1, const char* tag = "6205")
{
    std::string bytes(std::max<size_t>(size, 0x9800), '\0');
    bytes.replace(0, 4, tag);
    bytes[5] = static_cast<char>(sdk);
    if (module >= 0)
        bytes.replace(0x97FD, 3, {'U', '\xAA', static_cast<char>(module)});
    bytes.resize(std::max<size_t>(size, module >= 0 ? 0x9800 : 6));
    return bytes;
}

class Window : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::SetProgramDir(dir.path());
        SetDialogs(&dialogs);
        std::filesystem::create_directories(dir.file("misc"));  // every station has one
        form = std::make_unique<TForm1>();
    }
    void TearDown() override
    {
        form.reset();
        SetDialogs(nullptr);
    }
    // A new window shown over the station folder as it stands (with a loader, as every
    // working station has).
    void open()
    {
        if (!std::filesystem::exists(dir.file("misc/FSM01.BIN")))
            dir.write("misc/FSM01.BIN", "FSM Ver.1.0");
        form.reset();
        form = std::make_unique<TForm1>();
        form->FormShow(form.get());
    }
    std::string prefer() const { return dir.read("misc/prefer.ini"); }
    platform::IniFile saved() const { return platform::IniFile(dir.file("misc/prefer.ini")); }
    void loadFrom(const std::string& settingLines)
    {
        dir.write("misc/prefer.ini", "[MP_Setting]\r\n" + settingLines);
        form->LoadSettings(kPrefer);
    }
    void setList(const Names& names)
    {
        Names paths;
        for (const auto& n : names)
            paths.push_back(dir.file(n));
        form->TntSelectFileList2->Items()->Assign(paths);
        form->ScanFileList();
    }

    testsupport::TempDir dir;
    ScriptedDialogs dialogs;
    std::unique_ptr<TForm1> form;
};

} // namespace

// ---- life ----

TEST_F(Window, CreationDropsThePortLogAndSetsMissingRegistryDefaults)
{
    form.reset();
    dir.write("misc/port.log", "old");
    RegWriteInt("LogBiTable", 5);
    form = std::make_unique<TForm1>();
    EXPECT_FALSE(std::filesystem::exists(dir.file("misc/port.log")));
    EXPECT_EQ(std::make_pair(RegReadInt("BlocksPerChip", 99), RegReadInt("LogBiTable", 99)), std::make_pair(0, 5)) << "a present value stays";
}

// Each form is the program's global of its kind while it lives; the next one takes its place.
TEST_F(Window, EachFormIsItsGlobalWhileItLives)
{
    form.reset();
    auto check = [](const char* name, auto make, auto*& global) {
        for (int round = 0; round < 2; ++round) {
            auto made = make();
            EXPECT_EQ(global, made.get()) << name << " " << round;
        }
        EXPECT_EQ(global, nullptr) << name;
    };
    check("Form1", [] { return std::make_unique<TForm1>(); }, Form1);
    check("Form2", [] { return std::make_unique<TForm2>(); }, Form2);
    check("Form3", [] { return std::make_unique<TForm3>(); }, Form3);
    check("frmSetting", [] { return std::make_unique<TfrmSetting>(); }, frmSetting);
    check("frmIsoMain", [] { return std::make_unique<TfrmIsoMain>(); }, frmIsoMain);
}

TEST_F(Window, FirstPaintChecksTheImageFileOnlyOnceAndOnlyForSplitDisks)
{
    TForm setting("frmSetting");
    auto* pages = setting.Make<TPageControl>("pgeSetting");
    pages->Make<TTabSheet>("tabFlashSetting");
    pages->Make<TTabSheet>("tabDeviceSetting");
    for (int feature : {0, 2}) {
        open();
        form->SettingForm = &setting;
        form->eDeviceFeature = feature;
        form->bUseImgFile = true;
        form->ImageFile = dir.file("none.img");
        form->FormPaint();
        form->FormPaint();
        EXPECT_EQ(form->ImageFile, feature == 2 ? "" : dir.file("none.img"));
    }
    ASSERT_EQ(dialogs.Messages().size(), 1u);
    EXPECT_EQ(dialogs.Messages()[0].text + "|" + dialogs.Messages()[0].caption, "Image file not exists. Please reassign it.|Warning");
    EXPECT_EQ(pages->ActivePageIndex(), 1);
}

// A list that exists but cannot be read is never replaced by the empty list the window
// starts with: it is named at start and left byte for byte at close.
TEST_F(Window, AListThatCannotBeReadIsLeftAsItIs)
{
    dir.write("misc/seting.ini", platform::PathListFile::Encode({dir.file("fw.bin")}));
    std::filesystem::resize_file(dir.file("misc/seting.ini"), (16u << 20) + 1);  // past a station file's bound
    const std::string before = dir.read("misc/seting.ini"), seting = dir.file("misc/seting.ini");
    form.reset();
    open();
    EXPECT_TRUE(form->TntSelectFileList2->Items()->ToVector().empty());
    ASSERT_FALSE(dialogs.Messages().empty());
    EXPECT_EQ(dialogs.Messages()[0].text,
              "The list " + seting + " cannot be read (File too large); it is left as it is and not saved at close.");
    dialogs.Clear();
    form->FormClose(form.get());
    EXPECT_TRUE(dir.read("misc/seting.ini") == before) << "the operator's list is still there";
    ASSERT_FALSE(dialogs.Messages().empty());
    EXPECT_EQ(dialogs.Messages().back().text, "Not saved: " + seting + " could not be read at start and is left as it was");
}

// What the station lacks or cannot write is said at start, with the reason.
TEST_F(Window, StationProblemsAreNamedAtStart)
{
    const struct { const char* what; std::function<std::string()> prepare; std::string box; } rows[] = {
        {"an empty station folder: misc/ is made, the loader is missing",
         [&] { std::filesystem::remove_all(dir.file("misc")); return dir.path(); },
         "The loader " + dir.file("misc/FSM01.BIN") + " is missing: no device can be started."},
        {"misc is a file", [&] { std::filesystem::remove_all(dir.file("misc")); dir.write("misc", "x"); return dir.path(); },
         "Unable to write to " + dir.file("misc") + ": it is not a folder\nThe settings and the file lists cannot be saved.\n"
         "The loader " + dir.file("misc/FSM01.BIN") + " is missing: no device can be started."},
        {"a station folder that cannot be made", [&] { dir.write("plain", "x"); return dir.file("plain/station"); },
         "Unable to create " + dir.file("plain/station/misc") + ": Not a directory\nThe settings and the file lists cannot be saved.\n"
         "The loader " + dir.file("plain/station/misc/FSM01.BIN") + " is missing: no device can be started."},
    };
    for (const auto& row : rows) {
        platform::SetProgramDir(row.prepare());
        dialogs.Clear();
        form.reset();
        form = std::make_unique<TForm1>();
        form->FormShow(form.get());
        ASSERT_EQ(dialogs.Messages().size(), 1u) << row.what;
        EXPECT_EQ(dialogs.Messages()[0].text, row.box) << row.what;
        EXPECT_EQ(dialogs.Messages()[0].flags, MB_OK | MB_ICONWARNING) << row.what;
    }
    dialogs.Clear();
    form->FormClose(form.get());  // the close names the reason as well
    ASSERT_EQ(dialogs.Messages().size(), 1u);
    EXPECT_EQ(dialogs.Messages()[0].text.substr(0, dialogs.Messages()[0].text.find('\n')),
              "Unable to write to " + dir.file("plain/station/misc/hideseting.ini") + ": Not a directory");
    platform::SetProgramDir(dir.path());
    std::filesystem::remove(dir.file("misc"));
    form.reset();
    form = std::make_unique<TForm1>();
    form->FormShow(form.get());
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("misc"))) << "made where the station folder takes it";
}

// ---- misc/prefer.ini ----

TEST_F(Window, NoSettingsFileGivesTheDefaultsAndSavingWritesEveryKeyInOrder)
{
    form->chkFormat->SetChecked(true);
    form->iFlashModuleNo = 4;
    form->LoadSettings(kPrefer);
    EXPECT_EQ(form->SystemAreaComBo->Text() + "," + std::to_string(form->iFlashModuleNo) + "," + form->labDiskFeature->Caption(), "4MB,0,Normal");
    form->SaveSettings(kPrefer);
    EXPECT_EQ(prefer(), "[MP_Setting]\r\nFormat=0\r\nBlanking check=0\r\nFwUpgrade=1\r\nISO upgrade=0\r\nManual Upgrade=0\r\n"
                        "System Area check=0\r\nSystem Area Size=0\r\nFwParityCheck=1\r\nNorReadCheck=1\r\nLabel=\r\nFixUsbIO=1\r\n"
                        "ClearFlash=1\r\niScanLevel=0\r\niPageSkip=0\r\niReadTimes=0\r\niEccLevel=2\r\niBadThreshold=20\r\n"
                        "eDeviceFeature=0\r\niHideDiskRatio=10\r\nsHideDiskLabel=\r\nbUseImgFile=0\r\nImageFile=\r\n"
                        "AllowErrorRate=2\r\nDealCapError=0\r\nSaveSpiImage=0\r\nPageMode=0\r\nPageModeSel=0\r\nPattern=0\r\n");
}

TEST_F(Window, EverySettingRoundTrips)
{
    // No value is a default: each key must be read into its field and written back from it.
    const std::string file =
        "[MP_Setting]\r\nFormat=1\r\nBlanking check=1\r\nFwUpgrade=0\r\nISO upgrade=1\r\nManual Upgrade=1\r\n"
        "System Area check=1\r\nSystem Area Size=7\r\nFwParityCheck=0\r\nNorReadCheck=0\r\nLabel=MY DISK\r\n"
        "FixUsbIO=0\r\nClearFlash=0\r\niScanLevel=5\r\niPageSkip=64\r\niReadTimes=3\r\niEccLevel=7\r\n"
        "iBadThreshold=100\r\neDeviceFeature=2\r\niHideDiskRatio=99\r\nsHideDiskLabel=HIDDEN\r\nbUseImgFile=1\r\n"
        "ImageFile=/station/disk image.IMG\r\nAllowErrorRate=20\r\nDealCapError=2\r\nSaveSpiImage=1\r\n"
        "PageMode=1\r\nPageModeSel=6\r\nPattern=42330\r\n";
    dir.write("misc/prefer.ini", file);
    form->LoadSettings(kPrefer);
    EXPECT_EQ(form->labDiskFeature->Caption(), "Hidden disk99%");
    std::filesystem::remove(dir.file("misc/prefer.ini"));
    form->SaveSettings(kPrefer);
    EXPECT_EQ(prefer(), file);
}

// Values bound for narrower device fields (the page-scan bytes, the record's ratio byte)
// are clamped, never wrapped; byte fields keep their low byte, and the 16-bit scan
// pattern its low 16 bits, as the dialog stores it.
TEST_F(Window, SettingsLoadClampedAndSaveBackAsLoaded)
{
    const std::tuple<const char*, const char*, const char*> rows[] = {
        {"iHideDiskRatio", "300", "100"}, {"iHideDiskRatio", "0", "1"}, {"iPageSkip", "65", "64"}, {"iPageSkip", "-1", "0"},
        {"iEccLevel", "0x108", "7"}, {"iEccLevel", "-3", "0"}, {"Pattern", "0x12345", "9029"}, {"Pattern", "-1", "65535"},
        {"eDeviceFeature", "258", "2"}, {"DealCapError", "200", "-56"}, {"iBadThreshold", "abc", "20"},
    };
    for (const auto& [key, stored, back] : rows) {
        loadFrom(std::string(key) + "=" + stored + "\r\n");
        form->SaveSettings(kPrefer);
        EXPECT_EQ(saved().ReadString("MP_Setting", key, "?"), back) << key << "=" << stored;
    }
}

// A station without prefer.ini: the loaded window, the engine's fresh-station settings and
// the link before any window exists all give the same settings.
TEST_F(Window, AStationWithoutSettingsGivesTheSameSettingsEverywhere)
{
    auto settings = [](production::WindowLink& w) {
        return std::vector<std::string>{
            std::to_string(w.EccLevel()), std::to_string(w.PageScan()), std::to_string(w.DeviceFeature()),
            std::to_string(w.HideDiskRatio()), std::to_string(w.AllowErrorRate()), std::to_string(w.DealCapError()),
            std::to_string(w.FwUpgradeChecked()), std::to_string(w.IsoUpgradeChecked()), std::to_string(w.SystemAreaChecked()),
            std::to_string(w.SystemAreaIndex()), std::to_string(w.BlankCheckChecked()), std::to_string(w.ClearFlashChecked()),
            std::to_string(w.ParityCheckChecked()), std::to_string(w.NorCheckChecked()), std::to_string(w.FormatChecked()),
            w.VolumeLabelText(), std::to_string(w.FlashModuleNo()), std::to_string(w.BadThreshold()),
            std::to_string(w.ScanLevel()), std::to_string(w.Pattern()), std::to_string(w.PageSkip()),
            std::to_string(w.PageModeSel()), std::to_string(w.ReadTimes()), w.HideDiskLabel(),
            std::to_string(w.UseImgFile()), w.ImageFile(), std::to_string(w.SaveSpiImage()), std::to_string(w.FastBlankCheck()),
            std::to_string(w.NonFileSystem())};
    };
    production::FreshStation fresh;
    const std::vector<std::string> expected = settings(fresh);
    form->LoadSettings(kPrefer);
    production::WindowLink& link = production::Window();
    EXPECT_EQ(settings(link), expected) << "loaded from a missing file";
    form.reset();
    EXPECT_EQ(settings(link), expected) << "no window yet";
}

// ---- the copy list ----

TEST_F(Window, CopyListClassifiesFirmwarePreferImageAndPhoneBookFiles)
{
    dir.write("a_new.bin", Firmware(1000, 7));
    dir.write("x_old.bin", Firmware(2000, 3));
    dir.write("y.bin", Firmware(3000, 4));
    dir.write("sub/MyPrefer.DAT.bak", std::string(600, 'p'));
    dir.write("image.iso", std::string(700, 'i'));
    dir.write("TelBook.dat", std::string(80, 't'));
    dir.write("prefer.dat.dir/readme.txt", "x");  // the folder part is not searched
    dir.write("isodir/image.iso/readme.txt", "x");
    // Indexes of program, prefer, image, phone book; sizes of firmware, prefer, image, phone book; SDK type.
    struct Case { Names names; std::array<int, 4> index; std::array<uint64_t, 4> size; uint32_t sdk; } cases[] = {
        {{"image.iso", "a_new.bin"}, {-1, -1, 0, -1}, {1000, 0, 700, 0}, 7},  // new firmware: no index, yet size and type
        {{"x_old.bin", "y.bin"}, {1, -1, -1, -1}, {2000, 0, 0, 0}, 3},  // the old step runs after the plain one
        {{"TelBook.dat", "y.bin", "sub/MyPrefer.DAT.bak", "image.iso", "prefer.dat.dir/readme.txt"}, {1, 2, 3, 0}, {3000, 600, 700, 80}, 4},
        {{"y.bin", "gone.bin"}, {1, -1, -1, -1}, {0, 0, 0, 0}, 0},  // a gone file never takes another's figures
        {{"y.bin", "isodir/image.iso"}, {0, -1, 1, -1}, {3000, 0, 0, 0}, 4},  // a folder with a data name: no size
    };
    for (const auto& c : cases) {
        setList(c.names);
        EXPECT_EQ((std::array<int, 4>{form->iProgramIndex, form->iPreferIndex, form->iIsoIndex, form->iTelbookIndex}), c.index) << c.names.back();
        EXPECT_EQ((std::array<uint64_t, 4>{form->iFirmwareSize, form->iPreferSize, form->iIsoSize, form->iTelbookSize}), c.size) << c.names.back();
        EXPECT_EQ(form->iSdkType, c.sdk) << c.names.back();
    }
    setList(cases[2].names);  // removing the prefer file clears its figures at once
    form->TntSelectFileList2->SetSelected(2, true);
    form->RemoveBtn->Click();
    EXPECT_EQ((std::vector<int>{form->TntSelectFileList2->Items()->Count(), form->iPreferIndex, int(form->iPreferSize), form->iIsoIndex}),
              (std::vector<int>{4, -1, 0, 2}));
}

TEST_F(Window, ModuleNumberIsReadAndWrittenInTheFirstFirmwareFile)
{
    dir.write("notes.txt", "x");
    dir.write("other.bin", Firmware(0x9800, 1, 9, "XXXX"));  // no chip tag: skipped by writes
    dir.write("fw.BIN", Firmware(0x20000, 1, 3));           // the number sits inside a larger file
    setList({"notes.txt", "other.bin", "fw.BIN"});
    EXPECT_TRUE(form->ReadFirmwareMultiplier());
    EXPECT_EQ(form->iFlashModuleNo, 9) << "the first .bin decides the read";
    EXPECT_TRUE(form->WriteFirmwareMultiplier(0x105));
    EXPECT_EQ(dir.read("fw.BIN").substr(0x97FD, 4), std::string("U\xAA\x05\0", 4));
    EXPECT_EQ(static_cast<uint8_t>(dir.read("other.bin")[0x97FF]), 9);
    setList({"fw.BIN"});
    EXPECT_TRUE(form->ReadFirmwareMultiplier());
    EXPECT_EQ(form->iFlashModuleNo, 5);
    EXPECT_FALSE(form->WriteFirmwareMultiplier(-1));
    dir.write("plain.bin", Firmware(0x9800, 1));  // no module mark: nothing read, nothing written
    setList({"plain.bin"});
    EXPECT_TRUE(form->ReadFirmwareMultiplier());
    EXPECT_FALSE(form->WriteFirmwareMultiplier(6));
    EXPECT_EQ(form->iFlashModuleNo, 5);
    setList({"gone.bin", "fw.BIN"});
    EXPECT_FALSE(form->ReadFirmwareMultiplier()) << "the first firmware cannot be read";
    setList({"notes.txt"});
    EXPECT_FALSE(form->ReadFirmwareMultiplier() || form->ResetFirmwareMultiplier(0));
    ASSERT_EQ(dialogs.Messages().size(), 2u);
    EXPECT_EQ(dialogs.Messages()[0].text + "|" + dialogs.Messages()[0].caption, "nonlegal mulitplier|MP Tool");
    EXPECT_EQ(dialogs.Messages()[1].text + "|" + dialogs.Messages()[1].caption, "Firmware file not found|MP Tool");
}

TEST_F(Window, LoaderVersionText)
{
    uint32_t size = 77;
    EXPECT_EQ(form->GetFsmVersion(size) + std::to_string(size), "FSM Ver.x.x77") << "no file: size unchanged";
    const std::pair<std::string, std::string> cases[] = {{std::string("FSM Ver.1.2\0rest", 16), "FSM Ver.1.2"},
                                                         {"FSM" + std::string(300, 'x'), "FSM" + std::string(252, 'x')},  // cut at 255
                                                         {"XSM Ver.1.2", "FSM Ver.x.x"}};                                 // wrong tag
    for (const auto& [text, version] : cases) {
        dir.write("misc/FSM01.BIN", std::string(8192, '\0') + text);
        EXPECT_EQ(form->GetFsmVersion(size), version);
        EXPECT_EQ(size, 8192 + text.size());
    }
}

// ---- the production engine's view ----

// What the engine reads and writes through its window link: every option box as the window
// holds it, the running count that locks the settings, the totals; before the window
// exists, a fresh station's values.
TEST_F(Window, TheEngineSeesTheWindowThroughItsLink)
{
    production::WindowLink& w = production::Window();
    for (bool on : {false, true}) {
        form->PageMode = form->bFastBlankCheck = form->bUseImgFile = form->SaveSpiImage = form->bNonFileSystem = on;
        for (TCheckBox* box : {form->chkFwUpgrade, form->chkISOupgrade, form->SystemAreachk, form->chkBlankCheck, form->chkClearFlash,
                               form->chkParityCheck, form->chknor, form->chkFormat, form->chkFAT32})
            box->SetChecked(on);
        form->chkISOupgrade->SetEnabled(on);
        EXPECT_EQ((std::vector<bool>{w.PageScan(), w.FastBlankCheck(), w.UseImgFile(), w.SaveSpiImage(), w.NonFileSystem(), w.FwUpgradeChecked(),
                                     w.IsoUpgradeChecked(), w.SystemAreaChecked(), w.BlankCheckChecked(), w.ClearFlashChecked(),
                                     w.ParityCheckChecked(), w.NorCheckChecked(), w.FormatChecked(), w.Fat32Checked(), w.IsoUpgradeEnabled()}),
                  std::vector<bool>(15, on));
    }

    w.RunStarted();
    w.RunStarted();
    w.RunEnded();
    EXPECT_FALSE(form->grpFileList->Enabled() || form->grpMPSetting->Enabled()) << "one run still going";
    w.RunEnded();
    w.RunEnded();  // one end too many does not count below zero
    EXPECT_TRUE(form->grpFileList->Enabled() && form->grpMPSetting->Enabled());
    EXPECT_EQ(form->iRunningThreads, 0);
    for (uint32_t result : {1u, 0u, 1u})
        w.CountResult(result);
    EXPECT_EQ(form->TotalStr->Caption() + form->SuccessStr->Caption() + form->FailStr->Caption(), "321");

    form.reset();
    EXPECT_EQ((std::vector<int>{w.EccLevel(), w.HideDiskRatio(), w.AllowErrorRate(), w.ProgramIndex(), w.FwUpgradeChecked(),
                                w.IsoUpgradeEnabled(), w.NonFileSystem(), w.PanelDrive(0)}),
              (std::vector<int>{2, 10, 2, -1, 1, 1, 0, 0}));
}
