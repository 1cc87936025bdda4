#pragma once
// The main window on screen: the widgets of TForm1 in a fixed 862 x 606 window titled
// with the form's caption. Showing runs FormShow, the first paint FormPaint, closing
// FormClose; a raise request from a second start brings the window to the front.
#include "view/FormView.h"

#include <QWidget>

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
    // Runs FormShow (once) and shows the window.
    void start();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    TForm1& form_;
    FormView* view_;
    QSocketNotifier* raiseNotifier_ = nullptr;
    bool shown_ = false;
    bool painted_ = false;
    bool closed_ = false;
};

} // namespace view
