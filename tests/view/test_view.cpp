// The Qt view of the main window (QT_QPA_PLATFORM=offscreen): the widgets and their names,
// model changes from worker threads, the operator's input, the UI-thread dispatcher.
#include "platform/ProgramDir.h"
#include "platform/SingleInstance.h"
#include "support/TempDir.h"
#include "toolkit/Dialogs.h"
#include "toolkit/TThread.h"
#include "ui/main.h"
#include "view/MainWindow.h"
#include "view/QtDialogs.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QTimer>

#include <cstdlib>
#include <thread>

using namespace toolkit;

// The system's font library keeps its caches until the process ends.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig\n"; }

namespace {

QApplication& App()
{
    static int argc = 1;
    static char name[] = "test_view";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        auto* a = new QApplication(argc, argv);
        view::InstallUiThread();
        return a;
    }();
    return *app;
}

// Hands the next modal window that opens to `act`; looks again on the next turn until one is open.
void OnNextModal(std::function<void(QWidget*)> act)
{
    QTimer::singleShot(0, [act] {
        if (QWidget* modal = QApplication::activeModalWidget())
            act(modal);
        else
            OnNextModal(act);
    });
}

class View : public ::testing::Test {
protected:
    void SetUp() override
    {
        App();
        platform::SetProgramDir(dir.path());
        SetDialogs(&dialogs);
        form = std::make_unique<TForm1>();
        window = std::make_unique<view::MainWindow>(*form);
    }
    void TearDown() override
    {
        window.reset();
        form.reset();
        SetDialogs(nullptr);
    }
    template <class T>
    T* find(const std::string& name) { return window->findChild<T*>(QString::fromStdString(name)); }

    testsupport::TempDir dir;
    ScriptedDialogs dialogs;
    std::unique_ptr<TForm1> form;
    std::unique_ptr<view::MainWindow> window;
};

} // namespace

TEST_F(View, WindowHasEveryControlByNameAndTheEightPanels)
{
    window->start();
    QApplication::processEvents();
    EXPECT_EQ(window->size(), QSize(862, 606));
    form->ForEachControl([&](TControl& c) {
        EXPECT_NE(window->formView()->widgetFor(c.Name()), nullptr) << "no widget for " << c.Name();
    });
    for (int i = 1; i <= 8; ++i) {
        std::string n = std::to_string(i);
        ASSERT_NE(find<QGroupBox>("grpDevice" + n), nullptr) << i;
        EXPECT_EQ(find<QLabel>("D" + n + "infoStr")->text(), "Waiting device...") << "after FormShow";
        EXPECT_FALSE(find<QProgressBar>("ProgressBar" + n)->isVisible());
    }
    EXPECT_EQ(window->windowTitle().toStdString(), form->Caption());
    // Chinese captions arrive as UTF-8 and show as such.
    EXPECT_EQ(find<QAbstractButton>("TntRdoLangSC")->text(), QString::fromUtf8("\xE7\xAE\x80\xE4\xB8\xAD"));
}

TEST_F(View, CaptionAndColourChangedByAWorkerThreadReachTheLabel)
{
    std::thread worker([this] {
        auto lock = form->D3infoStr->Lock();
        form->D3infoStr->SetCaption("FSM Loadfail");
        form->D3infoStr->Font()->SetColor(clRed);
        for (int i = 0; i <= 40; ++i)
            form->ProgressBar3->SetProgress(i);
    });
    worker.join();
    auto* label = find<QLabel>("D3infoStr");
    EXPECT_EQ(label->text(), "Wait...") << "applied on the GUI thread only";
    QApplication::processEvents();
    EXPECT_EQ(label->text(), "FSM Loadfail");
    EXPECT_EQ(label->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    EXPECT_EQ(find<QProgressBar>("ProgressBar3")->value(), 40);

    // A system colour set while the panel is disabled shows normally once it is enabled.
    form->grpProcessStatus->SetEnabled(false);
    form->D3infoStr->Font()->SetColor(clWindowText);
    QApplication::processEvents();
    form->grpProcessStatus->SetEnabled(true);
    QApplication::processEvents();
    EXPECT_TRUE(label->isEnabled());
    EXPECT_EQ(label->palette().color(QPalette::Active, QPalette::WindowText),
              QApplication::palette(label).color(QPalette::Active, QPalette::WindowText));
}

TEST_F(View, OperatorInputRunsTheModelHandlers)
{
    find<QCheckBox>("CheckManuupgrade")->click();
    EXPECT_TRUE(form->Upgradebtn->Enabled()) << "its click handler ran";
    QApplication::processEvents();
    EXPECT_TRUE(find<QPushButton>("Upgradebtn")->isEnabled());

    form->TntSelectFileList2->Items()->Assign({"/a", "/b", "/c"});
    QApplication::processEvents();
    auto* list = find<QListWidget>("TntSelectFileList2");
    ASSERT_EQ(list->count(), 3);
    list->item(0)->setSelected(true);
    list->item(2)->setSelected(true);
    find<QPushButton>("RemoveBtn")->click();
    QApplication::processEvents();
    ASSERT_EQ(list->count(), 1);
    EXPECT_EQ(list->item(0)->text(), "/b");

    // An exception that leaves a handler is shown in a box; the window stays.
    Application->SetTitle("6205 Vorpane v2.0");
    form->btnSetup->OnClick = [](TControl*) { throw std::runtime_error("Unable to write to x"); };
    find<QPushButton>("btnSetup")->click();
    auto boxes = dialogs.Messages();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text + "|" + boxes[0].caption, "Unable to write to x|6205 Vorpane v2.0");
    EXPECT_EQ(boxes[0].flags, MB_OK | MB_ICONERROR);
}

TEST_F(View, SynchronizeRunsOnTheGuiThread)
{
    struct Worker : TThread {
        Qt::HANDLE ranOn = nullptr;
        void Execute() override { Synchronize([this] { ranOn = QThread::currentThreadId(); }); }
    } worker;
    worker.Resume();
    while (!worker.Finished())
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    worker.WaitFor();
    EXPECT_EQ(worker.ranOn, QThread::currentThreadId());
}

TEST_F(View, SecondStartAsksTheWindowToComeToTheFront)
{
    ASSERT_NE(form->hInstanceMutex, nullptr);
    int raised = 0;
    form->OnRaiseRequest = [&] { ++raised; };
    platform::SingleInstance second("MP3 Tool", dir.path());
    ASSERT_TRUE(second.CheckPreviousInstance());
    // The request arrives on the window's socket notifier; wait for that event only.
    for (int i = 0; i < 50 && raised == 0; ++i)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    EXPECT_EQ(raised, 1);
}

TEST(QtDialogsService, MessageBoxAnswersWithThePlatformIdsAlsoFromAWorker)
{
    App();
    view::QtDialogs dialogs;
    QStringList seen;
    auto press = [&](QMessageBox::StandardButton button) {
        OnNextModal([&seen, button](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            seen << box->windowTitle() << box->text() << QString::number(box->icon());
            box->button(button)->click();
        });
    };
    press(QMessageBox::No);
    EXPECT_EQ(dialogs.MessageBox("Go on?", "Warning", MB_YESNO | MB_ICONWARNING), IDNO);
    // From a production thread: shown on the GUI thread, the worker waits for the answer.
    press(QMessageBox::Ok);
    std::atomic<int> id{0};
    std::thread worker([&] { id = dialogs.MessageBox("\xE5\xA4\xB1\xE8\xB4\xA5", "Status", MB_OK | MB_ICONERROR); });
    while (id == 0)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    worker.join();
    EXPECT_EQ(id, IDOK);
    EXPECT_EQ(seen, (QStringList{"Warning", "Go on?", QString::number(QMessageBox::Warning), "Status",
                                 QString::fromUtf8("\xE5\xA4\xB1\xE8\xB4\xA5"), QString::number(QMessageBox::Critical)}));
}
