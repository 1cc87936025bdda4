#pragma once
// Exceptions that leave the forms' code while Qt delivers an event. The class library
// caught every one of them in its message loop and showed it in its standard box (the
// exception's text, the application's title as caption, a stop icon); the program went on.
//
// Guard wraps the view's own calls into the forms (widget input, showing, the first
// paint, closing, volume events). Application::notify catches what is left: timers,
// queued calls and socket events that reach code outside those wrappers.
#include <QApplication>

#include <exception>

namespace view {

// The standard exception box for the exception being handled (call inside a catch).
void ShowCurrentException();

// Runs fn; an exception it throws is shown in the box. False when one was thrown.
template <class F>
bool Guard(F&& fn)
{
    try {
        fn();
        return true;
    } catch (...) {
        ShowCurrentException();
        return false;
    }
}

// The program's QApplication: every event whose handler throws ends in the box.
class Application : public QApplication {
public:
    Application(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

} // namespace view
