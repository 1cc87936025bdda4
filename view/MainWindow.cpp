#include "view/MainWindow.h"

#include "platform/SingleInstance.h"
#include "ui/main.h"

#include <QCloseEvent>
#include <QEvent>
#include <QSocketNotifier>
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
        form_.DoShow();
    }
    show();
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == view_ && event->type() == QEvent::Paint && !painted_) {
        painted_ = true;
        // The first paint may open a box and the settings dialog: not inside the paint.
        QTimer::singleShot(0, this, [this] { form_.FormPaint(); });
    }
    return QWidget::eventFilter(watched, event);
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (!closed_ && !form_.TerminateRequested()) {
        closed_ = true;
        form_.DoClose();
    }
    event->accept();
}

} // namespace view
