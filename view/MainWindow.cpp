#include "view/MainWindow.h"

#include "platform/SingleInstance.h"
#include "ui/main.h"
#include "view/Guard.h"

#include <QCloseEvent>
#include <QEvent>
#include <QMetaObject>
#include <QPointer>
#include <QScreen>
#include <QSocketNotifier>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>

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
