// The settings dialog wired to a main window in a program folder: settings into controls at
// every showing, controls back at Apply, bounds, enabling rules, image checks, the Fast
// Blanking Check flow and the *.mp files. The operator's widget input is in tests/view.
#include "device/HostUtil.h"
#include "platform/IniFile.h"
#include "platform/ProgramDir.h"
#include "support/TempDir.h"
#include "toolkit/Dialogs.h"
#include "toolkit/TThread.h"
#include "ui/MpConfig.h"
#include "ui/SettingDlg.h"
#include "ui/Unit2.h"
#include "ui/isomain.h"
#include "ui/main.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <tuple>

using namespace toolkit;
using Strings = std::vector<std::string>;

namespace {

class SettingDlgTest : public ::testing::Test {
public:  // table rows reach the fixture from outside
    void SetUp() override
    {
        platform::SetProgramDir(dir.path());
        SetDialogs(&dialogs);
        std::filesystem::create_directories(dir.file("misc"));
        form = std::make_unique<TForm1>();
        form->LoadSettings(".\\misc\\prefer.ini");
        dialog = std::make_unique<TfrmSetting>();
        password = std::make_unique<TForm2>();
        dialog->MainWindow = password->MainWindow = form.get();
        dialog->PasswordDialog = password.get();
        password->SettingDialog = dialog.get();
        dialogs.Clear();
    }
    void TearDown() override
    {
        password.reset();
        dialog.reset();
        form.reset();
        SetDialogs(nullptr);
    }
    void allowFastBlankCheck(int value = 1) { RegWriteInteger(ui::kFastBlankKey, ui::kFastBlankValue, value); }
    void show() { dialog->DoShow(); }
    std::string makeFile(const std::string& relative, size_t bytes = 16)
    {
        dir.write(relative, std::string(bytes, 'x'));
        return dir.file(relative);
    }
    ProductionSettings& s() { return *form; }
    // The text of the E that f throws; any other outcome fails the test.
    template <class E, class F> static std::string errorOf(F f)
    {
        try {
            f();
        } catch (const E& e) {
            return e.what();
        }
        return "no error";
    }

    testsupport::TempDir dir;
    ScriptedDialogs dialogs;
    std::unique_ptr<TForm1> form;
    std::unique_ptr<TfrmSetting> dialog;
    std::unique_ptr<TForm2> password;
};

// One row per setting: store it, check what the dialog shows, edit it, check what Apply stored.
using Step = std::function<void(SettingDlgTest&)>;
struct FieldCase {
    const char* field;
    Step store, expectShown, edit, expectApplied;
};
#define DO(...) [](SettingDlgTest& t) { auto& d = *t.dialog; auto& s = t.s(); (void)d; (void)s; __VA_ARGS__; }

const FieldCase kFieldCases[] = {
    {"iScanLevel", DO(s.iScanLevel = 3), DO(EXPECT_EQ(d.cboScanLevel->Text(), "Level 4")), DO(d.cboScanLevel->UserSelect(6)), DO(EXPECT_EQ(s.iScanLevel, 6))},
    {"Pattern", DO(s.iScanLevel = 5; s.Pattern = 418), DO(EXPECT_EQ(d.edtpattern->Text(), "0x01A2")), DO(d.edtpattern->UserSetText("$BEEF")), DO(EXPECT_EQ(s.Pattern, 0xBEEF))},
    {"iPageSkip", DO(s.iPageSkip = 7), DO(EXPECT_EQ(d.cboPageSkip->Text(), "7")), DO(d.cboPageSkip->UserSelect(64)), DO(EXPECT_EQ(s.iPageSkip, 64))},
    {"iEccLevel", DO(s.iEccLevel = 4), DO(EXPECT_EQ(d.cboECC->Text(), "3")), DO(d.cboECC->UserSelect(0)), DO(EXPECT_EQ(s.iEccLevel, 0))},
    {"iBadThreshold", DO(s.iBadThreshold = 30), DO(EXPECT_EQ(d.UpDownBadThreshold->Position(), 30); EXPECT_EQ(d.edtBadThreshold->Text(), "30")),
     DO(d.UpDownBadThreshold->UserStep(+1)), DO(EXPECT_EQ(s.iBadThreshold, 31))},
    {"PageMode", DO(s.PageMode = true), DO(EXPECT_TRUE(d.chkPageScan->Checked() && d.chkPageScan->Enabled() && d.cboPageMode->Enabled())),
     DO(d.chkPageScan->UserClick()), DO(EXPECT_FALSE(s.PageMode))},
    {"PageModeSel", DO(s.PageModeSel = 7), DO(EXPECT_EQ(d.cboPageMode->Text(), "Auto Detection")), DO(d.cboPageMode->UserSelect(2)), DO(EXPECT_EQ(s.PageModeSel, 2))},
    {"eDeviceFeature", DO(s.eDeviceFeature = 1), DO(EXPECT_TRUE(d.rdoEncryptDisk->Checked() && d.grpHideDisk->Visible())),
     DO(d.rdoHideDisk->UserClick()), DO(EXPECT_EQ(s.eDeviceFeature, 2))},
    {"iHideDiskRatio", DO(s.eDeviceFeature = 1; s.iHideDiskRatio = 25),
     DO(EXPECT_EQ(d.tbarHideDiskRatio->Position(), 25); EXPECT_EQ(d.edtEncryptRatio->Text(), "25"); EXPECT_EQ(d.tbarHideDiskRatioSelEnd(), 25)),
     DO(d.tbarHideDiskRatio->SetPosition(40)), DO(EXPECT_EQ(s.iHideDiskRatio, 40))},
    {"sHideDiskLabel", DO(s.eDeviceFeature = 2; s.sHideDiskLabel = "SECRET"), DO(EXPECT_EQ(d.edtDiskLabel->Text(), "SECRET")),
     DO(d.edtDiskLabel->UserSetText("private_disk")), DO(EXPECT_EQ(s.sHideDiskLabel, "PRIVATE_"))},
    {"HideFileList", DO(s.HideFileList.Add(t.makeFile("a.txt"))), DO(EXPECT_EQ(d.TntlstHideFiles->Items()->ToVector(), Strings{t.dir.file("a.txt")})),
     DO(d.TntlstHideFiles->Items()->Add(t.makeFile("b.txt"))), DO(EXPECT_EQ(s.HideFileList.ToVector(), (Strings{t.dir.file("a.txt"), t.dir.file("b.txt")})))},
    {"SpiFileList", DO(s.SpiFileList.Add(t.makeFile("spi.bin"))), DO(EXPECT_EQ(d.TntlstSpiFiles->Items()->ToVector(), Strings{t.dir.file("spi.bin")})),
     DO(d.TntlstSpiFiles->Items()->Clear()), DO(EXPECT_EQ(s.SpiFileList.Count(), 0))},
    {"AllowErrorRate", DO(s.AllowErrorRate = 5), DO(EXPECT_EQ(d.edtCapError->Text(), "5")), DO(d.UpDownCapError->UserStep(+1)), DO(EXPECT_EQ(s.AllowErrorRate, 6))},
    {"iReadTimes", DO(s.iReadTimes = 2), DO(EXPECT_EQ(d.cboRead->Text(), "1")), DO(d.cboRead->UserSelect(3)), DO(EXPECT_EQ(s.iReadTimes, 3))},
    {"DealCapError", DO(s.DealCapError = 1), DO(EXPECT_TRUE(d.rdoCapShowFail->Checked())), DO(d.rdoDonotCare->UserClick()), DO(EXPECT_EQ(s.DealCapError, 2))},
    {"bUseImgFile", DO(s.bUseImgFile = true), DO(EXPECT_TRUE(d.rdoUseImgFile->Checked() && d.grpImgFile->Visible() && !d.grpHiddenFiles->Visible())),
     DO(d.rdoUseListFile->UserClick()), DO(EXPECT_FALSE(s.bUseImgFile))},
    {"ImageFile", DO(s.ImageFile = "/media/old.img"), DO(EXPECT_EQ(d.edtImgFile->Text(), "/media/old.img")), DO(d.edtImgFile->SetText("/media/new.img")),
     DO(EXPECT_EQ(s.ImageFile, "/media/new.img"))},
    {"SaveSpiImage", DO(s.SaveSpiImage = true), DO(EXPECT_TRUE(d.chkSaveSpiImage->Checked())), DO(d.chkSaveSpiImage->UserClick()), DO(EXPECT_FALSE(s.SaveSpiImage))},
    {"bNonFileSystem", DO(s.bNonFileSystem = true), DO(EXPECT_TRUE(d.chkNonFS->Checked())), DO(d.chkNonFS->UserClick()), DO(EXPECT_FALSE(s.bNonFileSystem))},
    {"bFastBlankCheck", DO(t.allowFastBlankCheck(); s.bFastBlankCheck = true), DO(EXPECT_TRUE(d.chkFastBlkChk->Checked())),
     DO(d.chkFastBlkChk->UserClick()), DO(EXPECT_FALSE(s.bFastBlankCheck))},  // unticking asks nothing
};
#undef DO

class FieldRoundTrip : public SettingDlgTest, public ::testing::WithParamInterface<FieldCase> {};

} // namespace

TEST_P(FieldRoundTrip, ShowCopiesInApplyCopiesBack)
{
    const FieldCase& c = GetParam();
    c.store(*this);
    show();
    c.expectShown(*this);
    c.edit(*this);
    dialog->btnApply->Click();
    EXPECT_EQ(dialog->ModalResult(), mrOk);
    c.expectApplied(*this);
}

INSTANTIATE_TEST_SUITE_P(EveryField, FieldRoundTrip, ::testing::ValuesIn(kFieldCases),
                         [](const auto& info) { return std::string(info.param.field); });

TEST_F(SettingDlgTest, StoredValuesOutOfRangeAreBounded)
{
    s().iScanLevel = 9, s().iEccLevel = 9, s().iReadTimes = -1, s().PageModeSel = 12, s().iBadThreshold = 150;
    s().AllowErrorRate = 0, s().DealCapError = 7, s().eDeviceFeature = 5, s().iHideDiskRatio = 0;
    show();
    EXPECT_EQ(dialog->cboScanLevel->Text(), "Level 7");
    EXPECT_EQ((std::vector<int>{dialog->cboECC->ItemIndex(), dialog->cboRead->ItemIndex(), dialog->cboPageMode->ItemIndex(),
                                dialog->tbarHideDiskRatio->Position()}),
              (std::vector<int>{-1, -1, -1, 1}));
    EXPECT_EQ(dialog->edtBadThreshold->Text() + "," + dialog->edtCapError->Text(), "100,1");
    EXPECT_TRUE(dialog->rdoDonotCare->Checked() && dialog->rdoNormalDisk->Checked());
    dialog->btnApply->Click();
    EXPECT_EQ((std::vector<int>{s().iScanLevel, s().iEccLevel, s().iReadTimes, s().PageModeSel, s().iBadThreshold,
                                s().AllowErrorRate, s().DealCapError, s().eDeviceFeature}),
              (std::vector<int>{6, -1, -1, -1, 100, 1, 2, 0}));

    s().iScanLevel = -1;         // taken as unsigned
    s().iBadThreshold = -5;
    s().AllowErrorRate = 70000;  // a 16-bit position: 4464, then the up-down's 20
    show();
    EXPECT_EQ(dialog->cboScanLevel->Text() + "," + dialog->edtBadThreshold->Text() + "," + dialog->edtCapError->Text(), "Level 7,0,20");
}

TEST_F(SettingDlgTest, UnreadablePageSkipOrPatternKeepsTheDialogOpen)
{
    s().iPageSkip = 70, s().iScanLevel = 5, s().iBadThreshold = 33;
    show();
    EXPECT_EQ(dialog->cboPageSkip->ItemIndex(), -1);
    dialog->UpDownBadThreshold->UserStep(1);
    EXPECT_EQ(errorOf<ui::EConvertError>([&] { dialog->btnApplyClick(dialog->btnApply); }), "'' is not a valid integer value");
    EXPECT_EQ(std::make_pair(int(s().iBadThreshold), dialog->ModalResult()), std::make_pair(33, int(mrNone)));
    dialog->cboPageSkip->SetItemIndex(0);
    dialog->edtpattern->SetText("12G");
    EXPECT_THROW(dialog->btnApplyClick(dialog->btnApply), ui::EConvertError);
}

TEST(StrToInt, ReadsDecimalAndHexWithinInt32AndRefusesTheRest)
{
    for (const auto& [text, value] : {std::pair{"063182954", 63182954}, {"-2147483648", INT32_MIN}, {"0xFFFFFFFF", -1}, {"-$10", -16},
                                      {"x1a2", 418}, {" 418", 418}})
        EXPECT_EQ(ui::StrToInt(text), value) << text;
    for (const char* bad : {"", "2147483648", "-2147483649", "0x100000000", "5 ", "0x", "--1"})
        EXPECT_THROW(ui::StrToInt(bad), ui::EConvertError) << bad;
}

// Apply labels the main window in its language; a normal disk keeps the stored ratio and label.
TEST_F(SettingDlgTest, DiskModeRatiosAndTheMainWindowsLabel)
{
    form->LanguageIndex = 1;
    s().eDeviceFeature = 2;
    s().iHideDiskRatio = 100;
    show();
    dialog->btnApply->Click();
    EXPECT_EQ(std::make_pair(int(s().iHideDiskRatio), form->labDiskFeature->Caption()), std::make_pair(99, std::string("隱藏碟99%")));
    s().sHideDiskLabel = "KEEP";
    show();
    dialog->edtDiskLabel->SetText("OTHER");
    dialog->tbarHideDiskRatio->SetPosition(50);
    dialog->rdoNormalDisk->UserClick();
    dialog->btnApply->Click();
    EXPECT_EQ(std::tie(s().eDeviceFeature, s().iHideDiskRatio, s().sHideDiskLabel), std::make_tuple(0, 99, "KEEP"));
    EXPECT_EQ(form->labDiskFeature->Caption(), "一般碟");
}

// The view checks an empty image path; a missing file or a folder is refused as well, and
// nothing is applied. A normal disk takes the same choice unchecked.
TEST_F(SettingDlgTest, ImageChoiceIsCheckedOnlyForEncryptedOrHiddenDisks)
{
    s().eDeviceFeature = 1, s().bUseImgFile = true, s().iScanLevel = 1;
    show();
    dialog->cboScanLevel->UserSelect(4);
    for (const std::string& bad : {dir.file("missing.img"), dir.path()}) {
        dialog->edtImgFile->SetText(bad);
        dialog->btnApply->Click();
        EXPECT_EQ(std::make_tuple(s().iScanLevel, dialog->ModalResult()), std::make_tuple(1, int(mrNone))) << bad;
    }
    EXPECT_EQ(dialogs.Messages().size(), 2u);
    dialog->edtImgFile->SetText(makeFile("disk.img"));
    dialog->btnApply->Click();
    EXPECT_EQ(s().iScanLevel, 4);
    s().eDeviceFeature = 0;
    s().ImageFile.clear();
    show();
    dialog->btnApply->Click();
    EXPECT_EQ(std::make_pair(dialog->ModalResult(), dialogs.Messages().size()), std::make_pair(int(mrOk), size_t(2)));
}

TEST_F(SettingDlgTest, ImageSizeLabelAndBrowsing)
{
    s().ImageFile = makeFile("main.img", 3 * 1024 * 1024 + 5);
    s().bUseImgFile = true;
    show();
    EXPECT_EQ(dialog->lblImgSizeMB->Caption(), "3MB");
    dialogs.QueueOpenFiles({dir.file("none.img")});
    dialog->btnBrowseImg->Click();
    EXPECT_EQ(dialogs.Messages().at(0).text, "Invalid IMG file");
    EXPECT_EQ(dialog->lblImgSizeMB->Caption() + dialog->edtImgFile->Text(), "3MB" + dir.file("main.img"));
    dialogs.QueueOpenFiles({makeFile("other.img", 7 * 1024 * 1024)});
    dialog->btnBrowseImg->Click();
    EXPECT_EQ(dialog->lblImgSizeMB->Caption() + dialog->edtImgFile->Text(), "7MB" + dir.file("other.img"));
    EXPECT_EQ(dialogs.Log().at(0).caption, "Image File *.IMG|*.IMG");
    dialog->btnBrowseImg->Click();  // cancelled: nothing changes
    EXPECT_EQ(dialog->edtImgFile->Text(), dir.file("other.img"));

    uint64_t size = 77;  // sizes beyond 4 GiB are not cut
    EXPECT_FALSE(GetImgFileSize(dir.file("missing.img"), size) || GetImgFileSize(dir.path(), size));
    EXPECT_EQ(size, 77u) << "untouched on failure";
    std::filesystem::resize_file(makeFile("big.img", 1), 5ull << 30);
    ASSERT_TRUE(GetImgFileSize(dir.file("big.img"), size));
    EXPECT_EQ(size, 5ull << 30);
}

TEST_F(SettingDlgTest, ListsDropGoneEntries)
{
    std::filesystem::create_directories(dir.file("folder"));
    std::string file = makeFile("f.txt");
    for (auto* list : {&s().HideFileList, &s().SpiFileList})
        list->Assign({dir.file("folder"), dir.file("gone.txt"), file});
    show();
    dialog->btnApply->Click();
    EXPECT_EQ(s().HideFileList.ToVector(), (Strings{dir.file("folder"), file}));
    EXPECT_EQ(s().SpiFileList.ToVector(), Strings{file}) << "files only";
}

// A stored special scan survives an Apply made for another change. Shown by the setup
// button, only the custom level reads the pattern; there the special scan box stays ticked
// but neither it nor the page mode can be changed. Cancel keeps everything.
TEST_F(SettingDlgTest, StoredSpecialScanAndTheCustomLevel)
{
    s().PageMode = true;
    s().PageModeSel = 3;
    show();
    dialog->cboECC->UserSelect(1);
    dialog->btnApply->Click();
    EXPECT_EQ(std::make_tuple(s().PageMode, s().PageModeSel), std::make_tuple(true, 3));
    form->SettingForm = dialog.get();
    for (const char* level : {"2", "5"}) {
        dir.write("misc/prefer.ini", std::string("[MP_Setting]\r\niScanLevel=") + level + "\r\nPageMode=1\r\n");
        form->LoadSettings(".\\misc\\prefer.ini");
        s().Pattern = -1;  // shown with all 32 bits
        std::vector<bool> shown;
        dialogs.onShowModal = [&](TForm&) {
            shown = {dialog->chkPageScan->Checked(), dialog->chkPageScan->Enabled(), dialog->cboPageMode->Enabled(),
                     dialog->edtpattern->Enabled(), dialog->Tntlblpattern->Enabled(), dialog->cboRead->Enabled()};
            EXPECT_EQ(dialog->edtpattern->Text(), "0xFFFFFFFF");
            dialog->edtpattern->SetText("not a number");
            return int(mrCancel);
        };
        form->btnSetup->Click();
        const bool custom = level[0] == '5';
        EXPECT_EQ(shown, (std::vector<bool>{true, !custom, !custom, custom, custom, custom})) << level;
    }
    dialog->cboScanLevel->UserSelect(2);
    dialog->btnApply->Click();
    EXPECT_EQ(s().Pattern, -1) << "other levels do not read it";
    dialog->cboScanLevel->UserSelect(1);
    dialog->btnCancel->Click();
    EXPECT_EQ(std::make_pair(dialog->ModalResult(), int(s().iScanLevel)), std::make_pair(int(mrCancel), 2));
}

TEST_F(SettingDlgTest, ModuleNumberIsWrittenIntoTheFirmwareOnlyWhenChanged)
{
    dir.write("fw.bin", "6205" + std::string(0x97F9, '\0') + "U\xAA" + '\0');
    form->TntSelectFileList2->Items()->Add(dir.file("fw.bin"));
    s().iFlashModuleNo = 0;
    show();
    dialog->cboFlashModuleNo->UserSelect(3);
    dialog->btnApply->Click();
    EXPECT_EQ(s().iFlashModuleNo, 3);
    EXPECT_EQ(dir.read("fw.bin")[0x97FF], 3);

    s().iFlashModuleNo = 7;  // no selection: the main window refuses it and -1 is stored
    show();
    dialog->btnApply->Click();
    ASSERT_EQ(dialogs.Messages().size(), 1u);
    EXPECT_EQ(dialogs.Messages()[0].text, "nonlegal mulitplier");
    EXPECT_EQ(s().iFlashModuleNo, -1);
    EXPECT_EQ(dir.read("fw.bin")[0x97FF], 3);
}

TEST_F(SettingDlgTest, FastBlankCheckAsksForThePasswordAndNeedsTheRegistryValue)
{
    show();
    dialogs.onShowModal = [&](TForm& f) {
        EXPECT_EQ(&f, password.get());
        password->edtpassword->SetText("63182954");
        password->Button1->Click();
        return mrCancel;
    };
    dialogs.QueueMessageAnswer(IDNO);  // No unchecks the box, yet the password still decides
    dialog->chkFastBlkChk->UserClick();
    EXPECT_EQ(dialogs.Log().at(0).flags, MB_YESNO | MB_ICONWARNING);
    EXPECT_TRUE(dialog->chkFastBlkChk->Checked());
    dialog->btnApply->Click();
    EXPECT_TRUE(s().bFastBlankCheck);
    for (int value : {-1, 0, 7}) {  // -1: no registry value
        if (value >= 0)
            allowFastBlankCheck(value);
        show();
        EXPECT_EQ(dialog->chkFastBlkChk->Checked(), value > 0) << value;
    }
}

TEST_F(SettingDlgTest, CreateButtonOpensTheImageDialogForTheImageEdit)
{
    show();
    dialog->btnShowImgTool->Click();  // no image dialog: nothing happens
    EXPECT_TRUE(dialogs.Log().empty());
    auto images = std::make_unique<TfrmIsoMain>();
    dialogs.onShowModal = [&](TForm& f) {
        EXPECT_EQ(&f, images.get());
        images->SettingImgFileEdit->SetText(dir.file("made.img"));  // as after a successful build
        return mrOk;
    };
    dialog->btnShowImgTool->Click();
    EXPECT_EQ(dialog->edtImgFile->Text(), dir.file("made.img"));
}

// ---- *.mp files ----

namespace {

class MpConfigTest : public SettingDlgTest {
public:
    void SetUp() override
    {
        SettingDlgTest::SetUp();
        show();
    }
    std::string path(const char* name = "a.mp") { return dir.file(name); }
    // Every control the file holds, in one line.
    std::string controls()
    {
        TfrmSetting& d = *dialog;
        std::string out;
        for (int i : {d.cboScanLevel->ItemIndex(), d.cboPageSkip->ItemIndex(), d.cboECC->ItemIndex(), d.cboRead->ItemIndex(),
                      d.UpDownBadThreshold->Position(), d.tbarHideDiskRatio->Position(), d.tbarHideDiskRatioSelEnd()})
            out += std::to_string(i) + ",";
        for (auto* radio : {d.rdoNormalDisk, d.rdoEncryptDisk, d.rdoHideDisk})
            out += radio->Checked() ? "1" : "0";
        out += "," + d.edtBadThreshold->Text() + "," + d.edtEncryptRatio->Text() + "," + d.edtDiskLabel->Text();
        for (const auto& item : d.TntlstHideFiles->Items()->ToVector())
            out += "," + item;
        return out;
    }
};

} // namespace

TEST_F(MpConfigTest, SaveWritesTheSectionsByteForByteAndLoadRestoresThem)
{
    dialog->cboScanLevel->SetItemIndex(3);
    dialog->cboPageSkip->SetItemIndex(16);
    dialog->cboECC->SetItemIndex(5);
    dialog->cboRead->SetItemIndex(2);
    dialog->UpDownBadThreshold->SetPosition(45);
    dialog->rdoHideDisk->SetChecked(true);
    dialog->edtDiskLabel->SetText("SECRET");
    dialog->tbarHideDiskRatio->SetPosition(35);
    dialog->TntlstHideFiles->Items()->Assign({"/music/a.mp3", "/y/中文 name.txt"});
    dir.write("a.mp", "[Other]\r\nkeep=1\r\n[HideFiles]\r\n/old/x=\r\n");
    ui::SaveMpConfig(*dialog, path());
    EXPECT_EQ(dir.read("a.mp"),
              "[Other]\r\nkeep=1\r\n[FlashSet]\r\niScanLevel=3\r\niPageSkip=16\r\niEccLevel=5\r\niReadTimes=2\r\niBadThreshold=45\r\n\r\n"
              "[DeviceSet]\r\nNormalDisk=0\r\nEncryptDisk=0\r\nHideDisk=1\r\nDiskLabel=SECRET\r\nHideDiskRatio=35\r\n\r\n"
              "[HideFiles]\r\n/music/a.mp3=\r\n/y/中文 name.txt=\r\n");
    ui::LoadMpConfig(*dialog, path("none.mp"));
    EXPECT_EQ(controls(), "0,0,2,0,10,1,1,100,10,1,") << "a missing file gives the defaults";
    ui::LoadMpConfig(*dialog, path());
    EXPECT_EQ(controls(), "3,16,5,2,45,35,35,001,45,35,SECRET,/music/a.mp3,/y/中文 name.txt");
    dialog->TntlstHideFiles->Items()->Clear();
    ui::SaveMpConfig(*dialog, path());
    EXPECT_FALSE(platform::IniFile(path()).SectionExists("HideFiles")) << "an empty list leaves no section";

    const std::string before = dir.read("a.mp");
    dialog->cboPageSkip->SetItemIndex(-1);
    EXPECT_EQ(errorOf<ui::EConvertError>([&] { ui::SaveMpConfig(*dialog, path()); }), "'' is not a valid integer value");
    EXPECT_EQ(dir.read("a.mp"), before);
    dialog->cboPageSkip->SetItemIndex(0);
    const std::string bad = dir.file("no/such/folder/a.mp");
    EXPECT_EQ(errorOf<platform::IniFileError>([&] { ui::SaveMpConfig(*dialog, bad); }), "Unable to write to " + bad);
}

TEST_F(MpConfigTest, LoadTakesValuesAsTheProfileReadsThemAndChangesNoSetting)
{
    dir.write("a.mp", "[FlashSet]\r\niScanLevel=9\r\niPageSkip=0x10\r\niEccLevel=7\r\niReadTimes=4\r\niBadThreshold=0x1E\r\n"
                      "[DeviceSet]\r\nNormalDisk=0\r\nEncryptDisk=0\r\nHideDisk=0\r\nDiskLabel=MUSIC\r\nHideDiskRatio=10\r\n"
                      "[HideFiles]\r\n/b=\r\n/a=\r\n/音乐/歌.mp3=\r\n");
    dialog->cboRead->SetEnabled(false);
    ui::LoadMpConfig(*dialog, path());
    EXPECT_EQ(controls(), "-1,16,7,-1,30,10,10,000,30,10,MUSIC,/b,/a,/音乐/歌.mp3") << "a ratio as shown still sets the selection";
    EXPECT_FALSE(dialog->cboRead->Enabled()) << "no enabling rules run";
    // The settings change only at Apply; with no disk mode checked it is a normal disk.
    s().eDeviceFeature = 2;
    s().iHideDiskRatio = 20;
    dialog->cboPageSkip->SetItemIndex(0);
    dialog->cboScanLevel->SetItemIndex(0);
    dialog->btnApply->Click();
    EXPECT_EQ(std::make_pair(int(s().eDeviceFeature), int(s().iHideDiskRatio)), std::make_pair(0, 20));
}

// HideFiles keeps names as keys; a list that would not come back unchanged is refused
// with a box naming each such entry, and the file stays as it was.
TEST_F(MpConfigTest, NamesTheListCannotHoldRefuseTheSave)
{
    const std::string old = "[HideFiles]\r\n/old=\r\n";
    const struct { Strings list; std::string refused; } rows[] = {
        {{"/tmp/music/a.mp3", "/tmp/Music/A.mp3"}, "\"/tmp/Music/A.mp3\" (the same as \"/tmp/music/a.mp3\" apart from letter case)"},
        {{"/x/a=b.txt"}, "\"/x/a=b.txt\" (holds \"=\")"},
        {{"/x/a.txt ", "\t/x/b"}, "\"/x/a.txt \" (begins or ends with a blank)\n\"\t/x/b\" (begins or ends with a blank)"},
        {{"/x", "/y", "/x"}, "\"/x\" (listed twice)"},
        {{";x", "[x]"}, "\";x\" (begins with \";\")\n\"[x]\" (begins with \"[\")"},
        {{"/a\nb", ""}, "\"/a\nb\" (holds a line break)\n\"\" (an empty name)"},
    };
    for (const auto& r : rows) {
        dir.write("a.mp", old);
        dialogs.Clear();
        dialog->TntlstHideFiles->Items()->Assign(r.list);
        EXPECT_FALSE(ui::SaveMpConfig(*dialog, path()));
        ASSERT_EQ(dialogs.Messages().size(), 1u);
        EXPECT_EQ(dialogs.Messages()[0].text + "|" + dialogs.Messages()[0].caption,
                  "Not saved to " + path() + ": its file list cannot hold these names:\n" + r.refused + "|Fail");
        EXPECT_EQ(dir.read("a.mp"), old);
    }
    // Names the keys hold come back exactly, letter case beyond ASCII included.
    const Strings fine = {"/a b/c.mp3", "/x;y[z]", "/音乐/歌.mp3", "/É", "/é", "/tmp/Music/A.mp3"};
    dialog->TntlstHideFiles->Items()->Assign(fine);
    EXPECT_TRUE(ui::SaveMpConfig(*dialog, path()));
    dialog->TntlstHideFiles->Items()->Clear();
    ui::LoadMpConfig(*dialog, path());
    EXPECT_EQ(dialog->TntlstHideFiles->Items()->ToVector(), fine);
}

TEST_F(MpConfigTest, ButtonsAskForTheFileInTheProgramFolder)
{
    dialogs.QueueSaveFile(dir.file("station"));
    dialog->btnSaveConfig->Click();
    EXPECT_TRUE(std::filesystem::exists(dir.file("station.mp"))) << "the default extension is added";
    dialog->btnSaveConfig->Click();  // cancelled
    EXPECT_EQ(dialogs.Log().at(1).caption, "MP file(*.mp)|*.mp");
    dialog->edtDiskLabel->SetText("CHANGED");
    dialogs.QueueOpenFiles({dir.file("station.mp")});
    dialog->btnLoadConfig->Click();
    EXPECT_EQ(dialog->edtDiskLabel->Text(), "");
    dialogs.QueueSaveFile(std::string("line2"));  // a bare name lands in the program folder
    dialog->btnSaveConfig->Click();
    EXPECT_TRUE(std::filesystem::exists(dir.file("line2.mp")));
}
