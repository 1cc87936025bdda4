// Choosing a language: every caption of the main window follows the lang.ini section the
// radio choice selects. The radios and the panels' redraw are driven in tests/view.
#include "ui/Language.h"

#include "platform/ProgramDir.h"
#include "support/TempDir.h"
#include "text/LangStrings.h"
#include "ui/main.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>

namespace {

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

    testsupport::TempDir dir;
    toolkit::TForm setting{"frmSetting"};
    std::unique_ptr<TForm1> form;
};

} // namespace

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
