// The main window's life: creation, first showing, first paint, closing, and one program
// per station folder.
#include "device/HostUtil.h"
#include "platform/ProgramDir.h"
#include "platform/SingleInstance.h"
#include "support/TempDir.h"
#include "toolkit/Dialogs.h"
#include "ui/CopyList.h"
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

TEST_F(MainWindow, CreationSetsRegistryDefaultsAndDropsThePortLog)
{
    dir.write("misc/port.log", "old");
    RegWriteInt("LogBiTable", 5);
    form = std::make_unique<TForm1>();
    EXPECT_EQ(Form1, form.get());
    EXPECT_FALSE(std::filesystem::exists(dir.file("misc/port.log")));
    EXPECT_EQ(RegReadInt("BlocksPerChip", 99), 0);
    EXPECT_EQ(RegReadInt("LogBiTable", 99), 5) << "a present value stays";
    EXPECT_EQ(form->sFsmPath, dir.file("misc/FSM01.BIN"));
    EXPECT_EQ(form->iProgramIndex, -1);
    EXPECT_EQ(form->iTelbookIndex, -1);
    EXPECT_EQ(form->Caption(), "MP3 Tool");
    EXPECT_EQ(form->Width(), 862);
    EXPECT_EQ(form->Height(), 606);
    EXPECT_FALSE(form->TerminateRequested());
    EXPECT_EQ(form->SystemAreaComBo->Items()->Count(), 32);
    EXPECT_EQ(form->SystemAreaComBo->Items()->Strings(0), "4MB");
    EXPECT_EQ(form->SystemAreaComBo->Items()->Strings(31), "128MB");
    // Design captions of the controls other parts of the program rely on.
    const std::pair<const char*, const char*> captions[] = {
        {"chkFormat", "Format"}, {"chkBlankCheck", "Blanking check"}, {"chkISOupgrade", "ISO upgrade"},
        {"chkFwUpgrade", "FW Upgrade"}, {"chknor", "Nor read check"}, {"chkClearFlash", "Clear Flash"},
        {"chkFAT32", "FAT32"}, {"SystemAreachk", "Systemareasize"}, {"CheckManuupgrade", "Manuupgrade"},
        {"Upgradebtn", "Manul Upgrade"}, {"chkUsbPort", "Fix USB IO"}, {"btnSetup", "Setup ..."},
        {"AddFilesBtn", "Add files..."}, {"RemoveBtn", "Remove"}, {"btnAddDir", "Add Dir"},
        {"labSystemArea", "System Area Size:"}, {"grpProcessStatus", "Process Status"}, {"StaticText9", "Dev 8:"},
        {"D8infoStr", "Wait..."}, {"TotalStr", "0"}, {"TntRdoLangAuto", "Auto"}, {"TabSheet4", "Mass Production"},
    };
    for (const auto& [name, caption] : captions) {
        TControl* c = form->FindControl(name);
        ASSERT_NE(c, nullptr) << name;
        EXPECT_EQ(c->Caption(), caption) << name;
    }
    EXPECT_EQ(form->LabelEdit->Text(), "my_audio");
    EXPECT_FALSE(form->ProgressBar8->Visible());
    EXPECT_EQ(form->SuccessStr->Font()->Color(), clBlue);
    EXPECT_EQ(form->FailStr->Font()->Color(), clRed);
}

TEST_F(MainWindow, ShowingBindsThePanelsAndChoosesTheStoredLanguage)
{
    const std::pair<int, const char*> cases[] = {
        {-1, "TntRdoLangAuto"}, {0, "TntRdoLangAuto"}, {1, "TntRdoLangEng"},
        {2, "TntRdoLangSC"},    {3, "TntRdoLangTC"},   {7, "TntRdoLangAuto"},
    };
    for (const auto& [stored, radio] : cases) {
        if (stored >= 0)
            RegWriteInteger("SoftWare\\KOV6125\\Vornagel28", "LanguageID", stored);
        open();
        auto* button = dynamic_cast<TRadioButton*>(form->FindControl(radio));
        ASSERT_NE(button, nullptr);
        EXPECT_TRUE(button->Checked()) << stored;
    }
    RegWriteInteger("SoftWare\\KOV6125\\Vornagel28", "LanguageID", 1);
    open();
    EXPECT_EQ(form->PageControl1->ActivePageIndex(), 0);
    EXPECT_EQ(form->DeviceSlots[3].status, form->D4infoStr);
    EXPECT_EQ(form->DeviceSlots[7].gauge, form->ProgressBar8);
    EXPECT_EQ(form->DeviceSlots[0].textF, form->TextF1);
    EXPECT_EQ(form->DeviceSlots[5].textP, form->TextP6);
    EXPECT_EQ(form->DeviceSlots[2].image, form->infoImage3);
    EXPECT_EQ(form->D1infoStr->Caption(), "Waiting device...");
    EXPECT_EQ(form->Upgradebtn->Caption(), "Start Upgrade");
    EXPECT_FALSE(form->Upgradebtn->Enabled());
    EXPECT_FALSE(form->SystemAreaComBo->Enabled());
    EXPECT_EQ(form->labSystemArea->Caption(), "System Area Size: 4MB");
}

TEST_F(MainWindow, ListEntriesThatNoLongerExistAreDroppedAtStartUp)
{
    dir.write("files/a.bin", std::string("6205\0\0", 6) + std::string(0x97F7, '\0') + "U\xAA\x07");
    ASSERT_TRUE(std::filesystem::create_directories(dir.file("folder")));
    ui::PathListFile::Save(dir.file("misc/seting.ini"),
                           {dir.file("files/a.bin"), dir.file("files/gone.dat"), dir.file("folder"), ""});
    ui::PathListFile::Save(dir.file("misc/hideseting.ini"), {dir.file("gone"), dir.file("files/a.bin")});
    open();
    EXPECT_EQ(form->TntSelectFileList2->Items()->ToVector(), (Names{dir.file("files/a.bin"), dir.file("folder")}));
    EXPECT_EQ(form->HideFileList.ToVector(), Names{dir.file("files/a.bin")});
    EXPECT_EQ(form->SpiFileList.Count(), 0);
    EXPECT_EQ(form->iProgramIndex, 0) << "classified after loading";
    EXPECT_EQ(form->iFlashModuleNo, 7) << "module number read from the firmware";
}

TEST_F(MainWindow, ClosingSavesTheFourFilesEvenWhenOneSaveFails)
{
    dir.write("files/a.bin", "6205");
    open();
    form->TntSelectFileList2->Items()->Add(dir.file("files/a.bin"));
    form->HideFileList.Add("/h");
    // prefer.ini cannot be replaced: a folder stands in its place.
    ASSERT_TRUE(std::filesystem::create_directories(dir.file("misc/prefer.ini/x")));
    form->FormClose(form.get());

    auto u16 = [](const std::string& s) {
        std::string out;
        for (char c : s)
            out += {c, '\0'};
        return out;
    };
    EXPECT_EQ(dir.read("misc/seting.ini"), "\xFF\xFE" + u16(dir.file("files/a.bin") + "\r\n"));
    EXPECT_EQ(dir.read("misc/hideseting.ini"), "\xFF\xFE" + u16("/h\r\n"));
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
    dir.write("disk.img", "x");
    TForm setting("frmSetting");
    auto* pages = setting.Make<TPageControl>("pgeSetting");
    pages->Make<TTabSheet>("tabFlashSetting");
    pages->Make<TTabSheet>("tabDeviceSetting");
    struct {
        int feature;
        const char* image;
        bool boxShown;
    } cases[] = {{0, "none.img", false}, {1, "disk.img", false}, {2, "none.img", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.feature);
        open();
        dialogs.Clear();
        form->SettingForm = &setting;
        form->eDeviceFeature = c.feature;
        form->bUseImgFile = true;
        form->ImageFile = dir.file(c.image);
        form->FormPaint();
        form->FormPaint();
        auto boxes = dialogs.Messages();
        ASSERT_EQ(boxes.size(), c.boxShown ? 1u : 0u);
        EXPECT_EQ(form->ImageFile, c.boxShown ? "" : dir.file(c.image));
        if (c.boxShown) {
            EXPECT_EQ(boxes[0].text, "Image file not exists. Please reassign it.");
            EXPECT_EQ(boxes[0].caption, "Warning");
            EXPECT_EQ(boxes[0].flags, MB_OK | MB_ICONWARNING);
            EXPECT_EQ(pages->ActivePageIndex(), 1);
        }
    }
}

TEST(SingleInstance, SecondStartInTheSameFolderFindsTheFirstAndAsksItToRaiseItsWindow)
{
    testsupport::TempDir dir, other;
    platform::SingleInstance first("MP3 Tool", dir.path());
    ASSERT_FALSE(first.CheckPreviousInstance());
    EXPECT_TRUE(first.owns());
    EXPECT_EQ(first.lockPath(), dir.path() + "/MP3 Tool.lock");
    // Other folders and other names do not meet.
    EXPECT_FALSE(platform::SingleInstance("MP3 Tool", other.path()).CheckPreviousInstance());
    EXPECT_FALSE(platform::SingleInstance("Other", dir.path()).CheckPreviousInstance());
    EXPECT_EQ(first.takeRaiseRequests(), 0);

    platform::SingleInstance second("MP3 Tool", dir.path());
    EXPECT_TRUE(second.CheckPreviousInstance());
    EXPECT_FALSE(second.owns());
    EXPECT_EQ(first.takeRaiseRequests(), 1);

    // Released on close: the next start owns the folder again.
    first.release();
    EXPECT_FALSE(platform::SingleInstance("MP3 Tool", dir.path()).CheckPreviousInstance());
}

TEST(SingleInstance, UnwritableProgramFolderLocksInTheRuntimeFolder)
{
    testsupport::TempDir runtime, station;
    setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
    const std::string missing = station.path() + "/not-there";
    platform::SingleInstance first("MP3 Tool", missing);
    EXPECT_FALSE(first.CheckPreviousInstance());
    EXPECT_EQ(first.lockPath().rfind(runtime.path() + "/mptool-", 0), 0u) << first.lockPath();
    EXPECT_TRUE(platform::SingleInstance("MP3 Tool", missing).CheckPreviousInstance());
    EXPECT_EQ(first.takeRaiseRequests(), 1);
    unsetenv("XDG_RUNTIME_DIR");
}
