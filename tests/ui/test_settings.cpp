// The production settings and their file misc/prefer.ini, section MP_Setting.
#include "platform/IniFile.h"
#include "platform/ProgramDir.h"
#include "production/WindowLink.h"
#include "support/TempDir.h"
#include "text/MessageCatalogue.h"
#include "toolkit/Dialogs.h"
#include "ui/main.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sys/resource.h>

using namespace toolkit;

namespace {

const char* const kPrefer = ".\\misc\\prefer.ini";

// What a save right after loading no file writes: every key, in order, CR LF.
const char* const kDefaultFile =
    "[MP_Setting]\r\nFormat=0\r\nBlanking check=0\r\nFwUpgrade=1\r\nISO upgrade=0\r\nManual Upgrade=0\r\n"
    "System Area check=0\r\nSystem Area Size=0\r\nFwParityCheck=1\r\nNorReadCheck=1\r\nLabel=\r\nFixUsbIO=1\r\n"
    "ClearFlash=1\r\niScanLevel=0\r\niPageSkip=0\r\niReadTimes=0\r\niEccLevel=2\r\niBadThreshold=20\r\n"
    "eDeviceFeature=0\r\niHideDiskRatio=10\r\nsHideDiskLabel=\r\nbUseImgFile=0\r\nImageFile=\r\n"
    "AllowErrorRate=2\r\nDealCapError=0\r\nSaveSpiImage=0\r\nPageMode=0\r\nPageModeSel=0\r\nPattern=0\r\n";

// A firmware ("program") file whose module-number byte the save resets.
std::string FirmwareWithModuleNumber(uint8_t n)
{
    std::string fw(0x9800, '\0');
    fw.replace(0, 4, "6205");
    fw.replace(0x97FD, 3, std::string{'U', char(0xAA), char(n)});
    return fw;
}

class Settings : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::SetProgramDir(dir.path());
        SetDialogs(&dialogs);
        std::filesystem::create_directories(dir.file("misc")); // every station has one
        form = std::make_unique<TForm1>();
    }
    void TearDown() override
    {
        form.reset();
        SetDialogs(nullptr);
    }
    std::string prefer() const { return dir.read("misc/prefer.ini"); }
    platform::IniFile saved() const { return platform::IniFile(dir.file("misc/prefer.ini")); }
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

TEST_F(Settings, NoOrEmptyFileGivesTheDefaultsAndSavingWritesEveryKeyInOrder)
{
    for (bool emptyFile : {false, true}) {
        SCOPED_TRACE(emptyFile);
        if (emptyFile)
            dir.write("misc/prefer.ini", "");
        form->chkFormat->SetChecked(true);
        form->LabelEdit->SetText("my_audio");
        form->iFlashModuleNo = 4;
        // The option without a file key is never offered: hidden and off.
        TForm dialog("frmSetting");
        auto* nonFs = dialog.Make<TCheckBox>("chkNonFS");
        form->SettingForm = &dialog;
        form->bNonFileSystem = true;
        form->LoadSettings(kPrefer);
        form->SettingForm = nullptr;
        EXPECT_FALSE(form->bNonFileSystem);
        EXPECT_FALSE(nonFs->Visible());
        EXPECT_FALSE(form->chkFormat->Checked());
        EXPECT_EQ(form->SystemAreaComBo->Text(), "4MB");
        EXPECT_EQ(form->iFlashModuleNo, 0);
        EXPECT_EQ(form->labDiskFeature->Caption(), MessageCatalogue(15, form->LanguageIndex));
        form->SaveSettings(platform::ProgramPath("misc\\prefer.ini"));
        EXPECT_EQ(prefer(), kDefaultFile);
        std::filesystem::remove(dir.file("misc/prefer.ini"));
    }
}

TEST_F(Settings, IntegerValuesFollowTheProfileRules)
{
    const struct { const char* stored; int32_t expected; } cases[] = {
        {"0x1E", 30}, {"0X1e", 30}, {"abc", 20}, {"0x", 20}, {"", 20}, {"35", 35}, {"-1", -1}};
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

TEST_F(Settings, DiskModeLabelFollowsModeAndRatio)
{
    form->LanguageIndex = 0;
    const struct { const char* lines; const char* text; } cases[] = {
        {"eDeviceFeature=1\r\niHideDiskRatio=10\r\n", "Encrypted disk10%"},
        {"eDeviceFeature=2\r\niHideDiskRatio=35\r\n", "Hidden disk35%"},
        {"eDeviceFeature=0\r\niHideDiskRatio=35\r\n", "Normal"},
        {"eDeviceFeature=5\r\n", "Normal"}, // an unknown mode leaves the label
    };
    for (const auto& c : cases) {
        loadFrom(c.lines);
        EXPECT_EQ(form->labDiskFeature->Caption(), c.text);
    }
    EXPECT_EQ(form->eDeviceFeature, 5);
}

// Values outside their range that reach no narrower device field load as stored and save
// back the same; the byte fields keep their low byte and are written signed; the combo
// selects no item past its list.
TEST_F(Settings, OutOfRangeValuesLoadAsStoredAndTheComboStaysBounded)
{
    loadFrom("eDeviceFeature=258\r\nDealCapError=513\r\n");
    EXPECT_EQ(form->eDeviceFeature, 2);
    EXPECT_EQ(form->DealCapError, 1);

    loadFrom("PageModeSel=9\r\niScanLevel=40\r\nSystem Area Size=40\r\n"
             "eDeviceFeature=-1\r\nDealCapError=200\r\n");
    EXPECT_EQ(form->PageModeSel, 9);
    EXPECT_EQ(form->iScanLevel, 40);
    EXPECT_EQ(form->eDeviceFeature, 255);
    EXPECT_EQ(form->SystemAreaComBo->Items()->Count(), kSystemAreaSizes);
    EXPECT_EQ(form->SystemAreaComBo->ItemIndex(), 40) << "loads as stored";
    EXPECT_EQ(form->SystemAreaComBo->Text(), "") << "but selects no item: the list has 32";
    form->SaveSettings(kPrefer);
    const platform::IniFile file = saved();
    for (const auto& [key, value] : {std::pair{"System Area Size", "40"}, {"PageModeSel", "9"},
                                     {"eDeviceFeature", "-1"}, {"DealCapError", "-56"}})
        EXPECT_EQ(file.ReadString("MP_Setting", key, ""), value) << key;
    form->LoadSettings(kPrefer);
    EXPECT_EQ(form->eDeviceFeature, 255) << "reads back the same byte";
    EXPECT_EQ(form->DealCapError, 200);

    loadFrom("System Area Size=31\r\n");
    EXPECT_EQ(form->SystemAreaComBo->Text(), "128MB");
    loadFrom("System Area Size=-1\r\n");
    EXPECT_EQ(form->SystemAreaComBo->ItemIndex(), -1) << "no selection loads back as none";
    EXPECT_EQ(form->SystemAreaComBo->Text(), "");
    form->SaveSettings(kPrefer);
    EXPECT_EQ(saved().ReadInteger("MP_Setting", "System Area Size", 0), -1);
}

// Values bound for narrower device fields (a page-scan command's page-skip and ECC bytes
// and 16-bit pattern, the configuration record's ratio byte) are clamped to their range
// when loaded, never wrapped; the next save writes the clamped value.
TEST_F(Settings, ValuesForNarrowDeviceFieldsAreClampedWhenLoaded)
{
    const struct { const char* key; const char* stored; int32_t ProductionSettings::*field; int32_t expected; } rows[] = {
        {"iHideDiskRatio", "300", &ProductionSettings::iHideDiskRatio, 100},
        {"iHideDiskRatio", "-5", &ProductionSettings::iHideDiskRatio, 1},
        {"iHideDiskRatio", "0", &ProductionSettings::iHideDiskRatio, 1},
        {"iHideDiskRatio", "100", &ProductionSettings::iHideDiskRatio, 100},
        {"iPageSkip", "65", &ProductionSettings::iPageSkip, 64},
        {"iPageSkip", "-1", &ProductionSettings::iPageSkip, 0},
        {"iPageSkip", "64", &ProductionSettings::iPageSkip, 64},
        {"iEccLevel", "0x108", &ProductionSettings::iEccLevel, 7},
        {"iEccLevel", "-3", &ProductionSettings::iEccLevel, 0},
        {"iEccLevel", "7", &ProductionSettings::iEccLevel, 7},
        {"Pattern", "0x12345", &ProductionSettings::Pattern, 0xFFFF},
        {"Pattern", "-1", &ProductionSettings::Pattern, 0},
        {"Pattern", "0xA55A", &ProductionSettings::Pattern, 0xA55A},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.key) + "=" + r.stored);
        loadFrom("eDeviceFeature=1\r\n" + std::string(r.key) + "=" + r.stored + "\r\n");
        EXPECT_EQ((*form).*r.field, r.expected);
        form->SaveSettings(kPrefer);
        EXPECT_EQ(saved().ReadInteger("MP_Setting", r.key, -99), r.expected);
    }
    // What the engine reads: an encrypted disk of 300 % is the whole disk, not 44 %.
    loadFrom("eDeviceFeature=1\r\niHideDiskRatio=300\r\n");
    EXPECT_EQ(production::Window().HideDiskRatio(), 100);
    EXPECT_EQ(form->labDiskFeature->Caption(), "Encrypted disk100%");
}

TEST_F(Settings, SavingErasesTheOldListSectionsAndKeepsEverythingElse)
{
    dir.write("misc/prefer.ini", "; station notes\r\n[Other]\r\nkeep=1\r\n\r\n[HIDE_FILES]\r\nFile0=C:\\a.mp3\r\n\r\n"
                                 "[mp_setting]\r\nFORMAT=1\r\nCustom=stays\r\nLabel=OLD\r\n\r\n"
                                 "[SPI_HIDE_FILES]\r\nFile0=x\r\n[Zeta]\r\nz=2\r\n");
    form->LoadSettings(kPrefer);
    EXPECT_TRUE(form->chkFormat->Checked());
    EXPECT_EQ(form->LabelEdit->Text(), "OLD");
    form->SaveSettings(kPrefer);

    const platform::IniFile file = saved();
    EXPECT_EQ(file.ReadSections(), (std::vector<std::string>{"Other", "mp_setting", "Zeta"}));
    EXPECT_EQ(file.ReadString("Zeta", "z", ""), "2");
    EXPECT_EQ(file.ReadString("MP_Setting", "Custom", ""), "stays");
    const std::vector<std::string> keys = file.ReadSection("MP_Setting");
    ASSERT_EQ(keys.size(), 29u);
    EXPECT_EQ(keys[0], "FORMAT") << "an existing key keeps its spelling and place";
    EXPECT_EQ(keys[1], "Custom");
    EXPECT_EQ(file.Text().rfind("; station notes\r\n[Other]\r\nkeep=1\r\n\r\n[mp_setting]\r\nFORMAT=1\r\n", 0), 0u);
}

TEST_F(Settings, EverySettingRoundTrips)
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
    EXPECT_TRUE(form->chkBlankCheck->Checked());
    EXPECT_FALSE(form->chkUsbPort->Checked());
    EXPECT_EQ(form->SystemAreaComBo->ItemIndex(), 7);
    EXPECT_EQ(form->LabelEdit->Text(), "MY DISK");
    EXPECT_EQ(form->iScanLevel, 5);
    EXPECT_EQ(form->iPageSkip, 64);
    EXPECT_EQ(form->iReadTimes, 3);
    EXPECT_EQ(form->iEccLevel, 7);
    EXPECT_EQ(form->sHideDiskLabel, "HIDDEN");
    EXPECT_EQ(form->ImageFile, "/station/disk image.IMG");
    EXPECT_EQ(form->AllowErrorRate, 20);
    EXPECT_EQ(form->PageModeSel, 6);
    EXPECT_EQ(form->Pattern, 0xA55A);
    EXPECT_EQ(form->labDiskFeature->Caption(), std::string(MessageCatalogue(17, form->LanguageIndex)) + "99%");
    std::filesystem::remove(dir.file("misc/prefer.ini"));
    form->SaveSettings(kPrefer);
    EXPECT_EQ(prefer(), file);
}

TEST_F(Settings, AFailedSaveRaisesTheErrorAndLeavesTheOldFileWhole)
{
    const std::string old = "[MP_Setting]\r\nFormat=1\r\n[HIDE_FILES]\r\nFile0=a\r\n";
    dir.write("misc/prefer.ini", old);
    dir.write("fw/program.bin", FirmwareWithModuleNumber(3));
    form->LoadSettings(kPrefer);
    form->TntSelectFileList2->Items()->Add(dir.file("fw/program.bin"));
    {
        // Files may grow to 64 bytes only.
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit old{}, now{};
        getrlimit(RLIMIT_FSIZE, &old);
        now = {64, old.rlim_max};
        setrlimit(RLIMIT_FSIZE, &now);
        try {
            form->SaveSettings(kPrefer);
            ADD_FAILURE() << "no error raised";
        } catch (const platform::IniFileError& e) {
            EXPECT_EQ(std::string(e.what()), "Unable to write to " + dir.file("misc/prefer.ini"));
        }
        setrlimit(RLIMIT_FSIZE, &old);
    }
    EXPECT_EQ(prefer(), old);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("misc")), {}), 1);
    EXPECT_EQ(uint8_t(dir.read("fw/program.bin")[0x97FF]), 3) << "nothing after the failure runs";
    // Once it goes through, the save also resets the firmware's module number.
    form->SaveSettings(kPrefer);
    EXPECT_EQ(uint8_t(dir.read("fw/program.bin")[0x97FF]), 0);
}

TEST_F(Settings, AMissingMiscFolderIsReportedNotCreated)
{
    std::filesystem::remove_all(dir.file("misc"));
    form->LoadSettings(kPrefer);
    EXPECT_THROW(form->SaveSettings(kPrefer), platform::IniFileError);
    EXPECT_FALSE(std::filesystem::exists(dir.file("misc")));
}

// A Chinese station's prefer.ini holds GBK texts: they load as the characters they are.
TEST_F(Settings, TextsAChineseStationWroteInItsCodePageLoadAsText)
{
    const char* saved = std::getenv("LC_ALL");
    const std::string savedLocale = saved ? saved : "";
    setenv("LC_ALL", "zh_CN.UTF-8", 1);
    loadFrom("Label=\xD2\xF4\xC0\xD6\r\nsHideDiskLabel=\xB8\xE8\r\nImageFile=/\xD2\xF4\xC0\xD6/a.IMG\r\n");
    saved ? setenv("LC_ALL", savedLocale.c_str(), 1) : unsetenv("LC_ALL");
    EXPECT_EQ(form->LabelEdit->Text(), "\u97f3\u4e50"); // 音乐
    EXPECT_EQ(form->sHideDiskLabel, "\u6b4c");          // 歌
    EXPECT_EQ(form->ImageFile, "/\u97f3\u4e50/a.IMG");
}
