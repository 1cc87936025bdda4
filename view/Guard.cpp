// Exceptions leaving the forms' code while Qt delivers an event.
#include "view/Guard.h"

#include "toolkit/Dialogs.h"
#include "toolkit/TThread.h"

#include <string>

namespace view {

void ShowCurrentException()
{
    std::string text = "Unknown exception";
    try {
        throw;
    } catch (const std::exception& e) {
        text = e.what();
    } catch (...) {
    }
    const std::string title = toolkit::Application ? toolkit::Application->Title() : std::string();
    try {
        toolkit::TheDialogs().MessageBox(text, title, toolkit::MB_OK | toolkit::MB_ICONERROR);
    } catch (...) {
        // A box that cannot be shown must not take the program down with it.
    }
}

Application::Application(int& argc, char** argv) : QApplication(argc, argv) {}

bool Application::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        ShowCurrentException();
        return false;
    }
}

} // namespace view
