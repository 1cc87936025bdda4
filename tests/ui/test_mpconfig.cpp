// Settings configuration files (*.mp): save and load of the settings dialog's controls.
#include "ui/test_settingdlg_fixture.h"

#include "platform/IniFile.h"
#include "ui/MpConfig.h"

using namespace toolkit;
using Strings = std::vector<std::string>;

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
        for (int i : {d.cboScanLevel->ItemIndex(), d.cboPageSkip->ItemIndex(), d.cboECC->ItemIndex(),
                      d.cboRead->ItemIndex(), d.UpDownBadThreshold->Position(), d.tbarHideDiskRatio->Position(),
                      d.tbarHideDiskRatioSelEnd()})
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

TEST_F(MpConfigTest, SaveWritesTheSectionsByteForByte)
{
    dialog->cboScanLevel->SetItemIndex(3);
    dialog->cboPageSkip->SetItemIndex(16);
    dialog->cboECC->SetItemIndex(5);
    dialog->cboRead->SetItemIndex(2);
    dialog->UpDownBadThreshold->SetPosition(45);
    dialog->rdoHideDisk->SetChecked(true);
    dialog->edtDiskLabel->SetText("SECRET");
    dialog->tbarHideDiskRatio->SetPosition(35);
    dialog->TntlstHideFiles->Items()->Assign({"/music/a.mp3", "/music/b folder"});
    ui::SaveMpConfig(*dialog, path());
    EXPECT_EQ(dir.read("a.mp"),
              "[FlashSet]\r\niScanLevel=3\r\niPageSkip=16\r\niEccLevel=5\r\niReadTimes=2\r\niBadThreshold=45\r\n\r\n"
              "[DeviceSet]\r\nNormalDisk=0\r\nEncryptDisk=0\r\nHideDisk=1\r\nDiskLabel=SECRET\r\nHideDiskRatio=35\r\n\r\n"
              "[HideFiles]\r\n/music/a.mp3=\r\n/music/b folder=\r\n");
}

TEST_F(MpConfigTest, SaveThenLoadRestoresTheControlsAndAMissingFileGivesTheDefaults)
{
    dialog->cboScanLevel->SetItemIndex(5);
    dialog->cboPageSkip->SetItemIndex(2);
    dialog->cboECC->SetItemIndex(1);
    dialog->cboRead->SetItemIndex(3);
    dialog->UpDownBadThreshold->SetPosition(0);
    dialog->rdoEncryptDisk->SetChecked(true);
    dialog->edtDiskLabel->SetText("LBL");
    dialog->tbarHideDiskRatio->SetPosition(100);
    dialog->TntlstHideFiles->Items()->Assign({"/z", "/y/中文 name.txt"});
    ui::SaveMpConfig(*dialog, path());
    ui::LoadMpConfig(*dialog, path("none.mp"));
    EXPECT_EQ(controls(), "0,0,2,0,10,1,1,100,10,1,");
    ui::LoadMpConfig(*dialog, path());
    EXPECT_EQ(controls(), "5,2,1,3,0,100,100,010,0,100,LBL,/z,/y/中文 name.txt");
}

TEST_F(MpConfigTest, LoadReadsValuesAndBoundsTheLists)
{
    dir.write("a.mp",
              "[FlashSet]\r\niScanLevel=9\r\niPageSkip=0x10\r\niEccLevel=7\r\niReadTimes=4\r\niBadThreshold=0x1E\r\n"
              "[DeviceSet]\r\nNormalDisk=0\r\nEncryptDisk=0\r\nHideDisk=0\r\nDiskLabel=MUSIC\r\nHideDiskRatio=250\r\n"
              "[HideFiles]\r\n/b=\r\n/a=\r\n/音乐/歌.mp3=\r\n");
    dialog->cboRead->SetEnabled(false);
    ui::LoadMpConfig(*dialog, path());
    EXPECT_EQ(controls(), "-1,16,7,-1,30,100,100,000,30,100,MUSIC,/b,/a,/音乐/歌.mp3");
    EXPECT_FALSE(dialog->cboRead->Enabled()) << "no enabling rules run";

    // The settings change only at Apply; with no disk mode checked it is a normal disk.
    s().eDeviceFeature = 2;
    s().iHideDiskRatio = 20;
    dialog->cboPageSkip->SetItemIndex(0);
    dialog->cboScanLevel->SetItemIndex(0);
    dialog->btnApply->Click();
    EXPECT_EQ(s().eDeviceFeature, 0);
    EXPECT_EQ(s().iHideDiskRatio, 20);
    EXPECT_EQ(form->labDiskFeature->Caption(), "Normal");
}

TEST_F(MpConfigTest, SavingAgainReplacesTheListAndKeepsOtherSections)
{
    dir.write("a.mp", "[Other]\r\nkeep=1\r\n[HideFiles]\r\n/old/x=\r\n");
    dialog->TntlstHideFiles->Items()->Assign({"/1", "/2", "/3"});
    ui::SaveMpConfig(*dialog, path());
    dialog->TntlstHideFiles->Items()->Assign({"/2"});
    ui::SaveMpConfig(*dialog, path());
    EXPECT_EQ(platform::IniFile(path()).ReadSection("HideFiles"), Strings{"/2"});
    EXPECT_EQ(platform::IniFile(path()).ReadString("Other", "keep", ""), "1");
    dialog->TntlstHideFiles->Items()->Clear();
    ui::SaveMpConfig(*dialog, path());
    EXPECT_FALSE(platform::IniFile(path()).SectionExists("HideFiles"));
}

TEST_F(MpConfigTest, FailedSavesReportAndKeepTheFile)
{
    dir.write("a.mp", "[FlashSet]\r\niScanLevel=6\r\n");
    dialog->cboPageSkip->SetItemIndex(-1);
    EXPECT_EQ(errorOf<ui::EConvertError>([&] { ui::SaveMpConfig(*dialog, path()); }), "'' is not a valid integer value");
    EXPECT_EQ(dir.read("a.mp"), "[FlashSet]\r\niScanLevel=6\r\n");

    dialog->cboPageSkip->SetItemIndex(0);
    const std::string bad = dir.file("no/such/folder/a.mp");
    EXPECT_EQ(errorOf<platform::IniFileError>([&] { ui::SaveMpConfig(*dialog, bad); }), "Unable to write to " + bad);
}

// HideFiles keeps names as keys; a list that would not come back unchanged is refused
// with a box naming each such entry, and the file stays as it was.
TEST_F(MpConfigTest, NamesTheListCannotHoldRefuseTheSave)
{
    const std::string old = "[HideFiles]\r\n/old=\r\n";
    const struct { Strings list; std::string refused; } rows[] = {
        {{"/tmp/music/a.mp3", "/tmp/Music/A.mp3"},
         "\"/tmp/Music/A.mp3\" (the same as \"/tmp/music/a.mp3\" apart from letter case)"},
        {{"/x/a=b.txt"}, "\"/x/a=b.txt\" (holds \"=\")"},
        {{"/x/a.txt ", "\t/x/b"}, "\"/x/a.txt \" (begins or ends with a blank)\n\"\t/x/b\" (begins or ends with a blank)"},
        {{"/x", "/y", "/x"}, "\"/x\" (listed twice)"},
        {{";x", "[x]"}, "\";x\" (begins with \";\")\n\"[x]\" (begins with \"[\")"},
        {{"/a\nb", ""}, "\"/a\nb\" (holds a line break)\n\"\" (an empty name)"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.refused);
        dir.write("a.mp", old);
        dialogs.Clear();
        dialog->TntlstHideFiles->Items()->Assign(r.list);
        EXPECT_FALSE(ui::SaveMpConfig(*dialog, path()));
        ASSERT_EQ(dialogs.Messages().size(), 1u);
        EXPECT_EQ(dialogs.Messages()[0].text, "Not saved to " + path() + ": its file list cannot hold these names:\n" + r.refused);
        EXPECT_EQ(dialogs.Messages()[0].caption, "Fail");
        EXPECT_EQ(dialogs.Messages()[0].flags, MB_OK | MB_ICONERROR);
        EXPECT_EQ(dir.read("a.mp"), old);
    }

    // Names the keys hold come back exactly, letter case beyond ASCII included; through the
    // button a refused list writes no file.
    dialogs.Clear();
    const Strings fine = {"/a b/c.mp3", "/x;y[z]", "/音乐/歌.mp3", "/É", "/é", "/tmp/Music/A.mp3"};
    dialog->TntlstHideFiles->Items()->Assign(fine);
    EXPECT_TRUE(ui::SaveMpConfig(*dialog, path()));
    dialog->TntlstHideFiles->Items()->Clear();
    ui::LoadMpConfig(*dialog, path());
    EXPECT_EQ(dialog->TntlstHideFiles->Items()->ToVector(), fine);
    dialog->TntlstHideFiles->Items()->Add("/tmp/music/a.mp3");
    dialogs.QueueSaveFile(dir.file("station.mp"));
    dialog->btnSaveConfig->Click();
    EXPECT_EQ(dialogs.Messages().size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(dir.file("station.mp")));
    EXPECT_TRUE(dialogs.Log().front().kind == ScriptedDialogs::Asked::Save);
}

TEST_F(MpConfigTest, ButtonsAskForTheFileInTheProgramFolder)
{
    dialogs.QueueSaveFile(dir.file("station"));
    dialog->btnSaveConfig->Click();
    EXPECT_TRUE(std::filesystem::exists(dir.file("station.mp"))) << "the default extension is added";
    dialog->btnSaveConfig->Click();  // cancelled
    ASSERT_EQ(dialogs.Log().size(), 2u);
    EXPECT_EQ(dialogs.Log()[0].kind, ScriptedDialogs::Asked::Save);
    EXPECT_EQ(dialogs.Log()[0].caption, "MP file(*.mp)|*.mp");

    dialogs.Clear();
    dialog->edtDiskLabel->SetText("CHANGED");
    dialogs.QueueOpenFiles({dir.file("station.mp")});
    dialog->btnLoadConfig->Click();
    EXPECT_EQ(dialog->edtDiskLabel->Text(), "");
    ASSERT_EQ(dialogs.Log().size(), 1u);
    EXPECT_EQ(dialogs.Log()[0].kind, ScriptedDialogs::Asked::Open);
    EXPECT_EQ(dialogs.Log()[0].caption, "MP File(*.mp)|*.mp");

    dialogs.QueueSaveFile(std::string("line2"));  // a bare name lands in the program folder
    dialog->btnSaveConfig->Click();
    EXPECT_TRUE(std::filesystem::exists(dir.file("line2.mp")));
}
