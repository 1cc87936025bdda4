// The production thread object and what it shares with the main window: its start values,
// the gauge moved on the user-interface thread, the totals and the count of running
// threads kept exact while eight threads end at once.
#include "production/WindowLink.h"
#include "production/ppthread.h"

#include "platform/ProgramDir.h"
#include "support/TempDir.h"
#include "toolkit/Dialogs.h"
#include "toolkit/TThread.h"
#include "ui/main.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <thread>

namespace {

class ThreadAndWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::SetProgramDir(dir.path());
        toolkit::SetDialogs(&dialogs);
        production::SetWindowLink(nullptr);
        form = std::make_unique<TForm1>();
        form->FormShow(form.get()); // binds the panels' controls
    }
    void TearDown() override
    {
        form.reset();
        toolkit::SetDialogs(nullptr);
    }
    std::unique_ptr<ProductThread> Thread(int slot, const char* label = "")
    {
        auto& s = form->DeviceSlots[slot];
        return std::make_unique<ProductThread>('F', slot, s.status, s.gauge, s.image, label, s.textF, s.textP);
    }

    testsupport::TempDir dir;
    toolkit::ScriptedDialogs dialogs;
    std::unique_ptr<TForm1> form;
};

TEST_F(ThreadAndWindow, NewThreadStartsClean)
{
    form->LanguageIndex = 2;
    auto t = Thread(3, nullptr);
    EXPECT_EQ(t->sDrive, "F");
    EXPECT_EQ(t->iSlot, 3u);
    EXPECT_EQ(t->sVolumeLabel, "");
    EXPECT_EQ(t->iResult, 0u);
    EXPECT_EQ(t->pBlockTable, nullptr);
    EXPECT_EQ(t->pPageEccTable, nullptr);
    EXPECT_EQ(t->pPageMatrix, nullptr);
    EXPECT_EQ(t->bBlocksPerChipOverride, 0);
    EXPECT_EQ(t->bSpecialScan, 0);
    EXPECT_EQ(t->iLastModeEccMode, -1);
    EXPECT_EQ(t->iLanguageIndex, 2u);
    EXPECT_TRUE(t->FreeOnTerminate());
    EXPECT_EQ(t->hDevice, INVALID_HANDLE_VALUE);
    for (uint32_t i = 0; i < kThreadBufferSize; ++i)
        ASSERT_EQ(t->PageTable[i], 0xFF) << i;
    EXPECT_TRUE(t->sProgramFile.empty() && t->wsPreferFile.empty() && t->wsTelbookFile.empty()
                && t->sIsoFile.empty() && t->sPassFile.empty());
    EXPECT_EQ(t->pStatusText, form->D4infoStr);
    EXPECT_EQ(t->pGauge, form->ProgressBar4);
}

TEST_F(ThreadAndWindow, GaugeMovesOnTheUserInterfaceThread)
{
    auto t = Thread(0);
    std::atomic<bool> onUi{false};
    const std::thread::id ui = std::this_thread::get_id();
    form->ProgressBar1->SetMaxValue(400);
    form->ProgressBar1->AddObserver([&](toolkit::TControl&, toolkit::Prop what) {
        if (what == toolkit::Prop::Progress)
            onUi = std::this_thread::get_id() == ui;
    });
    // The test thread is the user-interface thread; the worker waits until it has served
    // the gauge update.
    toolkit::SetUiDispatcher([](std::function<void()>) {});
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        t->SetStep(305);
        returned = true;
    });
    while (!returned)
        toolkit::CheckSynchronize();
    worker.join();
    toolkit::SetUiDispatcher(nullptr);
    EXPECT_TRUE(onUi);
    EXPECT_EQ(t->iStep, 305u);
    EXPECT_EQ(form->ProgressBar1->Progress(), 305);
}

TEST_F(ThreadAndWindow, TotalsCountEveryRun)
{
    auto t = Thread(0);
    t->iResult = 1;
    t->UpdateTotals();
    t->iResult = 0;
    t->UpdateTotals();
    t->UpdateTotals();
    EXPECT_EQ(form->iTotalCount, 3);
    EXPECT_EQ(form->iSuccessCount, 1);
    EXPECT_EQ(form->iFailCount, 2);
    EXPECT_EQ(form->TotalStr->Caption(), "3");
    EXPECT_EQ(form->SuccessStr->Caption(), "1");
    EXPECT_EQ(form->FailStr->Caption(), "2");
}

TEST_F(ThreadAndWindow, EightThreadsLoseNoCount)
{
    constexpr int kThreads = 8, kRuns = 500;
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([i] {
            auto& window = production::Window();
            for (int r = 0; r < kRuns; ++r) {
                window.RunStarted();
                window.CountResult((i + r) % 3 == 0 ? 1 : 0);
                window.RunEnded();
            }
        });
    for (auto& t : threads)
        t.join();
    int success = 0;
    for (int i = 0; i < kThreads; ++i)
        for (int r = 0; r < kRuns; ++r)
            success += (i + r) % 3 == 0;
    EXPECT_EQ(form->iTotalCount, kThreads * kRuns);
    EXPECT_EQ(form->iSuccessCount, success);
    EXPECT_EQ(form->iFailCount, kThreads * kRuns - success);
    EXPECT_EQ(form->TotalStr->Caption(), std::to_string(kThreads * kRuns));
    EXPECT_EQ(form->SuccessStr->Caption(), std::to_string(success));
    EXPECT_EQ(form->FailStr->Caption(), std::to_string(kThreads * kRuns - success));
    EXPECT_EQ(form->iRunningThreads, 0);
    EXPECT_TRUE(form->grpFileList->Enabled());
    EXPECT_TRUE(form->grpMPSetting->Enabled());
}

TEST_F(ThreadAndWindow, LastOfTwoRunsEnablesTheGroupsOnce)
{
    auto& window = production::Window();
    window.RunStarted();
    window.RunStarted();
    EXPECT_EQ(form->iRunningThreads, 2);
    EXPECT_FALSE(form->grpFileList->Enabled());
    EXPECT_FALSE(form->grpMPSetting->Enabled());
    int enabled = 0;
    form->grpFileList->AddObserver([&](toolkit::TControl& c, toolkit::Prop what) {
        if (what == toolkit::Prop::Enabled && c.Enabled())
            ++enabled;
    });
    window.RunEnded();
    EXPECT_EQ(form->iRunningThreads, 1);
    EXPECT_FALSE(form->grpFileList->Enabled()) << "one run still going";
    window.RunEnded();
    EXPECT_EQ(form->iRunningThreads, 0);
    EXPECT_TRUE(form->grpFileList->Enabled());
    EXPECT_TRUE(form->grpMPSetting->Enabled());
    EXPECT_EQ(enabled, 1);
    // A stray end never takes the count below 0.
    window.RunEnded();
    EXPECT_EQ(form->iRunningThreads, 0);
}

TEST_F(ThreadAndWindow, PanelDriveFollowsTheWindowsSlot)
{
    auto& window = production::Window();
    form->DeviceSlots[5].drive = 'K';
    EXPECT_EQ(window.PanelDrive(5), 'K');
    form->DeviceSlots[5].drive = 0;
    EXPECT_EQ(window.PanelDrive(5), 0);
    EXPECT_EQ(window.PanelDrive(8), 0) << "no such panel";
    EXPECT_EQ(window.PanelDrive(-1), 0);
}

} // namespace
