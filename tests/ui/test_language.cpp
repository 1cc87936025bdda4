// Choosing a language: the radio choice, the lang.ini section it selects, read in its
// code page, and the main window's captions composed from it.
#include "ui/Language.h"

#include "device/HostUtil.h"
#include "platform/ProgramDir.h"
#include "support/TempDir.h"
#include "text/LangStrings.h"
#include "toolkit/TThread.h"
#include "ui/main.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
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

class Language : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("LC_ALL", "C", 1);  // the Auto choice follows the system's language
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
    int storedChoice() const { return RegReadInteger(kLanguageRegistryKey, "LanguageID", -1); }

    testsupport::TempDir dir;
    toolkit::TForm setting{"frmSetting"};
    std::unique_ptr<TForm1> form;
};

} // namespace

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
    std::set<std::string> fixed = {"chkFAT32", "TotalStr", "SuccessStr", "FailStr", "TntGroupBox1", "TntRdoLangAuto",
                                   "TntRdoLangEng", "grpMPSetting"};
    for (int i = 1; i <= 8; ++i)  // the device panels: frame, port and flash texts hold no language
        fixed.insert({"grpDevice" + std::to_string(i), "TextP" + std::to_string(i), "TextF" + std::to_string(i)});
    EXPECT_EQ(untouched, fixed);
    EXPECT_FALSE(plain(form->Caption()) || plain(setting.Caption()));
}
