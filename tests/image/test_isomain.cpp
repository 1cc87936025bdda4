// The image dialog without building: its form, the options file misc/ImgTool.ini, the
// size choices, the list and its file misc/isoseting.ini, captions, the busy state.
#include "test_isomain.h"

#include <filesystem>

#include "platform/TextCodec.h"
#include "ui/MessageCatalogue.h"
#include "ui/main.h"

namespace fs = std::filesystem;
using namespace toolkit;

namespace {

// Path-list bytes written by hand: FF FE, then each entry in UTF-16 LE followed by CR LF.
std::string ListBytes(const std::vector<std::u16string>& entries)
{
    std::string out = "\xFF\xFE";
    for (const auto& e : entries) {
        for (char16_t u : e + u"\r\n") {
            out += char(u & 0xFF);
            out += char(u >> 8);
        }
    }
    return out;
}

std::u16string Ascii16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

int CountOf(const std::string& text, const std::string& what)
{
    int n = 0;
    for (size_t pos = 0; (pos = text.find(what, pos)) != std::string::npos; pos += what.size())
        ++n;
    return n;
}

} // namespace

// ---- the form ----

TEST_F(IsoDialogTest, FormHoldsItsControlsWithTheirDesignSettings)
{
    TfrmIsoMain& f = Create();
    EXPECT_EQ(f.Caption(), "IMG tool");
    EXPECT_EQ(f.lblDiskLabel->Caption(), "Disk Label");
    EXPECT_EQ(f.lblDiskSize->Caption(), "Disk Size(MB)");
    EXPECT_EQ(f.Label1->Caption(), "MB");
    EXPECT_EQ(f.grpHiddenFiles->Caption(), "Hidden Files");
    EXPECT_EQ(f.btnAddFile->Caption(), "Add Files");
    EXPECT_EQ(f.btnAddDir->Caption(), "Add Dir");
    EXPECT_EQ(f.btnRemove->Caption(), "Remove");
    EXPECT_EQ(f.btnCreateImg->Caption(), "Create Image");

    EXPECT_EQ(f.edtDiskLabel->CharCase(), TEditCharCase::UpperCase);
    EXPECT_EQ(f.edtDiskLabel->MaxLength(), 8);
    EXPECT_TRUE(f.edtDiskSize->ReadOnly());
    EXPECT_EQ(f.tbarHideDiskRatio->Min(), 4);
    EXPECT_EQ(f.tbarHideDiskRatio->Max(), 256);
    EXPECT_EQ(f.tbarHideDiskRatio->Frequency(), 10);
    EXPECT_TRUE(f.TntlstHideFiles->MultiSelect());
    EXPECT_EQ(f.TntlstHideFiles->Parent(), f.grpHiddenFiles);
    EXPECT_EQ(f.ProgressBar1->MinValue(), 0);
    EXPECT_EQ(f.ProgressBar1->MaxValue(), 100);
    EXPECT_FALSE(f.ProgressBar1->Visible());
    EXPECT_FALSE(f.Timer1->Enabled());
    EXPECT_EQ(f.fsDlg.Options.filter, "Image File *.IMG|*.IMG");
    EXPECT_EQ(f.fsDlg.Options.defaultExt, "IMG");
    EXPECT_TRUE(f.TntfoDlg.Options.multiSelect);
    EXPECT_EQ(f.FindControl("Timer1"), f.Timer1);
}

// ---- misc/ImgTool.ini and the size choices ----

TEST_F(IsoDialogTest, MissingOptionsFileGivesPassWdAnd256MB)
{
    TfrmIsoMain& f = Create();
    EXPECT_EQ(f.edtDiskLabel->Text(), "PASS WD");
    EXPECT_EQ(f.tbarHideDiskRatio->Position(), 8);
    EXPECT_EQ(f.edtDiskSize->Text(), "256");
    EXPECT_TRUE(List().empty());
}

TEST_F(IsoDialogTest, StoredSizeStepGivesTheOfferedSize)
{
    // Sizes are offered from 128 MB to 8192 MB in steps of 32 MB; a stored step outside
    // the track bar's range lands on its nearest end, an unreadable one on the default.
    struct Row {
        const char* stored;
        int position;
        const char* megabytes;
    } rows[] = {
        {"4", 4, "128"},      {"8", 8, "256"},       {"32", 32, "1024"},  {"64", 64, "2048"},
        {"256", 256, "8192"}, {"0x10", 16, "512"},   {"3", 4, "128"},     {"0", 4, "128"},
        {"-7", 4, "128"},     {"257", 256, "8192"},  {"big", 8, "256"},   {"", 8, "256"},
    };
    for (const Row& r : rows) {
        program.write("misc/ImgTool.ini", std::string("[DISK]\r\nDiskSize=") + r.stored + "\r\n");
        TfrmIsoMain& f = Create();
        EXPECT_EQ(f.tbarHideDiskRatio->Position(), r.position) << r.stored;
        EXPECT_EQ(f.edtDiskSize->Text(), r.megabytes) << r.stored;
    }
}

TEST_F(IsoDialogTest, OptionsAreReadWithoutRegardToCase)
{
    program.write("misc/ImgTool.ini", "[disk]\r\nlabel=MUSIC\r\ndisksize=16\r\n");
    TfrmIsoMain& f = Create();
    EXPECT_EQ(f.edtDiskLabel->Text(), "MUSIC");
    EXPECT_EQ(f.edtDiskSize->Text(), "512");
}

TEST_F(IsoDialogTest, CloseWritesLabelSizeAndTheListIntoOneDiskSection)
{
    program.write("misc/ImgTool.ini",
                  "[DISK]\r\nLabel=OLD\r\nDiskSize=8\r\n"
                  "[HIDE_FILES]\r\nfiles0=/gone/a\r\nfiles1=/gone/b\r\nfiles2=/gone/c\r\n"
                  "[Other]\r\nkeep=1\r\n");
    host.write("a.mp3", "a");
    host.write("D/x.txt", "x");
    TfrmIsoMain& f = Create();
    f.TntlstHideFiles->Items()->Add(host.file("a.mp3"));
    f.TntlstHideFiles->Items()->Add(host.file("D"));
    f.edtDiskLabel->UserSetText("new one");
    f.tbarHideDiskRatio->SetPosition(12);
    f.FormClose(&f);

    const std::string text = program.read("misc/ImgTool.ini");
    EXPECT_EQ(CountOf(text, "["), 3) << text;
    EXPECT_NE(text.find("Label=NEW ONE\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("DiskSize=12\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[HIDE_FILES]\r\nfiles0=" + host.file("a.mp3") + "\r\nfiles1=" + host.file("D") + "\r\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("files2"), std::string::npos) << "the old section is erased: " << text;
    EXPECT_NE(text.find("[Other]\r\nkeep=1"), std::string::npos) << text;
    EXPECT_TRUE(dialogs.Messages().empty());

    // A new creation reads back what was saved.
    TfrmIsoMain& again = Create();
    EXPECT_EQ(again.edtDiskLabel->Text(), "NEW ONE");
    EXPECT_EQ(again.edtDiskSize->Text(), "384");
    EXPECT_EQ(List(), (std::vector<std::string>{host.file("a.mp3"), host.file("D")}));
}

TEST_F(IsoDialogTest, CloseMakesTheMiscFolderWhenMissing)
{
    TfrmIsoMain& f = Create();
    f.FormClose(&f);
    EXPECT_TRUE(fs::is_regular_file(program.file("misc/ImgTool.ini")));
    EXPECT_EQ(program.read("misc/isoseting.ini"), "\xFF\xFE");
    EXPECT_TRUE(dialogs.Messages().empty());
}

TEST_F(IsoDialogTest, MiscFolderThatCannotBeMadeIsReportedAndNothingIsWritten)
{
    program.write("misc", "a file where the folder should be");
    TfrmIsoMain& f = Create();
    f.FormClose(&f);
    const auto boxes = dialogs.Messages();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Create misc dir fail!");
    EXPECT_EQ(boxes[0].caption, "ERROR");
    EXPECT_EQ(boxes[0].flags, MB_OK | MB_ICONERROR);
    EXPECT_EQ(program.read("misc"), "a file where the folder should be");
}

TEST_F(IsoDialogTest, RefusedWritesAreReportedTogether)
{
    // Folders standing where the two files should go make both writes fail.
    fs::create_directories(program.file("misc/isoseting.ini"));
    fs::create_directories(program.file("misc/ImgTool.ini"));
    TfrmIsoMain& f = Create();
    f.TntlstHideFiles->Items()->Add("/x");
    f.FormClose(&f);
    const auto boxes = dialogs.Messages();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Unable to write to " + TfrmIsoMain::ListFilePath() + "\nUnable to write to " +
                                 TfrmIsoMain::OptionsFilePath());
    EXPECT_EQ(boxes[0].flags, MB_OK | MB_ICONERROR);
    EXPECT_TRUE(fs::is_directory(program.file("misc/ImgTool.ini")));
}

// ---- the list and misc/isoseting.ini ----

TEST_F(IsoDialogTest, ListFileIsLoadedAndEntriesThatNoLongerExistAreDropped)
{
    host.write("a.mp3", "a");
    host.write("D/x.txt", "x");
    host.write("歌曲.mp3", "b");
    // Two missing entries in a row, one at the end, and an empty one.
    const std::vector<std::u16string> entries = {
        Ascii16(host.file("a.mp3")),  Ascii16(host.file("gone1")), Ascii16(host.file("gone2")),
        Ascii16(host.file("D")),      u"",                         Ascii16(host.file("")) + u"歌曲.mp3",
        Ascii16(host.file("gone3")),
    };
    program.write("misc/isoseting.ini", ListBytes(entries));
    Create();
    EXPECT_EQ(List(), (std::vector<std::string>{host.file("a.mp3"), host.file("D"), host.file("歌曲.mp3")}));
}

TEST_F(IsoDialogTest, ListFileIsWrittenAsUtf16WithMarkAndRoundTrips)
{
    host.write("a.mp3", "a");
    host.write("資料夾/x.txt", "x");
    host.write("😀.txt", "e");  // beyond U+FFFF: a surrogate pair in the file
    TfrmIsoMain& f = Create();
    f.TntlstHideFiles->Items()->Add(host.file("a.mp3"));
    f.TntlstHideFiles->Items()->Add(host.file("資料夾"));
    f.TntlstHideFiles->Items()->Add(host.file("😀.txt"));
    f.FormClose(&f);
    EXPECT_EQ(program.read("misc/isoseting.ini"),
              ListBytes({Ascii16(host.file("a.mp3")), Ascii16(host.file("")) + u"資料夾",
                         Ascii16(host.file("")) + u"😀.txt"}));
    const std::vector<std::string> saved = List();
    Create();
    EXPECT_EQ(List(), saved);
}

TEST_F(IsoDialogTest, AddFilesAppendsTheChosenFilesInTheDialogsOrder)
{
    TfrmIsoMain& f = Create();
    f.TntlstHideFiles->Items()->Add("/first");
    dialogs.QueueOpenFiles({"/b/two.mp3", "/a/one.mp3"});
    f.btnAddFile->UserClick();
    EXPECT_EQ(List(), (std::vector<std::string>{"/first", "/b/two.mp3", "/a/one.mp3"}));
    ASSERT_EQ(dialogs.Log().size(), 1u);
    EXPECT_EQ(dialogs.Log()[0].flags, 1u) << "several files at once";

    f.btnAddFile->UserClick();  // cancelled
    EXPECT_EQ(List().size(), 3u);
}

TEST_F(IsoDialogTest, AddDirAppendsTheChosenFolder)
{
    TfrmIsoMain& f = Create();
    dialogs.QueueFolder(host.path());
    f.btnAddDir->UserClick();
    EXPECT_EQ(List(), (std::vector<std::string>{host.path()}));
    ASSERT_EQ(dialogs.Log().size(), 1u);
    EXPECT_EQ(dialogs.Log()[0].text, "Select Directory");
    EXPECT_EQ(dialogs.Log()[0].caption, "") << "no initial folder";

    dialogs.QueueFolder(std::nullopt);
    f.btnAddDir->UserClick();
    EXPECT_EQ(List().size(), 1u);
}

TEST_F(IsoDialogTest, RemoveDeletesEverySelectedEntry)
{
    TfrmIsoMain& f = Create();
    f.TntlstHideFiles->Items()->Assign({"/0", "/1", "/2", "/3", "/4"});
    f.btnRemove->UserClick();  // nothing selected
    EXPECT_EQ(List().size(), 5u);
    f.TntlstHideFiles->SetSelected(0, true);
    f.TntlstHideFiles->SetSelected(2, true);
    f.TntlstHideFiles->SetSelected(4, true);
    f.btnRemove->UserClick();
    EXPECT_EQ(List(), (std::vector<std::string>{"/1", "/3"}));
    f.TntlstHideFiles->SelectAll();
    f.btnRemove->UserClick();
    EXPECT_TRUE(List().empty());
}

// ---- captions ----

TEST_F(IsoDialogTest, CaptionsComeFromTheCatalogueInTheDialogsLanguage)
{
    TfrmIsoMain& f = Create();
    f.SetCaptions();
    EXPECT_EQ(f.Caption(), "Create Image");
    EXPECT_EQ(f.lblDiskLabel->Caption(), "Disk Label");
    EXPECT_EQ(f.lblDiskSize->Caption(), "Image Disk Size:");
    EXPECT_EQ(f.grpHiddenFiles->Caption(), "Hidden Files");
    EXPECT_EQ(f.btnCreateImg->Caption(), "Create Image");
    EXPECT_EQ(f.btnAddFile->Caption(), "Add Files");
    EXPECT_EQ(f.btnAddDir->Caption(), "Add Dir");
    EXPECT_EQ(f.btnRemove->Caption(), "Remove");
    EXPECT_EQ(f.Label1->Caption(), "MB") << "not captioned from the catalogue";

    for (unsigned lang : {kLanguageTraditionalChinese, kLanguageSimplifiedChinese}) {
        f.LanguageIndex = lang;
        f.SetCaptions();
        EXPECT_EQ(f.Caption(), MessageCatalogue(68, lang));
        EXPECT_EQ(f.lblDiskLabel->Caption(), MessageCatalogue(24, lang));
        EXPECT_EQ(f.lblDiskSize->Caption(), MessageCatalogue(67, lang));
        EXPECT_EQ(f.grpHiddenFiles->Caption(), MessageCatalogue(20, lang));
        EXPECT_EQ(f.btnCreateImg->Caption(), MessageCatalogue(68, lang));
        EXPECT_EQ(f.btnAddFile->Caption(), MessageCatalogue(21, lang));
        EXPECT_EQ(f.btnAddDir->Caption(), MessageCatalogue(22, lang));
        EXPECT_EQ(f.btnRemove->Caption(), MessageCatalogue(23, lang));
        EXPECT_NE(f.btnRemove->Caption(), "Remove");
    }
}

TEST_F(IsoDialogTest, EveryShowTakesTheMainWindowsLanguage)
{
    TfrmIsoMain& f = Create();
    auto main = std::make_unique<TForm1>();
    main->LanguageIndex = kLanguageSimplifiedChinese;
    dialogs.onShowModal = [&](TForm& shown) {
        EXPECT_EQ(&shown, &f);
        return int(mrOk);
    };
    EXPECT_EQ(f.ShowModal(), mrOk);
    EXPECT_EQ(f.LanguageIndex, kLanguageSimplifiedChinese);
    EXPECT_EQ(f.btnAddDir->Caption(), MessageCatalogue(22, kLanguageSimplifiedChinese));

    main->LanguageIndex = kLanguageEnglish;
    f.ShowModal();
    EXPECT_EQ(f.btnAddDir->Caption(), "Add Dir");
    main.reset();
}

// ---- busy state ----

TEST_F(IsoDialogTest, BusyDisablesTheInputsAndShowsTheRunningBar)
{
    TfrmIsoMain& f = Create();
    std::vector<TControl*> inputs = {f.btnCreateImg, f.btnAddDir, f.btnAddFile, f.btnRemove,
                                     f.tbarHideDiskRatio, f.edtDiskLabel};
    f.ProgressBar1->SetProgress(30);
    f.SetBusy(false);
    for (TControl* c : inputs)
        EXPECT_FALSE(c->Enabled()) << c->Name();
    EXPECT_TRUE(f.TntlstHideFiles->Enabled()) << "the list itself stays as it is";
    EXPECT_TRUE(f.ProgressBar1->Visible());
    EXPECT_TRUE(f.Timer1->Enabled());
    f.SetBusy(true);
    for (TControl* c : inputs)
        EXPECT_TRUE(c->Enabled()) << c->Name();
    EXPECT_FALSE(f.ProgressBar1->Visible());
    EXPECT_FALSE(f.Timer1->Enabled());
    EXPECT_EQ(f.ProgressBar1->Progress(), 30) << "the position is not reset";
}

TEST_F(IsoDialogTest, TimerMovesTheBarInTensFromTheMessagePumpWhileBusy)
{
    TfrmIsoMain& f = Create();
    f.PumpMessages();
    clock.advance(5000);
    f.PumpMessages();
    EXPECT_EQ(f.ProgressBar1->Progress(), 0) << "stopped while idle";

    for (int e : {10, 20, 30, 40, 50, 60, 70, 80, 90, 0}) {
        f.Timer1Timer(f.Timer1);
        ASSERT_EQ(f.ProgressBar1->Progress(), e);
    }

    f.SetBusy(false);
    clock.advance(f.Timer1->Interval() - 1);
    f.PumpMessages();
    EXPECT_EQ(f.ProgressBar1->Progress(), 0);
    clock.advance(1);
    f.PumpMessages();
    EXPECT_EQ(f.ProgressBar1->Progress(), 10);
    f.PumpMessages();
    EXPECT_EQ(f.ProgressBar1->Progress(), 10);
    clock.advance(10 * f.Timer1->Interval());
    f.PumpMessages();
    EXPECT_EQ(f.ProgressBar1->Progress(), 20) << "late ticks do not pile up";
}

TEST_F(IsoDialogTest, CancellingTheSaveDialogChangesNothing)
{
    host.write("a.mp3", "a");
    TfrmIsoMain& f = Create();
    TEdit imgFile(nullptr, "edtImgFile");
    imgFile.SetText("/old.IMG");
    f.SettingImgFileEdit = &imgFile;
    f.TntlstHideFiles->Items()->Add(host.file("a.mp3"));
    f.btnCreateImg->UserClick();  // no answer queued: cancelled
    const auto log = dialogs.Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].kind, ScriptedDialogs::Asked::Save);
    EXPECT_EQ(log[0].caption, "Image File *.IMG|*.IMG");
    EXPECT_TRUE(f.btnCreateImg->Enabled());
    EXPECT_TRUE(f.edtDiskLabel->Enabled());
    EXPECT_FALSE(f.ProgressBar1->Visible());
    EXPECT_EQ(imgFile.Text(), "/old.IMG");
    EXPECT_EQ(f.CreatedImagePath(), "");
    EXPECT_EQ(std::distance(fs::directory_iterator(host.path()), fs::directory_iterator()), 1);
}
