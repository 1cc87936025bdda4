// mptool: the production tool's main window with its devices.
//
//   mptool [--station DIR] [--simulate N] [--exit-when-done] [--screenshot FILE]
//          [--time-limit SECONDS] [--help]
//
// --station DIR     the program folder (misc/, flash/, log/ ...); default: the executable's
// --simulate N      plug N simulated devices once the window shows, instead of watching
//                   the USB disks through udev
// --exit-when-done  unattended run: message boxes are logged instead of shown, and the
//                   program closes its window when every device has a result or a
//                   failed arrival; the exit status is 1 when any device failed or none ran
// --screenshot FILE save a picture of the window before an unattended run ends
// --time-limit S    an unattended run ends after S seconds whatever the devices do
#include "app/UnattendedEnd.h"
#include "device/HostUtil.h"
#include "platform/DeviceAccess.h"
#include "platform/DriveMap.h"
#include "platform/ProgramDir.h"
#include "platform/SgIoTransport.h"
#include "platform/UdevMonitor.h"
#include "sim/Profiles.h"
#include "sim/SimBus.h"
#include "text/LangStrings.h"
#include "toolkit/Dialogs.h"
#include "toolkit/TThread.h"
#include "ui/Language.h"
#include "ui/SettingDlg.h"
#include "ui/Unit2.h"
#include "ui/Unit3.h"
#include "ui/isomain.h"
#include "ui/main.h"
#include "view/Guard.h"
#include "view/MainWindow.h"
#include "view/QtDialogs.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPixmap>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <string>


namespace {

struct Options {
    bool help = false;
    std::string station;
    int simulate = 0;
    bool exitWhenDone = false;
    std::string screenshot;
    int timeLimitSeconds = 600;
};

bool ParseOptions(int argc, char** argv, Options& o)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc)
                return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a == "--station") {
            if (!value(o.station))
                return false;
        } else if (a == "--simulate") {
            if (!value(v))
                return false;
            o.simulate = std::atoi(v.c_str());
            if (o.simulate < 0 || o.simulate > 26)
                return false;
        } else if (a == "--exit-when-done") {
            o.exitWhenDone = true;
        } else if (a == "--screenshot") {
            if (!value(o.screenshot))
                return false;
        } else if (a == "--time-limit") {
            if (!value(v))
                return false;
            o.timeLimitSeconds = std::atoi(v.c_str());
        } else {
            return false;
        }
    }
    return true;
}

// Nobody watches an unattended run: boxes go to the error stream and get the answer a
// box gets when nobody can be asked.
class UnattendedDialogs : public toolkit::Dialogs {
public:
    int MessageBox(const std::string& text, const std::string& caption, uint32_t flags) override
    {
        std::cerr << "[box] " << caption << ": " << text << std::endl;
        return toolkit::HeadlessAnswer(flags);
    }
    int ShowModal(toolkit::TForm& form) override { return toolkit::mrCancel; }
    std::vector<std::string> OpenFiles(const toolkit::FileDialogOptions&) override { return {}; }
    std::optional<std::string> SaveFile(const toolkit::FileDialogOptions&) override { return std::nullopt; }
    std::optional<std::string> ChooseFolder(const std::string&, const std::string&) override { return std::nullopt; }
};

constexpr const char* kUsage =
    "usage: mptool [--station DIR] [--simulate N] [--exit-when-done] [--screenshot FILE]\n"
    "              [--time-limit SECONDS] [--help]\n"
    "\n"
    "  --station DIR     the station folder (misc/, flash/, log/ ...); default: the program's\n"
    "  --simulate N      N simulated devices instead of the USB disks seen by udev\n"
    "  --exit-when-done  unattended: boxes go to standard error, the program ends when every\n"
    "                    device has a result (exit status 1 when any failed or none ran)\n"
    "  --screenshot FILE save a picture of the window before an unattended run ends\n"
    "  --time-limit S    an unattended run ends after S seconds\n";

// Everything that can be decided without a display, before Qt starts (Qt stops the
// program with its own advice when it finds no display). Returns the exit status, or -1
// to go on.
int CheckStart(int argc, char** argv, Options& options)
{
    if (!ParseOptions(argc, argv, options)) {
        std::cerr << kUsage;
        return 2;
    }
    if (options.help) {
        std::cout << kUsage;
        return 0;
    }
    if (!options.station.empty()) {
        std::error_code error;
        const std::filesystem::path station = std::filesystem::absolute(options.station, error);
        if (error || !std::filesystem::is_directory(station, error)) {
            std::cerr << "mptool: the station folder " << options.station << " does not exist\n";
            return 2;
        }
        platform::SetProgramDir(station.lexically_normal().string());
    }
    const char* platformName = std::getenv("QT_QPA_PLATFORM");
    const bool ownDisplay = platformName && *platformName && std::string(platformName).rfind("xcb", 0) != 0 &&
                            std::string(platformName).rfind("wayland", 0) != 0;
    const char* x = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if (!ownDisplay && !(x && *x) && !(wayland && *wayland)) {
        std::cerr << "mptool: no display (neither DISPLAY nor WAYLAND_DISPLAY is set); start it in a "
                     "desktop session or under xvfb-run\n";
        return 2;
    }
    return -1;
}

// Devices: the simulator's bus (its devices are plugged once the window shows) or the USB
// disks seen by udev. Either posts its arrivals and removals to the window.
void WatchDevices(view::MainWindow& window, const Options& options, std::unique_ptr<sim::SimBus>& bus,
                  std::unique_ptr<platform::UdevMonitor>& udev)
{
    if (options.simulate > 0) {
        std::string disks = platform::ProgramPath("sim-disks");
        QDir().mkpath(QString::fromStdString(disks));
        bus = std::make_unique<sim::SimBus>(disks);
        bus->setVolumeCallback([&window](bool arrival, uint32_t mask) { window.postDeviceChange(arrival, mask); });
        return;
    }
    // A device the process may not drive is said once, in the event log as well.
    platform::SetDeviceAccessReporter([](const std::string& text) { AppendLog(text); });
    udev = std::make_unique<platform::UdevMonitor>(
        platform::DriveMap::global(),
        [](const std::string& node) -> std::shared_ptr<platform::ScsiTransport> {
            return platform::SgIoTransport::open(node);
        },
        [&window](bool arrival, uint32_t mask) { window.postDeviceChange(arrival, mask); });
    if (udev->start()) {
        auto* notifier = new QSocketNotifier(udev->fd(), QSocketNotifier::Read, &window);
        platform::UdevMonitor* monitor = udev.get();
        QObject::connect(notifier, &QSocketNotifier::activated, &window, [monitor] { monitor->poll(); });
    } else {
        std::cerr << "udev is not available: no USB disk will be seen\n";
    }
}

void SaveScreenshot(view::MainWindow& window, const std::string& path)
{
    QPixmap picture = window.grab();
    if (!picture.save(QString::fromStdString(path)))
        std::cerr << "cannot save the screenshot to " << path << "\n";
}

// An unattended run ends (through finish, with its exit status) once every device has a
// result or a failed arrival, or with status 1 when the time limit passes first.
void EndWhenSettled(QTimer& watch, QElapsedTimer& elapsed, view::MainWindow& window, TForm1& form,
                    const Options& options, std::function<void(int)> finish)
{
    elapsed.start();
    QObject::connect(&watch, &QTimer::timeout, &window, [&watch, &elapsed, &window, &form, &options, finish] {
        const DeviceTally tally = DeviceTallyOf(form, options.simulate);
        if (EveryDeviceSettled(tally)) {
            watch.stop();
            const int code = UnattendedExitCode(tally);
            if (code != 0)
                std::cerr << "mptool: " << tally.failed + tally.failedArrivals << " of " << tally.plugged
                          << " devices failed\n";
            // One more turn of the loop so the last captions are on screen.
            QTimer::singleShot(200, &window, [finish, code] { finish(code); });
        } else if (elapsed.elapsed() > options.timeLimitSeconds * 1000LL) {
            watch.stop();
            std::cerr << "time limit reached before every device had a result\n";
            // The close would wait for the running devices; the lists and settings are
            // saved now, as a close saves them, before the program ends without them.
            if (form.DevicesRunning())
                form.FormClose(&form);
            finish(1);
        }
    });
    watch.start(250);
}

int Run(QApplication& app, const Options& options)
{
    // Every path of the program goes through the program folder; the working directory
    // follows it too, so outside tools started from here see the same folder.
    QDir::setCurrent(QString::fromStdString(platform::ProgramDir()));

    toolkit::Application->SetTitle("6205 Vorpane v2.0");
    InitLanguageStrings();
    view::InstallUiThread();
    view::InstallQtTranslations(GetSystemDefaultLangID());
    view::QtDialogs qtDialogs;
    UnattendedDialogs unattended;
    toolkit::SetDialogs(options.exitWhenDone ? static_cast<toolkit::Dialogs*>(&unattended) : &qtDialogs);

    auto form = std::make_unique<TForm1>();
    if (form->TerminateRequested()) {
        // Another instance runs in this station folder and has been asked to come to the
        // front; this one ends without saving anything.
        std::cerr << "mptool already runs for " << platform::ProgramDir() << "\n";
        return 0;
    }

    // The other forms, created hidden in their order; each is its own global.
    auto setting = std::make_unique<TfrmSetting>();
    auto isoMain = std::make_unique<TfrmIsoMain>();
    auto form2 = std::make_unique<TForm2>();
    auto form3 = std::make_unique<TForm3>();
    form->SettingForm = setting.get();

    view::MainWindow window(*form);

    std::unique_ptr<sim::SimBus> bus;
    std::unique_ptr<platform::UdevMonitor> udev;
    WatchDevices(window, options, bus, udev);

    window.start();

    // A terminate signal (SIGTERM, logout) ends the program even behind an open box, with
    // an "interrupted" line for every device still running.
    window.exitOnTerminationSignals();

    if (bus) {
        QTimer::singleShot(300, &window, [&bus, &options] {
            for (int i = 0; i < options.simulate; ++i)
                bus->plug(sim::Nand128M(), static_cast<uint8_t>(i + 1));
        });
    }

    int exitCode = 0;
    auto finish = [&](int code) {
        exitCode = code;
        if (!options.screenshot.empty())
            SaveScreenshot(window, options.screenshot);
        // With devices still running (a time limit) the close would only ask and wait: the
        // lists and settings are saved already. exit() ends the loop without asking the
        // window again, as quit() would.
        if (!form->DevicesRunning())
            window.close();
        QApplication::exit(code);
    };
    QTimer watch;
    QElapsedTimer elapsed;
    if (options.exitWhenDone)
        EndWhenSettled(watch, elapsed, window, *form, options, finish);

    int loop = app.exec();
    if (exitCode == 0)
        exitCode = loop;
    std::cout.flush();
    std::cerr.flush();
    if (toolkit::TThread::ActiveCount() > 0) {
        // Production threads are not stopped when the window closes; they end with the
        // process. The lists and settings are saved already.
        std::_Exit(exitCode);
    }
    bus.reset();
    toolkit::SetDialogs(nullptr);
    return exitCode;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (const int status = CheckStart(argc, argv, options); status >= 0)
        return status;
    // Its notify shows an exception from any event in the standard box; the loop goes on.
    view::Application app(argc, argv);
    try {
        return Run(app, options);
    } catch (const std::exception& e) {
        // The standard exception box: the message, the program's title, a stop icon.
        std::cerr << "6205 Vorpane v2.0: " << e.what() << "\n";
        bool unattended = false;
        for (int i = 1; i < argc; ++i)
            unattended = unattended || std::string(argv[i]) == "--exit-when-done";
        if (!unattended)
            QMessageBox::critical(nullptr, "6205 Vorpane v2.0", QString::fromUtf8(e.what()));
        return 0;
    }
}
