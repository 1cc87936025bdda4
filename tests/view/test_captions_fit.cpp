// No caption is cut: in each of the three languages, at the forms' font, every caption
// of every form fits its widget, and so do the longest status and flash lines a run
// writes into a device panel (texts from the message catalogue and the sample kit's
// lang.ini and flash.ini); a line longer than any panel (a long firmware file name, a
// maker's long part name) is cut in the middle and whole in its tooltip.
#include "FormDriver.h"
#include "device/HostUtil.h"
#include "platform/IniFile.h"
#include "platform/ProgramDir.h"
#include "sim/Profiles.h"
#include "sim/StationKit.h"
#include "support/TempDir.h"
#include "text/LangStrings.h"
#include "text/MessageCatalogue.h"
#include "text/ScanNames.h"
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
#include <cstdio>
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

// A firmware file name as vendors ship them.
const std::string kLongFirmware = "MP3_6205_SDK_V2.15_release_20111227_radio_telbook_recorder_new.bin";

// The longest texts of each kind the run writes into a panel, in the window's language.
std::vector<std::string> StatusLines(unsigned lang, uint32_t total)
{
    auto row = [lang](int r) { return std::string(MessageCatalogue(r, lang)); };
    const std::string count = std::to_string(total - 1) + "/" + std::to_string(total);
    const std::string fail = FailMsg.get();
    std::vector<std::string> lines = {
        RealBlankingCheckStr + " " + count + " " + row(84) + ": " + std::to_string(total),
        RealBlankingCheckStr.get() + fail,
        BlankingCheckSetupStr + "...",
        SDKBidNoMatchStr + " 65535",
        ChipBidErrorStr + "255",
        SDKBidErrorStr + " 0",
        FSMLoadStr + fail,
        FSMWrite + SuccessMsg,
        SuccessMsg + "(" + row(51) + ")",
        row(87) + "  " + fail,
        row(32) + fail,
        row(47) + "Image.ISO",
        row(41) + fail,
        row(55) + fail,
        row(79) + "65535",
        row(33) + "10",
        "Program Writing Retry 10",
        "iSectorUsed:65535",
        ProgramWriteStr + "...(" + kLongFirmware + ")",
        ProgramWriteStr + "...(" + kLongFirmware + ") (" + kLongFirmware + ")",  // its failure
    };
    for (int mode = 0; mode < kPageModes; ++mode)
        lines.push_back(std::string(PageModeName(mode, lang)) + " " + count + " Bad: " + std::to_string(total));
    for (int r : {29, 44, 54, 57, 58, 60, 66, 76, 77, 81, 83, 92, 93})
        lines.push_back(row(r));
    for (const UiString* stage : {&ProgramWriteSetupStr, &ProgramWriteEndStr, &PreferWriteSetupStr, &PreferWriteEndStr,
                                  &TelbookWriteSetupStr, &TelbookWriteEndStr, &ISOWriteSetupStr, &ISOWriteEndStr,
                                  &PassWriteSetupStr, &PassWriteEndStr, &FILEWriteStr, &CopyFileMsg, &SetLabelStr,
                                  &FlashCheckStr, &FwParityCheckStr, &BadBlockWarningStr, &ChangeDiskStr, &FormatStr})
        lines.push_back(stage->get() + fail);
    return lines;
}

std::vector<std::string> FlashLines(unsigned lang, uint32_t total, const std::string& flashIni)
{
    std::vector<std::string> lines = {std::to_string(total) + "/" + std::to_string(total) + ", 8192MB, 99999" +
                                      MessageCatalogue(31, lang),
                                      "ID:ECD514B674 SAMSUNG K9LBG08U0M-PCB0 32Gbit 4GMLC (2 CE) DDP"};
    platform::IniFile ini(flashIni);
    for (const std::string& section : ini.ReadSections())
        for (const std::string& key : ini.ReadSection(section))
            lines.push_back("ID:5AD3819558 " + ini.ReadString(section, key, ""));
    return lines;
}

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

    uint32_t total = 0;
    for (const auto& p : sim::KitNandProfiles())
        total = std::max(total, p.totalBlocks());
    auto* status = qobject_cast<QLabel*>(window.formView()->widgetFor(main.D1infoStr));
    auto* flash = qobject_cast<QLabel*>(window.formView()->widgetFor(main.TextF1));
    ASSERT_TRUE(status && flash);
    int widest = 0;
    std::string widestLine;
    auto report = [&](const char* what) {
        std::printf("widest %s: %d px in a label of %d px: %s\n", what, widest, status->contentsRect().width(), widestLine.c_str());
        widest = 0;
    };
    auto show = [&](TStaticText* text, QLabel* label, const std::string& line, const char* what) {
        text->SetCaption(line);
        testsupport::FormDriver::settle();
        EXPECT_EQ(Cut(label), "") << what;
        const QString whole = label->toolTip().isEmpty() ? label->text() : label->toolTip();
        EXPECT_EQ(whole.toStdString(), line) << what << ": the whole text in the label or its tooltip";
        const int need = QFontMetrics(label->font()).horizontalAdvance(QString::fromStdString(line));
        if (need > widest)
            std::tie(widest, widestLine) = std::make_pair(need, line);
    };
    for (const std::string& line : StatusLines(lang, total))
        show(main.D1infoStr, status, line, "status line");
    report("status line");
    for (const std::string& line : FlashLines(lang, total, dir.file("flash/flash.ini")))
        show(main.TextF1, flash, line, "flash line");
    report("flash line");

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
