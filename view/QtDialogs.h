#pragma once
// The dialogs service over Qt: message boxes, modal forms, file and folder choosers.
// Callable from any thread; a call from a worker runs on the GUI thread and waits.
#include "toolkit/Dialogs.h"

#include <cstdint>

class QTranslator;

namespace view {

class QtDialogs : public toolkit::Dialogs {
public:
    int MessageBox(const std::string& text, const std::string& caption, uint32_t flags) override;
    int ShowModal(toolkit::TForm& form) override;
    std::vector<std::string> OpenFiles(const toolkit::FileDialogOptions& options) override;
    std::optional<std::string> SaveFile(const toolkit::FileDialogOptions& options) override;
    std::optional<std::string> ChooseFolder(const std::string& title, const std::string& startDir) override;
};

// "Image File *.IMG|*.IMG|All|*.*" -> "Image File *.IMG (*.IMG);;All (*.*)".
std::string QtFilter(const std::string& filter);

// Makes the calling thread (the GUI thread) the one TThread::Synchronize runs on, and lets
// Application->ProcessMessages serve Qt's events. Call once, after QApplication exists.
void InstallUiThread();

} // namespace view

namespace view {

// Qt's own texts (the buttons of message boxes, the file choosers) in the system's
// language, as the platform's boxes showed them: Qt's translation for a language id of
// the system locale (2052 Simplified, 1028 Traditional Chinese) is installed into the
// application. Null for English or when the translation is not installed.
QTranslator* InstallQtTranslations(uint16_t langId);

} // namespace view
