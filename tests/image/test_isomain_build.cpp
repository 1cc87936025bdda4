// Building through the image dialog: a confirmed file name gives an image whose two
// volumes pass fsck.fat and read back as the listed tree; each failure shows its box.
#include "test_isomain.h"

#include <filesystem>

#include "ImageTestTools.h"
#include "ui/MessageCatalogue.h"

namespace fs = std::filesystem;
using namespace toolkit;

namespace {

class IsoDialogBuild : public IsoDialogTest {
protected:
    // A host tree with a listed file, a listed hidden file and a listed folder holding a
    // hidden file and a subfolder; `expected` gets what the image should hold.
    void MakeHostTree()
    {
        for (const std::string& root : {host.file("src"), host.file("expected")}) {
            const bool src = root == host.file("src");
            imagetest::MakeDirs(root + "/D/S");
            imagetest::WritePatternFile(root + "/song.mp3", 70000, 1);
            imagetest::WritePatternFile(root + "/.top", 10, 2);
            imagetest::WritePatternFile(root + "/D/a.txt", 512, 3);
            imagetest::WritePatternFile(root + "/D/b.bin", 3000, 4);
            imagetest::WritePatternFile(root + "/D/S/c.dat", 1025, 5);
            if (src)
                imagetest::WritePatternFile(root + "/D/.secret", 100, 6);
        }
        listed = {host.file("src/song.mp3"), host.file("src/.top"), host.file("src/D")};
    }

    // Unpacks and checks both volumes; mcopy gives back the expected tree with the label.
    void ExpectImageHoldsTheTree(const std::string& image, uint32_t mb, const std::string& label)
    {
        imagetest::ImageContents c;
        std::string error;
        ASSERT_TRUE(imagetest::ReadImageHeader(image, c, error)) << error;
        EXPECT_EQ(c.diskSizeMB, mb);
        EXPECT_EQ(c.volumes[0].sectorSize, 512u);
        EXPECT_EQ(c.volumes[1].sectorSize, 1024u);
        for (uint32_t v = 0; v < 2; ++v) {
            const std::string raw = host.file("vol" + std::to_string(v) + ".raw");
            ASSERT_TRUE(imagetest::ExtractVolume(image, v, raw, error)) << error;
            EXPECT_EQ(imagetest::FsckComplaints(raw), "") << "volume " << v;
            const std::string back = host.file("back" + std::to_string(v));
            fs::create_directories(back);
            auto r = imagetest::Run({"mcopy", "-i", raw, "-s", "-n", "-Q", "::/", back});
            ASSERT_EQ(r.exitCode, 0) << r.output;
            r = imagetest::Run({"diff", "-r", host.file("expected"), back});
            EXPECT_EQ(r.exitCode, 0) << "volume " << v << ": " << r.output;
            r = imagetest::Run({"mlabel", "-i", raw, "-s", "::"});
            EXPECT_NE(r.output.find("Volume label is " + label), std::string::npos) << r.output;
        }
    }

    std::vector<std::string> listed;
};

} // namespace

TEST_F(IsoDialogBuild, ConfirmedNameBuildsBothVolumesAndHandsThePathBack)
{
    MakeHostTree();
    TfrmIsoMain& f = Create();
    TEdit imgFile(nullptr, "edtImgFile");
    f.SettingImgFileEdit = &imgFile;
    f.TntlstHideFiles->Items()->Assign(listed);
    f.edtDiskLabel->UserSetText("music 1");
    f.tbarHideDiskRatio->SetPosition(4);
    fs::create_directories(host.file("out"));
    dialogs.QueueSaveFile(host.file("out/disk"));  // typed without extension

    // While the build runs: inputs disabled, the bar shown and moving.
    int pumps = 0, busyPumps = 0, maxProgress = 0, saveDialogs = 0;
    Application->SetEventPump([&] {
        ++pumps;
        if (!f.btnCreateImg->Enabled() && !f.edtDiskLabel->Enabled() && !f.tbarHideDiskRatio->Enabled() &&
            f.ProgressBar1->Visible())
            ++busyPumps;
        maxProgress = std::max(maxProgress, f.ProgressBar1->Progress());
        clock.advance(400);
        // A click that gets through while busy starts nothing.
        f.btnCreateImg->Click();
    });
    f.btnCreateImg->UserClick();
    Application->SetEventPump(nullptr);
    for (const auto& a : dialogs.Log())
        saveDialogs += a.kind == ScriptedDialogs::Asked::Save;

    const std::string image = host.file("out/disk.IMG");
    const auto boxes = dialogs.Messages();
    ASSERT_EQ(boxes.size(), 1u) << f.LastBuildError();
    EXPECT_EQ(boxes[0].text, "Create ImageSuccess");
    EXPECT_EQ(boxes[0].caption, "Success");
    EXPECT_EQ(boxes[0].flags, MB_OK | MB_ICONINFORMATION);
    EXPECT_EQ(imgFile.Text(), image);
    EXPECT_EQ(f.CreatedImagePath(), image);
    EXPECT_EQ(f.fsDlg.FileName, image);
    EXPECT_EQ(saveDialogs, 1);
    EXPECT_GT(pumps, 0);
    EXPECT_EQ(busyPumps, pumps);
    EXPECT_GT(maxProgress, 0);
    EXPECT_TRUE(f.btnCreateImg->Enabled());
    EXPECT_TRUE(f.edtDiskLabel->Enabled());
    EXPECT_FALSE(f.ProgressBar1->Visible());
    EXPECT_FALSE(f.Timer1->Enabled());

    ExpectImageHoldsTheTree(image, 128, "MUSIC 1");
}

TEST_F(IsoDialogBuild, DefaultSizeAndLabelAndAnEmptyListGiveAnEmptyImage)
{
    TfrmIsoMain& f = Create();  // no ImgTool.ini: PASS WD, 256 MB
    fs::create_directories(host.file("expected"));
    dialogs.QueueSaveFile(host.file("empty.IMG"));
    f.btnCreateImg->UserClick();
    const auto boxes = dialogs.Messages();
    ASSERT_EQ(boxes.size(), 1u) << f.LastBuildError();
    EXPECT_EQ(boxes[0].caption, "Success");
    ExpectImageHoldsTheTree(host.file("empty.IMG"), 256, "PASS WD");
}

TEST_F(IsoDialogBuild, ListedEntryThatVanishedShowsTheCreationFailureBox)
{
    host.write("a.mp3", "a");
    host.write("b.mp3", "b");
    TfrmIsoMain& f = Create();
    TEdit imgFile(nullptr, "edtImgFile");
    imgFile.SetText("/old.IMG");
    f.SettingImgFileEdit = &imgFile;
    f.TntlstHideFiles->Items()->Assign({host.file("a.mp3"), host.file("b.mp3")});
    fs::remove(host.file("b.mp3"));
    dialogs.QueueSaveFile(host.file("x.IMG"));
    f.btnCreateImg->UserClick();

    const auto boxes = dialogs.Messages();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Init Image DiskFail");
    EXPECT_EQ(boxes[0].caption, "Fail");
    EXPECT_EQ(boxes[0].flags, MB_OK | MB_ICONERROR);
    EXPECT_NE(f.LastBuildError().find(host.file("b.mp3")), std::string::npos) << f.LastBuildError();
    EXPECT_FALSE(fs::exists(host.file("x.IMG")));
    EXPECT_EQ(imgFile.Text(), "/old.IMG");
    EXPECT_EQ(f.CreatedImagePath(), "");
    EXPECT_TRUE(f.btnCreateImg->Enabled());
    EXPECT_FALSE(f.ProgressBar1->Visible());
    EXPECT_EQ(std::distance(fs::directory_iterator(host.path()), fs::directory_iterator()), 1)
        << "no half-written image is left behind";
}

TEST_F(IsoDialogBuild, LabelThatCannotBeAVolumeLabelShowsTheCreationFailureBox)
{
    TfrmIsoMain& f = Create();
    f.edtDiskLabel->UserSetText("A*B");
    dialogs.QueueSaveFile(host.file("x.IMG"));
    f.btnCreateImg->UserClick();
    const auto boxes = dialogs.Messages();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Init Image DiskFail");
    EXPECT_FALSE(fs::exists(host.file("x.IMG")));
}

TEST_F(IsoDialogBuild, UnwritableImageFileShowsTheOutputFailureBox)
{
    host.write("a.mp3", "a");
    TfrmIsoMain& f = Create();
    TEdit imgFile(nullptr, "edtImgFile");
    f.SettingImgFileEdit = &imgFile;
    f.TntlstHideFiles->Items()->Add(host.file("a.mp3"));
    dialogs.QueueSaveFile(host.file("no/such/folder/x.IMG"));
    f.btnCreateImg->UserClick();

    const auto boxes = dialogs.Messages();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Image outputFail");
    EXPECT_EQ(boxes[0].caption, "Fail");
    EXPECT_EQ(boxes[0].flags, MB_OK | MB_ICONERROR);
    EXPECT_EQ(imgFile.Text(), "");
    EXPECT_TRUE(f.btnCreateImg->Enabled());
}

TEST_F(IsoDialogBuild, BoxesUseTheDialogsLanguage)
{
    host.write("a.mp3", "a");
    for (unsigned lang : {kLanguageTraditionalChinese, kLanguageSimplifiedChinese}) {
        dialogs.Clear();
        TfrmIsoMain& f = Create();
        f.LanguageIndex = lang;
        f.TntlstHideFiles->Items()->Add(host.file("a.mp3"));
        f.tbarHideDiskRatio->SetPosition(4);

        dialogs.QueueSaveFile(host.file("missing/x.IMG"));
        f.btnCreateImg->UserClick();
        dialogs.QueueSaveFile(host.file(std::to_string(lang) + ".IMG"));
        f.btnCreateImg->UserClick();

        const auto boxes = dialogs.Messages();
        ASSERT_EQ(boxes.size(), 2u);
        EXPECT_EQ(boxes[0].text, std::string(MessageCatalogue(74, lang)) + MessageCatalogue(71, lang));
        EXPECT_EQ(boxes[0].caption, MessageCatalogue(71, lang));
        EXPECT_EQ(boxes[1].text, std::string(MessageCatalogue(68, lang)) + MessageCatalogue(70, lang));
        EXPECT_EQ(boxes[1].caption, MessageCatalogue(70, lang));
        EXPECT_NE(boxes[1].caption, "Success");
    }
}

TEST_F(IsoDialogBuild, EmptyLabelGivesAVolumeWithoutLabel)
{
    host.write("a.mp3", "a");
    TfrmIsoMain& f = Create();
    f.edtDiskLabel->UserSetText("");
    f.tbarHideDiskRatio->SetPosition(4);
    f.TntlstHideFiles->Items()->Add(host.file("a.mp3"));
    dialogs.QueueSaveFile(host.file("x.IMG"));
    f.btnCreateImg->UserClick();
    ASSERT_EQ(dialogs.Messages().size(), 1u);
    ASSERT_EQ(dialogs.Messages()[0].caption, "Success") << f.LastBuildError();
    for (uint32_t v = 0; v < 2; ++v) {
        const std::string raw = host.file("vol" + std::to_string(v) + ".raw");
        std::string error;
        ASSERT_TRUE(imagetest::ExtractVolume(host.file("x.IMG"), v, raw, error)) << error;
        EXPECT_EQ(imagetest::FsckComplaints(raw), "");
        const auto r = imagetest::Run({"mlabel", "-i", raw, "-s", "::"});
        EXPECT_NE(r.output.find("has no label"), std::string::npos) << r.output;
    }
}

// As the settings dialog uses it: point it at the image-file edit, show it modally, the
// operator creates an image and closes it; the list is saved at the close.
TEST_F(IsoDialogBuild, ShownFromTheSettingsDialogItPutsTheCreatedImageIntoItsEdit)
{
    host.write("a.mp3", "a");
    TfrmIsoMain& f = Create();
    ASSERT_EQ(frmIsoMain, &f);
    TEdit edtImgFile(nullptr, "edtImgFile");
    frmIsoMain->SettingImgFileEdit = &edtImgFile;
    dialogs.QueueOpenFiles({host.file("a.mp3")});
    dialogs.QueueSaveFile(host.file("made.IMG"));
    dialogs.onShowModal = [&](TForm& shown) {
        auto& iso = static_cast<TfrmIsoMain&>(shown);
        iso.btnAddFile->UserClick();
        iso.tbarHideDiskRatio->SetPosition(4);
        iso.btnCreateImg->UserClick();
        shown.DoClose();
        return int(mrCancel);
    };
    frmIsoMain->ShowModal();
    EXPECT_EQ(edtImgFile.Text(), host.file("made.IMG"));
    EXPECT_EQ(frmIsoMain->CreatedImagePath(), host.file("made.IMG"));
    EXPECT_TRUE(fs::is_regular_file(host.file("made.IMG")));
    EXPECT_EQ(program.read("misc/isoseting.ini").size(), 2 + 2 * (host.file("a.mp3").size() + 2));

    form.reset();
    EXPECT_EQ(frmIsoMain, nullptr);
}
