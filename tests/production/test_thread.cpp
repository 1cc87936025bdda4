// The production thread and the main window: the gauge moved on the user-interface thread,
// and the file-list and settings groups enabled again by the last run to end.
#include "ProductionFixture.h"

#include "toolkit/Dialogs.h"
#include "toolkit/TThread.h"
#include "ui/main.h"

#include <atomic>
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

TEST_F(ThreadAndWindow, GaugeMovesOnTheUserInterfaceThread)
{
    auto t = Thread(0, nullptr);
    EXPECT_EQ(t->sVolumeLabel, "") << "no label given";
    std::atomic<bool> onUi{false}, returned{false};
    const std::thread::id ui = std::this_thread::get_id();
    form->ProgressBar1->SetMaxValue(400);
    form->ProgressBar1->AddObserver([&](toolkit::TControl&, toolkit::Prop what) {
        if (what == toolkit::Prop::Progress)
            onUi = std::this_thread::get_id() == ui;
    });
    // The test thread serves the updates; the worker waits until its update was served.
    toolkit::SetUiDispatcher([](std::function<void()>) {});
    std::thread worker([&] {
        t->SetStep(305);
        returned = true;
    });
    while (!returned)
        toolkit::CheckSynchronize();
    worker.join();
    toolkit::SetUiDispatcher(nullptr);
    EXPECT_TRUE(onUi);
    EXPECT_EQ(form->ProgressBar1->Progress(), 305);
}

TEST_F(ThreadAndWindow, LastOfTwoRunsEnablesTheGroupsOnce)
{
    auto& window = production::Window();
    window.RunStarted();
    window.RunStarted();
    int enabled = 0;
    form->grpFileList->AddObserver([&](toolkit::TControl& c, toolkit::Prop what) {
        enabled += what == toolkit::Prop::Enabled && c.Enabled();
    });
    window.RunEnded();
    EXPECT_FALSE(form->grpFileList->Enabled()) << "one run still going";
    window.RunEnded();
    window.RunEnded(); // a stray end never takes the count below 0
    EXPECT_TRUE(form->grpFileList->Enabled() && form->grpMPSetting->Enabled());
    EXPECT_EQ(enabled, 1);
    EXPECT_EQ(form->iRunningThreads, 0);
    form->DeviceSlots[5].drive = 'K';
    EXPECT_EQ(window.PanelDrive(5), 'K');
    EXPECT_EQ(window.PanelDrive(8) + window.PanelDrive(-1), 0) << "no such panel";
}

} // namespace
