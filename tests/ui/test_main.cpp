// The main window's life: creation, first showing, first paint, closing, and one program
// per station folder.
#include "device/HostUtil.h"
#include "platform/PathListFile.h"
#include "platform/ProgramDir.h"
#include "platform/SingleInstance.h"
#include "support/TempDir.h"
#include "toolkit/Dialogs.h"
#include "ui/main.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <thread>

using namespace toolkit;
using Names = std::vector<std::string>;

namespace {

class MainWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::SetProgramDir(dir.path());
        SetDialogs(&dialogs);
        std::filesystem::create_directories(dir.file("misc"));
    }
    void TearDown() override
    {
        form.reset();
        SetDialogs(nullptr);
    }
    void open()
    {
        form.reset();
        form = std::make_unique<TForm1>();
        form->FormShow(form.get());
    }

    testsupport::TempDir dir;
    ScriptedDialogs dialogs;
    std::unique_ptr<TForm1> form;
};

} // namespace

TEST_F(MainWindow, CreationSetsRegistryDefaultsShowingBindsPanelsAndChoosesTheStoredLanguage)
{
    dir.write("misc/port.log", "old");
    RegWriteInt("LogBiTable", 5);
    form = std::make_unique<TForm1>();
    EXPECT_EQ(Form1, form.get());
    EXPECT_FALSE(std::filesystem::exists(dir.file("misc/port.log")));
    EXPECT_EQ(RegReadInt("BlocksPerChip", 99), 0);
    EXPECT_EQ(RegReadInt("LogBiTable", 99), 5) << "a present value stays";
    EXPECT_EQ(form->sFsmPath, dir.file("misc/FSM01.BIN"));
    // Design captions of the controls other parts of the program rely on.
    for (const auto& [name, caption] : {std::pair<std::string, std::string>{"Upgradebtn", "Manul Upgrade"},
                                        {"chkUsbPort", "Fix USB IO"}, {"D8infoStr", "Wait..."}, {"StaticText9", "Dev 8:"}})
        EXPECT_EQ(form->FindControl(name) ? form->FindControl(name)->Caption() : "missing", caption) << name;

    for (const auto& [stored, radio] :
         {std::pair<int, std::string>{3, "TntRdoLangTC"}, {7, "TntRdoLangAuto"}, {1, "TntRdoLangEng"}}) {
        RegWriteInteger("SoftWare\\KOV6125\\Vornagel28", "LanguageID", stored);
        open();
        auto* button = dynamic_cast<TRadioButton*>(form->FindControl(radio));
        EXPECT_TRUE(button && button->Checked()) << stored;
    }
    EXPECT_EQ(form->DeviceSlots[7].gauge, form->ProgressBar8);
    EXPECT_EQ(form->D1infoStr->Caption(), "Waiting device...");
    EXPECT_EQ(form->Upgradebtn->Caption(), "Start Upgrade");
    EXPECT_FALSE(form->Upgradebtn->Enabled());
    EXPECT_EQ(form->labSystemArea->Caption(), "System Area Size: 4MB");
}

TEST_F(MainWindow, ListEntriesThatNoLongerExistAreDroppedAtStartUp)
{
    dir.write("files/a.bin", std::string("6205\0\0", 6) + std::string(0x97F7, '\0') + "U\xAA\x07");
    ASSERT_TRUE(std::filesystem::create_directories(dir.file("folder")));
    platform::PathListFile::Save(dir.file("misc/seting.ini"),
                           {dir.file("files/a.bin"), dir.file("files/gone.dat"), dir.file("folder"), ""});
    platform::PathListFile::Save(dir.file("misc/hideseting.ini"), {dir.file("gone"), dir.file("files/a.bin")});
    open();
    EXPECT_EQ(form->TntSelectFileList2->Items()->ToVector(), (Names{dir.file("files/a.bin"), dir.file("folder")}));
    EXPECT_EQ(form->HideFileList.ToVector(), Names{dir.file("files/a.bin")});
    EXPECT_EQ(form->iProgramIndex, 0) << "classified after loading";
    EXPECT_EQ(form->iFlashModuleNo, 7) << "module number read from the firmware";
}

TEST_F(MainWindow, ClosingSavesTheFourFilesEvenWhenOneSaveFails)
{
    open();
    form->TntSelectFileList2->Items()->Add("/a");
    form->HideFileList.Add("/h");
    // prefer.ini cannot be replaced: a folder stands in its place.
    ASSERT_TRUE(std::filesystem::create_directories(dir.file("misc/prefer.ini/x")));
    form->FormClose(form.get());

    EXPECT_EQ(dir.read("misc/seting.ini"), std::string("\xFF\xFE/\0a\0\r\0\n\0", 10));
    EXPECT_EQ(dir.read("misc/hideseting.ini"), std::string("\xFF\xFE/\0h\0\r\0\n\0", 10));
    EXPECT_EQ(dir.read("misc/spiseting.ini"), "\xFF\xFE");
    auto boxes = dialogs.Messages();
    ASSERT_FALSE(boxes.empty());
    EXPECT_EQ(boxes.back().flags, MB_OK | MB_ICONERROR);
    EXPECT_NE(boxes.back().text.find("prefer.ini"), std::string::npos);
}

TEST_F(MainWindow, SecondInstanceRaisesTheFirstAndSavesNothing)
{
    open();
    ASSERT_NE(form->hInstanceMutex, nullptr);
    auto second = std::make_unique<TForm1>();
    EXPECT_TRUE(second->TerminateRequested());
    EXPECT_EQ(second->hInstanceMutex, nullptr);
    EXPECT_EQ(form->hInstanceMutex->takeRaiseRequests(), 1);
    // The program ends a second instance without closing the window, so nothing is saved.
    second.reset();
    EXPECT_FALSE(std::filesystem::exists(dir.file("misc/seting.ini")));
    // Closing releases the lock for the next start.
    form->FormClose(form.get());
    EXPECT_FALSE(TForm1().TerminateRequested());
}

TEST_F(MainWindow, ClosingWhileThreadsRunDoesNotDisturbThem)
{
    open();
    form->HideFileList.Add("/h");
    // Workers that keep writing their panel and the totals, as production threads do.
    std::atomic<bool> stop{false};
    auto busy = [&](int slot) {
        for (int i = 0; !stop; ++i) {
            form->DeviceSlots[slot].status->SetCaption("step " + std::to_string(i));
            form->DeviceSlots[slot].gauge->SetProgress(i % 100);
            std::lock_guard lock(form->CountersLock);
            form->TotalStr->SetCaption(std::to_string(++form->iTotalCount));
        }
    };
    std::thread a(busy, 0), b(busy, 1);
    form->FormClose(form.get());
    form->FormClose(form.get()); // a second close is harmless
    stop = true;
    a.join();
    b.join();
    EXPECT_EQ(dir.read("misc/hideseting.ini").size(), 2u + 2 * 4);
    EXPECT_EQ(form->TotalStr->Caption(), std::to_string(form->iTotalCount.load()));
}

TEST_F(MainWindow, FirstPaintChecksTheImageFileOnlyOnceAndOnlyForSplitDisks)
{
    TForm setting("frmSetting");
    auto* pages = setting.Make<TPageControl>("pgeSetting");
    pages->Make<TTabSheet>("tabFlashSetting");
    pages->Make<TTabSheet>("tabDeviceSetting");
    for (int feature : {0, 2}) {
        open();
        form->SettingForm = &setting;
        form->eDeviceFeature = feature;
        form->bUseImgFile = true;
        form->ImageFile = dir.file("none.img");
        form->FormPaint();
        form->FormPaint();
        EXPECT_EQ(form->ImageFile, feature == 2 ? "" : dir.file("none.img"));
    }
    auto boxes = dialogs.Messages();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Image file not exists. Please reassign it.");
    EXPECT_EQ(boxes[0].caption, "Warning");
    EXPECT_EQ(boxes[0].flags, MB_OK | MB_ICONWARNING);
    EXPECT_EQ(pages->ActivePageIndex(), 1);
}

TEST(SingleInstance, SecondStartInTheSameFolderFindsTheFirstAndAsksItToRaiseItsWindow)
{
    testsupport::TempDir dir, other, runtime;
    platform::SingleInstance first("MP3 Tool", dir.path());
    ASSERT_FALSE(first.CheckPreviousInstance());
    EXPECT_FALSE(platform::SingleInstance("MP3 Tool", other.path()).CheckPreviousInstance()) << "other folders do not meet";
    EXPECT_TRUE(platform::SingleInstance("MP3 Tool", dir.path()).CheckPreviousInstance());
    EXPECT_EQ(first.takeRaiseRequests(), 1);
    first.release();
    EXPECT_FALSE(platform::SingleInstance("MP3 Tool", dir.path()).CheckPreviousInstance());

    // An unwritable program folder locks in the runtime folder.
    setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
    const std::string missing = other.path() + "/not-there";
    platform::SingleInstance elsewhere("MP3 Tool", missing);
    EXPECT_FALSE(elsewhere.CheckPreviousInstance());
    EXPECT_EQ(elsewhere.lockPath().rfind(runtime.path() + "/mptool-", 0), 0u) << elsewhere.lockPath();
    EXPECT_TRUE(platform::SingleInstance("MP3 Tool", missing).CheckPreviousInstance());
    unsetenv("XDG_RUNTIME_DIR");
}
