// The settings dialog wired to a main window in a program folder: settings into controls at
// every showing, controls back at Apply, the number reader and the *.mp files. The
// operator's widget input is in tests/view.
#include "device/HostUtil.h"
#include "platform/IniFile.h"
#include "platform/ProgramDir.h"
#include "support/TempDir.h"
#include "toolkit/Dialogs.h"
#include "ui/MpConfig.h"
#include "ui/SettingDlg.h"
#include "ui/Unit2.h"
#include "ui/main.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>

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
    void show() { dialog->DoShow(); }
    std::string makeFile(const std::string& relative, size_t bytes = 16)
    {
        dir.write(relative, std::string(bytes, 'x'));
        return dir.file(relative);
    }
    ProductionSettings& s() { return *form; }

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
    {"PatternLow16Bits", DO(s.iScanLevel = 5), DO(EXPECT_EQ(d.edtpattern->Text(), "0x0000")), DO(d.edtpattern->UserSetText("0x12345")),
     DO(EXPECT_EQ(s.Pattern, 0x2345))},
    {"iEccLevel", DO(s.iEccLevel = 4), DO(EXPECT_EQ(d.cboECC->Text(), "3")), DO(d.cboECC->UserSelect(0)), DO(EXPECT_EQ(s.iEccLevel, 0))},
    {"iBadThreshold", DO(s.iBadThreshold = 30), DO(EXPECT_EQ(d.UpDownBadThreshold->Position(), 30); EXPECT_EQ(d.edtBadThreshold->Text(), "30")),
     DO(d.UpDownBadThreshold->UserStep(+1)), DO(EXPECT_EQ(s.iBadThreshold, 31))},
    {"PageMode", DO(s.PageMode = true), DO(EXPECT_TRUE(d.chkPageScan->Checked() && d.chkPageScan->Enabled() && d.cboPageMode->Enabled())),
     DO(d.chkPageScan->UserClick()), DO(EXPECT_FALSE(s.PageMode))},
    {"eDeviceFeature", DO(s.eDeviceFeature = 1), DO(EXPECT_TRUE(d.rdoEncryptDisk->Checked() && d.grpHideDisk->Visible())),
     DO(d.rdoHideDisk->UserClick()), DO(EXPECT_EQ(s.eDeviceFeature, 2))},
    {"iHideDiskRatio", DO(s.eDeviceFeature = 1; s.iHideDiskRatio = 25),
     DO(EXPECT_EQ(d.tbarHideDiskRatio->Position(), 25); EXPECT_EQ(d.edtEncryptRatio->Text(), "25"); EXPECT_EQ(d.tbarHideDiskRatioSelEnd(), 25)),
     DO(d.tbarHideDiskRatio->SetPosition(40)), DO(EXPECT_EQ(s.iHideDiskRatio, 40))},
    {"sHideDiskLabel", DO(s.eDeviceFeature = 2; s.sHideDiskLabel = "SECRET"), DO(EXPECT_EQ(d.edtDiskLabel->Text(), "SECRET")),
     DO(d.edtDiskLabel->UserSetText("private_disk")), DO(EXPECT_EQ(s.sHideDiskLabel, "PRIVATE_"))},
    {"HideFileList", DO(s.HideFileList.Add(t.makeFile("a.txt"))), DO(EXPECT_EQ(d.TntlstHideFiles->Items()->ToVector(), Strings{t.dir.file("a.txt")})),
     DO(d.TntlstHideFiles->Items()->Add(t.makeFile("b.txt"))), DO(EXPECT_EQ(s.HideFileList.ToVector(), (Strings{t.dir.file("a.txt"), t.dir.file("b.txt")})))},
    {"DealCapError", DO(s.DealCapError = 1), DO(EXPECT_TRUE(d.rdoCapShowFail->Checked())), DO(d.rdoDonotCare->UserClick()), DO(EXPECT_EQ(s.DealCapError, 2))},
    {"bUseImgFile", DO(s.bUseImgFile = true), DO(EXPECT_TRUE(d.rdoUseImgFile->Checked() && d.grpImgFile->Visible() && !d.grpHiddenFiles->Visible())),
     DO(d.rdoUseListFile->UserClick()), DO(EXPECT_FALSE(s.bUseImgFile))},
    {"ImageFile", DO(s.ImageFile = "/media/old.img"), DO(EXPECT_EQ(d.edtImgFile->Text(), "/media/old.img")), DO(d.edtImgFile->SetText("/media/new.img")),
     DO(EXPECT_EQ(s.ImageFile, "/media/new.img"))},
    {"bFastBlankCheck", DO(RegWriteInteger(ui::kFastBlankKey, ui::kFastBlankValue, 1); s.bFastBlankCheck = true), DO(EXPECT_TRUE(d.chkFastBlkChk->Checked())),
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

TEST(StrToInt, ReadsDecimalAndHexWithinInt32AndRefusesTheRest)
{
    for (const auto& [text, value] : {std::pair{"063182954", 63182954}, {"-2147483648", INT32_MIN}, {"0xFFFFFFFF", -1}, {"-$10", -16},
                                      {"x1a2", 418}, {" 418", 418}})
        EXPECT_EQ(ui::StrToInt(text), value) << text;
    for (const char* bad : {"", "2147483648", "-2147483649", "0x100000000", "5 ", "0x", "--1"})
        EXPECT_THROW(ui::StrToInt(bad), ui::EConvertError) << bad;
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
    dir.write("a.mp", "[DeviceSet]\r\nHideDiskRatio=10\r\n");  // the ratio already shown
    ui::LoadMpConfig(*dialog, path());
    EXPECT_EQ(dialog->tbarHideDiskRatioSelEnd(), 10) << "the selection follows it too";
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
    EXPECT_EQ(dir.read("a.mp"),  // marked as UTF-8: it holds more than ASCII
              "\xEF\xBB\xBF[Other]\r\nkeep=1\r\n[FlashSet]\r\niScanLevel=3\r\niPageSkip=16\r\niEccLevel=5\r\niReadTimes=2\r\niBadThreshold=45\r\n\r\n"
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
    EXPECT_THROW(ui::SaveMpConfig(*dialog, path()), ui::EConvertError);
    EXPECT_EQ(dir.read("a.mp"), before);
    dialog->cboPageSkip->SetItemIndex(0);
    EXPECT_THROW(ui::SaveMpConfig(*dialog, dir.file("no/such/folder/a.mp")), platform::IniFileError);
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
