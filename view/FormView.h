#pragma once
// The Qt widgets of a form model. Every control of the model gets a widget of its kind,
// with the control's name as object name and the control's bounds as geometry; one
// binder per control kind copies the model into the widget and the operator's input back
// into the model (which runs the handlers), then copies the model back at once, so the
// screen never shows a state the model refused. Model changes may come from any thread:
// they reach the widgets through queued calls on the GUI thread. A handler's focus
// request (SetFocus) moves Qt's keyboard focus; the operator's focus moves are recorded
// as the form's active control.
#include "toolkit/Controls.h"

#include <QColor>
#include <QFont>
#include <QHash>
#include <QWidget>

#include <memory>
#include <vector>

namespace view {

// A control colour as Qt shows it; system colours (high bit set) give `systemText`.
QColor ToQColor(toolkit::TColor color, const QColor& systemText = QColor(Qt::black));

// The forms' font: the system's family at the pixel height the forms' layout was drawn
// for (11 pixels), so that captions fit the controls' fixed pixel bounds.
QFont WindowFont();

class FormView : public QWidget {
    Q_OBJECT
public:
    // Builds the widgets of form's controls inside this widget (sized like the form).
    explicit FormView(toolkit::TForm& form, QWidget* parent = nullptr);
    ~FormView() override;

    toolkit::TForm& form() const { return form_; }
    // The widget shown for a control name (null when none).
    QWidget* widgetFor(const std::string& name) const;
    QWidget* widgetFor(const toolkit::TControl* control) const;

signals:
    // The form's caption changed (the window title follows it).
    void captionChanged(const QString& caption);

private:
    void build(toolkit::TWinControl& parent, QWidget* parentWidget);
    QWidget* make(toolkit::TControl& control, QWidget* parentWidget);
    void bind(toolkit::TControl& control, QWidget* widget);
    void applyFocus();
    void operatorFocus(QWidget* now);

    toolkit::TForm& form_;
    QHash<const toolkit::TControl*, QWidget*> widgets_;
    QHash<const QWidget*, toolkit::TControl*> controls_;
    std::shared_ptr<bool> alive_;
    std::vector<std::pair<toolkit::TControl*, toolkit::ObserverId>> observers_;
    toolkit::ObserverId formObserver_ = 0;
    QMetaObject::Connection focusConnection_;
};

} // namespace view
