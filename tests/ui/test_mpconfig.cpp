// Settings configuration files (*.mp): save and load of the settings dialog's controls.
#include "ui/test_settingdlg_fixture.h"

#include "platform/IniFile.h"
#include "ui/MpConfig.h"

using namespace toolkit;

namespace {

class MpConfigTest : public SettingDlgTest {
public:
    void SetUp() override
    {
        SettingDlgTest::SetUp();
        show();
    }
    std::string path(const char* name = "a.mp") { return dir.file(name); }
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
              "[FlashSet]\r\n"
              "iScanLevel=3\r\n"
              "iPageSkip=16\r\n"
              "iEccLevel=5\r\n"
              "iReadTimes=2\r\n"
              "iBadThreshold=45\r\n"
              "\r\n"
              "[DeviceSet]\r\n"
              "NormalDisk=0\r\n"
              "EncryptDisk=0\r\n"
              "HideDisk=1\r\n"
              "DiskLabel=SECRET\r\n"
              "HideDiskRatio=35\r\n"
              "\r\n"
              "[HideFiles]\r\n"
              "/music/a.mp3=\r\n"
              "/music/b folder=\r\n");
}

TEST_F(MpConfigTest, SavingTwiceKeepsOnlyTheCurrentListAndOtherSections)
{
    dir.write("a.mp", "[Other]\r\nkeep=1\r\n[HideFiles]\r\n/old/x=\r\n");
    dialog->TntlstHideFiles->Items()->Assign({"/1", "/2", "/3"});
    ui::SaveMpConfig(*dialog, path());
    dialog->TntlstHideFiles->Items()->Assign({"/2"});
    ui::SaveMpConfig(*dialog, path());
    platform::IniFile ini(path());
    EXPECT_EQ(ini.ReadSection("HideFiles"), std::vector<std::string>{"/2"});
    EXPECT_EQ(ini.ReadString("Other", "keep", ""), "1");
    dialog->TntlstHideFiles->Items()->Clear();
    ui::SaveMpConfig(*dialog, path());
    EXPECT_FALSE(platform::IniFile(path()).SectionExists("HideFiles"));
}

TEST_F(MpConfigTest, SaveWithoutAPageSkipStopsAndKeepsTheFile)
{
    dir.write("a.mp", "[FlashSet]\r\niScanLevel=6\r\n");
    dialog->cboScanLevel->SetItemIndex(1);
    dialog->cboPageSkip->SetItemIndex(-1);
    try {
        ui::SaveMpConfig(*dialog, path());
        FAIL() << "saved";
    } catch (const ui::EConvertError& e) {
        EXPECT_STREQ(e.what(), "'' is not a valid integer value");
    }
    EXPECT_EQ(dir.read("a.mp"), "[FlashSet]\r\niScanLevel=6\r\n");
}

TEST_F(MpConfigTest, SaveToAnUnwritablePlaceReportsThePath)
{
    std::string bad = dir.file("no/such/folder/a.mp");
    try {
        ui::SaveMpConfig(*dialog, bad);
        FAIL() << "saved";
    } catch (const platform::IniFileError& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to write to " + bad);
    }
}

TEST_F(MpConfigTest, LoadOfAMissingFileGivesTheDefaults)
{
    dialog->cboScanLevel->SetItemIndex(4);
    dialog->UpDownBadThreshold->SetPosition(70);
    dialog->rdoEncryptDisk->SetChecked(true);
    dialog->edtDiskLabel->SetText("X");
    dialog->tbarHideDiskRatio->SetPosition(50);
    dialog->TntlstHideFiles->Items()->Add("/x");
    ui::LoadMpConfig(*dialog, path("none.mp"));
    EXPECT_EQ(dialog->cboScanLevel->ItemIndex(), 0);
    EXPECT_EQ(dialog->cboPageSkip->ItemIndex(), 0);
    EXPECT_EQ(dialog->cboECC->ItemIndex(), 2);
    EXPECT_EQ(dialog->cboRead->ItemIndex(), 0);
    EXPECT_EQ(dialog->UpDownBadThreshold->Position(), 10);
    EXPECT_EQ(dialog->edtBadThreshold->Text(), "10");
    EXPECT_TRUE(dialog->rdoNormalDisk->Checked());
    EXPECT_FALSE(dialog->rdoEncryptDisk->Checked());
    EXPECT_EQ(dialog->edtDiskLabel->Text(), "");
    EXPECT_EQ(dialog->tbarHideDiskRatio->Position(), 1);
    EXPECT_EQ(dialog->edtEncryptRatio->Text(), "1");
    EXPECT_EQ(dialog->tbarHideDiskRatioSelEnd(), 1);
    EXPECT_EQ(dialog->TntlstHideFiles->Items()->Count(), 0);
}

TEST_F(MpConfigTest, LoadReadsValuesAndBoundsTheLists)
{
    dir.write("a.mp",
              "[FlashSet]\r\niScanLevel=9\r\niPageSkip=0x10\r\niEccLevel=7\r\niReadTimes=4\r\niBadThreshold=0x1E\r\n"
              "[DeviceSet]\r\nNormalDisk=0\r\nEncryptDisk=0\r\nHideDisk=0\r\nDiskLabel=MUSIC\r\nHideDiskRatio=250\r\n"
              "[HideFiles]\r\n/b=\r\n/a=\r\n/音乐/歌.mp3=\r\n");
    dialog->cboRead->SetEnabled(false);
    ui::LoadMpConfig(*dialog, path());
    EXPECT_EQ(dialog->cboScanLevel->ItemIndex(), -1) << "no such level";
    EXPECT_EQ(dialog->cboPageSkip->Text(), "16");
    EXPECT_EQ(dialog->cboECC->Text(), "6");
    EXPECT_EQ(dialog->cboRead->ItemIndex(), -1);
    EXPECT_FALSE(dialog->cboRead->Enabled()) << "no enabling rules run";
    EXPECT_EQ(dialog->edtBadThreshold->Text(), "30");
    EXPECT_FALSE(dialog->rdoNormalDisk->Checked());
    EXPECT_FALSE(dialog->rdoEncryptDisk->Checked());
    EXPECT_FALSE(dialog->rdoHideDisk->Checked());
    EXPECT_EQ(dialog->edtDiskLabel->Text(), "MUSIC");
    EXPECT_EQ(dialog->edtEncryptRatio->Text(), "100");
    EXPECT_EQ(dialog->TntlstHideFiles->Items()->ToVector(),
              (std::vector<std::string>{"/b", "/a", "/音乐/歌.mp3"}));

    // The settings change only at Apply; with no disk mode checked it is a normal disk.
    EXPECT_EQ(s().eDeviceFeature, 0);
    s().eDeviceFeature = 2;
    s().iHideDiskRatio = 20;
    dialog->cboPageSkip->SetItemIndex(0);
    dialog->cboScanLevel->SetItemIndex(0);
    dialog->btnApply->Click();
    EXPECT_EQ(s().eDeviceFeature, 0);
    EXPECT_EQ(s().iHideDiskRatio, 20);
    EXPECT_EQ(form->labDiskFeature->Caption(), "Normal");
}

TEST_F(MpConfigTest, SaveThenLoadRestoresTheControls)
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

    dialog->cboScanLevel->SetItemIndex(0);
    dialog->cboPageSkip->SetItemIndex(0);
    dialog->cboECC->SetItemIndex(0);
    dialog->cboRead->SetItemIndex(0);
    dialog->UpDownBadThreshold->SetPosition(50);
    dialog->rdoNormalDisk->SetChecked(true);
    dialog->edtDiskLabel->SetText("");
    dialog->tbarHideDiskRatio->SetPosition(3);
    dialog->TntlstHideFiles->Items()->Clear();

    ui::LoadMpConfig(*dialog, path());
    EXPECT_EQ(dialog->cboScanLevel->ItemIndex(), 5);
    EXPECT_EQ(dialog->cboPageSkip->ItemIndex(), 2);
    EXPECT_EQ(dialog->cboECC->ItemIndex(), 1);
    EXPECT_EQ(dialog->cboRead->ItemIndex(), 3);
    EXPECT_EQ(dialog->edtBadThreshold->Text(), "0");
    EXPECT_TRUE(dialog->rdoEncryptDisk->Checked());
    EXPECT_EQ(dialog->edtDiskLabel->Text(), "LBL");
    EXPECT_EQ(dialog->tbarHideDiskRatio->Position(), 100);
    EXPECT_EQ(dialog->TntlstHideFiles->Items()->ToVector(), (std::vector<std::string>{"/z", "/y/中文 name.txt"}));
}

TEST_F(MpConfigTest, ButtonsAskForTheFileInTheProgramFolder)
{
    // Both buttons stay hidden; their handlers still work.
    EXPECT_FALSE(dialog->btnSaveConfig->Visible());
    dialogs.QueueSaveFile(dir.file("station"));
    dialog->btnSaveConfig->Click();
    EXPECT_TRUE(std::filesystem::exists(dir.file("station.mp"))) << "the default extension is added";
    dialog->btnSaveConfig->Click();  // cancelled
    auto log = dialogs.Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].kind, ScriptedDialogs::Asked::Save);
    EXPECT_EQ(log[0].caption, "MP file(*.mp)|*.mp");

    dialogs.Clear();
    dialog->edtDiskLabel->SetText("CHANGED");
    dialogs.QueueOpenFiles({dir.file("station.mp")});
    dialog->btnLoadConfig->Click();
    EXPECT_EQ(dialog->edtDiskLabel->Text(), "");
    ASSERT_EQ(dialogs.Log().size(), 1u);
    EXPECT_EQ(dialogs.Log()[0].kind, ScriptedDialogs::Asked::Open);
    EXPECT_EQ(dialogs.Log()[0].caption, "MP File(*.mp)|*.mp");

    // A bare name lands in the program folder, not the current one.
    dialogs.QueueSaveFile(std::string("line2"));
    dialog->btnSaveConfig->Click();
    EXPECT_TRUE(std::filesystem::exists(dir.file("line2.mp")));
}
