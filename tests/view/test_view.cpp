// The Qt view of the main window (QT_QPA_PLATFORM=offscreen): the widgets and their names,
// model changes from worker threads, the operator's input, the UI-thread dispatcher.
#include "platform/ProgramDir.h"
#include "platform/SingleInstance.h"
#include "support/TempDir.h"
#include "toolkit/Dialogs.h"
#include "toolkit/TThread.h"
#include "ui/SettingDlg.h"
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
#include <QTabWidget>
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
    T* find(const char* name) { return window->findChild<T*>(name); }

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
        ASSERT_NE(find<QGroupBox>(("grpDevice" + n).c_str()), nullptr) << i;
        EXPECT_EQ(find<QLabel>(("D" + n + "infoStr").c_str())->text(), "Waiting device...") << "after FormShow";
        EXPECT_FALSE(find<QProgressBar>(("ProgressBar" + n).c_str())->isVisible());
    }
    EXPECT_EQ(find<QTabWidget>("PageControl1")->count(), 1);
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
        form->ProgressBar3->SetVisible(true);
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

    form->D3infoStr->Font()->SetColor(clBlue);
    QApplication::processEvents();
    EXPECT_EQ(label->palette().color(QPalette::WindowText), QColor(0, 0, 255));
    EXPECT_EQ(view::ToQColor(clBtnText, QColor(1, 2, 3)), QColor(1, 2, 3));

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
    EXPECT_TRUE(form->CheckManuupgrade->Checked());
    EXPECT_TRUE(form->Upgradebtn->Enabled()) << "its click handler ran";
    QApplication::processEvents();
    EXPECT_TRUE(find<QPushButton>("Upgradebtn")->isEnabled());

    form->TntSelectFileList2->Items()->Assign({"/a", "/b", "/c"});
    QApplication::processEvents();
    auto* list = find<QListWidget>("TntSelectFileList2");
    ASSERT_EQ(list->count(), 3);
    list->item(0)->setSelected(true);
    list->item(2)->setSelected(true);
    EXPECT_TRUE(form->TntSelectFileList2->Selected(0));
    EXPECT_FALSE(form->TntSelectFileList2->Selected(1));
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
    EXPECT_EQ(boxes[0].text, "Unable to write to x");
    EXPECT_EQ(boxes[0].caption, "6205 Vorpane v2.0");
    EXPECT_EQ(boxes[0].flags, MB_OK | MB_ICONERROR);
}

TEST_F(View, SynchronizeRunsOnTheGuiThread)
{
    struct Worker : TThread {
        Qt::HANDLE ranOn = nullptr;
        void Execute() override
        {
            Synchronize([this] { ranOn = QThread::currentThreadId(); });
        }
    } worker;
    worker.Resume();
    // The call reaches the GUI thread as a posted event, served by the event loop.
    while (!worker.Finished())
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    worker.WaitFor();
    EXPECT_EQ(worker.ranOn, QThread::currentThreadId());
}

TEST(QtFilter, TurnsTheFormsFiltersIntoQtFilters)
{
    EXPECT_EQ(view::QtFilter("Image File *.IMG|*.IMG"), "Image File *.IMG (*.IMG)");
    EXPECT_EQ(view::QtFilter("All File Format(*.*)|*.*|Text|*.txt;*.ini"),
              "All File Format(*.*) (*.*);;Text (*.txt *.ini)");
    EXPECT_EQ(view::QtFilter(""), "");
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

namespace {
// Presses a button of the next message box that opens; records its title, text and icon.
void PressNextBox(QMessageBox::StandardButton button, QStringList* seen)
{
    QTimer::singleShot(0, [=] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return PressNextBox(button, seen); // not open yet: look again on the next turn
        *seen << box->windowTitle() << box->text() << QString::number(box->icon());
        box->button(button)->click();
    });
}
} // namespace

TEST(QtDialogsService, MessageBoxAnswersWithThePlatformIdsAlsoFromAWorker)
{
    App();
    view::QtDialogs dialogs;
    QStringList first, second;
    PressNextBox(QMessageBox::No, &first);
    EXPECT_EQ(dialogs.MessageBox("Go on?", "Warning", MB_YESNO | MB_ICONWARNING), IDNO);
    EXPECT_EQ(first, (QStringList{"Warning", "Go on?", QString::number(QMessageBox::Warning)}));

    // From a production thread: shown on the GUI thread, the worker waits for the answer.
    PressNextBox(QMessageBox::Ok, &second);
    std::atomic<int> id{0};
    std::thread worker([&] { id = dialogs.MessageBox("\xE5\xA4\xB1\xE8\xB4\xA5", "Status", MB_OK | MB_ICONERROR); });
    while (id == 0)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    worker.join();
    EXPECT_EQ(id, IDOK);
    EXPECT_EQ(second, (QStringList{"Status", QString::fromUtf8("\xE5\xA4\xB1\xE8\xB4\xA5"),
                                   QString::number(QMessageBox::Critical)}));
}

TEST(FormViewLayout, ControlsWithoutBoundsAreStackedAndUnknownKindsTakeNoRoom)
{
    App();
    struct TTimer : TControl {
        using TControl::TControl;
        const char* ClassName() const override { return "TTimer"; }
    };
    TForm form("frmPlain");
    form.SetBounds(0, 0, 300, 200);
    form.Make<TTimer>("Timer1");
    auto* group = form.Make<TGroupBox>("grpA");
    group->Make<TCheckBox>("chkA")->SetCaption("A");
    group->Make<TCheckBox>("chkB")->SetCaption("B");
    form.Make<TButton>("btnOk")->SetCaption("OK");
    view::FormView view(form);
    view.show();
    QWidget* a = view.widgetFor("chkA");
    QWidget* b = view.widgetFor("chkB");
    QWidget* g = view.widgetFor("grpA");
    QWidget* ok = view.widgetFor("btnOk");
    ASSERT_TRUE(a && b && g && ok && view.widgetFor("Timer1"));
    EXPECT_FALSE(view.widgetFor("Timer1")->isVisible());
    EXPECT_EQ(g->y(), 8) << "the timer takes no room";
    EXPECT_GT(b->y(), a->y());
    EXPECT_GE(g->height(), b->y() + b->height());
    EXPECT_GT(ok->y(), g->y() + g->height() - 1);
}

TEST_F(View, SetupButtonShowsTheSettingsDialogModally)
{
    TfrmSetting setting;
    form->SettingForm = &setting;
    view::QtDialogs qt;
    SetDialogs(&qt);
    bool sawDialog = false;
    std::function<void()> look;
    look = [&] {
        QWidget* modal = QApplication::activeModalWidget();
        auto* cancel = modal ? modal->findChild<QPushButton*>("btnCancel") : nullptr;
        if (!cancel) {
            QTimer::singleShot(0, look);
            return;
        }
        sawDialog = modal->findChild<QTabWidget*>("pgeSetting") != nullptr;
        cancel->click();
    };
    QTimer::singleShot(0, look);
    EXPECT_EQ(form->btnSetupClick(form->btnSetup), mrCancel);
    SetDialogs(&dialogs);
    EXPECT_TRUE(sawDialog);
}
