#pragma once
// Message boxes, modal forms and the file and folder choosers go through one service, so
// the Qt view can show real dialogs and tests can script the answers.
//
//     int id = toolkit::TheDialogs().MessageBox(text, caption, MB_YESNO | MB_ICONWARNING);
//     if (id == IDYES) ...
//
// Until a service is installed (SetDialogs) a headless one answers without blocking:
// OK for a plain box, No for Yes/No, Cancel otherwise, mrCancel for modal forms and
// "cancelled" for every chooser.
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace toolkit {

class TForm;

// The platform's message-box flags and answers, with their values.
enum : uint32_t {
    MB_OK = 0x00,
    MB_OKCANCEL = 0x01,
    MB_ABORTRETRYIGNORE = 0x02,
    MB_YESNOCANCEL = 0x03,
    MB_YESNO = 0x04,
    MB_RETRYCANCEL = 0x05,
    MB_ICONERROR = 0x10,
    MB_ICONQUESTION = 0x20,
    MB_ICONWARNING = 0x30,
    MB_ICONINFORMATION = 0x40,
};
constexpr uint32_t MB_ICONSTOP = MB_ICONERROR;
constexpr uint32_t MB_ICONHAND = MB_ICONERROR;
constexpr uint32_t MB_ICONEXCLAMATION = MB_ICONWARNING;
constexpr uint32_t MB_ICONASTERISK = MB_ICONINFORMATION;
constexpr uint32_t MB_TYPEMASK = 0x0F;
constexpr uint32_t MB_ICONMASK = 0xF0;

enum : int { IDOK = 1, IDCANCEL = 2, IDABORT = 3, IDRETRY = 4, IDIGNORE = 5, IDYES = 6, IDNO = 7 };

struct FileDialogOptions {
    std::string title;
    std::string filter;      // "Image File *.IMG|*.IMG" as the forms give it
    std::string defaultExt;  // "IMG"
    std::string initialDir;
    std::string fileName;    // proposed name (save)
    bool multiSelect = false;
};

class Dialogs {
public:
    virtual ~Dialogs() = default;
    // Returns the id of the button pressed (IDOK, IDYES, ...).
    virtual int MessageBox(const std::string& text, const std::string& caption, uint32_t flags) = 0;
    // Shows the form modally; returns its modal result.
    virtual int ShowModal(TForm& form) = 0;
    // The chosen files, empty when cancelled.
    virtual std::vector<std::string> OpenFiles(const FileDialogOptions& options) = 0;
    virtual std::optional<std::string> SaveFile(const FileDialogOptions& options) = 0;
    virtual std::optional<std::string> ChooseFolder(const std::string& title, const std::string& startDir) = 0;
};

// The installed service (the headless one when none is installed).
Dialogs& TheDialogs();
// Installs a service for the whole process; null restores the headless one.
void SetDialogs(Dialogs* dialogs);

// For tests: answers come from queues; everything asked is recorded.
class ScriptedDialogs : public Dialogs {
public:
    struct Asked {
        enum Kind { Message, Modal, Open, Save, Folder } kind;
        std::string text;     // message text, form name, or title
        std::string caption;  // message caption, or filter / start folder
        uint32_t flags = 0;
    };

    // Queued answers, used first in, first out. When a queue is empty the headless
    // answer is given.
    void QueueMessageAnswer(int id);
    void QueueModalResult(int result);
    void QueueOpenFiles(std::vector<std::string> files);
    void QueueSaveFile(std::optional<std::string> file);
    void QueueFolder(std::optional<std::string> folder);
    // Runs while a form is "shown" (to set its controls and press its buttons); its
    // return value is the modal result, unless a queued result is waiting.
    std::function<int(TForm&)> onShowModal;

    std::vector<Asked> Log() const;
    std::vector<Asked> Messages() const;  // the message boxes only
    void Clear();

    int MessageBox(const std::string& text, const std::string& caption, uint32_t flags) override;
    int ShowModal(TForm& form) override;
    std::vector<std::string> OpenFiles(const FileDialogOptions& options) override;
    std::optional<std::string> SaveFile(const FileDialogOptions& options) override;
    std::optional<std::string> ChooseFolder(const std::string& title, const std::string& startDir) override;

private:
    mutable std::mutex mutex_;
    std::vector<Asked> log_;
    std::deque<int> messageAnswers_;
    std::deque<int> modalResults_;
    std::deque<std::vector<std::string>> openFiles_;
    std::deque<std::optional<std::string>> saveFiles_;
    std::deque<std::optional<std::string>> folders_;
};

// The answer a box gets when nobody can be asked.
int HeadlessAnswer(uint32_t flags);

} // namespace toolkit
