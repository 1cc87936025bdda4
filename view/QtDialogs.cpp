// The dialogs service over Qt.
#include "view/QtDialogs.h"

#include "toolkit/Controls.h"
#include "toolkit/TThread.h"
#include "ui/Language.h"
#include "view/FormDialog.h"

#include <QApplication>
#include <QFileDialog>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QMetaObject>
#include <QThread>
#include <QTranslator>

using namespace toolkit;

namespace view {

namespace {

QString Q(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<int>(s.size())); }
std::string S(const QString& s) { return s.toUtf8().toStdString(); }

QWidget* ActiveParent() { return QApplication::activeWindow(); }

// Runs fn on the GUI thread and waits for its result.
template <class T, class F>
T OnGuiThread(F fn)
{
    if (!qApp || QThread::currentThread() == qApp->thread())
        return fn();
    T result{};
    QMetaObject::invokeMethod(qApp, [&] { result = fn(); }, Qt::BlockingQueuedConnection);
    return result;
}

} // namespace

std::string QtFilter(const std::string& filter)
{
    if (filter.empty())
        return {};
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t pos; (pos = filter.find('|', start)) != std::string::npos; start = pos + 1)
        parts.push_back(filter.substr(start, pos - start));
    parts.push_back(filter.substr(start));
    std::string out;
    for (size_t i = 0; i + 1 < parts.size(); i += 2) {
        std::string patterns = parts[i + 1];
        for (auto& ch : patterns)
            if (ch == ';')
                ch = ' ';
        out += (out.empty() ? "" : ";;") + parts[i] + " (" + patterns + ")";
    }
    return out;
}

int QtDialogs::MessageBox(const std::string& text, const std::string& caption, uint32_t flags)
{
    return OnGuiThread<int>([&] {
        QMessageBox box(ActiveParent());
        box.setText(Q(text));
        box.setWindowTitle(Q(caption));
        switch (flags & MB_ICONMASK) {
        case MB_ICONERROR: box.setIcon(QMessageBox::Critical); break;
        case MB_ICONQUESTION: box.setIcon(QMessageBox::Question); break;
        case MB_ICONWARNING: box.setIcon(QMessageBox::Warning); break;
        case MB_ICONINFORMATION: box.setIcon(QMessageBox::Information); break;
        default: box.setIcon(QMessageBox::NoIcon); break;
        }
        struct B { QMessageBox::StandardButton button; int id; };
        std::vector<B> buttons;
        switch (flags & MB_TYPEMASK) {
        case MB_OKCANCEL: buttons = {{QMessageBox::Ok, IDOK}, {QMessageBox::Cancel, IDCANCEL}}; break;
        case MB_ABORTRETRYIGNORE:
            buttons = {{QMessageBox::Abort, IDABORT}, {QMessageBox::Retry, IDRETRY}, {QMessageBox::Ignore, IDIGNORE}};
            break;
        case MB_YESNOCANCEL:
            buttons = {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}, {QMessageBox::Cancel, IDCANCEL}};
            break;
        case MB_YESNO: buttons = {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}}; break;
        case MB_RETRYCANCEL: buttons = {{QMessageBox::Retry, IDRETRY}, {QMessageBox::Cancel, IDCANCEL}}; break;
        default: buttons = {{QMessageBox::Ok, IDOK}}; break;
        }
        QMessageBox::StandardButtons set;
        for (const auto& b : buttons)
            set |= b.button;
        box.setStandardButtons(set);
        int pressed = box.exec();
        for (const auto& b : buttons)
            if (pressed == b.button)
                return b.id;
        return HeadlessAnswer(flags);
    });
}

int QtDialogs::ShowModal(TForm& form)
{
    return OnGuiThread<int>([&] { return FormDialog(form, ActiveParent()).run(); });
}

std::vector<std::string> QtDialogs::OpenFiles(const FileDialogOptions& options)
{
    return OnGuiThread<std::vector<std::string>>([&] {
        std::vector<std::string> out;
        QString filter = Q(QtFilter(options.filter));
        if (options.multiSelect) {
            for (const QString& f : QFileDialog::getOpenFileNames(ActiveParent(), Q(options.title), Q(options.initialDir), filter))
                out.push_back(S(f));
        } else {
            QString f = QFileDialog::getOpenFileName(ActiveParent(), Q(options.title), Q(options.initialDir), filter);
            if (!f.isEmpty())
                out.push_back(S(f));
        }
        return out;
    });
}

std::optional<std::string> QtDialogs::SaveFile(const FileDialogOptions& options)
{
    return OnGuiThread<std::optional<std::string>>([&]() -> std::optional<std::string> {
        QString start = Q(options.initialDir);
        if (!options.fileName.empty())
            start = start.isEmpty() ? Q(options.fileName) : start + "/" + Q(options.fileName);
        QFileDialog dialog(ActiveParent(), Q(options.title), start, Q(QtFilter(options.filter)));
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        if (!options.defaultExt.empty() && options.defaultExt.find('*') == std::string::npos)
            dialog.setDefaultSuffix(Q(options.defaultExt));
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return std::nullopt;
        return S(dialog.selectedFiles().first());
    });
}

std::optional<std::string> QtDialogs::ChooseFolder(const std::string& title, const std::string& startDir)
{
    return OnGuiThread<std::optional<std::string>>([&]() -> std::optional<std::string> {
        QString dir = QFileDialog::getExistingDirectory(ActiveParent(), Q(title), Q(startDir));
        if (dir.isEmpty())
            return std::nullopt;
        return S(dir);
    });
}

void InstallUiThread()
{
    SetUiDispatcher([](std::function<void()> fn) {
        QMetaObject::invokeMethod(qApp, std::move(fn), Qt::QueuedConnection);
    });
    if (Application)
        Application->SetEventPump([] { QApplication::processEvents(); });
}

} // namespace view

namespace view {

QTranslator* InstallQtTranslations(uint16_t langId)
{
    const char* name = langId == kLangIdSimplifiedChinese    ? "qtbase_zh_CN"
                       : langId == kLangIdTraditionalChinese ? "qtbase_zh_TW"
                                                             : nullptr;
    if (!name || !qApp)
        return nullptr;
    auto* translator = new QTranslator(qApp);
    if (!translator->load(name, QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete translator;
        return nullptr;
    }
    QCoreApplication::installTranslator(translator);
    return translator;
}

} // namespace view
