// The image dialog: misc/ImgTool.ini and the size choices, the list and misc/isoseting.ini,
// the busy state, and building through it: a confirmed name gives an image whose two
// volumes pass fsck.fat; each failure shows its box.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/Clock.h"
#include "platform/ProgramDir.h"
#include "support/ImageTestTools.h"
#include "support/TempDir.h"
#include "text/MessageCatalogue.h"
#include "toolkit/Dialogs.h"
#include "toolkit/TThread.h"
#include "ui/isomain.h"
#include "ui/main.h"

namespace fs = std::filesystem;
using namespace toolkit;
using Strings = std::vector<std::string>;

namespace {

// FF FE, then each entry in UTF-16 LE followed by CR LF.
std::string ListBytes(const std::vector<std::u16string>& entries)
{
    std::string out = "\xFF\xFE";
    for (const auto& e : entries)
        for (char16_t u : e + u"\r\n")
            out += {char(u & 0xFF), char(u >> 8)};
    return out;
}
std::u16string U16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

class IsoDialogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::SetProgramDir(program.path());
        platform::SetClock(&clock);
        SetDialogs(&dialogs);
    }
    void TearDown() override
    {
        form.reset();
        Application->SetEventPump(nullptr);
        SetDialogs(nullptr);
        platform::SetClock(nullptr);
    }
    TfrmIsoMain& Create()
    {
        form = std::make_unique<TfrmIsoMain>();
        form->SettingImgFileEdit = &imgFile;
        return *form;
    }
    Strings List() const { return form->TntlstHideFiles->Items()->ToVector(); }
    void ExpectOneBox(const std::string& text, const char* caption, uint32_t flags)
    {
        const auto boxes = dialogs.Messages();
        ASSERT_EQ(boxes.size(), 1u) << (form ? form->LastBuildError() : "");
        EXPECT_EQ(boxes[0].text, text);
        EXPECT_EQ(boxes[0].caption, caption ? caption : boxes[0].caption);
        EXPECT_EQ(boxes[0].flags, flags);
    }

    testsupport::TempDir program;  // the program folder: misc/isoseting.ini, misc/ImgTool.ini
    testsupport::TempDir host;     // the operator's files
    platform::FakeClock clock;
    ScriptedDialogs dialogs;
    TEdit imgFile{nullptr, "edtImgFile"};  // the settings dialog's edit
    std::unique_ptr<TfrmIsoMain> form;
};

TEST_F(IsoDialogTest, StoredOptionsGiveLabelAndOfferedSize)
{
    // 128 to 8192 MB in steps of 32: a step outside the track bar's range lands on its
    // nearest end, an unreadable one on the default 8.
    const std::tuple<const char*, int, const char*> rows[] = {{"4", 4, "128"},    {"64", 64, "2048"},   {"256", 256, "8192"},
                                                              {"0x10", 16, "512"}, {"3", 4, "128"},     {"-7", 4, "128"},
                                                              {"257", 256, "8192"}, {"big", 8, "256"}, {"", 8, "256"}};
    Create();
    EXPECT_EQ(form->edtDiskSize->Text() + "|" + form->edtDiskLabel->Text(), "256|PASS WD") << "no ImgTool.ini";
    EXPECT_TRUE(form->edtDiskSize->ReadOnly()) << "the size is chosen on the track bar";
    for (auto [stored, position, megabytes] : rows) {
        program.write("misc/ImgTool.ini", std::string("[DISK]\r\nDiskSize=") + stored);
        EXPECT_EQ(Create().tbarHideDiskRatio->Position(), position) << stored;
        EXPECT_EQ(form->edtDiskSize->Text(), megabytes) << stored;
    }
    program.write("misc/ImgTool.ini", "[disk]\r\nlabel=MUSIC\r\ndisksize=16");
    Create();
    EXPECT_EQ(form->edtDiskLabel->Text() + "|" + form->edtDiskSize->Text(), "MUSIC|512") << "names without regard to case";
}

// Entries that no longer exist are dropped at creation (two in a row, one at the end, an
// empty one); the close writes the list, label and size, and they read back.
TEST_F(IsoDialogTest, ListAndOptionsAreLoadedPrunedSavedAndReadBack)
{
    program.write("misc/ImgTool.ini", "[DISK]\r\nLabel=OLD\r\nDiskSize=8\r\n"
                                      "[HIDE_FILES]\r\nfiles0=/gone/a\r\nfiles1=/gone/b\r\nfiles2=/gone/c\r\n[Other]\r\nkeep=1\r\n");
    host.write("a.mp3", "a");
    host.write("資料夾/x.txt", "x");
    host.write("😀.txt", "e");  // beyond U+FFFF: a surrogate pair in the list file
    const std::vector<std::u16string> kept = {U16(host.file("a.mp3")), U16(host.file("")) + u"資料夾", U16(host.file("")) + u"😀.txt"};
    program.write("misc/isoseting.ini", ListBytes({kept[0], U16(host.file("gone1")), U16(host.file("gone2")), kept[1], u"", kept[2],
                                                   U16(host.file("gone3"))}));
    TfrmIsoMain& f = Create();
    EXPECT_EQ(List(), (Strings{host.file("a.mp3"), host.file("資料夾"), host.file("😀.txt")}));
    f.edtDiskLabel->UserSetText("new one");
    f.tbarHideDiskRatio->SetPosition(12);
    f.FormClose(&f);
    EXPECT_TRUE(dialogs.Messages().empty());
    EXPECT_EQ(program.read("misc/isoseting.ini"), ListBytes(kept));
    const std::string text = program.read("misc/ImgTool.ini");
    for (const std::string& part : Strings{"Label=NEW ONE\r\n", "DiskSize=12\r\n", "[Other]\r\nkeep=1", "[HIDE_FILES]\r\nfiles0=" + host.file("a.mp3") + "\r\nfiles1="})
        EXPECT_NE(text.find(part), std::string::npos) << part << " in\n" << text;
    EXPECT_EQ(text.find("/gone/"), std::string::npos) << "the old section is erased: " << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '['), 3) << "one DISK section: " << text;

    const Strings saved = List();
    TfrmIsoMain& again = Create();
    EXPECT_EQ(again.edtDiskLabel->Text() + "|" + again.edtDiskSize->Text(), "NEW ONE|384");
    EXPECT_EQ(List(), saved);
}

TEST_F(IsoDialogTest, MiscFolderIsMadeAtCloseOrItsFailureShown)
{
    program.write("misc", "a file where the folder should be");
    TfrmIsoMain& f = Create();
    f.FormClose(&f);
    ExpectOneBox("Create misc dir fail!", "ERROR", MB_OK | MB_ICONERROR);
    EXPECT_EQ(program.read("misc"), "a file where the folder should be");

    dialogs.Clear();
    fs::remove(program.file("misc"));
    f.FormClose(&f);
    EXPECT_TRUE(dialogs.Messages().empty());
    EXPECT_EQ(program.read("misc/isoseting.ini"), "\xFF\xFE");
    // Folders standing where the two files go make both writes fail, reported together.
    for (const char* file : {"misc/isoseting.ini", "misc/ImgTool.ini"}) {
        fs::remove(program.file(file));
        fs::create_directories(program.file(file));
    }
    f.FormClose(&f);
    ExpectOneBox("Unable to write to " + TfrmIsoMain::ListFilePath() + "\nUnable to write to " + TfrmIsoMain::OptionsFilePath(), nullptr,
                 MB_OK | MB_ICONERROR);
}


TEST_F(IsoDialogTest, CancelOrFailureChangesNothingAndShowsItsBox)
{
    host.write("a.mp3", "a");
    host.write("one/Song.mp3", "1");
    host.write("two/SONG.MP3", "2");
    const std::string a = host.file("a.mp3");
    const unsigned zh = kLanguageTraditionalChinese;
    const std::string zhOutput = std::string(MessageCatalogue(74, zh)) + MessageCatalogue(71, zh);
    const std::string noFolder = "\ncannot create a file beside " + host.file("no/such/x.IMG") + ": No such file or directory";
    const std::string init = "Init Image DiskFail\n";
    // The catalogue's text, then the reason: which file or label, and why.
    const std::tuple<Strings, const char*, std::optional<std::string>, std::string, unsigned> rows[] = {
        {{a}, "PASS", std::nullopt, "", kLanguageEnglish},  // save dialog cancelled
        {{a, host.file("gone.mp3")}, "PASS", host.file("x.IMG"), init + "cannot open " + host.file("gone.mp3") + ": No such file or directory", 0},
        {{a}, "A*B", host.file("x.IMG"), init + "the volume label \"A*B\" cannot hold the character '*'", 0},
        {{host.file("one/Song.mp3"), host.file("two/SONG.MP3")}, "PASS", host.file("x.IMG"),
         init + "cannot copy " + host.file("two/SONG.MP3") + " into the image: \\SONG.MP3 already exists in the image (names are compared without regard to case)", 0},
        {{a}, "PASS", host.file("no/such/x.IMG"), "Image outputFail" + noFolder, 0},
        {{a}, "PASS", host.file("no/such/x.IMG"), zhOutput + noFolder, zh},
    };
    for (const auto& [list, label, target, box, lang] : rows) {
        SCOPED_TRACE(target.value_or("cancelled") + " " + std::to_string(lang));
        dialogs.Clear();
        TfrmIsoMain& f = Create();
        f.LanguageIndex = lang;
        imgFile.SetText("/old.IMG");
        f.TntlstHideFiles->Items()->Assign(list);
        f.edtDiskLabel->UserSetText(label);
        f.tbarHideDiskRatio->SetPosition(4);
        dialogs.QueueSaveFile(target);
        f.btnCreateImg->UserClick();
        EXPECT_EQ(dialogs.Log().at(0).caption, "Image File *.IMG|*.IMG");
        if (!box.empty())
            ExpectOneBox(box, lang ? MessageCatalogue(71, lang) : "Fail", MB_OK | MB_ICONERROR);
        else
            EXPECT_TRUE(dialogs.Messages().empty());
        EXPECT_EQ(imgFile.Text() + f.CreatedImagePath(), "/old.IMG");
        EXPECT_TRUE(f.btnCreateImg->Enabled() && f.edtDiskLabel->Enabled() && !f.ProgressBar1->Visible());
        EXPECT_EQ(std::distance(fs::directory_iterator(host.path()), fs::directory_iterator()), 3) << "no half-written image is left behind";
    }
}

// As the settings dialog uses it: shown modally (in the main window's language), the
// operator adds a folder to a file and a hidden file, sets label and size, confirms a name
// typed without extension and closes. Hidden files inside the folder stay out; the image
// lands in the edit, the list is saved at the close, and both volumes pass fsck.fat.
TEST_F(IsoDialogTest, ShownFromTheSettingsDialogItBuildsAndHandsThePathBack)
{
    for (const std::string root : {"src", "expected"}) {
        fs::create_directories(host.file(root + "/D/S"));
        for (auto [name, size] : {std::pair{"song.mp3", 70000}, {".top", 10}, {"D/a.txt", 512}, {"D/b.bin", 3000},
                                  {"D/S/c.dat", 1025}})
            imagetest::WritePatternFile(host.file(root + "/" + name), uint64_t(size), uint32_t(size));
    }
    imagetest::WritePatternFile(host.file("src/D/.secret"), 100, 6);
    fs::create_directories(host.file("out"));
    const unsigned zh = kLanguageSimplifiedChinese;
    TForm1 main;
    main.LanguageIndex = zh;
    TfrmIsoMain& f = Create();
    ASSERT_EQ(frmIsoMain, form.get());
    f.TntlstHideFiles->Items()->Assign({host.file("src/song.mp3"), host.file("src/.top")});
    dialogs.QueueFolder(host.file("src/D"));
    dialogs.QueueSaveFile(host.file("out/disk"));
    int pumps = 0, busyPumps = 0, maxProgress = 0;
    Application->SetEventPump([&] {
        ++pumps;
        busyPumps += !f.btnCreateImg->Enabled() && !f.edtDiskLabel->Enabled() && !f.tbarHideDiskRatio->Enabled() &&
                     f.ProgressBar1->Visible();
        maxProgress = std::max(maxProgress, f.ProgressBar1->Progress());
        clock.advance(400);
        f.btnCreateImg->Click();  // a click that gets through while busy starts nothing
    });
    dialogs.onShowModal = [&](TForm& shown) {
        auto& iso = static_cast<TfrmIsoMain&>(shown);
        iso.btnAddDir->UserClick();
        iso.edtDiskLabel->UserSetText("music 1");
        iso.tbarHideDiskRatio->SetPosition(4);
        iso.btnCreateImg->UserClick();
        shown.DoClose();
        return int(mrCancel);
    };
    frmIsoMain->ShowModal();
    Application->SetEventPump(nullptr);

    const std::string image = host.file("out/disk.IMG");
    EXPECT_EQ(f.Caption() + "|" + f.grpHiddenFiles->Caption() + "|" + f.btnRemove->Caption(), "建立映像档|预先拷入隐藏档|移除") << "in the main window's language";
    ExpectOneBox(std::string(MessageCatalogue(68, zh)) + MessageCatalogue(70, zh), MessageCatalogue(70, zh),
                 MB_OK | MB_ICONINFORMATION);
    EXPECT_EQ(dialogs.Log().size(), 4u) << "the show, folder and save dialogs, one box";
    EXPECT_EQ(imgFile.Text() + "|" + f.CreatedImagePath(), image + "|" + image);
    EXPECT_TRUE(pumps > 0 && busyPumps == pumps && maxProgress > 0) << pumps << "/" << busyPumps << "/" << maxProgress;
    EXPECT_TRUE(f.btnCreateImg->Enabled() && f.edtDiskLabel->Enabled() && !f.ProgressBar1->Visible() &&
                !f.Timer1->Enabled());
    EXPECT_EQ(program.read("misc/isoseting.ini"),
              ListBytes({U16(host.file("src/song.mp3")), U16(host.file("src/.top")), U16(host.file("src/D"))}));
    form.reset();
    EXPECT_EQ(frmIsoMain, nullptr);
    imagetest::ExpectImageHolds(image, host.path(), host.file("expected"), "Volume label is MUSIC 1", 128);
}

} // namespace
