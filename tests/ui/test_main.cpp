// The main window's life: creation, first showing, first paint, closing, one instance.
#include "device/HostUtil.h"
#include "platform/ProgramDir.h"
#include "platform/SingleInstance.h"
#include "support/TempDir.h"
#include "toolkit/Dialogs.h"
#include "toolkit/TThread.h"
#include "ui/CopyList.h"
#include "ui/main.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

using namespace toolkit;

namespace {

class MainWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::SetProgramDir(dir.path());
        SetDialogs(&dialogs);
    }
    void TearDown() override
    {
        form.reset();
        SetDialogs(nullptr);
    }
    void open()
    {
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
    EXPECT_EQ(form->SystemAreaComBo->Items()->Strings(31), "128MB");
    EXPECT_EQ(form->D8infoStr->Caption(), "Wait...");
    EXPECT_FALSE(form->ProgressBar8->Visible());
}

TEST_F(MainWindow, ShowingBindsThePanelsAndChoosesTheStoredLanguage)
{
    struct Case {
        int stored;
        const char* radio;
        int rewritten;
    } cases[] = {{-99, "TntRdoLangAuto", 0}, {1, "TntRdoLangEng", 1}, {2, "TntRdoLangSC", 2},
                 {3, "TntRdoLangTC", 3}, {7, "TntRdoLangAuto", 0}};
    for (const auto& c : cases) {
        if (c.stored != -99)
            RegWriteInteger("SoftWare\\KOV6125\\Vornagel28", "LanguageID", c.stored);
        open();
        auto* radio = dynamic_cast<TRadioButton*>(form->FindControl(c.radio));
        ASSERT_NE(radio, nullptr);
        EXPECT_TRUE(radio->Checked()) << c.stored;
        EXPECT_EQ(RegReadInteger("SoftWare\\KOV6125\\Vornagel28", "LanguageID", -1), c.rewritten);
        form.reset();
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
    dir.write("files/a.bin", "6205");
    ASSERT_TRUE(std::filesystem::create_directories(dir.file("folder")));
    ASSERT_TRUE(std::filesystem::create_directories(dir.file("misc")));
    ui::PathListFile::Save(dir.file("misc/seting.ini"),
                           {dir.file("files/a.bin"), dir.file("files/gone.dat"), dir.file("folder"), ""});
    ui::PathListFile::Save(dir.file("misc/hideseting.ini"), {dir.file("gone"), dir.file("files/a.bin")});
    open();
    EXPECT_EQ(form->TntSelectFileList2->Items()->ToVector(),
              (std::vector<std::string>{dir.file("files/a.bin"), dir.file("folder")}));
    EXPECT_EQ(form->HideFileList.ToVector(), std::vector<std::string>{dir.file("files/a.bin")});
    EXPECT_EQ(form->SpiFileList.Count(), 0);
    EXPECT_EQ(form->iProgramIndex, 0);
}

TEST_F(MainWindow, ClosingSavesTheFourFilesEvenWhenOneSaveFails)
{
    dir.write("files/a.bin", "6205");
    ASSERT_TRUE(std::filesystem::create_directories(dir.file("misc")));
    open();
    form->TntSelectFileList2->Items()->Add(dir.file("files/a.bin"));
    form->HideFileList.Add("/h");
    // prefer.ini cannot be replaced: a folder stands in its place.
    ASSERT_TRUE(std::filesystem::create_directories(dir.file("misc/prefer.ini/x")));
    form->FormClose(form.get());

    auto u16 = [](const std::string& s) {
        std::string out;
        for (char c : s) {
            out += c;
            out += '\0';
        }
        return out;
    };
    EXPECT_EQ(dir.read("misc/seting.ini"), "\xFF\xFE" + u16(dir.file("files/a.bin") + "\r\n"));
    EXPECT_EQ(dir.read("misc/hideseting.ini"), "\xFF\xFE" + u16("/h\r\n"));
    EXPECT_EQ(dir.read("misc/spiseting.ini"), "\xFF\xFE");
    bool reported = false;
    for (const auto& m : dialogs.Messages())
        if (m.flags == (MB_OK | MB_ICONERROR) && m.text.find("prefer.ini") != std::string::npos)
            reported = true;
    EXPECT_TRUE(reported);
}

TEST_F(MainWindow, SecondInstanceRaisesTheFirstAndSavesNothing)
{
    open();
    ASSERT_FALSE(form->TerminateRequested());
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
    auto third = std::make_unique<TForm1>();
    EXPECT_FALSE(third->TerminateRequested());
}

namespace {
// A worker that keeps writing its panel and the totals, as a production thread does.
class BusyThread : public TThread {
public:
    BusyThread(TForm1& form, int slot, std::atomic<bool>& stop) : form_(form), slot_(slot), stop_(stop) {}

protected:
    void Execute() override
    {
        for (int i = 0; !stop_; ++i) {
            form_.DeviceSlots[slot_].status->SetCaption("step " + std::to_string(i));
            form_.DeviceSlots[slot_].gauge->SetProgress(i % 100);
            std::lock_guard lock(form_.CountersLock);
            form_.iTotalCount += 1;
            form_.TotalStr->SetCaption(std::to_string(form_.iTotalCount.load()));
        }
    }

private:
    TForm1& form_;
    int slot_;
    std::atomic<bool>& stop_;
};
} // namespace

TEST_F(MainWindow, ClosingWhileThreadsRunDoesNotDisturbThem)
{
    ASSERT_TRUE(std::filesystem::create_directories(dir.file("misc")));
    open();
    form->HideFileList.Add("/h");
    std::atomic<bool> stop{false};
    BusyThread a(*form, 0, stop), b(*form, 1, stop);
    a.Resume();
    b.Resume();
    form->FormClose(form.get());
    form->FormClose(form.get()); // a second close is harmless
    stop = true;
    a.WaitFor();
    b.WaitFor();
    EXPECT_EQ(dir.read("misc/hideseting.ini").size(), 2u + 2 * 4);
    EXPECT_GT(form->iTotalCount, 0);
}

TEST_F(MainWindow, FirstPaintChecksTheImageFileOnlyOnceAndOnlyForSplitDisks)
{
    open();
    form->eDeviceFeature = 0;
    form->bUseImgFile = true;
    form->ImageFile = dir.file("none.img");
    form->FormPaint();
    EXPECT_TRUE(dialogs.Messages().empty()) << "normal disk: nothing checked";

    form.reset();
    open();
    form->eDeviceFeature = 2;
    form->bUseImgFile = true;
    form->ImageFile = dir.file("none.img");
    TForm setting("frmSetting");
    auto* pages = setting.Make<TPageControl>("pgeSetting");
    pages->Make<TTabSheet>("tabFlashSetting");
    pages->Make<TTabSheet>("tabDeviceSetting");
    form->SettingForm = &setting;
    form->FormPaint();
    ASSERT_EQ(dialogs.Messages().size(), 1u);
    EXPECT_EQ(dialogs.Messages()[0].text, "Image file not exists. Please reassign it.");
    EXPECT_EQ(dialogs.Messages()[0].caption, "Warning");
    EXPECT_EQ(dialogs.Messages()[0].flags, MB_OK | MB_ICONWARNING);
    EXPECT_EQ(form->ImageFile, "");
    EXPECT_EQ(pages->ActivePageIndex(), 1);
    form->FormPaint();
    EXPECT_EQ(dialogs.Messages().size(), 1u);

    form.reset();
    open();
    dir.write("disk.img", "x");
    form->eDeviceFeature = 1;
    form->bUseImgFile = true;
    form->ImageFile = dir.file("disk.img");
    form->FormPaint();
    EXPECT_EQ(form->ImageFile, dir.file("disk.img"));
}
