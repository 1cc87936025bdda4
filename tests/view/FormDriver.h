#pragma once
// Drives a form's real widgets the way an operator does (mouse clicks, keys, typing,
// Escape, the close box) and reads back both sides of each control: what the screen shows
// and what the model holds, in one notation, so a table row states each expectation once.
//
// Keys of an expectation: "name" (the control's value: "[x]"/"[ ]" for check boxes and
// radios, the text of edits and labels, the chosen item of combos, the page of a page
// control, the position of track bars and up-downs, list items as "a|*b" with selected
// ones starred), "name.visible", "name.enabled" ("yes"/"no"), "#focus" (the control with
// the keyboard focus), "#open" (the form is up) and "#caption" (the window's title).
#include "toolkit/Controls.h"

#include <QApplication>
#include <QWidget>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace view {
class FormView;
}

namespace testsupport {

// The one QApplication of the test program (offscreen), with the program's exception
// handling and the UI thread installed.
QApplication& App();

class FormDriver {
public:
    // window: the top-level widget that holds the form's view (a dialog or the main window).
    FormDriver(toolkit::TForm& form, view::FormView& view, QWidget& window);

    QWidget* widget(const std::string& name) const;
    std::string shown(const std::string& key) const;
    std::string held(const std::string& key) const;

    // ---- the operator ----
    void click(const std::string& name);                    // the mouse, where a click counts
    void type(const std::string& name, const std::string& text);
    void clear(const std::string& name);                    // select all, delete
    void clickItem(const std::string& name, int row, bool add = false);  // a list's item; add: with Ctrl
    void key(const std::string& name, int key);             // Qt::Key on that control
    void pick(const std::string& name, int item);           // a combo's item from its list
    void tab(const std::string& name, int page);            // a page control's tab
    void escape() { key("", Qt::Key_Escape); }
    void closeBox() { window_.close(); }                    // the window's close button
    // Lets queued model changes reach the screen.
    static void settle();

    // One row of a user-action table: what the operator does, then the value of each key
    // that the screen and the model must both show (gtest failures name the row).
    struct Step {
        const char* what;
        std::function<void(FormDriver&)> act;
        std::vector<std::pair<std::string, std::string>> expect;
    };
    void run(const std::vector<Step>& steps);

private:
    toolkit::TForm& form_;
    view::FormView& view_;
    QWidget& window_;
};

} // namespace testsupport
