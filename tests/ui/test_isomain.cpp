// The image dialog shown from the settings dialog, in the main window's language: it stays
// busy with its progress moving while it builds, leaves hidden files of a folder out, hands
// the image (typed without extension) to the settings dialog's edit and passes fsck.fat.
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

TEST(IsoDialog, ShownFromTheSettingsDialogItBuildsAndHandsThePathBack)
{
    testsupport::TempDir program, host;  // the program folder, the operator's files
    platform::SetProgramDir(program.path());
    platform::FakeClock clock;
    platform::SetClock(&clock);
    ScriptedDialogs dialogs;
    SetDialogs(&dialogs);
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
    TEdit imgFile{nullptr, "edtImgFile"};
    TfrmIsoMain f;
    f.SettingImgFileEdit = &imgFile;
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
    SetDialogs(nullptr);
    platform::SetClock(nullptr);

    const std::string image = host.file("out/disk.IMG");
    EXPECT_EQ(f.Caption() + "|" + f.grpHiddenFiles->Caption() + "|" + f.btnRemove->Caption(), "建立映像档|预先拷入隐藏档|移除") << "in the main window's language";
    const auto boxes = dialogs.Messages();
    ASSERT_EQ(boxes.size(), 1u) << f.LastBuildError();
    EXPECT_EQ(boxes[0].text + "|" + boxes[0].caption, std::string(MessageCatalogue(68, zh)) + MessageCatalogue(70, zh) + "|" + MessageCatalogue(70, zh));
    EXPECT_EQ(boxes[0].flags, MB_OK | MB_ICONINFORMATION);
    EXPECT_EQ(imgFile.Text() + "|" + f.CreatedImagePath(), image + "|" + image);
    EXPECT_TRUE(pumps > 0 && busyPumps == pumps && maxProgress > 0) << pumps << "/" << busyPumps << "/" << maxProgress;
    EXPECT_TRUE(f.btnCreateImg->Enabled() && f.edtDiskLabel->Enabled() && !f.ProgressBar1->Visible() && !f.Timer1->Enabled());
    imagetest::ExpectImageHolds(image, host.path(), host.file("expected"), "Volume label is MUSIC 1", 128);
}
