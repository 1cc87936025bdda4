// The main window on screen.
#include "view/MainWindow.h"

#include "device/HostUtil.h"
#include "platform/SingleInstance.h"
#include "toolkit/Dialogs.h"
#include "toolkit/TThread.h"
#include "ui/main.h"
#include "view/Guard.h"

#include <QApplication>
#include <QCloseEvent>
#include <QEvent>
#include <QMetaObject>
#include <QPointer>
#include <QScreen>
#include <QSocketNotifier>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>

#include <csignal>
#include <iostream>

#include <fcntl.h>
#include <unistd.h>

namespace view {

MainWindow::MainWindow(TForm1& form, QWidget* parent) : QWidget(parent), form_(form)
{
    setObjectName("MainWindow");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    view_ = new FormView(form, this);
    layout->addWidget(view_);
    setFixedSize(form.Width(), form.Height());
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setWindowTitle(QString::fromStdString(form.Caption()));
    connect(view_, &FormView::captionChanged, this, &QWidget::setWindowTitle);
    view_->installEventFilter(this);

    form.OnRaiseRequest = [this] { raiseWindow(); };
    // A run may find the event log unwritable from any thread: the box comes on the GUI
    // thread, after what the run was doing, so no run waits for the operator.
    QPointer<MainWindow> self(this);
    SetEventLogFailureReporter([self](const std::string& text) {
        QMetaObject::invokeMethod(
            qApp,
            [self, text] {
                if (!self)
                    return;
                Guard([&] {
                    toolkit::TheDialogs().MessageBox(text, toolkit::Application->Title(),
                                                     toolkit::MB_OK | toolkit::MB_ICONWARNING);
                });
            },
            Qt::QueuedConnection);
    });
    if (form.hInstanceMutex && form.hInstanceMutex->listenFd() >= 0) {
        raiseNotifier_ = new QSocketNotifier(form.hInstanceMutex->listenFd(), QSocketNotifier::Read, this);
        connect(raiseNotifier_, &QSocketNotifier::activated, this, [this] {
            if (form_.hInstanceMutex && form_.hInstanceMutex->takeRaiseRequests() > 0 && form_.OnRaiseRequest)
                form_.OnRaiseRequest();
        });
    }
}

MainWindow::~MainWindow()
{
    form_.OnRaiseRequest = nullptr;
    form_.OnRunsEnded = nullptr;
    SetEventLogFailureReporter(nullptr);
}

namespace {

int g_signalPipe[2] = {-1, -1};

void OnTerminationSignal(int signal)
{
    const char byte = static_cast<char>(signal);
    ssize_t ignored = write(g_signalPipe[1], &byte, 1);
    (void)ignored;
}

// Nobody answers a box once the program is told to end: its text goes to the error stream.
class EndingDialogs : public toolkit::Dialogs {
public:
    int MessageBox(const std::string& text, const std::string& caption, uint32_t flags) override
    {
        std::cerr << "[box] " << caption << ": " << text << std::endl;
        return toolkit::HeadlessAnswer(flags);
    }
    int ShowModal(toolkit::TForm&) override { return toolkit::mrCancel; }
    std::vector<std::string> OpenFiles(const toolkit::FileDialogOptions&) override { return {}; }
    std::optional<std::string> SaveFile(const toolkit::FileDialogOptions&) override { return std::nullopt; }
    std::optional<std::string> ChooseFolder(const std::string&, const std::string&) override { return std::nullopt; }
};

} // namespace

void MainWindow::exitOnTerminationSignals()
{
    if (signalNotifier_ || pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    signalNotifier_ = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, this);
    // The notifier is served by every event loop, a box's own included, so a box left open
    // never holds the program up; the program ends from here without returning into it.
    connect(signalNotifier_, &QSocketNotifier::activated, this, [this] {
        char signal = SIGTERM;
        while (read(g_signalPipe[0], &signal, 1) > 0) {
        }
        static EndingDialogs ending;
        toolkit::SetDialogs(&ending);
        form_.LogInterrupted();
        if (!closed_)
            Guard([this] { form_.DoClose(); });
        std::cout.flush();
        std::cerr.flush();
        std::_Exit(128 + signal);
    });
    struct sigaction action = {};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        sigaction(signal, &action, nullptr);
}

void MainWindow::raiseWindow()
{
    if (isMinimized())
        showNormal();
    else {
        raise();
        activateWindow();
    }
}

void MainWindow::start()
{
    if (!shown_) {
        shown_ = true;
        form_.SetVisible(true);
        Guard([this] { form_.DoShow(); });
        if (QScreen* s = screen())
            setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size(), s->availableGeometry()));
    }
    show();
}

void MainWindow::postDeviceChange(bool arrival, uint32_t mask)
{
    QPointer<MainWindow> self(this);
    const TMessage message{WM_DEVICECHANGE, arrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE,
                           DBT_DEVTYP_VOLUME, mask};
    QMetaObject::invokeMethod(
        this, [self, message] { if (self) Guard([&] { self->form_.Dispatch(message); }); }, Qt::QueuedConnection);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == view_ && event->type() == QEvent::Paint && !painted_) {
        painted_ = true;
        // The first paint may open a box and the settings dialog: not inside the paint.
        QTimer::singleShot(0, this, [this] { Guard([this] { form_.FormPaint(); }); });
    }
    return QWidget::eventFilter(watched, event);
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (!closed_ && !form_.TerminateRequested()) {
        // A close handler that fails keeps the window, as the class library did: the
        // operator sees why and may close again, which runs FormClose again. A close
        // asked for while FormClose shows a box waits for it.
        if (closing_) {
            event->ignore();
            return;
        }
        if (form_.DevicesRunning()) {
            // Devices in production are never left half done: asked first, then the window
            // takes no new device and closes when the last run has ended.
            event->ignore();
            if (waitingForRuns_)
                return;
            closing_ = true;
            bool yes = false;
            Guard([&] { yes = form_.AskToCloseWhileRunning(); });
            closing_ = false;
            if (!yes)
                return;
            waitingForRuns_ = true;
            QPointer<MainWindow> self(this);
            form_.OnRunsEnded = [self] {
                QMetaObject::invokeMethod(
                    self, [self] { if (self) self->close(); }, Qt::QueuedConnection);
            };
            if (!form_.DevicesRunning())
                form_.OnRunsEnded();
            return;
        }
        closing_ = true;
        const bool closed = Guard([this] { form_.DoClose(); });
        closing_ = false;
        if (!closed) {
            event->ignore();
            return;
        }
        closed_ = true;
    }
    event->accept();
}

} // namespace view
