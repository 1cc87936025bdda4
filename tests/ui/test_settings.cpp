// The production settings and their file misc/prefer.ini, section MP_Setting.
#include "platform/IniFile.h"
#include "platform/ProgramDir.h"
#include "support/TempDir.h"
#include "toolkit/Dialogs.h"
#include "ui/MessageCatalogue.h"
#include "ui/main.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/resource.h>

using namespace toolkit;

namespace {

const char* const kPrefer = ".\\misc\\prefer.ini";

// What a save right after loading no file writes: every key, in order, CR LF.
const char* const kDefaultFile =
    "[MP_Setting]\r\n"
    "Format=0\r\n"
    "Blanking check=0\r\n"
    "FwUpgrade=1\r\n"
    "ISO upgrade=0\r\n"
    "Manual Upgrade=0\r\n"
    "System Area check=0\r\n"
    "System Area Size=0\r\n"
    "FwParityCheck=1\r\n"
    "NorReadCheck=1\r\n"
    "Label=\r\n"
    "FixUsbIO=1\r\n"
    "ClearFlash=1\r\n"
    "iScanLevel=0\r\n"
    "iPageSkip=0\r\n"
    "iReadTimes=0\r\n"
    "iEccLevel=2\r\n"
    "iBadThreshold=20\r\n"
    "eDeviceFeature=0\r\n"
    "iHideDiskRatio=10\r\n"
    "sHideDiskLabel=\r\n"
    "bUseImgFile=0\r\n"
    "ImageFile=\r\n"
    "AllowErrorRate=2\r\n"
    "DealCapError=0\r\n"
    "SaveSpiImage=0\r\n"
    "PageMode=0\r\n"
    "PageModeSel=0\r\n"
    "Pattern=0\r\n";

struct FileSizeLimit {
    rlimit old{};
    explicit FileSizeLimit(rlim_t bytes)
    {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &old);
        rlimit now = old;
        now.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &now);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &old); }
};

class Settings : public ::testing::Test {
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
    std::string prefer() const { return dir.read("misc/prefer.ini"); }
    void loadFrom(const std::string& settingLines)
    {
        dir.write("misc/prefer.ini", "[MP_Setting]\r\n" + settingLines);
        form->LoadSettings(kPrefer);
    }

    testsupport::TempDir dir;
    ScriptedDialogs dialogs;
    std::unique_ptr<TForm1> form;
};

} // namespace

TEST_F(Settings, NoFileGivesTheDefaultsAndSavingWritesEveryKeyInOrder)
{
    form->chkFormat->SetChecked(true);
    form->chkFwUpgrade->SetChecked(false);
    form->LabelEdit->SetText("my_audio");
    form->iFlashModuleNo = 4;
    form->LoadSettings(kPrefer);

    struct Box {
        TCheckBox* box;
        bool checked;
    } boxes[] = {
        {form->chkFormat, false},      {form->chkBlankCheck, false}, {form->chkFwUpgrade, true},
        {form->chkISOupgrade, false},  {form->CheckManuupgrade, false}, {form->SystemAreachk, false},
        {form->chkParityCheck, true},  {form->chknor, true},         {form->chkUsbPort, true},
        {form->chkClearFlash, true},
    };
    for (const auto& b : boxes)
        EXPECT_EQ(b.box->Checked(), b.checked) << b.box->Name();
    EXPECT_EQ(form->SystemAreaComBo->ItemIndex(), 0);
    EXPECT_EQ(form->SystemAreaComBo->Text(), "4MB");
    EXPECT_EQ(form->LabelEdit->Text(), "");
    EXPECT_EQ(form->iFlashModuleNo, 0);
    EXPECT_EQ(form->iScanLevel, 0);
    EXPECT_EQ(form->iPageSkip, 0);
    EXPECT_EQ(form->iReadTimes, 0);
    EXPECT_EQ(form->iEccLevel, 2);
    EXPECT_EQ(form->iBadThreshold, 20);
    EXPECT_EQ(form->eDeviceFeature, 0);
    EXPECT_EQ(form->iHideDiskRatio, 10);
    EXPECT_EQ(form->sHideDiskLabel, "");
    EXPECT_FALSE(form->bUseImgFile);
    EXPECT_EQ(form->ImageFile, "");
    EXPECT_FALSE(form->SaveSpiImage);
    EXPECT_EQ(form->AllowErrorRate, 2);
    EXPECT_EQ(form->DealCapError, 0);
    EXPECT_FALSE(form->PageMode);
    EXPECT_EQ(form->PageModeSel, 0);
    EXPECT_EQ(form->Pattern, 0);
    EXPECT_FALSE(form->bNonFileSystem);
    EXPECT_EQ(form->labDiskFeature->Caption(), MessageCatalogue(15, form->LanguageIndex));

    form->SaveSettings(platform::ProgramPath("misc\\prefer.ini"));
    EXPECT_EQ(prefer(), kDefaultFile);
}

TEST_F(Settings, AnEmptyFileGivesTheSameDefaults)
{
    dir.write("misc/prefer.ini", "");
    form->LoadSettings(kPrefer);
    form->SaveSettings(kPrefer);
    EXPECT_EQ(prefer(), kDefaultFile);
}

TEST_F(Settings, IntegerValuesFollowTheProfileRules)
{
    struct Case {
        const char* stored;
        int32_t expected;
    } cases[] = {{"0x1E", 30}, {"0X1e", 30}, {"abc", 20}, {"0x", 20}, {"", 20}, {"35", 35}, {"-1", -1}};
    for (const auto& c : cases) {
        loadFrom(std::string("iBadThreshold=") + c.stored + "\r\n");
        EXPECT_EQ(form->iBadThreshold, c.expected) << c.stored;
    }
    loadFrom("bUseImgFile=7\r\nSaveSpiImage=x\r\nPageMode=0x0\r\nFwUpgrade=junk\r\nFormat=0x10\r\n");
    EXPECT_TRUE(form->bUseImgFile) << "any non-zero value";
    EXPECT_FALSE(form->SaveSpiImage) << "not a number: the default";
    EXPECT_FALSE(form->PageMode) << "\"0x0\" is hexadecimal zero";
    EXPECT_TRUE(form->chkFwUpgrade->Checked());
    EXPECT_TRUE(form->chkFormat->Checked());
}

TEST_F(Settings, ByteFieldsKeepTheLowByteAndAreWrittenSigned)
{
    loadFrom("eDeviceFeature=258\r\nDealCapError=513\r\n");
    EXPECT_EQ(form->eDeviceFeature, 2);
    EXPECT_EQ(form->DealCapError, 1);

    loadFrom("eDeviceFeature=-1\r\nDealCapError=200\r\n");
    EXPECT_EQ(form->eDeviceFeature, 255);
    form->SaveSettings(kPrefer);
    platform::IniFile saved(dir.file("misc/prefer.ini"));
    EXPECT_EQ(saved.ReadString("MP_Setting", "eDeviceFeature", ""), "-1");
    EXPECT_EQ(saved.ReadString("MP_Setting", "DealCapError", ""), "-56");
    form->LoadSettings(kPrefer);
    EXPECT_EQ(form->eDeviceFeature, 255) << "reads back the same byte";
    EXPECT_EQ(form->DealCapError, 200);
}

TEST_F(Settings, DiskModeLabelFollowsModeAndRatio)
{
    form->LanguageIndex = 0;
    struct Case {
        const char* lines;
        const char* text;
    } cases[] = {
        {"eDeviceFeature=1\r\niHideDiskRatio=10\r\n", "Encrypted disk10%"},
        {"eDeviceFeature=2\r\niHideDiskRatio=35\r\n", "Hidden disk35%"},
        {"eDeviceFeature=0\r\niHideDiskRatio=35\r\n", "Normal"},
    };
    for (const auto& c : cases) {
        loadFrom(c.lines);
        EXPECT_EQ(form->labDiskFeature->Caption(), c.text);
    }
    form->labDiskFeature->SetCaption("kept");
    loadFrom("eDeviceFeature=5\r\n");
    EXPECT_EQ(form->eDeviceFeature, 5);
    EXPECT_EQ(form->labDiskFeature->Caption(), "kept") << "an unknown mode leaves the label";

    std::string text;
    ASSERT_TRUE(DiskFeatureText(1, 10, 1, text));
    EXPECT_EQ(text, std::string(MessageCatalogue(16, 1)) + "10%");
    ASSERT_TRUE(DiskFeatureText(2, 99, 2, text));
    EXPECT_EQ(text, std::string(MessageCatalogue(17, 2)) + "99%");
    EXPECT_FALSE(DiskFeatureText(3, 10, 0, text));
}

TEST_F(Settings, OutOfRangeValuesLoadAsStoredAndTheComboStaysBounded)
{
    loadFrom("PageModeSel=9\r\niScanLevel=40\r\niPageSkip=1000\r\niEccLevel=-3\r\n"
             "System Area Size=40\r\n");
    EXPECT_EQ(form->PageModeSel, 9);
    EXPECT_EQ(form->iScanLevel, 40);
    EXPECT_EQ(form->iPageSkip, 1000);
    EXPECT_EQ(form->iEccLevel, -3);
    EXPECT_EQ(form->SystemAreaComBo->Items()->Count(), kSystemAreaSizes);
    EXPECT_EQ(form->SystemAreaComBo->ItemIndex(), 40) << "loads as stored";
    EXPECT_EQ(form->SystemAreaComBo->Text(), "") << "but selects no item: the list has 32";

    form->SaveSettings(kPrefer);
    platform::IniFile saved(dir.file("misc/prefer.ini"));
    EXPECT_EQ(saved.ReadInteger("MP_Setting", "System Area Size", 0), 40) << "saved back as it was";
    EXPECT_EQ(saved.ReadInteger("MP_Setting", "PageModeSel", 0), 9);

    loadFrom("System Area Size=31\r\n");
    EXPECT_EQ(form->SystemAreaComBo->Text(), "128MB");
    loadFrom("System Area Size=-1\r\n");
    EXPECT_EQ(form->SystemAreaComBo->ItemIndex(), -1) << "no selection loads back as none";
    EXPECT_EQ(form->SystemAreaComBo->Text(), "");
    form->SaveSettings(kPrefer);
    EXPECT_EQ(platform::IniFile(dir.file("misc/prefer.ini")).ReadInteger("MP_Setting", "System Area Size", 0), -1);
}

TEST_F(Settings, SavingErasesTheOldListSectionsAndKeepsEverythingElse)
{
    dir.write("misc/prefer.ini",
              "; station notes\r\n"
              "[Other]\r\nkeep=1\r\n\r\n"
              "[HIDE_FILES]\r\nFile0=C:\\a.mp3\r\n\r\n"
              "[mp_setting]\r\nFORMAT=1\r\nCustom=stays\r\nLabel=OLD\r\n\r\n"
              "[SPI_HIDE_FILES]\r\nFile0=x\r\n"
              "[Zeta]\r\nz=2\r\n");
    form->LoadSettings(kPrefer);
    EXPECT_TRUE(form->chkFormat->Checked());
    EXPECT_EQ(form->LabelEdit->Text(), "OLD");
    form->SaveSettings(kPrefer);

    platform::IniFile saved(dir.file("misc/prefer.ini"));
    EXPECT_EQ(saved.ReadSections(), (std::vector<std::string>{"Other", "mp_setting", "Zeta"}));
    EXPECT_EQ(saved.ReadString("Other", "keep", ""), "1");
    EXPECT_EQ(saved.ReadString("Zeta", "z", ""), "2");
    EXPECT_EQ(saved.ReadString("MP_Setting", "Custom", ""), "stays");
    std::vector<std::string> keys = saved.ReadSection("MP_Setting");
    ASSERT_EQ(keys.size(), 29u);
    EXPECT_EQ(keys[0], "FORMAT") << "an existing key keeps its spelling and place";
    EXPECT_EQ(keys[1], "Custom");
    EXPECT_EQ(saved.Text().rfind("; station notes\r\n[Other]\r\nkeep=1\r\n\r\n[mp_setting]\r\nFORMAT=1\r\n", 0), 0u);
}

TEST_F(Settings, EverySettingRoundTrips)
{
    form->LoadSettings(kPrefer);
    form->chkFormat->SetChecked(true);
    form->chkBlankCheck->SetChecked(true);
    form->chkFwUpgrade->SetChecked(false);
    form->chkISOupgrade->SetChecked(true);
    form->CheckManuupgrade->SetChecked(true);
    form->SystemAreachk->SetChecked(true);
    form->SystemAreaComBo->SetItemIndex(7);
    form->chkParityCheck->SetChecked(false);
    form->chknor->SetChecked(false);
    form->chkUsbPort->SetChecked(false);
    form->chkClearFlash->SetChecked(false);
    form->LabelEdit->SetText("MY DISK");
    form->iScanLevel = 5;
    form->iPageSkip = 64;
    form->iReadTimes = 3;
    form->iEccLevel = 7;
    form->iBadThreshold = 100;
    form->eDeviceFeature = 2;
    form->iHideDiskRatio = 99;
    form->sHideDiskLabel = "HIDDEN";
    form->bUseImgFile = true;
    form->ImageFile = "/station/disk image.IMG";
    form->SaveSpiImage = true;
    form->AllowErrorRate = 20;
    form->DealCapError = 2;
    form->PageMode = true;
    form->PageModeSel = 7;
    form->Pattern = 0xA55A;
    form->SaveSettings(kPrefer);

    auto second = std::make_unique<TForm1>();
    second->LoadSettings(kPrefer);
    for (const char* name : {"chkFormat", "chkBlankCheck", "chkFwUpgrade", "chkISOupgrade", "CheckManuupgrade",
                             "SystemAreachk", "chkParityCheck", "chknor", "chkUsbPort", "chkClearFlash"}) {
        auto* a = dynamic_cast<TCheckBox*>(form->FindControl(name));
        auto* b = dynamic_cast<TCheckBox*>(second->FindControl(name));
        ASSERT_TRUE(a && b) << name;
        EXPECT_EQ(a->Checked(), b->Checked()) << name;
    }
    EXPECT_EQ(second->SystemAreaComBo->ItemIndex(), 7);
    EXPECT_EQ(second->LabelEdit->Text(), "MY DISK");
    EXPECT_EQ(second->iScanLevel, 5);
    EXPECT_EQ(second->iPageSkip, 64);
    EXPECT_EQ(second->iReadTimes, 3);
    EXPECT_EQ(second->iEccLevel, 7);
    EXPECT_EQ(second->iBadThreshold, 100);
    EXPECT_EQ(second->eDeviceFeature, 2);
    EXPECT_EQ(second->iHideDiskRatio, 99);
    EXPECT_EQ(second->sHideDiskLabel, "HIDDEN");
    EXPECT_TRUE(second->bUseImgFile);
    EXPECT_EQ(second->ImageFile, "/station/disk image.IMG");
    EXPECT_TRUE(second->SaveSpiImage);
    EXPECT_EQ(second->AllowErrorRate, 20);
    EXPECT_EQ(second->DealCapError, 2);
    EXPECT_TRUE(second->PageMode);
    EXPECT_EQ(second->PageModeSel, 7);
    EXPECT_EQ(second->Pattern, 0xA55A);
    EXPECT_EQ(second->iFlashModuleNo, 0);
    EXPECT_EQ(second->labDiskFeature->Caption(), std::string(MessageCatalogue(17, second->LanguageIndex)) + "99%");
}

TEST_F(Settings, TheUnofferedNonFileSystemOptionIsHiddenAndOff)
{
    TForm dialog("frmSetting");
    auto* nonFs = dialog.Make<TCheckBox>("chkNonFS");
    form->SettingForm = &dialog;
    form->bNonFileSystem = true;
    form->LoadSettings(kPrefer);
    EXPECT_FALSE(form->bNonFileSystem);
    EXPECT_FALSE(nonFs->Visible());
    form->SettingForm = nullptr;
}

namespace {
// A firmware ("program") file whose module-number bytes the save resets.
std::string firmwareWithModuleNumber(uint8_t n)
{
    std::string fw(0x9800, '\0');
    fw.replace(0, 4, "6205");
    fw[0x97FD] = 'U';
    fw[0x97FE] = static_cast<char>(0xAA);
    fw[0x97FF] = static_cast<char>(n);
    return fw;
}
} // namespace

TEST_F(Settings, SaveResetsTheFirmwareModuleNumber)
{
    dir.write("fw/program.bin", firmwareWithModuleNumber(3));
    form->TntSelectFileList2->Items()->Add(dir.file("fw/program.bin"));
    form->LoadSettings(kPrefer);
    form->SaveSettings(kPrefer);
    EXPECT_EQ(static_cast<uint8_t>(dir.read("fw/program.bin")[0x97FF]), 0);
}

TEST_F(Settings, AFailedSaveRaisesTheErrorAndLeavesTheOldFileWhole)
{
    const std::string old = "[MP_Setting]\r\nFormat=1\r\n[HIDE_FILES]\r\nFile0=a\r\n";
    dir.write("misc/prefer.ini", old);
    dir.write("fw/program.bin", firmwareWithModuleNumber(3));
    form->LoadSettings(kPrefer);
    form->TntSelectFileList2->Items()->Add(dir.file("fw/program.bin"));
    {
        FileSizeLimit limit(64);
        try {
            form->SaveSettings(kPrefer);
            ADD_FAILURE() << "no error raised";
        } catch (const platform::IniFileError& e) {
            EXPECT_EQ(std::string(e.what()), "Unable to write to " + dir.file("misc/prefer.ini"));
        }
    }
    EXPECT_EQ(prefer(), old);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("misc")), {}), 1);
    EXPECT_EQ(static_cast<uint8_t>(dir.read("fw/program.bin")[0x97FF]), 3) << "nothing after the failure runs";
}

TEST_F(Settings, AMissingMiscFolderIsReportedNotCreated)
{
    std::filesystem::remove_all(dir.file("misc"));
    form->LoadSettings(kPrefer);
    EXPECT_THROW(form->SaveSettings(kPrefer), platform::IniFileError);
    EXPECT_FALSE(std::filesystem::exists(dir.file("misc")));
}
