// No caption is cut: in each of the three languages, at the forms' font, every caption
// of every form fits its widget (texts from the message catalogue and the sample kit's
// lang.ini); a panel line longer than its panel (a long firmware file name, a maker's
// long part name) is cut in the middle and whole in its tooltip.
#include "FormDriver.h"
#include "device/HostUtil.h"
#include "platform/IniFile.h"
#include "platform/ProgramDir.h"
#include "sim/StationKit.h"
#include "support/TempDir.h"
#include "text/LangStrings.h"
#include "toolkit/Dialogs.h"
#include "ui/SettingDlg.h"
#include "ui/Unit2.h"
#include "ui/Unit3.h"
#include "ui/isomain.h"
#include "ui/main.h"
#include "view/FormDialog.h"
#include "view/MainWindow.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QGroupBox>
#include <QLabel>

#include <QFontMetrics>

#include <algorithm>
#include <tuple>

using namespace toolkit;

namespace {

// What of a widget's caption does not fit ("" when all of it does).
std::string Cut(QWidget* w)
{
    QFontMetrics fm(w->font());
    auto over = [&](const QString& text, int room) {
        int need = 0;
        for (const QString& line : text.split('\n'))
            need = std::max(need, fm.horizontalAdvance(line));
        return need > room ? text.toStdString() + " needs " + std::to_string(need) + " has " + std::to_string(room) : "";
    };
    if (auto* l = qobject_cast<QLabel*>(w); l && !l->text().isEmpty()) {
        const int lines = static_cast<int>(l->text().count('\n')) + 1;
        if (lines * fm.height() > l->contentsRect().height() + 2)
            return l->text().toStdString() + ": " + std::to_string(lines) + " lines in " + std::to_string(l->height()) + " px";
        return over(l->text(), l->contentsRect().width());
    }
    if (auto* b = qobject_cast<QAbstractButton*>(w); b && b->isCheckable())  // the indicator takes its part
        return b->sizeHint().width() > b->width() ? over(b->text(), b->width() - (b->sizeHint().width() - fm.horizontalAdvance(b->text()))) : "";
    if (auto* b = qobject_cast<QAbstractButton*>(w))
        return over(b->text(), b->width() - 8);  // the frame and a little air
    if (auto* g = qobject_cast<QGroupBox*>(w))
        return over(g->title(), g->width() - 16);  // the title sits inside the frame's corner
    return "";
}

// Every widget of the form whose caption can show: containers always (a handler may show
// them), other controls when they are not hidden.
std::vector<std::string> CutCaptions(TForm& form, view::FormView& view)
{
    std::vector<std::string> cut;
    form.ForEachControl([&](TControl& c) {
        if (!c.Visible() && !dynamic_cast<TWinControl*>(&c))
            return;
        if (QWidget* w = view.widgetFor(&c)) {
            if (std::string what = Cut(w); !what.empty())
                cut.push_back(c.Name() + ": " + what);
            else if (auto* l = qobject_cast<QLabel*>(w); l && !l->toolTip().isEmpty())  // a caption must fit whole
                cut.push_back(c.Name() + ": " + l->toolTip().toStdString() + " cut to " + l->text().toStdString());
        }
    });
    return cut;
}

class CaptionsFit : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override
    {
        testsupport::App();
        platform::SetProgramDir(dir.path());
        ASSERT_TRUE(sim::WriteStationKit(dir.path()));
        SetDialogs(&dialogs);
        InitLanguageStrings();
        RegWriteInteger("SoftWare\\KOV6125\\Vornagel28", "LanguageID", GetParam());
    }
    void TearDown() override
    {
        SetDialogs(nullptr);
        InitLanguageStrings();
    }
    testsupport::TempDir dir;
    ScriptedDialogs dialogs;
};

} // namespace

TEST_P(CaptionsFit, EveryFormAndThePanelLinesAtTheWindowsFont)
{
    TForm1 main;
    TfrmSetting setting;
    TForm2 password;
    TForm3 notice;
    TfrmIsoMain iso;
    setting.MainWindow = password.MainWindow = &main;
    view::MainWindow window(main);
    window.start();
    testsupport::FormDriver::settle();
    const unsigned lang = main.LanguageIndex;
    EXPECT_EQ(lang, GetParam() == 1 ? 0u : GetParam() == 2 ? 2u : 1u);
    EXPECT_EQ(CutCaptions(main, *window.formView()), std::vector<std::string>{}) << "main window";

    // A panel line fits as it is or is cut in the middle, whole in its tooltip: a stage with
    // a vendor's long firmware file name, every flash line of the kit's flash.ini.
    const std::string fw = "MP3_6205_SDK_V2.15_release_20111227_radio_telbook_recorder_new.bin";
    std::vector<std::tuple<TStaticText*, std::string, bool>> lines = {
        {main.D1infoStr, FSMLoadStr + FailMsg, false}, {main.D1infoStr, ProgramWriteStr + "...(" + fw + ") (" + fw + ")", true},
        {main.TextF1, "ID:ECD514B674 SAMSUNG K9GAG08U0E 2GMLC", false}};
    platform::IniFile ini(dir.file("flash/flash.ini"));
    for (const std::string& section : ini.ReadSections())
        for (const std::string& key : ini.ReadSection(section))
            lines.emplace_back(main.TextF1, "ID:5AD3819558 " + ini.ReadString(section, key, ""), false);
    for (const auto& [text, line, cut] : lines) {
        auto* label = qobject_cast<QLabel*>(window.formView()->widgetFor(text));
        ASSERT_NE(label, nullptr);
        text->SetCaption(line);
        testsupport::FormDriver::settle();
        EXPECT_EQ(Cut(label), "") << line;
        EXPECT_EQ((label->toolTip().isEmpty() ? label->text() : label->toolTip()).toStdString(), line);
        EXPECT_TRUE(!cut || !label->toolTip().isEmpty()) << line << ": cut";
    }

    for (TForm* form : std::initializer_list<TForm*>{&setting, &password, &notice, &iso}) {
        view::FormDialog dialog(*form);
        dialog.start();
        testsupport::FormDriver::settle();
        EXPECT_EQ(CutCaptions(*form, *dialog.formView()), std::vector<std::string>{}) << form->Name();
        dialog.done(0);
    }
}

// LanguageID: 1 English, 3 Traditional, 2 Simplified Chinese.
INSTANTIATE_TEST_SUITE_P(Languages, CaptionsFit, ::testing::Values(1, 3, 2));
