// Device arrival and removal on simulated devices: the event-log lines, the panels, the
// fixed USB-port panels and the manual start.
#include "device/HostUtil.h"
#include "device/Stream.h"
#include "platform/DeviceAccess.h"
#include "platform/DriveMap.h"
#include "sim/Profiles.h"
#include "sim/SimBus.h"
#include "support/SimStation.h"
#include "toolkit/Dialogs.h"
#include "toolkit/TThread.h"
#include "ui/main.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <deque>
#include <filesystem>
#include <functional>
#include <fstream>
#include <mutex>
#include <thread>

using namespace toolkit;
using Lines = std::vector<std::string>;
using Starts = std::vector<std::pair<char, int>>;

namespace {

uint32_t Mask(char letter) { return 1u << (letter - 'A'); }

// Message boxes run the event loop: a volume event may come in while one is open.
class ReentrantDialogs : public ScriptedDialogs {
public:
    std::function<void()> whileOpen;
    int MessageBox(const std::string& text, const std::string& caption, uint32_t flags) override
    {
        if (auto fn = std::exchange(whileOpen, nullptr))
            fn();
        return ScriptedDialogs::MessageBox(text, caption, flags);
    }
};

class Arrival : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetDialogs(&dialogs);
        RegWriteInteger("SoftWare\\KOV6125\\Vornagel28", "LanguageID", 1);
        bus.setVolumeCallback([this](bool arrival, uint32_t mask) {
            std::lock_guard lock(eventsMutex);
            events.emplace_back(arrival, mask);
        });
        form = std::make_unique<TForm1>();
        form->StartThread = [this](char drive, int slot) {
            started.emplace_back(drive, slot);
            statusAtStart.push_back(form->DeviceSlots[slot].status->Caption());
            form->DeviceSlots[slot].status->SetCaption("running");
        };
        form->FormShow(form.get());
        form->chkUsbPort->SetChecked(false);
        form->CheckManuupgrade->SetChecked(false);
        clearLog();
    }
    void TearDown() override
    {
        form.reset();
        SetDialogs(nullptr);
    }

    // Hands the volume events raised so far to the window, one message each.
    void deliver(bool drop = false)
    {
        bus.waitForEvents();
        std::unique_lock lock(eventsMutex);
        while (!events.empty()) {
            auto e = events.front();
            events.pop_front();
            lock.unlock();  // the handler may plug devices and deliver again
            if (!drop)
                send(e.first, e.second);
            lock.lock();
        }
    }
    void send(bool arrival, uint32_t mask)
    {
        form->Dispatch({WM_DEVICECHANGE, arrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_VOLUME, mask});
    }
    std::shared_ptr<sim::SimulatedDevice> plug(uint8_t port = 0)
    {
        auto device = bus.plug(sim::Nand128M(), port);
        deliver();
        return device;
    }
    Lines log()
    {
        Lines lines;
        std::ifstream in(station.file("log/1.txt"), std::ios::binary);
        std::string text{std::istreambuf_iterator<char>(in), {}};
        for (size_t start = 0, pos; (pos = text.find("\r\n", start)) != std::string::npos; start = pos + 2)
            lines.push_back(text.substr(start, pos - start));
        return lines;
    }
    void clearLog() { std::remove(station.file("log/1.txt").c_str()); }
    // A panel in one line: drive|status|colour|gauge shown and position|image|textP|textF.
    std::string panel(int slot)
    {
        const DeviceSlot& s = form->DeviceSlots[slot];
        TColor c = s.status->Font()->Color();
        return std::string(1, s.drive ? s.drive.load() : '-') + "|" + s.status->Caption() + "|" +
               (c == clRed ? "red" : c == clWindowText ? "text" : "other") + "|" + (s.gauge->Visible() ? "gauge " : "") +
               std::to_string(s.gauge->Progress()) + "|" + (s.image->Visible() ? "image" : "") + "|" + s.textP->Caption() + "|" +
               s.textF->Caption();
    }

    testsupport::SimStation station;
    sim::SimBus& bus = station.bus();
    ScriptedDialogs dialogs;
    std::unique_ptr<TForm1> form;
    Starts started;
    Lines statusAtStart;
    std::mutex eventsMutex;
    std::deque<std::pair<bool, uint32_t>> events;
};

} // namespace

TEST_F(Arrival, TwoLettersInOneNotificationAreHandledLowestFirst)
{
    auto d = bus.plug(sim::Nand128M());
    auto e = bus.plug(sim::Nand128M());
    deliver(true);
    // Other events, other device types and other messages change nothing.
    form->Dispatch({WM_DEVICECHANGE, 0x8001, DBT_DEVTYP_VOLUME, Mask('D')});
    form->Dispatch({WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 3, Mask('D')});
    form->Dispatch({0x0010, DBT_DEVICEARRIVAL, DBT_DEVTYP_VOLUME, Mask('D')});
    EXPECT_EQ(log(), Lines{});
    send(true, Mask('E') | Mask('D'));

    EXPECT_EQ(log(), (Lines{"D:<--", "D:0", "E:<--", "E:1"}));
    EXPECT_EQ(started, (Starts{{'D', 0}, {'E', 1}}));
    EXPECT_EQ(statusAtStart, (Lines{"FSM Writing", "FSM Writing"}));
    EXPECT_EQ(panel(1), "E|running|text|gauge 0|||");
    EXPECT_EQ(d->state(), sim::SimulatedDevice::State::Loader);
    EXPECT_EQ(e->state(), sim::SimulatedDevice::State::Loader);
    EXPECT_FALSE(form->CheckManuupgrade->Enabled());
    EXPECT_EQ(station.clock().sleptMs(), 200u) << "100 ms before each loader upload";
}

TEST_F(Arrival, LoaderDeviceIsResetAKnownDriveAndAFailedInquiryAreSkipped)
{
    auto device = bus.plug(sim::Nand128M());
    deliver(true);  // the window never heard of it: it runs the loader from an earlier start
    ASSERT_TRUE(UploadFirmware('D', form->iFsmSize, form->sFsmPath));
    clearLog();
    send(true, Mask('D'));
    EXPECT_EQ(device->countOf(0xEF81), 1u);
    deliver();  // it leaves and comes back as a new arrival
    send(true, Mask('D'));  // it has its run now: neither reset nor started again
    platform::DriveMap::global().bind('F', {[] { return std::shared_ptr<platform::ScsiTransport>(); }, {}, "gone"});
    send(true, Mask('F'));

    EXPECT_EQ(log(), (Lines{"D:<--", "D:-> reset", "D: -->", "D:<--", "D:0", "D:<--", "D: exists continue", "F:<--",
                            "F:cmd_bInquiry fail continue"}));
    EXPECT_EQ(device->countOf(0xEF81), 1u);
    EXPECT_EQ(started.size(), 1u);
    EXPECT_EQ(std::make_pair(int(form->iDeviceCount), form->FirstFreeSlot()), std::make_pair(1, 1));
    EXPECT_EQ(form->iFailedArrivals, 1) << "only the silent drive: the reset one comes back";
}

// Volume events wait while the window is busy: by the time they are handled, the device an
// arrival stood for may be gone and another one may hold its letter. Each device gets one
// run and one count, however the events line up.
TEST_F(Arrival, EventsOfADeviceGoneMeanwhileStartNothingAndALetterTakenOverIsOneNewDevice)
{
    struct Case {
        const char* name;
        std::function<std::shared_ptr<sim::SimulatedDevice>()> events; // returns the device left on D
        Lines log;
        Starts started;
    } cases[] = {
        {"arrival, removal, arrival of the next one",
         [this] { bus.plug(sim::Nand128M()); bus.unplug('D'); return bus.plug(sim::Nand128M()); },
         {"D:<--", "D:0", "D: -->", "D: still here", "D:<--", "D: exists continue"}, {{'D', 0}}},
        {"arrival and removal of a device gone",
         [this] { bus.plug(sim::Nand128M()); bus.unplug('D'); return nullptr; },
         {"D:<--", "D: gone", "D: -->"}, {}},
        {"the running device pulled, the next one given its letter",
         [this] { plug(); started.clear(); clearLog(); bus.unplug('D'); return bus.plug(sim::Nand128M()); },
         {"D: -->", "D:<--", "D:0"}, {{'D', 0}}},
        {"the running device pulled, its removal not heard before the next arrival",
         [this] {
             plug(); started.clear(); clearLog(); bus.unplug('D');
             {
                 std::lock_guard lock(eventsMutex);
                 events.clear();
             }
             return bus.plug(sim::Nand128M());
         },
         {"D:<--", "D: -->", "D:0"}, {{'D', 0}}},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        form->StartThread = [this](char drive, int slot) { started.emplace_back(drive, slot); };
        auto device = c.events();
        deliver();
        EXPECT_EQ(log(), c.log);
        EXPECT_EQ(started, c.started);
        EXPECT_EQ(form->iDeviceCount, device ? 1 : 0);
        EXPECT_EQ(form->iFailedArrivals, 0);
        if (device) {
            EXPECT_EQ(device->countOf(0xEF79), 1u) << "one loader upload";
            EXPECT_EQ(device->countOf(0xEF81), 0u) << "never reset";
            EXPECT_EQ(form->DeviceSlots[0].serial, platform::DriveMap::global().serialOf('D'));
        }
        bus.unplugAll();
        deliver();
        started.clear();
        clearLog();
    }
}

// A device the program may not drive shows in a panel, red, with the short reason; the
// event log has the whole text. Its removal frees the panel.
TEST_F(Arrival, DeviceRefusedForLackOfAccessShowsWhyInItsPanel)
{
    struct Refused : platform::ScsiTransport {
        bool execute(const uint8_t*, int, platform::Direction, uint8_t*, uint32_t, uint32_t) override
        {
            platform::ReportAccessRefused("/dev/sg-rawio", platform::AccessRefusal::Command, EPERM);
            return false;
        }
    };
    platform::DriveMap::global().bind('D', {[] {
        platform::ReportAccessRefused("/dev/sg-perm", platform::AccessRefusal::Open, EACCES);
        return std::shared_ptr<platform::ScsiTransport>();
    }, {}, "/dev/sg-perm"});
    platform::DriveMap::global().bind('E', {[] { return std::make_shared<Refused>(); }, {}, "/dev/sg-rawio"});
    platform::SetDeviceAccessReporter([](const std::string& text) { AppendLog(text); });
    send(true, Mask('D') | Mask('E'));
    platform::SetDeviceAccessReporter(nullptr);
    EXPECT_EQ(panel(0), "D|No access: node permissions|red|0|||");
    EXPECT_EQ(panel(1), "E|No access: CAP_SYS_RAWIO|red|gauge 0|||");
    EXPECT_TRUE(started.empty());
    std::string whole;
    for (const std::string& line : log())
        whole += line.substr(0, 40) + "|";
    EXPECT_EQ(whole, "D:<--|/dev/sg-perm: the device cannot be opene|D:cmd_bInquiry fail continue|E:<--|"
                     "/dev/sg-rawio: the kernel refused a vend|E:1|");
    platform::DriveMap::global().release('D');
    platform::DriveMap::global().release('E');
    send(false, Mask('D') | Mask('E'));
    EXPECT_EQ(panel(0), "-|Waiting device...|text|0|||");
    EXPECT_EQ(panel(1), "-|Waiting device...|text|0|||");
    EXPECT_EQ(form->iDeviceCount, 0);
    platform::ForgetAccessRefusal("/dev/sg-perm");
    platform::ForgetAccessRefusal("/dev/sg-rawio");
}

// A loader that cannot be used is named in the event log with what is wrong with it.
TEST_F(Arrival, UnusableLoaderIsNamedWithWhatIsWrong)
{
    const std::string loader = station.file("misc/FSM01.BIN");
    const struct { const char* name; long long size; const char* problem; } rows[] = {
        {"missing", -1, "is missing or cannot be read"},
        {"empty", 0, "is empty"},
        {"oversized", (1 << 20) + 1, "holds 1048577 bytes, more than the 1048576 a loader may have"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::remove(loader.c_str());
        if (row.size >= 0) {
            std::ofstream(loader, std::ios::binary).close();
            std::filesystem::resize_file(loader, uint64_t(row.size));
        }
        clearLog();
        auto device = plug();
        EXPECT_EQ(log(), (Lines{"D:<--", "D:0", "D: loader " + form->sFsmPath + " " + row.problem}));
        EXPECT_EQ(panel(0), "D|FSM Loadfail|red|gauge 0|||");
        EXPECT_EQ(device->countOf(0xEF77), 0u) << "nothing announced";
        bus.unplugAll();
        deliver();
    }
}

TEST_F(Arrival, NinthDeviceGetsTheLimitBoxAndNothingElse)
{
    for (int i = 0; i < 8; ++i)
        plug();
    clearLog();
    auto ninth = plug();
    EXPECT_EQ(log(), (Lines{"L:<--", "L:8"}));
    auto boxes = dialogs.Messages();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text + "|" + boxes[0].caption, "Exceed the device limit!|Status");
    EXPECT_EQ(ninth->state(), sim::SimulatedDevice::State::Rom) << "no loader";
    EXPECT_EQ((std::vector<int>{form->iDeviceCount, int(started.size()), form->iFailedArrivals}), (std::vector<int>{8, 8, 1}));
}

TEST_F(Arrival, RemovalResetsThePanelAndTheLastRemovalClearsEveryImage)
{
    plug();
    plug();
    for (int i = 0; i < kDeviceSlots; ++i) {
        form->DeviceSlots[i].image->SetVisible(true);
        form->DeviceSlots[i].textF->SetCaption("ID:x");
    }
    form->TextP1->SetCaption(" Port:1-0-3");
    form->ProgressBar1->SetProgress(50);
    form->D1infoStr->Font()->SetColor(clBlue);
    clearLog();

    send(false, Mask('G'));  // held by no panel: only logged
    bus.unplug('D');
    deliver();
    EXPECT_EQ(log(), (Lines{"G: -->", "D: -->"}));
    EXPECT_EQ(panel(0), "-|Waiting device...|text|0|||");
    EXPECT_TRUE(form->infoImage2->Visible() && form->infoImage6->Visible()) << "other panels keep their result";
    EXPECT_FALSE(form->CheckManuupgrade->Enabled()) << "panel 2 still busy";

    bus.unplug('E');
    deliver();
    EXPECT_EQ(form->iDeviceCount, 0);
    for (int i = 0; i < kDeviceSlots; ++i)
        EXPECT_EQ(form->DeviceSlots[i].image->Visible() ? "image" : form->DeviceSlots[i].textF->Caption(), "") << i;
    EXPECT_TRUE(form->CheckManuupgrade->Enabled());
}

TEST_F(Arrival, FixedPortBusyPanelIsNeverGivenASecondDeviceNorIsADeviceWithoutPort)
{
    form->chkUsbPort->SetChecked(true);
    plug(0);  // two devices without a port number report the same identity
    plug(0);
    EXPECT_EQ(form->PortSlotId[0], " Port:0-0-0");
    EXPECT_EQ(form->PortSlotTaken[1], 0) << "the second device is not bound";
    EXPECT_EQ(log().back(), "E:port panel busy Port:0-0-0");
    clearLog();
    plug(100);  // the port program finds no identity for it
    EXPECT_EQ(log(), (Lines{"F:<--", "F:2", "Serial_num = 100", "F:Get port fail <1>!!"}));
    EXPECT_EQ(form->PortSlotTaken[2], 0);
    EXPECT_EQ(started, (Starts{{'D', 0}, {'E', 1}, {'F', 2}}));
}

TEST_F(Arrival, FixedPortNinthPortGetsTheFirstFreePanelAndEventsDuringTheBoxWait)
{
    form->chkUsbPort->SetChecked(true);
    form->iTotalCount = 1;  // an earlier batch was counted
    ReentrantDialogs reentrant;
    SetDialogs(&reentrant);
    for (uint8_t port = 1; port <= 8; ++port)
        plug(port);
    for (char letter = 'D'; letter <= 'K'; ++letter)
        bus.unplug(letter);
    deliver();
    started.clear();

    bus.plug(sim::Nand128M(), 9);  // no port slot left: "Over 8 device!"
    reentrant.whileOpen = [this] {
        bus.plug(sim::Nand128M(), 1);  // port 1 owns panel 1
        deliver();
    };
    deliver();
    SetDialogs(&dialogs);

    auto boxes = reentrant.Messages();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Over 8 device!");
    EXPECT_EQ(form->PortSlotDrive[0], 0);
    EXPECT_EQ(form->DeviceSlots[1].drive, 'E') << "panel 1 was taken; the second device gets the next one";
    EXPECT_EQ(started, (Starts{{'D', 0}, {'E', 1}}));
}

TEST_F(Arrival, DispatchFromAnotherThreadThanTheUserInterfaceThreadStopsTheProgram)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            SetUiDispatcher([](std::function<void()>) {});  // this thread becomes the UI thread
            send(true, 0);                                  // taken here
            std::thread([this] { send(true, 0); }).join();
        },
        "outside the user-interface thread");
}
