#pragma once
// A form shown modally: its widgets in a dialog titled with the form's caption, centred
// on the window it belongs to. Showing runs the form's OnShow; the form's own close
// (a modal result set by a button) ends the showing; the operator's close (Escape, the
// close box) ends it only when the form agrees (OnCloseQuery), so a form that is busy
// stays up. Every end runs OnClose.
#include "view/FormView.h"

#include <QDialog>

namespace view {

class FormDialog : public QDialog {
    Q_OBJECT
public:
    explicit FormDialog(toolkit::TForm& form, QWidget* parent = nullptr);
    ~FormDialog() override;

    FormView* formView() const { return view_; }
    // Shows the form and waits until it closes; returns its modal result (mrCancel when
    // the operator closed it without one).
    int run();
    // The same without waiting (window-modal): for a caller that keeps its own loop.
    void start();
    // The result of the last showing (mrNone while it lasts).
    int modalResult() const { return result_; }

    void reject() override;

private:
    void begin();
    void end(int code);

    toolkit::TForm& form_;
    FormView* view_;
    toolkit::ObserverId observer_ = 0;
    int result_ = toolkit::mrNone;
};

} // namespace view
