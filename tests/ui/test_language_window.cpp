// Applying a language to the main window: the section chosen by the radios, the strings
// it replaces and the captions composed from them, with and without misc/lang.ini.
#include "ui/Language.h"

#include "device/HostUtil.h"
#include "platform/ProgramDir.h"
#include "support/TempDir.h"
#include "toolkit/TThread.h"
#include "ui/LangStrings.h"
#include "ui/MessageCatalogue.h"
#include "ui/main.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace {

// TitleStr, SettingMsg, AdvanceStr, LabelStr and FailMsg per section, in the section's
// code page: 量產工具 設定 進階 標籤 失敗 (Big5) and 量产工具 设定 进阶 标签 失败 (GBK).
const char kLangIni[] =
    "[English]\r\n"
    "TitleStr=MP3 Production\r\n"
    "[Chinese (Taiwan)]\r\n"
    "TitleStr=\266\161\262\243\244\165\250\343\r\n"
    "SettingMsg=\263\135\251\167\r\n"
    "AdvanceStr=\266\151\266\245\r\n"
    "LabelStr=\274\320\305\322\r\n"
    "FailMsg=\245\242\261\321\r\n"
    "[Chinese (PRC)]\r\n"
    "TitleStr=\301\277\262\372\271\244\276\337\r\n"
    "SettingMsg=\311\350\266\250\r\n"
    "AdvanceStr=\275\370\275\327\r\n"
    "LabelStr=\261\352\307\251\r\n"
    "FailMsg=\312\247\260\334\r\n";

class LanguageWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* lcAll = std::getenv("LC_ALL");
        savedLcAll_ = lcAll ? lcAll : "";
        hadLcAll_ = lcAll != nullptr;
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
        if (hadLcAll_)
            setenv("LC_ALL", savedLcAll_.c_str(), 1);
        else
            unsetenv("LC_ALL");
    }

    static std::string Caption(const toolkit::TControl* c) { return c->Caption(); }
    int storedChoice() const { return RegReadInteger(kLanguageRegistryKey, "LanguageID", -1); }

    testsupport::TempDir dir_;
    toolkit::TForm setting_{"frmSetting"};
    std::unique_ptr<TForm1> form_;
    std::string savedLcAll_;
    bool hadLcAll_ = false;
};

struct LanguageCase {
    const char* name;
    toolkit::TRadioButton* TForm1::*radio;
    int stored;
    unsigned index;
    const char* blankCheck;
    const char* diskSplit;
    const char* addDir;
    const char* norCheck;
    const char* fixUsb;
    const char* clearFlash;
    const char* encrypted;
};

const LanguageCase kCases[] = {
    {"English", &TForm1::TntRdoLangEng, 1, 0, "Blanking Check", "Disk split:", "Add Dir",
     "Nor Read Check", "Fix Usb IO", "Clear FLASH", "Encrypted disk10%"},
    {"Simplified", &TForm1::TntRdoLangSC, 2, 2, "Blanking Check Flash", "磁碟分区:", "加目录",
     "Nor读回检查", "固定USB IO口", "清空 FLASH", "加密碟10%"},
    {"Traditional", &TForm1::TntRdoLangTC, 3, 1, "Blanking Check Flash", "磁碟分區:", "加目錄",
     "Nor讀回檢查", "固定USB IO口", "清空 FLASH", "加密碟10%"},
};

} // namespace

// Without lang.ini the strings stay English in every language; only the catalogue rows
// follow the radios.
TEST_F(LanguageWindow, NoLangIniCaptionsInEachLanguage)
{
    TForm1& f = *form_;
    f.eDeviceFeature = 1;
    f.iHideDiskRatio = 10;
    for (const LanguageCase& c : kCases) {
        SCOPED_TRACE(c.name);
        (f.*c.radio)->SetChecked(true);  // the click applies the language
        EXPECT_EQ(f.LanguageIndex.load(), c.index);
        EXPECT_EQ(storedChoice(), c.stored);

        EXPECT_EQ(Caption(&f), "MP3 Mass Production Tool (6205, Dec 27 2011) + FSM Ver.x.x");
        EXPECT_EQ(toolkit::Application->Title(), "MP3 Mass Production Tool");
        EXPECT_EQ(Caption(f.btnSetup), "AdvanceSetting...");
        EXPECT_EQ(Caption(&setting_), "AdvanceSetting");
        EXPECT_EQ(BlankingCheckSetupStr.get(), "Blanking CheckSetting");
        EXPECT_EQ(Caption(f.chkBlankCheck), c.blankCheck);
        EXPECT_EQ(Caption(f.labType), c.diskSplit);
        EXPECT_EQ(Caption(f.btnAddDir), c.addDir);
        EXPECT_EQ(Caption(f.chknor), c.norCheck);
        EXPECT_EQ(Caption(f.chkUsbPort), c.fixUsb);
        EXPECT_EQ(Caption(f.chkClearFlash), c.clearFlash);
        EXPECT_EQ(Caption(f.labDiskFeature), c.encrypted);

        EXPECT_EQ(Caption(f.TabSheet4), "Mass Production");
        EXPECT_EQ(Caption(f.LabelStatic), "Label:");
        EXPECT_EQ(Caption(f.AddFilesBtn), "Add files...");
        EXPECT_EQ(Caption(f.RemoveBtn), "Remove");
        EXPECT_EQ(Caption(f.GroupBox16), "Log");
        EXPECT_EQ(Caption(f.chkFormat), "Format");
        EXPECT_EQ(Caption(f.chkParityCheck), "FW Parity Check");
        EXPECT_EQ(Caption(f.grpFileList), "System files and Pre-copy files:");
        EXPECT_EQ(Caption(f.chkISOupgrade), "Virtual CDROM");
        EXPECT_EQ(Caption(f.CheckManuupgrade), "Menual Upgrade Mode");
        EXPECT_EQ(Caption(f.SystemAreachk), "Fix System Area Size");
        EXPECT_EQ(Caption(f.labSystemArea), "System Area Size");
        EXPECT_EQ(Caption(f.StaticText1), "Device 1: ");
        EXPECT_EQ(Caption(f.StaticText3), "Device 2: ");
        EXPECT_EQ(Caption(f.StaticText9), "Device 8: ");
        EXPECT_EQ(Caption(f.StaticText10), "Total:");
        EXPECT_EQ(Caption(f.StaticText11), "successful:");
        EXPECT_EQ(Caption(f.StaticText12), "fail:");
        EXPECT_EQ(Caption(f.chkFwUpgrade), "Firmware Upgrade");
        EXPECT_EQ(Caption(f.grpProcessStatus), "Processing Status");
        // The language group keeps its own captions.
        EXPECT_EQ(Caption(f.TntGroupBox1), "Language");
        EXPECT_EQ(Caption(f.TntRdoLangAuto), "Auto");
        EXPECT_EQ(Caption(f.TntRdoLangSC), "简中");
        EXPECT_EQ(Caption(f.TntRdoLangTC), "繁中");
    }
}

TEST_F(LanguageWindow, DiskModeLabel)
{
    TForm1& f = *form_;
    f.labDiskFeature->SetCaption("before");
    f.eDeviceFeature = 3;  // no such mode: the label stays
    f.TntRdoLangEng->SetChecked(true);
    EXPECT_EQ(Caption(f.labDiskFeature), "before");
    f.eDeviceFeature = 0;
    f.ApplyLanguage();
    EXPECT_EQ(Caption(f.labDiskFeature), "Normal");
    f.eDeviceFeature = 2;
    f.iHideDiskRatio = 100;
    f.TntRdoLangTC->SetChecked(true);
    EXPECT_EQ(Caption(f.labDiskFeature), "隱藏碟100%");
}

TEST_F(LanguageWindow, SectionsFromLangIni)
{
    dir_.write("misc/lang.ini", kLangIni);
    TForm1& f = *form_;

    f.TntRdoLangTC->SetChecked(true);
    EXPECT_EQ(Caption(&f), "量產工具 (6205, Dec 27 2011) + FSM Ver.x.x");
    EXPECT_EQ(toolkit::Application->Title(), "量產工具");
    EXPECT_EQ(Caption(f.btnSetup), "進階設定...");
    EXPECT_EQ(Caption(&setting_), "進階設定");
    EXPECT_EQ(BlankingCheckSetupStr.get(), "Blanking Check設定");
    EXPECT_EQ(Caption(f.LabelStatic), "標籤:");
    EXPECT_EQ(Caption(f.StaticText12), "失敗:");
    EXPECT_EQ(Caption(f.chkBlankCheck), "Blanking Check Flash");

    f.TntRdoLangSC->SetChecked(true);
    EXPECT_EQ(Caption(&f), "量产工具 (6205, Dec 27 2011) + FSM Ver.x.x");
    EXPECT_EQ(Caption(f.btnSetup), "进阶设定...");
    EXPECT_EQ(Caption(f.LabelStatic), "标签:");

    // The English section lacks most keys: those keep the Simplified texts.
    f.TntRdoLangEng->SetChecked(true);
    EXPECT_EQ(f.LanguageIndex.load(), 0u);
    EXPECT_EQ(Caption(&f), "MP3 Production (6205, Dec 27 2011) + FSM Ver.x.x");
    EXPECT_EQ(Caption(f.btnSetup), "进阶设定...");
    EXPECT_EQ(Caption(f.StaticText12), "失败:");
    EXPECT_EQ(Caption(f.chkBlankCheck), "Blanking Check");
    EXPECT_EQ(Caption(f.labType), "Disk split:");
}

TEST_F(LanguageWindow, EmptyValueLeavesOnlyTheLiterals)
{
    dir_.write("misc/lang.ini", "[English]\r\nLabelStr=\r\nDeviceStr=\r\nAddFileStr=\r\n");
    form_->TntRdoLangEng->SetChecked(true);
    EXPECT_EQ(Caption(form_->LabelStatic), ":");
    EXPECT_EQ(Caption(form_->StaticText5), " 4: ");
    EXPECT_EQ(Caption(form_->AddFilesBtn), "...");
}

TEST_F(LanguageWindow, AutoFollowsTheLocale)
{
    struct { const char* locale; unsigned index; } cases[] = {
        {"zh_TW.UTF-8", 1}, {"zh_CN.UTF-8", 2}, {"zh_HK.UTF-8", 1}, {"en_US.UTF-8", 0}, {"C", 0},
    };
    for (const auto& c : cases) {
        setenv("LC_ALL", c.locale, 1);
        form_->TntRdoLangEng->SetChecked(true);
        form_->TntRdoLangAuto->SetChecked(true);
        EXPECT_EQ(form_->LanguageIndex.load(), c.index) << c.locale;
        EXPECT_EQ(storedChoice(), 0);
    }
    setenv("LC_ALL", "zh_TW.UTF-8", 1);
    form_->TntRdoLangEng->SetChecked(true);
    EXPECT_EQ(form_->LanguageIndex.load(), 0u);
    form_->TntRdoLangAuto->SetChecked(true);
    EXPECT_EQ(form_->LanguageIndex.load(), 1u);
    EXPECT_EQ(storedChoice(), 0);
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
    EXPECT_EQ(form_->LanguageIndex.load(), 0u);  // still nothing checked
}

TEST_F(LanguageWindow, PanelsGoBackToWaitingEvenInProduction)
{
    TForm1& f = *form_;
    f.D3infoStr->SetCaption("Program Writing...");
    f.ProgressBar3->SetMaxValue(100);
    f.ProgressBar3->SetProgress(40);
    f.TntRdoLangSC->SetChecked(true);
    toolkit::TStaticText* status[] = {f.D1infoStr, f.D2infoStr, f.D3infoStr, f.D4infoStr,
                                      f.D5infoStr, f.D6infoStr, f.D7infoStr, f.D8infoStr};
    for (auto* s : status)
        EXPECT_EQ(Caption(s), "Waiting device...");
    EXPECT_EQ(f.ProgressBar3->Progress(), 0);
}

TEST_F(LanguageWindow, LoaderVersionInTheCaption)
{
    std::string loader(8192 + 300, '\0');
    loader.replace(8192, 9, "FSM V1.23");
    dir_.write("misc/FSM01.BIN", loader);
    form_->TntRdoLangEng->SetChecked(true);
    EXPECT_EQ(Caption(form_.get()), "MP3 Mass Production Tool (6205, Dec 27 2011) + FSM V1.23");
    EXPECT_EQ(form_->iFsmSize.load(), loader.size());
}

TEST_F(LanguageWindow, StoredChoiceRewrittenByTheStartUpClick)
{
    // A stored value that names no radio checks Auto, whose click stores 0.
    RegWriteInteger(kLanguageRegistryKey, "LanguageID", 7);
    form_->FormShow(form_.get());
    EXPECT_TRUE(form_->TntRdoLangAuto->Checked());
    EXPECT_EQ(storedChoice(), 0);

    RegWriteInteger(kLanguageRegistryKey, "LanguageID", 3);
    TForm1* first = form_.release();
    delete first;
    form_ = std::make_unique<TForm1>();
    form_->FormShow(form_.get());
    EXPECT_TRUE(form_->TntRdoLangTC->Checked());
    EXPECT_EQ(form_->LanguageIndex.load(), 1u);
    EXPECT_EQ(storedChoice(), 3);
}
