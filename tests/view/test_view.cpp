// The Qt view of the main window (QT_QPA_PLATFORM=offscreen): the widgets and their names,
// model changes from worker threads, the operator's input, the UI-thread dispatcher, the
// window's place, exceptions from every event path and Qt's texts in the system language.
#include "FormDriver.h"
#include "device/HostUtil.h"
#include "platform/Clock.h"
#include "platform/AtomicFile.h"
#include "platform/DriveMap.h"
#include "platform/IniFile.h"
#include "platform/PathListFile.h"
#include "platform/ProgramDir.h"
#include "platform/SingleInstance.h"
#include "sim/Profiles.h"
#include "sim/SimBus.h"
#include "sim/StationKit.h"
#include "support/ScopedLocale.h"
#include "support/TempDir.h"
#include "text/LangStrings.h"
#include "text/MessageCatalogue.h"
#include "toolkit/Dialogs.h"
#include "toolkit/TThread.h"
#include "ui/Language.h"
#include "ui/main.h"
#include "view/MainWindow.h"
#include "view/QtDialogs.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QTranslator>

#include <QTest>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

using namespace toolkit;
using testsupport::App;
using testsupport::FormDriver;

// The system's font library keeps its caches until the process ends.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig\n"; }

namespace {

// Acts on the next modal widget (a message box) once Qt shows it.
void OnNextModal(std::function<void(QWidget*)> act)
{
    QTimer::singleShot(0, [act] {
        if (QWidget* modal = QApplication::activeModalWidget())
            act(modal);
        else
            OnNextModal(act);
    });
}

// A fake clock that holds the first production thread to sleep until released, so that
// the window can be closed while a device is in production.
class HoldingClock : public platform::FakeClock {
public:
    void sleepMs(uint32_t ms) override
    {
        if (!toolkit::IsUiThread() && !holding_.exchange(true)) {
            held_ = true;
            release_.get_future().wait();
        }
        FakeClock::sleepMs(ms);
    }
    bool held() const { return held_; }
    void release() { release_.set_value(); }

private:
    std::atomic<bool> holding_{false}, held_{false};
    std::promise<void> release_;
};

class View : public ::testing::Test {
protected:
    void SetUp() override
    {
        App();
        platform::SetProgramDir(dir.path());
        SetDialogs(&dialogs);
        form = std::make_unique<TForm1>();
        window = std::make_unique<view::MainWindow>(*form);
    }
    void TearDown() override
    {
        window.reset();
        form.reset();
        SetDialogs(nullptr);
    }
    template <class T>
    T* find(const std::string& name) { return window->findChild<T*>(QString::fromStdString(name)); }
    // The window shown on a station with the kit, a device plugged and held mid-run.
    std::unique_ptr<sim::SimBus> RunHeld(HoldingClock& clock)
    {
        platform::SetClock(&clock);
        EXPECT_TRUE(sim::WriteStationKit(dir.path()));
        EXPECT_TRUE(platform::MakeDirs(dir.file("disks")));
        auto bus = std::make_unique<sim::SimBus>(dir.file("disks"));
        bus->setVolumeCallback([this](bool arrival, uint32_t mask) { window->postDeviceChange(arrival, mask); });
        window->start();
        form->TntSelectFileList2->Items()->Assign({dir.file(sim::kKitFirmware), dir.file(sim::kKitPrefer)});
        form->ScanFileList();
        bus->plug(sim::Nand128M(), 1);
        EXPECT_TRUE(QTest::qWaitFor([&] { return clock.held(); }, 20000))
            << form->D1infoStr->Caption() << "\n" << EventLog();
        return bus;
    }
    std::string EventLog() const
    {
        std::ifstream in(dir.file("log/1.txt"), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    testsupport::TempDir dir;
    ScriptedDialogs dialogs;
    std::unique_ptr<TForm1> form;
    std::unique_ptr<view::MainWindow> window;
};

} // namespace

TEST_F(View, WindowHasAWidgetForEveryControlTheFormsTitleAndOpensCentred)
{
    window->start();
    QApplication::processEvents();
    form->ForEachControl([&](TControl& c) {
        EXPECT_NE(window->formView()->widgetFor(c.Name()), nullptr) << "no widget for " << c.Name();
    });
    EXPECT_EQ(window->windowTitle().toStdString(), form->Caption());
    ASSERT_NE(window->screen(), nullptr);
    QPoint offset = window->geometry().center() - window->screen()->availableGeometry().center();
    EXPECT_LE(offset.manhattanLength(), 4) << offset.x() << "," << offset.y() << " (a frame's margins at most)";
}

TEST_F(View, CaptionAndColourChangedByAWorkerThreadReachTheLabel)
{
    std::thread worker([this] {
        auto lock = form->D3infoStr->Lock();
        form->D3infoStr->SetCaption("FSM Loadfail");
        form->D3infoStr->Font()->SetColor(clRed);
        for (int i = 0; i <= 40; ++i)
            form->ProgressBar3->SetProgress(i);
    });
    worker.join();
    auto* label = find<QLabel>("D3infoStr");
    EXPECT_EQ(label->text(), "Wait...") << "applied on the GUI thread only";
    QApplication::processEvents();
    EXPECT_EQ(label->text(), "FSM Loadfail");
    EXPECT_EQ(label->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    EXPECT_EQ(find<QProgressBar>("ProgressBar3")->value(), 40);
}

TEST_F(View, OperatorsActionsShowOnScreenAsInTheModel)
{
    // A firmware of 600 KiB and a prefer file take 1.5 MiB, an image 3 MiB more.
    const std::string fw = dir.file("fw.bin"), prefer = dir.file("prefer.dat"), iso = dir.file("image.iso");
    const std::string deep = dir.file(std::string(128 - dir.file("").size(), 'p'));  // 128 characters: the limit
    for (const auto& [path, size] : {std::pair{fw, 600u << 10}, {prefer, 1u}, {iso, 3u << 20}, {deep, 1u}, {deep + "x", 1u}}) {
        dir.write(path.substr(dir.file("").size()), "");
        std::filesystem::resize_file(path, size);
    }
    window->start();
    FormDriver d(*form, *window->formView(), *window);
    d.settle();
    dialogs.Clear();
    d.run({
        {"add a firmware, a prefer file and an image", [&](FormDriver& d) {
             dialogs.QueueOpenFiles({fw, prefer, iso, deep});
             d.click("AddFilesBtn");
         },
         {{"TntSelectFileList2", fw + "|" + prefer + "|" + iso + "|" + deep}, {"labSystemArea", "System Area Size: 8MB"}}},
        {"ISO upgrade: the image counts", [](FormDriver& d) { d.click("chkISOupgrade"); },
         {{"chkISOupgrade", "[x]"}, {"labSystemArea", "System Area Size: 12MB"}}},
        {"a path past 128 characters: the box names it", [&](FormDriver& d) {
             EXPECT_TRUE(dialogs.Messages().empty());
             dialogs.QueueOpenFiles({deep + "x"});
             d.click("AddFilesBtn");
             ASSERT_EQ(dialogs.Messages().size(), 1u);
             EXPECT_EQ(dialogs.Messages()[0].text, "Length of Filepath exceeds 128!\n" + deep + "x");
         },
         {}},
        {"opens with Auto", nullptr,
         {{"TntRdoLangAuto", "[x]"}, {"TntRdoLangEng", "[ ]"}, {"#open", "yes"}, {"D1infoStr", "Waiting device..."}, {"Upgradebtn.enabled", "no"}}},
        {"click the checked Auto", [](FormDriver& d) { d.click("TntRdoLangAuto"); },
         {{"TntRdoLangAuto", "[x]"}, {"TntRdoLangSC", "[ ]"}}},
        {"click English", [](FormDriver& d) { d.click("TntRdoLangEng"); },
         {{"TntRdoLangEng", "[x]"}, {"TntRdoLangAuto", "[ ]"}, {"btnSetup", "AdvanceSetting..."}}},
        {"click English again", [](FormDriver& d) { d.click("TntRdoLangEng"); },
         {{"TntRdoLangEng", "[x]"}, {"TntRdoLangTC", "[ ]"}}},
        {"click Simplified", [](FormDriver& d) { d.click("TntRdoLangSC"); },
         {{"TntRdoLangSC", "[x]"}, {"TntRdoLangEng", "[ ]"}, {"labDiskFeature", "\xE4\xB8\x80\xE8\x88\xAC\xE7\xA2\x9F"}}},
        {"click Format", [](FormDriver& d) { d.click("chkFormat"); }, {{"chkFormat", "[x]"}}},
        {"Blanking Check, then Clear FLASH: never both", [](FormDriver& d) { d.click("chkBlankCheck"); d.click("chkClearFlash"); },
         {{"chkClearFlash", "[x]"}, {"chkBlankCheck", "[ ]"}}},
        {"Blanking Check again", [](FormDriver& d) { d.click("chkBlankCheck"); }, {{"chkBlankCheck", "[x]"}, {"chkClearFlash", "[ ]"}}},
        {"manual mode", [](FormDriver& d) { d.click("CheckManuupgrade"); },
         {{"CheckManuupgrade", "[x]"}, {"Upgradebtn.enabled", "yes"}}},
        {"fixed system area", [](FormDriver& d) { d.click("SystemAreachk"); },
         {{"SystemAreachk", "[x]"}, {"SystemAreaComBo.enabled", "yes"}}},
        {"pick 4MB", [](FormDriver& d) { d.pick("SystemAreaComBo", 0); }, {{"SystemAreaComBo", "4MB"}}},
        {"the largest is 128MB", [](FormDriver& d) { d.key("SystemAreaComBo", Qt::Key_End); }, {{"SystemAreaComBo", "128MB"}}},
        {"the model picks 8MB", [this](FormDriver&) { form->SystemAreaComBo->SetItemIndex(1); }, {{"SystemAreaComBo", "8MB"}}},
        {"type a label", [](FormDriver& d) { d.type("LabelEdit", "vol_2"); }, {{"LabelEdit", "vol_2"}}},
        {"three files listed", [this](FormDriver&) { form->TntSelectFileList2->Items()->Assign({"/a", "/b", "/c"}); },
         {{"TntSelectFileList2", "/a|/b|/c"}}},
        {"remove the first and the last", [](FormDriver& d) {
             d.clickItem("TntSelectFileList2", 0);
             d.clickItem("TntSelectFileList2", 2, true);
             d.click("RemoveBtn");
         },
         {{"TntSelectFileList2", "/b"}}},
        {"click in the label edit", [](FormDriver& d) { d.click("LabelEdit"); }, {{"LabelEdit", "vol_2"}}},
        {"Escape", [](FormDriver& d) { d.escape(); }, {{"#open", "yes"}}},
    });
}

// A language click redraws the window in the new language and keeps what each panel says
// about its device: a finished result with its reason, gauge and flash line, a device that
// waits for the manual start (which "Start Upgrade" still starts), and the system-area size.
TEST_F(View, LanguageClickKeepsWhatThePanelsSay)
{
    ASSERT_TRUE(sim::WriteStationKit(dir.path()));  // lang.ini with the three sections
    std::vector<std::pair<char, int>> started;
    form->StartThread = [&](char drive, int slot) { started.emplace_back(drive, slot); };
    window->start();
    FormDriver d(*form, *window->formView(), *window);
    d.settle();
    const std::string flash = "ID:ECD514B674 SAMSUNG K9GAG08U0E 2GMLC";
    d.run({
        {"manual mode", [](FormDriver& d) { d.click("CheckManuupgrade"); }, {{"Upgradebtn", "Start Upgrade"}}},
        {"a failed device and one waiting for the manual start", [&](FormDriver&) {
             auto lock = form->D1infoStr->Lock();
             form->DeviceSlots[0].drive = 'D';
             form->D1infoStr->SetCaption(SetLabelStr + " " + FailMsg.get());
             form->D1infoStr->Font()->SetColor(clRed);
             form->ProgressBar1->SetVisible(true);
             form->ProgressBar1->SetProgress(75);
             form->TextF1->SetCaption(flash);
             form->DeviceSlots[1].drive = 'E';
             form->D2infoStr->SetCaption(DevicePluginStr.get());
         },
         {{"D1infoStr", "Set Volume Label fail"}, {"D2infoStr", "device plugin"}, {"labSystemArea", "System Area Size: 4MB"}}},
        {"Simplified Chinese", [](FormDriver& d) { d.click("TntRdoLangSC"); },
         {{"D1infoStr", "设置卷标 失败"}, {"ProgressBar1", "75"}, {"TextF1", flash}, {"D2infoStr", "设备已插入"},
          {"D3infoStr", "等待设备..."}, {"Upgradebtn", "开始升级"}, {"labSystemArea", "系统区大小: 4MB"}}},
        {"Traditional Chinese", [](FormDriver& d) { d.click("TntRdoLangTC"); },
         {{"D1infoStr", "設定磁碟標籤 失敗"}, {"D2infoStr", "裝置已插入"}, {"D8infoStr", "等待裝置..."}, {"Upgradebtn", "開始升級"}}},
        {"the manual start starts the waiting device; the choice is remembered", [](FormDriver& d) {
             d.click("Upgradebtn");
             EXPECT_EQ(RegReadInteger(kLanguageRegistryKey, kLanguageRegistryValue, -1), 3);
         },
         {}},
        {"English again", [](FormDriver& d) { d.click("TntRdoLangEng"); },
         {{"D1infoStr", "Set Volume Label fail"}, {"labSystemArea", "System Area Size: 4MB"}, {"Upgradebtn", "Start Upgrade"}}},
    });
    EXPECT_EQ(form->D1infoStr->Font()->Color(), clRed);
    EXPECT_EQ(RegReadInteger(kLanguageRegistryKey, kLanguageRegistryValue, -1), 1);
    EXPECT_EQ(started, (std::vector<std::pair<char, int>>{{'E', 1}}));
}

// The volume label every device takes is checked when the operator leaves the field, in
// the station's code page: the box names the length or the character.
TEST_F(View, VolumeLabelIsCheckedWhenTheOperatorLeavesIt)
{
    window->start();
    FormDriver d(*form, *window->formView(), *window);
    d.settle();
    dialogs.Clear();  // the missing loader of this bare station
    auto boxes = [this] {
        std::vector<std::string> texts;
        for (const auto& box : dialogs.Messages())
            texts.push_back(box.text + "|" + box.caption);
        dialogs.Clear();
        return texts;
    };
    const struct { const char* locale; const char* label; const char* box; } rows[] = {
        {"C", "ABCDEFGHIJKLMNOP", "The volume label \"ABCDEFGHIJKLMNOP\" cannot be used: it is 16 bytes in code page 437, "
                                  "longer than the 11 bytes a FAT label holds|Warning"},
        {"C", "中文", "The volume label \"中文\" cannot be used: code page 437 cannot hold '中'|Warning"},
        {"zh_CN.UTF-8", "中文", nullptr},
        {"zh_CN.UTF-8", "学习中文标签", "The volume label \"学习中文标签\" cannot be used: it is 12 bytes in code page 936 (GBK), "
                                        "longer than the 11 bytes a FAT label holds|Warning"},
        {"C", "my_audio", nullptr},
    };
    testsupport::ScopedLocale locale("C");
    for (const auto& row : rows) {
        locale.set(row.locale);
        d.clear("LabelEdit");
        d.type("LabelEdit", row.label);
        d.key("LabelEdit", Qt::Key_Return);
        d.settle();
        EXPECT_EQ(boxes(), row.box ? std::vector<std::string>{row.box} : std::vector<std::string>{}) << row.label;
        EXPECT_EQ(form->LabelEdit->Text(), row.label) << "the operator's text stays to be mended";
    }
}

// The window started over a station's files: each list as stored less what is gone since
// (files and folders kept; the dropped entries named in one box and the event log, the list
// as it was kept beside it), the label an earlier tool stored in GBK, an image that exists
// kept at the first paint; the close writes each list back byte for byte, and a second
// start finds nothing gone.
TEST_F(View, StartsOverTheStationsFilesAndClosesThemBack)
{
    testsupport::ScopedLocale locale("zh_CN.UTF-8");
    for (const char* name : {"fw.bin", "prefer.dat", "music/a.mp3", "hidden/h.txt", "spi/s.bin", "disk.img", "misc/FSM01.BIN"})
        dir.write(name, "x");
    const std::vector<std::string> copy = {dir.file("fw.bin"), dir.file("music"), dir.file("prefer.dat")};
    const std::vector<std::string> hidden = {dir.file("hidden/h.txt"), dir.file("hidden")}, spi = {dir.file("spi/s.bin")};
    const std::string gone = dir.file("share/gone.mp3");  // an unmounted share
    const struct { const char* file; std::vector<std::string> stored, kept; } lists[] = {
        {"misc/seting.ini", {copy[0], gone, copy[1], copy[2]}, copy},
        {"misc/hideseting.ini", hidden, hidden},
        {"misc/spiseting.ini", {gone, spi[0]}, spi},
    };
    for (const auto& list : lists)
        dir.write(list.file, platform::PathListFile::Encode(list.stored));
    dir.write("misc/prefer.ini", "[MP_Setting]\r\nLabel=\xD1\xA7\xCF\xB0\r\neDeviceFeature=2\r\nbUseImgFile=1\r\nImageFile=" +
                                     dir.file("disk.img") + "\r\n");
    window->start();
    FormDriver d(*form, *window->formView(), *window);
    d.settle();
    window->repaint();
    d.settle();
    d.run({{"opens", nullptr, {{"TntSelectFileList2", copy[0] + "|" + copy[1] + "|" + copy[2]}, {"LabelEdit", "学习"}, {"#open", "yes"}}}});
    EXPECT_EQ(form->HideFileList.ToVector(), hidden);
    EXPECT_EQ(form->SpiFileList.ToVector(), spi);
    EXPECT_EQ(std::make_pair(form->iProgramIndex.load(), form->iPreferIndex.load()), std::make_pair(0, 2));
    EXPECT_EQ(form->ImageFile, dir.file("disk.img")) << "an image that exists stays";
    const std::string seting = dir.file("misc/seting.ini"), spiList = dir.file("misc/spiseting.ini");
    ASSERT_EQ(dialogs.Messages().size(), 1u) << "one box, no image warning";
    EXPECT_EQ(dialogs.Messages()[0].text,
              "These entries of " + seting + " do not exist and were dropped:\n" + gone + "\nThe previous list is kept in " + seting +
                  ".old.\n\nThese entries of " + spiList + " do not exist and were dropped:\n" + gone +
                  "\nThe previous list is kept in " + spiList + ".old.");
    EXPECT_NE(EventLog().find("Dropped from " + seting + ": " + gone + "\r\n"), std::string::npos);
    window->close();
    for (const auto& list : lists) {
        EXPECT_EQ(dir.read(list.file), platform::PathListFile::Encode(list.kept)) << list.file;
        const bool dropped = list.stored != list.kept;
        EXPECT_EQ(std::filesystem::exists(dir.file(std::string(list.file) + ".old")), dropped) << list.file;
        if (dropped)
            EXPECT_EQ(dir.read(std::string(list.file) + ".old"), platform::PathListFile::Encode(list.stored)) << list.file;
    }
    EXPECT_EQ(platform::IniFile(dir.file("misc/prefer.ini")).ReadString("MP_Setting", "Label", ""), "学习");
    // A second start finds nothing gone: no box, and every list is written back as it was read.
    const std::string before = dir.read("misc/seting.ini");
    dialogs.Clear();
    window.reset();
    form.reset();
    form = std::make_unique<TForm1>();
    form->FormShow(form.get());
    EXPECT_EQ(form->TntSelectFileList2->Items()->ToVector(), copy);
    EXPECT_TRUE(dialogs.Messages().empty());
    form->FormClose(form.get());
    EXPECT_EQ(dir.read("misc/seting.ini"), before);
}

// Every way an event reaches the forms' code: an exception is shown in the standard box
// with the application's title, and the program goes on.
TEST_F(View, ExceptionFromAnyEventPathIsShownAndTheProgramGoesOn)
{
    auto fail = [](const char* what) { return [what](auto&&...) -> int { throw std::runtime_error(what); }; };
    // A device arrival reaches the form through the same queued call as in the program.
    platform::FakeClock clock;
    platform::SetClock(&clock);
    ASSERT_TRUE(sim::WriteStationKit(dir.path()));
    ASSERT_TRUE(platform::MakeDirs(dir.file("disks")));
    sim::SimBus bus(dir.file("disks"));
    std::shared_ptr<sim::SimulatedDevice> device;
    bus.setVolumeCallback([this](bool arrival, uint32_t mask) { window->postDeviceChange(arrival, mask); });
    form->StartThread = fail("device event");
    form->OnShow = [&](TControl* s) {
        form->FormShow(s);
        form->eDeviceFeature = 1;  // an image disk whose image is missing: the first paint asks
        form->bUseImgFile = true;
        throw std::runtime_error("first show");
    };
    form->OnClose = fail("close");
    TForm settings("frmSetting");
    form->SettingForm = &settings;  // the first paint opens it when the image is missing
    dialogs.onShowModal = fail("first paint");
    form->btnSetup->OnClick = fail("widget input");
    struct Path { const char* what; std::function<void()> trigger; } paths[] = {
        {"first show", [&] { window->start(); }},
        {"first paint", [&] { window->repaint(); }},
        {"widget input", [&] { find<QPushButton>("btnSetup")->click(); }},
        {"timer", [&] { QTimer::singleShot(0, fail("timer")); }},
        {"queued call", [&] { QMetaObject::invokeMethod(qApp, fail("queued call"), Qt::QueuedConnection); }},
        {"device event", [&] { device = bus.plug(sim::Nand128M(), 1); }},
        {"close", [&] { window->close(); }},
    };
    for (const Path& path : paths) {
        dialogs.Clear();
        path.trigger();
        for (int i = 0; i < 5 && dialogs.Messages().empty(); ++i)
            FormDriver::settle();
        auto boxes = dialogs.Messages();
        ASSERT_FALSE(boxes.empty()) << path.what;
        // The application's title: the language's title text once the window is shown.
        EXPECT_EQ(boxes.back().text + "|" + boxes.back().caption, std::string(path.what) + "|MP3 Mass Production Tool");
        EXPECT_EQ(boxes.back().flags, MB_OK | MB_ICONERROR);
        EXPECT_TRUE(window->isVisible()) << path.what;
    }
    form->OnClose = nullptr;
    window->close();
    EXPECT_FALSE(window->isVisible()) << "a close that succeeds closes";
    bus.unplug(device);
    FormDriver::settle();
    platform::SetClock(nullptr);
    platform::DriveMap::global().clear();
}

TEST(QtTranslations, BoxButtonsFollowTheSystemLanguage)
{
    App();
    EXPECT_EQ(view::InstallQtTranslations(kLangIdEnglish), nullptr) << "English needs none";
    const struct { uint16_t id; const char* cancel; } rows[] = {
        {kLangIdSimplifiedChinese, "\xE5\x8F\x96\xE6\xB6\x88"},   // 取消
        {kLangIdTraditionalChinese, "\xE5\x8F\x96\xE6\xB6\x88"},  // 取消
    };
    for (const auto& row : rows) {
        QTranslator* t = view::InstallQtTranslations(row.id);
        ASSERT_NE(t, nullptr) << "Qt's translations are installed (scripts/deps)";
        QMessageBox box;
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::Cancel);
        EXPECT_TRUE(box.button(QMessageBox::Cancel)->text().startsWith(QString::fromUtf8(row.cancel))) << row.id;
        QCoreApplication::removeTranslator(t);
        delete t;
    }
}

TEST_F(View, SecondStartAsksTheWindowToComeToTheFront)
{
    ASSERT_NE(form->hInstanceMutex, nullptr);
    int raised = 0;
    form->OnRaiseRequest = [&] { ++raised; };
    platform::SingleInstance second("MP3 Tool", dir.path());
    ASSERT_TRUE(second.CheckPreviousInstance());
    // The request arrives on the window's socket notifier; wait for that event only.
    for (int i = 0; i < 50 && raised == 0; ++i)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    EXPECT_EQ(raised, 1);
}

TEST(QtDialogsService, MessageBoxAnswersWithThePlatformIdsAlsoFromAWorker)
{
    App();
    view::QtDialogs dialogs;
    QStringList seen;
    auto press = [&](QMessageBox::StandardButton button) {
        OnNextModal([&seen, button](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            seen << box->windowTitle() << box->text() << QString::number(box->icon());
            box->button(button)->click();
        });
    };
    // Each button answers with the id Windows gives it, whatever box it sits in.
    const struct { uint32_t flags; QMessageBox::StandardButton button; int id; } rows[] = {
        {MB_OK, QMessageBox::Ok, 1}, {MB_OKCANCEL, QMessageBox::Cancel, 2}, {MB_ABORTRETRYIGNORE, QMessageBox::Abort, 3},
        {MB_RETRYCANCEL, QMessageBox::Retry, 4}, {MB_ABORTRETRYIGNORE, QMessageBox::Ignore, 5},
        {MB_YESNOCANCEL, QMessageBox::Yes, 6}, {MB_YESNO | MB_ICONWARNING, QMessageBox::No, 7}};
    for (const auto& row : rows) {
        press(row.button);
        EXPECT_EQ(dialogs.MessageBox("Go on?", "Warning", row.flags), row.id) << row.flags << " " << row.button;
    }
    seen = seen.mid(seen.size() - 3);
    // From a production thread: shown on the GUI thread, the worker waits for the answer.
    press(QMessageBox::Ok);
    std::atomic<int> id{0};
    std::thread worker([&] { id = dialogs.MessageBox("\xE5\xA4\xB1\xE8\xB4\xA5", "Status", MB_OK | MB_ICONERROR); });
    while (id == 0)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    worker.join();
    EXPECT_EQ(id, IDOK);
    EXPECT_EQ(seen, (QStringList{"Warning", "Go on?", QString::number(QMessageBox::Warning), "Status",
                                 QString::fromUtf8("\xE5\xA4\xB1\xE8\xB4\xA5"), QString::number(QMessageBox::Critical)}));
}

// Closing the window while a device is in production asks first, in the station's language;
// on yes the window takes no new device, lets the run end with its result logged, then closes.
TEST_F(View, ClosingWhileADeviceRunsAsksThenWaitsForTheRunAndTakesNoNewDevice)
{
    HoldingClock clock;
    auto bus = RunHeld(clock);
    dialogs.Clear();
    dialogs.QueueMessageAnswer(IDNO);
    window->close();
    form->LanguageIndex = kLanguageSimplifiedChinese;
    dialogs.QueueMessageAnswer(IDYES);
    window->close();
    window->close(); // asked once only
    auto boxes = dialogs.Messages();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, "Devices are in production. Take no new device and close the window when they have finished?");
    EXPECT_EQ(boxes[1].text, "设备正在量产中。不再接受新设备，并在它们完成后关闭窗口？");
    EXPECT_EQ(boxes[1].flags, MB_YESNO | MB_ICONQUESTION);
    EXPECT_TRUE(window->isVisible()) << "the run has not ended";

    bus->plug(sim::Nand128M(), 2);
    FormDriver::settle();
    EXPECT_EQ(form->DeviceSlots[1].drive, 0) << "no new device once closing";
    form->LogInterrupted();  // what a terminate signal would log now: the running device only
    clock.release();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !window->isVisible(); }, 20000)) << "closes when the run has ended";
    const std::string log = EventLog();
    EXPECT_NE(log.find("closing: no new device\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("D interrupted\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("E: closing, not taken\r\n"), std::string::npos) << log;
    EXPECT_TRUE(log.find("D success!\r\n") != std::string::npos || log.find("D fail!\r\n") != std::string::npos) << log;
    bus.reset();
    platform::SetClock(nullptr);
    platform::DriveMap::global().clear();
}

// A terminate signal while the close-time box is open: one "interrupted" line per running
// device, and the program ends at once with 128 + the signal.
TEST_F(View, TerminateSignalEndsTheProgramBehindAnOpenBoxAndLogsEachRunningDevice)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            HoldingClock clock;
            auto bus = RunHeld(clock);
            window->exitOnTerminationSignals();
            view::QtDialogs qt;
            SetDialogs(&qt);
            // Once the box is open, the signal comes.
            OnNextModal([](QWidget*) { std::raise(SIGTERM); });
            window->close();
            std::fputs("the box returned\n", stderr);
            std::exit(0);
        },
        ::testing::ExitedWithCode(128 + SIGTERM), "D interrupted");
}

// An event log that cannot be written is said once, in a box on the GUI thread and on
// standard error, however many lines and threads try; once it works again, a new failure
// is said again.
TEST_F(View, UnwritableEventLogIsSaidOnceInABox)
{
    platform::WriteFileAtomic(dir.file("log"), "a file where the log folder should be");
    std::thread([] { AppendLog("D success!"); AppendLog("E success!"); }).join();
    AppendLog("F fail!");
    FormDriver::settle();
    auto boxes = dialogs.Messages();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "The event log " + platform::ProgramPath("log/1.txt") + " cannot be written (Not a directory): "
                             "results are shown only in the device panels.");
    EXPECT_EQ(boxes[0].flags, MB_OK | MB_ICONWARNING);
    std::remove(dir.file("log").c_str());
    AppendLog("G success!");
    EXPECT_EQ(dir.read("log/1.txt"), "G success!\r\n");
}
