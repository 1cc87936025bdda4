// Choosing a language: ids from the locale and the radio choice, the lang.ini section it
// selects, the strings reloaded from that section in its code page, and the main window's
// captions composed from them.
#include "ui/Language.h"

#include "device/HostUtil.h"
#include "platform/ProgramDir.h"
#include "support/TempDir.h"
#include "text/LangStrings.h"
#include "text/MessageCatalogue.h"
#include "toolkit/TThread.h"
#include "ui/main.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>
#include <set>
#include <string>

namespace {

// lang.ini as the stations ship it, Big5 and GBK bytes in the Chinese sections: TitleStr,
// SettingMsg, AdvanceStr, LabelStr, FailMsg, WaitDeviceMsg = 量產工具 設定 進階 標籤 失敗
// 等待裝置... and 量产工具 设定 进阶 标签 失败 等待装置...; English has two keys only.
const char kLangIni[] = "[English]\r\nTitleStr=MP3 Production\r\nFailMsg=FAILED\r\n"
                        "[Chinese (Taiwan)]\r\n"
                        "TitleStr=\266\161\262\243\244\165\250\343\r\nSettingMsg=\263\135\251\167\r\n"
                        "AdvanceStr=\266\151\266\245\r\nLabelStr=\274\320\305\322\r\nFailMsg=\245\242\261\321\r\n"
                        "WaitDeviceMsg=\265\245\253\335\270\313\270\155...\r\n"
                        "[Chinese (PRC)]\r\n"
                        "TitleStr=\301\277\262\372\271\244\276\337\r\nSettingMsg=\311\350\266\250\r\n"
                        "AdvanceStr=\275\370\275\327\r\nLabelStr=\261\352\307\251\r\nFailMsg=\312\247\260\334\r\n"
                        "WaitDeviceMsg=\265\310\264\375\327\260\326\303...\r\n";

// Sets a variable for one test and puts back what was there.
struct EnvGuard {
    explicit EnvGuard(const char* name, const char* value = nullptr) : name(name), had(std::getenv(name) != nullptr)
    {
        old = had ? std::getenv(name) : "";
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~EnvGuard() { had ? setenv(name, old.c_str(), 1) : unsetenv(name); }
    const char* name;
    bool had;
    std::string old;
};

class Language : public ::testing::Test {
protected:
    void SetUp() override
    {
        InitLanguageStrings();
        platform::SetProgramDir(dir.path());
        form = std::make_unique<TForm1>();
        form->SettingForm = &setting;
    }
    void TearDown() override
    {
        form.reset();
        InitLanguageStrings();
    }
    void load(uint16_t id) { LoadLanguageStrings(platform::ProgramPath("misc/lang.ini"), SectionForLangId(id)); }
    int storedChoice() const { return RegReadInteger(kLanguageRegistryKey, "LanguageID", -1); }

    EnvGuard lcAll{"LC_ALL", "C"};
    testsupport::TempDir dir;
    toolkit::TForm setting{"frmSetting"};
    std::unique_ptr<TForm1> form;
};

} // namespace

TEST(LanguageId, FromLocaleVariablesAndChoice)
{
    const std::pair<const char*, uint16_t> locales[] = {
        {"zh_CN.UTF-8", 2052}, {"zh_CN", 2052}, {"zh_SG.GBK", 2052}, {"ZH_cn.gb18030", 2052}, {"zh_CN@pinyin", 2052}, {"zh_TW.UTF-8", 1028},
        {"zh_TW.Big5", 1028},  {"zh_HK.UTF-8", 1028}, {"zh_MO", 1028}, {"zh", 1033}, {"zh_", 1033}, {"zh_XX", 1033}, {"zhx_CN", 1033},
        {"en_US.UTF-8", 1033}, {"C", 1033}, {"C.UTF-8", 1033}, {"", 1033}};
    for (const auto& [locale, id] : locales)
        EXPECT_EQ(LangIdFromLocale(locale), id) << locale;

    EnvGuard all("LC_ALL"), messages("LC_MESSAGES"), lang("LANG");
    EXPECT_EQ(GetSystemDefaultLangID(), kLangIdEnglish);
    setenv("LANG", "zh_TW.UTF-8", 1);
    EXPECT_EQ(GetSystemDefaultLangID(), kLangIdTraditionalChinese);
    setenv("LC_MESSAGES", "zh_CN.UTF-8", 1);
    setenv("LC_ALL", "", 1);  // empty: not set
    EXPECT_EQ(LangIdForChoice(kLanguageChoiceAuto), kLangIdSimplifiedChinese);
    setenv("LC_ALL", "zh_HK.UTF-8", 1);
    EXPECT_EQ(LangIdForChoice(kLanguageChoiceAuto), kLangIdTraditionalChinese);
    // The explicit choices ignore the locale.
    EXPECT_EQ((std::vector<uint16_t>{LangIdForChoice(kLanguageChoiceEnglish), LangIdForChoice(kLanguageChoiceSimplified),
                                     LangIdForChoice(kLanguageChoiceTraditional)}),
              (std::vector<uint16_t>{kLangIdEnglish, kLangIdSimplifiedChinese, kLangIdTraditionalChinese}));
}

TEST_F(Language, StringsFromEachSectionInItsCodePageAndTheBuiltInOnesWithoutAFile)
{
    for (uint16_t id : {kLangIdEnglish, kLangIdTraditionalChinese, kLangIdSimplifiedChinese}) {
        load(id);
        for (UiString* s : AllUiStrings())
            EXPECT_TRUE(s == &BlankingCheckSetupStr || s->get() == s->builtIn()) << s->builtIn();
        EXPECT_EQ(BlankingCheckSetupStr.get(), "Blanking CheckSetting");
    }
    dir.write("misc/lang.ini", kLangIni);
    load(1028);
    EXPECT_EQ(TitleStr + "|" + FailMsg + "|" + WaitDeviceMsg, "量產工具|失敗|等待裝置...");
    EXPECT_EQ(MainWindowCaption("FSM V1.0"), "量產工具 (6205, Dec 27 2011) + FSM V1.0");
    load(2052);
    EXPECT_EQ(TitleStr + "|" + FailMsg + "|" + WaitDeviceMsg, "量产工具|失败|等待装置...");
    load(3076);  // English lacks WaitDeviceMsg: it keeps the Simplified text chosen before
    EXPECT_EQ(TitleStr + "|" + FailMsg + "|" + WaitDeviceMsg, "MP3 Production|FAILED|等待装置...");

    // Names without regard to case; a lone Big5 lead byte and bad UTF-8 show as U+FFFD.
    dir.write("misc/lang.ini", "[chinese (taiwan)]\ntitlestr=\245\242\261\321\245\n[English]\nFailMsg=fa\351l\nStatusMsg=\346\227\245\n");
    load(1028);
    EXPECT_EQ(TitleStr.get(), "失敗\xEF\xBF\xBD");
    load(1033);
    EXPECT_EQ(FailMsg + "|" + StatusMsg, "fa\xEF\xBF\xBDl|日");
}

// Without lang.ini the strings stay English in every language; the catalogue rows follow the radios.
TEST_F(Language, WindowCaptionsWithoutLangIniInEachLanguage)
{
    TForm1& f = *form;
    f.eDeviceFeature = 1;
    f.iHideDiskRatio = 10;
    const struct { toolkit::TRadioButton* TForm1::*radio; int stored; unsigned index; const char* captions; } cases[] = {
        {&TForm1::TntRdoLangEng, 1, 0, "Blanking Check|Disk split:|Add Dir|Nor Read Check|Fix Usb IO|Clear FLASH|Encrypted disk10%"},
        {&TForm1::TntRdoLangSC, 2, 2, "Blanking Check Flash|磁碟分区:|加目录|Nor读回检查|固定USB IO口|清空 FLASH|加密碟10%"},
        {&TForm1::TntRdoLangTC, 3, 1, "Blanking Check Flash|磁碟分區:|加目錄|Nor讀回檢查|固定USB IO口|清空 FLASH|加密碟10%"},
    };
    for (const auto& c : cases) {
        (f.*c.radio)->SetChecked(true);  // the click applies the language
        EXPECT_EQ(std::make_pair(f.LanguageIndex.load(), storedChoice()), std::make_pair(c.index, c.stored));
        std::string captions;
        for (toolkit::TControl* control : std::initializer_list<toolkit::TControl*>{f.chkBlankCheck, f.labType, f.btnAddDir, f.chknor,
                                                                                     f.chkUsbPort, f.chkClearFlash, f.labDiskFeature})
            captions += (captions.empty() ? "" : "|") + control->Caption();
        EXPECT_EQ(captions, c.captions);
    }
    EXPECT_EQ(toolkit::Application->Title(), "MP3 Mass Production Tool");
    // The disk mode label: another mode and ratio, or no such mode (the label stays).
    f.eDeviceFeature = 2;
    f.iHideDiskRatio = 100;
    f.ApplyLanguage();
    EXPECT_EQ(f.labDiskFeature->Caption(), "隱藏碟100%");
    f.eDeviceFeature = 3;
    f.TntRdoLangEng->SetChecked(true);
    EXPECT_EQ(f.labDiskFeature->Caption(), "隱藏碟100%");
}

TEST_F(Language, WindowCaptionsFromLangIni)
{
    dir.write("misc/lang.ini", kLangIni);
    TForm1& f = *form;
    f.TntRdoLangTC->SetChecked(true);
    EXPECT_EQ(f.Caption(), "量產工具 (6205, Dec 27 2011) + FSM Ver.x.x");
    EXPECT_EQ(toolkit::Application->Title() + "|" + setting.Caption() + "|" + BlankingCheckSetupStr.get(), "量產工具|進階設定|Blanking Check設定");
    EXPECT_EQ(f.btnSetup->Caption() + "|" + f.LabelStatic->Caption() + "|" + f.StaticText12->Caption(), "進階設定...|標籤:|失敗:");
    f.TntRdoLangSC->SetChecked(true);
    EXPECT_EQ(f.btnSetup->Caption() + "|" + f.LabelStatic->Caption(), "进阶设定...|标签:");
    // The English section lacks most keys: those keep the Simplified texts.
    f.TntRdoLangEng->SetChecked(true);
    EXPECT_EQ(f.Caption(), "MP3 Production (6205, Dec 27 2011) + FSM Ver.x.x");
    EXPECT_EQ(f.btnSetup->Caption() + "|" + f.StaticText12->Caption() + "|" + f.labType->Caption(), "进阶设定...|FAILED:|Disk split:");

    // An empty value empties its string; a key of a string without one is never read.
    dir.write("misc/lang.ini", "[English]\r\nLabelStr=\r\nDeviceStr=\r\nAddFileStr=\r\nSettingMsg=\r\nCheckFlashIDStr=x\r\n");
    InitLanguageStrings();
    f.ApplyLanguage();
    EXPECT_EQ(f.LabelStatic->Caption() + "|" + f.StaticText5->Caption() + "|" + f.AddFilesBtn->Caption() + "|" + f.btnSetup->Caption(),
              ":| 4: |...|Advance...");
    EXPECT_EQ(BlankingCheckSetupStr + "|" + CheckFlashIDStr, "Blanking Check|Check FLASHID");
}

// Before any radio is checked, applying takes English whatever the locale, while the click
// handler would store Auto; a click on Auto follows the locale and stores 0.
TEST_F(Language, NoCheckedRadioAppliesEnglishAndAutoFollowsTheLocale)
{
    setenv("LC_ALL", "zh_CN.UTF-8", 1);
    form->LanguageIndex = 2;
    form->ApplyLanguage();
    EXPECT_EQ(form->LanguageIndex.load(), 0u);
    EXPECT_EQ(std::make_pair(AppliedLanguageChoice(*form), StoredLanguageChoice(*form)), std::make_pair(kLanguageChoiceEnglish, kLanguageChoiceAuto));
    for (const auto& [locale, index] : {std::pair{"zh_TW.UTF-8", 1u}, {"zh_CN.UTF-8", 2u}, {"C", 0u}}) {
        setenv("LC_ALL", locale, 1);
        form->TntRdoLangEng->SetChecked(true);
        form->TntRdoLangAuto->SetChecked(true);
        EXPECT_EQ(std::make_pair(form->LanguageIndex.load(), storedChoice()), std::make_pair(index, 0)) << locale;
    }
}

TEST_F(Language, PanelsGoBackToWaitingEvenInProductionAndTheLoaderVersionShows)
{
    std::string loader(8192 + 300, '\0');
    loader.replace(8192, 9, "FSM V1.23");
    dir.write("misc/FSM01.BIN", loader);
    TForm1& f = *form;
    f.D3infoStr->SetCaption("Program Writing...");
    f.ProgressBar3->SetMaxValue(100);
    f.ProgressBar3->SetProgress(40);
    f.TntRdoLangSC->SetChecked(true);
    for (auto* s : {f.D1infoStr, f.D3infoStr, f.D8infoStr})
        EXPECT_EQ(s->Caption(), "Waiting device...");
    EXPECT_EQ(f.ProgressBar3->Progress(), 0);
    EXPECT_EQ(f.Caption(), "MP3 Mass Production Tool (6205, Dec 27 2011) + FSM V1.23");
    EXPECT_EQ(f.iFsmSize.load(), loader.size());
}

// Every caption the language sets follows it: with a lang.ini whose every key reads
// "#key", only the captions no language touches stay plain English (or empty).
TEST_F(Language, EveryLanguageCaptionFollowsTheChoice)
{
    std::string ini = "[Chinese (Taiwan)]\r\n";
    for (UiString* s : AllUiStrings())
        if (s->key())
            ini += std::string(s->key()) + "=#" + s->key() + "\r\n";
    dir.write("misc/lang.ini", ini);
    form->TntRdoLangTC->SetChecked(true);
    auto plain = [](const std::string& text) {
        return std::all_of(text.begin(), text.end(), [](char c) { return c > 0 && c != '#'; });
    };
    std::set<std::string> untouched;
    form->ForEachControl([&](toolkit::TControl& c) {
        const std::string kind = c.ClassName();
        if (c.Visible() && kind != "TListBox" && kind != "TEdit" && kind != "TComboBox" && kind != "TGauge" &&
            kind != "TImage" && kind != "TPageControl" && plain(c.Caption()))
            untouched.insert(c.Name());
    });
    std::set<std::string> fixed = {"chkFAT32", "Upgradebtn", "TotalStr", "SuccessStr", "FailStr", "TntGroupBox1", "TntRdoLangAuto",
                                   "TntRdoLangEng", "grpMPSetting"};
    for (int i = 1; i <= 8; ++i)  // the device panels: frame, port and flash texts hold no language
        fixed.insert({"grpDevice" + std::to_string(i), "TextP" + std::to_string(i), "TextF" + std::to_string(i)});
    EXPECT_EQ(untouched, fixed);
    EXPECT_FALSE(plain(form->Caption()) || plain(setting.Caption()));
}
