// The settings dialog's number reader and its *.mp files. Showing and Apply, and the
// operator's widget input, are in tests/view.
#include "device/HostUtil.h"
#include "platform/IniFile.h"
#include "platform/ProgramDir.h"
#include "support/TempDir.h"
#include "toolkit/Dialogs.h"
#include "ui/MpConfig.h"
#include "ui/SettingDlg.h"
#include "ui/Unit2.h"
#include "ui/main.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

using namespace toolkit;
using Strings = std::vector<std::string>;

namespace {

class MpConfigTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::SetProgramDir(dir.path());
        SetDialogs(&dialogs);
        std::filesystem::create_directories(dir.file("misc"));
        form = std::make_unique<TForm1>();
        form->LoadSettings(".\\misc\\prefer.ini");
        dialog = std::make_unique<TfrmSetting>();
        password = std::make_unique<TForm2>();
        dialog->MainWindow = password->MainWindow = form.get();
        dialog->PasswordDialog = password.get();
        password->SettingDialog = dialog.get();
        dialog->DoShow();
        dialogs.Clear();
    }
    void TearDown() override
    {
        password.reset();
        dialog.reset();
        form.reset();
        SetDialogs(nullptr);
    }

    std::string path(const char* name = "a.mp") { return dir.file(name); }
    // Every control the file holds, in one line.
    std::string controls()
    {
        TfrmSetting& d = *dialog;
        std::string out;
        for (int i : {d.cboScanLevel->ItemIndex(), d.cboPageSkip->ItemIndex(), d.cboECC->ItemIndex(), d.cboRead->ItemIndex(),
                      d.UpDownBadThreshold->Position(), d.tbarHideDiskRatio->Position(), d.tbarHideDiskRatioSelEnd()})
            out += std::to_string(i) + ",";
        for (auto* radio : {d.rdoNormalDisk, d.rdoEncryptDisk, d.rdoHideDisk})
            out += radio->Checked() ? "1" : "0";
        out += "," + d.edtBadThreshold->Text() + "," + d.edtEncryptRatio->Text() + "," + d.edtDiskLabel->Text();
        for (const auto& item : d.TntlstHideFiles->Items()->ToVector())
            out += "," + item;
        return out;
    }

    testsupport::TempDir dir;
    ScriptedDialogs dialogs;
    std::unique_ptr<TForm1> form;
    std::unique_ptr<TfrmSetting> dialog;
    std::unique_ptr<TForm2> password;
};

} // namespace

TEST(StrToInt, ReadsDecimalAndHexWithinInt32AndRefusesTheRest)
{
    for (const auto& [text, value] : {std::pair{"063182954", 63182954}, {"-2147483648", INT32_MIN}, {"0xFFFFFFFF", -1}, {"-$10", -16},
                                      {"x1a2", 418}, {" 418", 418}})
        EXPECT_EQ(ui::StrToInt(text), value) << text;
    for (const char* bad : {"", "2147483648", "-2147483649", "0x100000000", "5 ", "0x", "--1"})
        EXPECT_THROW(ui::StrToInt(bad), ui::EConvertError) << bad;
}

// ---- *.mp files ----

TEST_F(MpConfigTest, SaveWritesTheSectionsByteForByteAndLoadRestoresThem)
{
    dir.write("a.mp", "[DeviceSet]\r\nHideDiskRatio=10\r\n");  // the ratio already shown
    ui::LoadMpConfig(*dialog, path());
    EXPECT_EQ(dialog->tbarHideDiskRatioSelEnd(), 10) << "the selection follows it too";
    dialog->cboScanLevel->SetItemIndex(3);
    dialog->cboPageSkip->SetItemIndex(16);
    dialog->cboECC->SetItemIndex(5);
    dialog->cboRead->SetItemIndex(2);
    dialog->UpDownBadThreshold->SetPosition(45);
    dialog->rdoHideDisk->SetChecked(true);
    dialog->edtDiskLabel->SetText("SECRET");
    dialog->tbarHideDiskRatio->SetPosition(35);
    dialog->TntlstHideFiles->Items()->Assign({"/music/a.mp3", "/y/中文 name.txt"});
    dir.write("a.mp", "[Other]\r\nkeep=1\r\n[HideFiles]\r\n/old/x=\r\n");
    ui::SaveMpConfig(*dialog, path());
    EXPECT_EQ(dir.read("a.mp"),  // marked as UTF-8: it holds more than ASCII
              "\xEF\xBB\xBF[Other]\r\nkeep=1\r\n[FlashSet]\r\niScanLevel=3\r\niPageSkip=16\r\niEccLevel=5\r\niReadTimes=2\r\niBadThreshold=45\r\n\r\n"
              "[DeviceSet]\r\nNormalDisk=0\r\nEncryptDisk=0\r\nHideDisk=1\r\nDiskLabel=SECRET\r\nHideDiskRatio=35\r\n\r\n"
              "[HideFiles]\r\n/music/a.mp3=\r\n/y/中文 name.txt=\r\n");
    ui::LoadMpConfig(*dialog, path("none.mp"));
    EXPECT_EQ(controls(), "0,0,2,0,10,1,1,100,10,1,") << "a missing file gives the defaults";
    ui::LoadMpConfig(*dialog, path());
    EXPECT_EQ(controls(), "3,16,5,2,45,35,35,001,45,35,SECRET,/music/a.mp3,/y/中文 name.txt");
    dialog->TntlstHideFiles->Items()->Clear();
    ui::SaveMpConfig(*dialog, path());
    EXPECT_FALSE(platform::IniFile(path()).SectionExists("HideFiles")) << "an empty list leaves no section";

    const std::string before = dir.read("a.mp");
    dialog->cboPageSkip->SetItemIndex(-1);
    EXPECT_THROW(ui::SaveMpConfig(*dialog, path()), ui::EConvertError);
    EXPECT_EQ(dir.read("a.mp"), before);
    dialog->cboPageSkip->SetItemIndex(0);
    EXPECT_THROW(ui::SaveMpConfig(*dialog, dir.file("no/such/folder/a.mp")), platform::IniFileError);
}

// HideFiles keeps names as keys; a list that would not come back unchanged is refused
// with a box naming each such entry, and the file stays as it was.
TEST_F(MpConfigTest, NamesTheListCannotHoldRefuseTheSave)
{
    const std::string old = "[HideFiles]\r\n/old=\r\n";
    const struct { Strings list; std::string refused; } rows[] = {
        {{"/tmp/music/a.mp3", "/tmp/Music/A.mp3"}, "\"/tmp/Music/A.mp3\" (the same as \"/tmp/music/a.mp3\" apart from letter case)"},
        {{"/x/a=b.txt"}, "\"/x/a=b.txt\" (holds \"=\")"},
        {{"/x/a.txt ", "\t/x/b", "/x/c\v", "\f/x/d"}, "\"/x/a.txt \" (begins or ends with a blank)\n\"\t/x/b\" (begins or ends with a blank)\n"
                                                  "\"/x/c\v\" (begins or ends with a blank)\n\"\f/x/d\" (begins or ends with a blank)"},
        {{"/x", "/y", "/x"}, "\"/x\" (listed twice)"},
        {{";x", "[x]"}, "\";x\" (begins with \";\")\n\"[x]\" (begins with \"[\")"},
        {{"/a\nb", ""}, "\"/a\nb\" (holds a line break)\n\"\" (an empty name)"},
    };
    for (const auto& r : rows) {
        dir.write("a.mp", old);
        dialogs.Clear();
        dialog->TntlstHideFiles->Items()->Assign(r.list);
        EXPECT_FALSE(ui::SaveMpConfig(*dialog, path()));
        ASSERT_EQ(dialogs.Messages().size(), 1u);
        EXPECT_EQ(dialogs.Messages()[0].text + "|" + dialogs.Messages()[0].caption,
                  "Not saved to " + path() + ": its file list cannot hold these names:\n" + r.refused + "|Fail");
        EXPECT_EQ(dir.read("a.mp"), old);
    }
    // Names the keys hold come back exactly, letter case beyond ASCII included.
    const Strings fine = {"/a b/c.mp3", "/x;y[z]", "/音乐/歌.mp3", "/É", "/é", "/tmp/Music/A.mp3"};
    dialog->TntlstHideFiles->Items()->Assign(fine);
    EXPECT_TRUE(ui::SaveMpConfig(*dialog, path()));
    dialog->TntlstHideFiles->Items()->Clear();
    ui::LoadMpConfig(*dialog, path());
    EXPECT_EQ(dialog->TntlstHideFiles->Items()->ToVector(), fine);
}
