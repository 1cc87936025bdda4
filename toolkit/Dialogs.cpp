// The dialog service and its scripted stand-in for tests.
#include "toolkit/Dialogs.h"

#include "toolkit/Controls.h"

#include <atomic>
#include <cstdio>

namespace toolkit {

int HeadlessAnswer(uint32_t flags)
{
    switch (flags & MB_TYPEMASK) {
    case MB_OK:
        return IDOK;
    case MB_YESNO:
        return IDNO;
    case MB_ABORTRETRYIGNORE:
        return IDABORT;
    default:
        return IDCANCEL;
    }
}

namespace {

// Without a display nothing may block: boxes go to standard error and get the safe answer.
class HeadlessDialogs : public Dialogs {
public:
    int MessageBox(const std::string& text, const std::string& caption, uint32_t flags) override
    {
        std::fprintf(stderr, "[%s] %s\n", caption.c_str(), text.c_str());
        return HeadlessAnswer(flags);
    }
    int ShowModal(TForm& form) override { return mrCancel; }
    std::vector<std::string> OpenFiles(const FileDialogOptions&) override { return {}; }
    std::optional<std::string> SaveFile(const FileDialogOptions&) override { return std::nullopt; }
    std::optional<std::string> ChooseFolder(const std::string&, const std::string&) override { return std::nullopt; }
};

HeadlessDialogs g_headless;
std::atomic<Dialogs*> g_dialogs{nullptr};

} // namespace

Dialogs& TheDialogs()
{
    Dialogs* d = g_dialogs.load();
    return d ? *d : g_headless;
}

void SetDialogs(Dialogs* dialogs)
{
    g_dialogs.store(dialogs);
}

int TForm::ShowModal()
{
    SetModalResult(mrNone);
    int result = TheDialogs().ShowModal(*this);
    SetModalResult(result);
    return result;
}

// ---- ScriptedDialogs ----

void ScriptedDialogs::QueueMessageAnswer(int id)
{
    std::lock_guard lock(mutex_);
    messageAnswers_.push_back(id);
}

void ScriptedDialogs::QueueModalResult(int result)
{
    std::lock_guard lock(mutex_);
    modalResults_.push_back(result);
}

void ScriptedDialogs::QueueOpenFiles(std::vector<std::string> files)
{
    std::lock_guard lock(mutex_);
    openFiles_.push_back(std::move(files));
}

void ScriptedDialogs::QueueSaveFile(std::optional<std::string> file)
{
    std::lock_guard lock(mutex_);
    saveFiles_.push_back(std::move(file));
}

void ScriptedDialogs::QueueFolder(std::optional<std::string> folder)
{
    std::lock_guard lock(mutex_);
    folders_.push_back(std::move(folder));
}

std::vector<ScriptedDialogs::Asked> ScriptedDialogs::Log() const
{
    std::lock_guard lock(mutex_);
    return log_;
}

std::vector<ScriptedDialogs::Asked> ScriptedDialogs::Messages() const
{
    std::lock_guard lock(mutex_);
    std::vector<Asked> out;
    for (const auto& a : log_)
        if (a.kind == Asked::Message)
            out.push_back(a);
    return out;
}

void ScriptedDialogs::Clear()
{
    std::lock_guard lock(mutex_);
    log_.clear();
    messageAnswers_.clear();
    modalResults_.clear();
    openFiles_.clear();
    saveFiles_.clear();
    folders_.clear();
}

int ScriptedDialogs::MessageBox(const std::string& text, const std::string& caption, uint32_t flags)
{
    std::lock_guard lock(mutex_);
    log_.push_back({Asked::Message, text, caption, flags});
    if (messageAnswers_.empty())
        return HeadlessAnswer(flags);
    int id = messageAnswers_.front();
    messageAnswers_.pop_front();
    return id;
}

int ScriptedDialogs::ShowModal(TForm& form)
{
    std::function<int(TForm&)> handler;
    {
        std::lock_guard lock(mutex_);
        log_.push_back({Asked::Modal, form.Name(), form.Caption(), 0});
        handler = onShowModal;
    }
    form.SetVisible(true);
    form.DoShow();
    // The handler runs without our lock: it may open boxes of its own.
    int result = handler ? handler(form) : mrCancel;
    form.SetVisible(false);
    std::lock_guard lock(mutex_);
    if (!modalResults_.empty()) {
        result = modalResults_.front();
        modalResults_.pop_front();
    }
    return result;
}

std::vector<std::string> ScriptedDialogs::OpenFiles(const FileDialogOptions& options)
{
    std::lock_guard lock(mutex_);
    log_.push_back({Asked::Open, options.title, options.filter, options.multiSelect ? 1u : 0u});
    if (openFiles_.empty())
        return {};
    auto files = std::move(openFiles_.front());
    openFiles_.pop_front();
    return files;
}

std::optional<std::string> ScriptedDialogs::SaveFile(const FileDialogOptions& options)
{
    std::lock_guard lock(mutex_);
    log_.push_back({Asked::Save, options.title, options.filter, 0});
    if (saveFiles_.empty())
        return std::nullopt;
    auto file = std::move(saveFiles_.front());
    saveFiles_.pop_front();
    return file;
}

std::optional<std::string> ScriptedDialogs::ChooseFolder(const std::string& title, const std::string& startDir)
{
    std::lock_guard lock(mutex_);
    log_.push_back({Asked::Folder, title, startDir, 0});
    if (folders_.empty())
        return std::nullopt;
    auto folder = std::move(folders_.front());
    folders_.pop_front();
    return folder;
}

} // namespace toolkit
