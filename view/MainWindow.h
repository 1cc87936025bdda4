#pragma once
// The main window on screen: the widgets of TForm1 in a fixed 862 x 606 window titled
// with the form's caption, centred on its screen. Showing runs FormShow, the first paint
// FormPaint, closing FormClose; volume events reach the form's Dispatch on the GUI
// thread; a raise request from a second start brings the window to the front. An
// exception from any of these is shown in the standard box and the window stays.
#include "view/FormView.h"

#include <QWidget>

#include <cstdint>

class TForm1;
class QSocketNotifier;

namespace view {

class MainWindow : public QWidget {
    Q_OBJECT
public:
    explicit MainWindow(TForm1& form, QWidget* parent = nullptr);
    ~MainWindow() override;

    FormView* formView() const { return view_; }
    // Restores a minimised window and brings it to the front.
    void raiseWindow();
    // Runs FormShow (once) and shows the window centred on its screen.
    void start();
    // A volume arrived or left (bit i of mask: drive 'A' + i). Callable from any thread;
    // the form handles it on the GUI thread.
    void postDeviceChange(bool arrival, uint32_t mask);
    // SIGTERM, SIGINT and SIGHUP end the program at once, whatever box is open: one
    // "interrupted" event-log line per running device, the lists and settings saved
    // without a box, exit status 128 + the signal.
    void exitOnTerminationSignals();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    TForm1& form_;
    FormView* view_;
    QSocketNotifier* raiseNotifier_ = nullptr;
    bool shown_ = false;
    bool painted_ = false;
    bool closing_ = false;
    bool closed_ = false;
    bool waitingForRuns_ = false;
    QSocketNotifier* signalNotifier_ = nullptr;
};

} // namespace view
