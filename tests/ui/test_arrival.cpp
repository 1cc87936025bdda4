// Device arrival and removal on simulated devices: the event-log lines, the panels, the
// fixed USB-port panels and the manual start.
#include "device/HostUtil.h"
#include "platform/AtomicFile.h"
#include "platform/Clock.h"
#include "platform/DriveMap.h"
#include "platform/ProgramDir.h"
#include "sim/Profiles.h"
#include "sim/SimBus.h"
#include "sim/StationKit.h"
#include "support/TempDir.h"
#include "toolkit/Dialogs.h"
#include "toolkit/TThread.h"
#include "ui/main.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <mutex>

using namespace toolkit;

namespace {

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t pos; (pos = text.find("\r\n", start)) != std::string::npos; start = pos + 2)
        lines.push_back(text.substr(start, pos - start));
    return lines;
}

class Arrival : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::SetProgramDir(dir.path());
        platform::SetClock(&clock);
        SetDialogs(&dialogs);
        platform::DriveMap::global().clear();
        ASSERT_TRUE(sim::WriteStationKit(dir.path()));
        ASSERT_TRUE(platform::MakeDirs(dir.file("disks")));
        RegWriteInteger("SoftWare\\KOV6125\\Vornagel28", "LanguageID", 1);
        bus = std::make_unique<sim::SimBus>(dir.file("disks"));
        bus->setVolumeCallback([this](bool arrival, uint32_t mask) {
            std::lock_guard lock(eventsMutex);
            events.emplace_back(arrival, mask);
        });
        form = std::make_unique<TForm1>();
        form->StartThread = [this](char drive, int slot) {
            started.emplace_back(drive, slot);
            form->DeviceSlots[slot].status->SetCaption("running");
        };
        form->FormShow(form.get());
        form->chkUsbPort->SetChecked(false);
        form->CheckManuupgrade->SetChecked(false);
        std::remove(dir.file("log/1.txt").c_str());
    }

    void TearDown() override
    {
        bus.reset();
        form.reset();
        SetDialogs(nullptr);
        platform::SetClock(nullptr);
        platform::DriveMap::global().clear();
    }

    // Hands the volume events raised so far to the window, one message each.
    void deliver()
    {
        bus->waitForEvents();
        for (;;) {
            std::pair<bool, uint32_t> e;
            {
                std::lock_guard lock(eventsMutex);
                if (events.empty())
                    return;
                e = events.front();
                events.pop_front();
            }
            send(e.first, e.second);
        }
    }

    void send(bool arrival, uint32_t mask)
    {
        form->Dispatch({WM_DEVICECHANGE, arrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE,
                        DBT_DEVTYP_VOLUME, mask});
    }
    static uint32_t Mask(char letter) { return 1u << (letter - 'A'); }

    std::shared_ptr<sim::SimulatedDevice> plug(uint8_t port = 0)
    {
        auto device = bus->plug(sim::Nand128M(), port);
        deliver();
        return device;
    }

    std::vector<std::string> log() { return SplitLines(dir.read("log/1.txt")); }
    void clearLog() { std::remove(dir.file("log/1.txt").c_str()); }
    std::string status(int slot) { return form->DeviceSlots[slot].status->Caption(); }
    TColor color(int slot) { return form->DeviceSlots[slot].status->Font()->Color(); }

    testsupport::TempDir dir;
    platform::FakeClock clock;
    ScriptedDialogs dialogs;
    std::unique_ptr<sim::SimBus> bus;
    std::unique_ptr<TForm1> form;
    std::vector<std::pair<char, int>> started;
    std::mutex eventsMutex;
    std::deque<std::pair<bool, uint32_t>> events;
};

} // namespace

TEST_F(Arrival, TwoLettersInOneNotificationAreHandledLowestFirst)
{
    auto d = bus->plug(sim::Nand128M());
    auto e = bus->plug(sim::Nand128M());
    {
        std::lock_guard lock(eventsMutex);
        events.clear();
    }
    send(true, Mask('E') | Mask('D'));

    EXPECT_EQ(log(), (std::vector<std::string>{"D:<--", "D:0", "E:<--", "E:1"}));
    EXPECT_EQ(started, (std::vector<std::pair<char, int>>{{'D', 0}, {'E', 1}}));
    EXPECT_EQ(form->DeviceSlots[0].drive, 'D');
    EXPECT_EQ(form->DeviceSlots[1].drive, 'E');
    EXPECT_TRUE(form->ProgressBar1->Visible());
    EXPECT_EQ(d->state(), sim::SimulatedDevice::State::Loader);
    EXPECT_EQ(e->state(), sim::SimulatedDevice::State::Loader);
    EXPECT_EQ(form->iDeviceCount, 2);
    EXPECT_FALSE(form->CheckManuupgrade->Enabled());
    EXPECT_EQ(clock.sleptMs(), 200u) << "100 ms before each loader upload";
}

TEST_F(Arrival, PanelShowsTheLoaderStageWhileTheUploadRuns)
{
    form->StartThread = [](char, int) {};
    plug();
    EXPECT_EQ(status(0), "FSM Writing");
    EXPECT_EQ(color(0), clWindowText);
}

TEST_F(Arrival, DeviceRunningTheLoaderIsResetAndComesBackAsANewArrival)
{
    auto device = plug();
    clearLog();
    send(true, Mask('D'));
    EXPECT_EQ(log(), (std::vector<std::string>{"D:<--", "D:-> reset"}));
    EXPECT_EQ(device->countOf(0xEF81), 1u);
    EXPECT_EQ(form->iDeviceCount, 1);

    // The reset device leaves and comes back: its panel is freed and given again.
    deliver();
    EXPECT_EQ(log(), (std::vector<std::string>{"D:<--", "D:-> reset", "D: -->", "D:<--", "D:0"}));
    EXPECT_EQ(started.size(), 2u);
    EXPECT_EQ(form->iDeviceCount, 1);
}

TEST_F(Arrival, KnownDriveAndFailedInquiryAreSkipped)
{
    auto device = plug();
    device->failCommand(0xEF82, 1, sim::FaultKind::Transport); // no loader answer this time
    clearLog();
    send(true, Mask('D'));

    // A letter whose device does not open at all: INQUIRY fails.
    platform::DriveMap::global().bind('F', {[] { return std::shared_ptr<platform::ScsiTransport>(); }, {}, "gone"});
    send(true, Mask('F'));
    EXPECT_EQ(log(), (std::vector<std::string>{"D:<--", "D: exists continue", "F:<--", "F:cmd_bInquiry fail continue"}));
    EXPECT_EQ(started.size(), 1u);
    EXPECT_EQ(form->iDeviceCount, 1);
    EXPECT_EQ(form->FirstFreeSlot(), 1);
}

TEST_F(Arrival, NinthDeviceGetsTheLimitBoxAndNothingElse)
{
    for (int i = 0; i < 8; ++i)
        plug();
    ASSERT_EQ(form->FirstFreeSlot(), 8);
    clearLog();
    auto ninth = plug();
    EXPECT_EQ(log(), (std::vector<std::string>{"L:<--", "L:8"}));
    auto boxes = dialogs.Messages();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Exceed the device limit!");
    EXPECT_EQ(boxes[0].caption, "Status");
    EXPECT_EQ(boxes[0].flags, MB_OK);
    EXPECT_EQ(ninth->state(), sim::SimulatedDevice::State::Rom) << "no loader";
    EXPECT_EQ(form->iDeviceCount, 8);
    EXPECT_EQ(started.size(), 8u);
}

TEST_F(Arrival, LoaderFailureInNormalModeKeepsThePanelAndCountsTheDevice)
{
    auto device = bus->plug(sim::Nand128M());
    device->failCommand(0xEF77, 1, sim::FaultKind::Transport);
    deliver();
    EXPECT_EQ(status(0), "FSM Loadfail");
    EXPECT_EQ(color(0), clRed);
    EXPECT_EQ(form->DeviceSlots[0].drive, 'D');
    EXPECT_TRUE(started.empty());
    EXPECT_EQ(form->iDeviceCount, 1);

    bus->unplug('D');
    deliver();
    EXPECT_EQ(form->iDeviceCount, 0);
    EXPECT_EQ(status(0), "Waiting device...");
    EXPECT_EQ(color(0), clWindowText);
}

TEST_F(Arrival, RemovalResetsThePanelAndTheLastRemovalClearsEveryImage)
{
    plug();
    plug();
    for (int i = 0; i < kDeviceSlots; ++i) {
        form->DeviceSlots[i].image->SetVisible(true);
        form->DeviceSlots[i].textF->SetCaption("ID:x");
    }
    form->DeviceSlots[0].textP->SetCaption(" Port:1-0-3");
    form->DeviceSlots[0].gauge->SetProgress(50);
    form->DeviceSlots[0].status->Font()->SetColor(clBlue);
    clearLog();

    bus->unplug('D');
    deliver();
    EXPECT_EQ(log(), std::vector<std::string>{"D: -->"});
    const DeviceSlot& s = form->DeviceSlots[0];
    EXPECT_EQ(s.drive, 0);
    EXPECT_EQ(s.status->Caption(), "Waiting device...");
    EXPECT_EQ(s.status->Font()->Color(), clWindowText);
    EXPECT_FALSE(s.gauge->Visible());
    EXPECT_EQ(s.gauge->Progress(), 0);
    EXPECT_FALSE(s.image->Visible());
    EXPECT_EQ(s.textP->Caption(), "");
    EXPECT_EQ(s.textF->Caption(), "");
    EXPECT_TRUE(form->DeviceSlots[1].image->Visible()) << "other panels keep their result";
    EXPECT_TRUE(form->DeviceSlots[5].image->Visible());
    EXPECT_FALSE(form->CheckManuupgrade->Enabled()) << "panel 2 still busy";

    bus->unplug('E');
    deliver();
    EXPECT_EQ(form->iDeviceCount, 0);
    for (int i = 0; i < kDeviceSlots; ++i) {
        EXPECT_FALSE(form->DeviceSlots[i].image->Visible()) << i;
        EXPECT_EQ(form->DeviceSlots[i].textF->Caption(), "") << i;
    }
    EXPECT_TRUE(form->CheckManuupgrade->Enabled());
}

TEST_F(Arrival, RemovalOfAnUnknownLetterIsOnlyLogged)
{
    plug();
    clearLog();
    send(false, Mask('G'));
    EXPECT_EQ(log(), std::vector<std::string>{"G: -->"});
    EXPECT_EQ(form->iDeviceCount, 1);
    EXPECT_EQ(form->DeviceSlots[0].drive, 'D');
}

TEST_F(Arrival, OtherDeviceEventsChangeNothing)
{
    bus->plug(sim::Nand128M());
    {
        std::lock_guard lock(eventsMutex);
        events.clear();
    }
    form->Dispatch({WM_DEVICECHANGE, 0x8001, DBT_DEVTYP_VOLUME, Mask('D')});
    form->Dispatch({WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 3, Mask('D')});
    form->Dispatch({0x0010, DBT_DEVICEARRIVAL, DBT_DEVTYP_VOLUME, Mask('D')});
    EXPECT_EQ(dir.read("log/1.txt"), "");
    EXPECT_EQ(form->iDeviceCount, 0);
}

TEST_F(Arrival, ManualModeWaitsForTheStartButton)
{
    form->CheckManuupgrade->SetChecked(true);
    EXPECT_TRUE(form->Upgradebtn->Enabled());
    plug();
    plug();
    EXPECT_EQ(status(0), "device plugin");
    EXPECT_EQ(status(1), "device plugin");
    EXPECT_TRUE(started.empty());

    form->Upgradebtn->Click();
    EXPECT_EQ(started, (std::vector<std::pair<char, int>>{{'D', 0}, {'E', 1}}));
    form->Upgradebtn->Click(); // the started panels show their stage now
    EXPECT_EQ(started.size(), 2u);

    form->CheckManuupgrade->SetChecked(false);
    EXPECT_FALSE(form->Upgradebtn->Enabled());
}

// ---- fixed USB-port panels ----

class FixedPort : public Arrival {
protected:
    void SetUp() override
    {
        Arrival::SetUp();
        form->chkUsbPort->SetChecked(true);
    }
};

TEST_F(FixedPort, FirstDeviceBindsPanelOneAndNewPortsTakeTheNextPanels)
{
    auto device = plug(3);
    EXPECT_EQ(log(), (std::vector<std::string>{"D:<--", "D:0", "Serial_num = 3"}));
    EXPECT_EQ(form->PortSlotId[0], " Port:1-0-3");
    EXPECT_EQ(form->PortSlotTaken[0], 1);
    EXPECT_EQ(form->PortSlotDrive[0], 'D');
    EXPECT_EQ(form->DeviceSlots[0].textF->Caption(), "ID:" + sim::FlashIdText(sim::Nand128M()));
    EXPECT_EQ(started, (std::vector<std::pair<char, int>>{{'D', 0}}));

    form->StartThread = [](char, int) {};
    plug(5);
    EXPECT_EQ(form->PortSlotId[1], " Port:1-0-5");
    EXPECT_EQ(form->DeviceSlots[1].drive, 'E');
    EXPECT_EQ(status(1), "FSM Writingsuccessful");
    EXPECT_EQ(form->iDeviceCount, 2);
}

TEST_F(FixedPort, ReplugOnTheSamePortReturnsToItsPanel)
{
    plug(3);
    plug(5);
    bus->unplug('D');
    bus->unplug('E');
    deliver();
    EXPECT_EQ(form->PortSlotDrive[1], 0);
    EXPECT_EQ(form->PortSlotTaken[1], 1) << "the binding lasts";

    plug(5); // panel 1 is free, yet port 5 belongs to panel 2
    EXPECT_EQ(form->DeviceSlots[1].drive, 'D');
    EXPECT_EQ(form->DeviceSlots[0].drive, 0);
    EXPECT_EQ(started.back(), std::make_pair('D', 1));
}

TEST_F(FixedPort, BusyPanelIsNeverGivenASecondDevice)
{
    // Two devices without a port number report the same identity.
    plug(0);
    plug(0);
    EXPECT_EQ(form->PortSlotId[0], " Port:0-0-0");
    EXPECT_EQ(form->DeviceSlots[0].drive, 'D');
    EXPECT_EQ(form->DeviceSlots[1].drive, 'E');
    EXPECT_EQ(started, (std::vector<std::pair<char, int>>{{'D', 0}, {'E', 1}}));
    EXPECT_EQ(form->PortSlotTaken[1], 0) << "the second device is not bound";
}

TEST_F(FixedPort, NinthPortGetsTheFirstFreePanelAfterTheMessage)
{
    for (uint8_t port = 1; port <= 8; ++port)
        plug(port);
    for (char letter = 'D'; letter <= 'K'; ++letter)
        bus->unplug(letter);
    deliver();
    dialogs.Clear();
    plug(9);
    auto boxes = dialogs.Messages();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Over 8 device!");
    EXPECT_EQ(form->DeviceSlots[0].drive, 'D');
    EXPECT_EQ(form->PortSlotDrive[0], 0);
}

TEST_F(FixedPort, LoaderFailureLeavesThePanelUnclaimedAndTheDeviceCounted)
{
    auto device = bus->plug(sim::Nand128M(), 3);
    device->failCommand(0xEF77, 1, sim::FaultKind::Transport);
    deliver();
    EXPECT_EQ(status(0), "FSM Loadfail");
    EXPECT_EQ(form->DeviceSlots[0].drive, 0);
    EXPECT_EQ(form->iDeviceCount, 1);
    bus->unplug('D');
    deliver();
    EXPECT_EQ(form->iDeviceCount, 1) << "no panel held it, so the removal changes nothing";
}

TEST_F(FixedPort, FailedPortQueryTakesTheFirstFreePanelWithoutABinding)
{
    plug(3);
    clearLog();
    plug(100); // the port program finds no identity for it
    EXPECT_EQ(log(), (std::vector<std::string>{"E:<--", "E:1", "Serial_num = 100", "E:Get port fail <1>!!"}));
    EXPECT_EQ(form->DeviceSlots[1].drive, 'E');
    EXPECT_EQ(status(1), "running");
    EXPECT_EQ(form->PortSlotTaken[1], 0);
    EXPECT_EQ(form->PortSlotDrive[1], 0);
    EXPECT_EQ(form->DeviceSlots[1].textF->Caption(), "ID:" + sim::FlashIdText(sim::Nand128M()));
}

namespace {
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
} // namespace

TEST_F(FixedPort, EventArrivingWhileABoxIsOpenWaitsForTheCurrentDevice)
{
    ReentrantDialogs reentrant;
    SetDialogs(&reentrant);
    for (uint8_t port = 1; port <= 8; ++port)
        plug(port);
    for (char letter = 'D'; letter <= 'K'; ++letter)
        bus->unplug(letter);
    deliver();
    started.clear();

    bus->plug(sim::Nand128M(), 9); // no port slot left: "Over 8 device!"
    reentrant.whileOpen = [this] {
        bus->plug(sim::Nand128M(), 1); // port 1 owns panel 1
        deliver();
    };
    deliver();
    SetDialogs(&dialogs);

    EXPECT_EQ(form->DeviceSlots[0].drive, 'D');
    EXPECT_EQ(form->DeviceSlots[1].drive, 'E') << "panel 1 was taken; the second device gets the next one";
    EXPECT_EQ(started, (std::vector<std::pair<char, int>>{{'D', 0}, {'E', 1}}));
}

TEST_F(Arrival, StartedThreadWorksOnItsOwnPanelAndEndsWithAResult)
{
    form->StartThread = nullptr; // the real production thread
    form->LabelEdit->SetText("DEMO");
    plug();
    plug();
    TThread::WaitForAll();
    auto lines = log();
    for (char drive : {'D', 'E'}) {
        bool ended = std::find(lines.begin(), lines.end(), std::string(1, drive) + " success!") != lines.end() ||
                     std::find(lines.begin(), lines.end(), std::string(1, drive) + " fail!") != lines.end();
        EXPECT_TRUE(ended) << drive;
    }
    for (int slot : {0, 1}) {
        TColor c = color(slot);
        EXPECT_TRUE(c == clRed || c == clBlue) << slot << " shows a result";
    }
    EXPECT_EQ(status(2), "Waiting device...") << "no other panel is touched";
}
