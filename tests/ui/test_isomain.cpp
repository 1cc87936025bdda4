// The image dialog: misc/ImgTool.ini and the size choices, the busy state, and building
// through it: a confirmed name gives an image whose two volumes pass fsck.fat.
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
    const std::tuple<const char*, int, const char*> rows[] = {
        {"4", 4, "128"}, {"256", 256, "8192"}, {"0x10", 16, "512"}, {"3", 4, "128"}, {"257", 256, "8192"}, {"big", 8, "256"}};
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
