// Applying a language to the main window: the section chosen by the radios, the strings
// it replaces and the captions composed from them, with and without misc/lang.ini.
#include "ui/Language.h"

#include "device/HostUtil.h"
#include "platform/ProgramDir.h"
#include "support/TempDir.h"
#include "text/LangStrings.h"
#include "text/MessageCatalogue.h"
#include "toolkit/TThread.h"
#include "ui/main.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

namespace {

// TitleStr, SettingMsg, AdvanceStr, LabelStr and FailMsg per section, in the section's
// code page: 量產工具 設定 進階 標籤 失敗 (Big5) and 量产工具 设定 进阶 标签 失败 (GBK).
const char kLangIni[] = "[English]\r\nTitleStr=MP3 Production\r\n"
                        "[Chinese (Taiwan)]\r\n"
                        "TitleStr=\266\161\262\243\244\165\250\343\r\nSettingMsg=\263\135\251\167\r\n"
                        "AdvanceStr=\266\151\266\245\r\nLabelStr=\274\320\305\322\r\nFailMsg=\245\242\261\321\r\n"
                        "[Chinese (PRC)]\r\n"
                        "TitleStr=\301\277\262\372\271\244\276\337\r\nSettingMsg=\311\350\266\250\r\n"
                        "AdvanceStr=\275\370\275\327\r\nLabelStr=\261\352\307\251\r\nFailMsg=\312\247\260\334\r\n";

class LanguageWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const char* lcAll = std::getenv("LC_ALL"))
            savedLcAll_ = lcAll;
        setenv("LC_ALL", "C", 1);
        InitLanguageStrings();
        platform::SetProgramDir(dir_.path());
        form_ = std::make_unique<TForm1>();
        form_->SettingForm = &setting_;
    }
    void TearDown() override
    {
        form_.reset();
        InitLanguageStrings();
        savedLcAll_ ? setenv("LC_ALL", savedLcAll_->c_str(), 1) : unsetenv("LC_ALL");
    }
    int storedChoice() const { return RegReadInteger(kLanguageRegistryKey, "LanguageID", -1); }

    testsupport::TempDir dir_;
    toolkit::TForm setting_{"frmSetting"};
    std::unique_ptr<TForm1> form_;
    std::optional<std::string> savedLcAll_;
};

} // namespace

// Without lang.ini the strings stay English in every language; only the catalogue rows
// follow the radios.
TEST_F(LanguageWindow, NoLangIniCaptionsInEachLanguage)
{
    TForm1& f = *form_;
    f.eDeviceFeature = 1;
    f.iHideDiskRatio = 10;
    const struct {
        toolkit::TRadioButton* TForm1::*radio;
        int stored;
        unsigned index;
        const char *blankCheck, *diskSplit, *addDir, *norCheck, *fixUsb, *clearFlash, *encrypted;
    } cases[] = {
        {&TForm1::TntRdoLangEng, 1, 0, "Blanking Check", "Disk split:", "Add Dir", "Nor Read Check", "Fix Usb IO",
         "Clear FLASH", "Encrypted disk10%"},
        {&TForm1::TntRdoLangSC, 2, 2, "Blanking Check Flash", "磁碟分区:", "加目录", "Nor读回检查", "固定USB IO口",
         "清空 FLASH", "加密碟10%"},
        {&TForm1::TntRdoLangTC, 3, 1, "Blanking Check Flash", "磁碟分區:", "加目錄", "Nor讀回檢查", "固定USB IO口",
         "清空 FLASH", "加密碟10%"},
    };
    const std::pair<toolkit::TControl*, const char*> fixed[] = {
        {&f, "MP3 Mass Production Tool (6205, Dec 27 2011) + FSM Ver.x.x"}, {f.btnSetup, "AdvanceSetting..."},
        {&setting_, "AdvanceSetting"}, {f.TabSheet4, "Mass Production"}, {f.LabelStatic, "Label:"},
        {f.AddFilesBtn, "Add files..."}, {f.RemoveBtn, "Remove"}, {f.GroupBox16, "Log"}, {f.chkFormat, "Format"},
        {f.chkParityCheck, "FW Parity Check"}, {f.grpFileList, "System files and Pre-copy files:"},
        {f.chkISOupgrade, "Virtual CDROM"}, {f.CheckManuupgrade, "Menual Upgrade Mode"},
        {f.SystemAreachk, "Fix System Area Size"}, {f.labSystemArea, "System Area Size"},
        {f.StaticText1, "Device 1: "}, {f.StaticText3, "Device 2: "}, {f.StaticText9, "Device 8: "},
        {f.StaticText10, "Total:"}, {f.StaticText11, "successful:"}, {f.StaticText12, "fail:"},
        {f.chkFwUpgrade, "Firmware Upgrade"}, {f.grpProcessStatus, "Processing Status"},
        // The language group keeps its own captions.
        {f.TntGroupBox1, "Language"}, {f.TntRdoLangAuto, "Auto"}, {f.TntRdoLangSC, "简中"}, {f.TntRdoLangTC, "繁中"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        (f.*c.radio)->SetChecked(true); // the click applies the language
        EXPECT_EQ(f.LanguageIndex.load(), c.index);
        EXPECT_EQ(storedChoice(), c.stored);
        EXPECT_EQ(toolkit::Application->Title(), "MP3 Mass Production Tool");
        EXPECT_EQ(BlankingCheckSetupStr.get(), "Blanking CheckSetting");
        for (const auto& [control, caption] : fixed)
            EXPECT_EQ(control->Caption(), caption) << control->Name();
        EXPECT_EQ(f.chkBlankCheck->Caption(), c.blankCheck);
        EXPECT_EQ(f.labType->Caption(), c.diskSplit);
        EXPECT_EQ(f.btnAddDir->Caption(), c.addDir);
        EXPECT_EQ(f.chknor->Caption(), c.norCheck);
        EXPECT_EQ(f.chkUsbPort->Caption(), c.fixUsb);
        EXPECT_EQ(f.chkClearFlash->Caption(), c.clearFlash);
        EXPECT_EQ(f.labDiskFeature->Caption(), c.encrypted);
    }
    // The disk mode label: another mode and ratio, or no such mode (the label stays).
    f.eDeviceFeature = 2;
    f.iHideDiskRatio = 100;
    f.ApplyLanguage();
    EXPECT_EQ(f.labDiskFeature->Caption(), "隱藏碟100%");
    f.eDeviceFeature = 3;
    f.TntRdoLangEng->SetChecked(true);
    EXPECT_EQ(f.labDiskFeature->Caption(), "隱藏碟100%");
}

TEST_F(LanguageWindow, SectionsFromLangIni)
{
    dir_.write("misc/lang.ini", kLangIni);
    TForm1& f = *form_;
    f.TntRdoLangTC->SetChecked(true);
    EXPECT_EQ(f.Caption(), "量產工具 (6205, Dec 27 2011) + FSM Ver.x.x");
    EXPECT_EQ(toolkit::Application->Title(), "量產工具");
    EXPECT_EQ(f.btnSetup->Caption(), "進階設定...");
    EXPECT_EQ(setting_.Caption(), "進階設定");
    EXPECT_EQ(BlankingCheckSetupStr.get(), "Blanking Check設定");
    EXPECT_EQ(f.LabelStatic->Caption(), "標籤:");
    EXPECT_EQ(f.StaticText12->Caption(), "失敗:");

    f.TntRdoLangSC->SetChecked(true);
    EXPECT_EQ(f.Caption(), "量产工具 (6205, Dec 27 2011) + FSM Ver.x.x");
    EXPECT_EQ(f.btnSetup->Caption(), "进阶设定...");
    EXPECT_EQ(f.LabelStatic->Caption(), "标签:");

    // The English section lacks most keys: those keep the Simplified texts.
    f.TntRdoLangEng->SetChecked(true);
    EXPECT_EQ(f.LanguageIndex.load(), 0u);
    EXPECT_EQ(f.Caption(), "MP3 Production (6205, Dec 27 2011) + FSM Ver.x.x");
    EXPECT_EQ(f.btnSetup->Caption(), "进阶设定...");
    EXPECT_EQ(f.StaticText12->Caption(), "失败:");
    EXPECT_EQ(f.chkBlankCheck->Caption(), "Blanking Check");
    EXPECT_EQ(f.labType->Caption(), "Disk split:");
}

// An empty value empties its string; a key of a string without one is never read.
TEST_F(LanguageWindow, EmptyValueLeavesOnlyTheLiterals)
{
    dir_.write("misc/lang.ini", "[English]\r\nLabelStr=\r\nDeviceStr=\r\nAddFileStr=\r\nSettingMsg=\r\n"
                                "CheckFlashIDStr=x\r\n");
    form_->TntRdoLangEng->SetChecked(true);
    EXPECT_EQ(form_->LabelStatic->Caption(), ":");
    EXPECT_EQ(form_->StaticText5->Caption(), " 4: ");
    EXPECT_EQ(form_->AddFilesBtn->Caption(), "...");
    EXPECT_EQ(form_->btnSetup->Caption(), "Advance...");
    EXPECT_EQ(BlankingCheckSetupStr.get(), "Blanking Check");
    EXPECT_EQ(CheckFlashIDStr.get(), "Check FLASHID");
}

TEST_F(LanguageWindow, AutoFollowsTheLocale)
{
    const struct { const char* locale; unsigned index; } cases[] = {
        {"zh_TW.UTF-8", 1}, {"zh_CN.UTF-8", 2}, {"zh_HK.UTF-8", 1}, {"en_US.UTF-8", 0}, {"C", 0},
    };
    for (const auto& c : cases) {
        setenv("LC_ALL", c.locale, 1);
        form_->TntRdoLangEng->SetChecked(true);
        form_->TntRdoLangAuto->SetChecked(true);
        EXPECT_EQ(form_->LanguageIndex.load(), c.index) << c.locale;
        EXPECT_EQ(storedChoice(), 0);
    }
}

// Before any radio is checked, applying takes English whatever the locale, while the
// click handler would store Auto.
TEST_F(LanguageWindow, NoRadioCheckedAppliesEnglish)
{
    setenv("LC_ALL", "zh_CN.UTF-8", 1);
    form_->LanguageIndex = 2;
    form_->ApplyLanguage();
    EXPECT_EQ(form_->LanguageIndex.load(), 0u);
    EXPECT_EQ(AppliedLanguageChoice(*form_), kLanguageChoiceEnglish);
    EXPECT_EQ(StoredLanguageChoice(*form_), kLanguageChoiceAuto);
    form_->TntRdoLangAutoClick(form_->TntRdoLangAuto);
    EXPECT_EQ(storedChoice(), 0);
    EXPECT_EQ(form_->LanguageIndex.load(), 0u); // still nothing checked
}

TEST_F(LanguageWindow, PanelsGoBackToWaitingEvenInProduction)
{
    TForm1& f = *form_;
    f.D3infoStr->SetCaption("Program Writing...");
    f.ProgressBar3->SetMaxValue(100);
    f.ProgressBar3->SetProgress(40);
    f.TntRdoLangSC->SetChecked(true);
    for (auto* s : {f.D1infoStr, f.D2infoStr, f.D3infoStr, f.D4infoStr, f.D5infoStr, f.D6infoStr, f.D7infoStr,
                    f.D8infoStr})
        EXPECT_EQ(s->Caption(), "Waiting device...");
    EXPECT_EQ(f.ProgressBar3->Progress(), 0);
}

TEST_F(LanguageWindow, LoaderVersionInTheCaption)
{
    std::string loader(8192 + 300, '\0');
    loader.replace(8192, 9, "FSM V1.23");
    dir_.write("misc/FSM01.BIN", loader);
    form_->TntRdoLangEng->SetChecked(true);
    EXPECT_EQ(form_->Caption(), "MP3 Mass Production Tool (6205, Dec 27 2011) + FSM V1.23");
    EXPECT_EQ(form_->iFsmSize.load(), loader.size());
}

TEST_F(LanguageWindow, StoredChoiceRewrittenByTheStartUpClick)
{
    // A stored value that names no radio checks Auto, whose click stores 0.
    RegWriteInteger(kLanguageRegistryKey, "LanguageID", 7);
    form_->FormShow(form_.get());
    EXPECT_TRUE(form_->TntRdoLangAuto->Checked());
    EXPECT_EQ(storedChoice(), 0);
}
