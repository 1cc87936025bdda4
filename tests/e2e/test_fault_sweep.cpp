// Reliability guard: one fault at every command position of a plain run. Whatever the
// fault, the run ends within bounded simulated time, is counted exactly once, and leaves a
// red caption or the reset panel; a run that still reports success must have left the
// device as a plain run does; the station's settings and lists are never touched.
#include "StationRun.h"

#include "platform/PathListFile.h"

#include <cstdio>
#include <map>
#include <random>
#include <set>

using namespace e2e;

namespace {

enum class Kind { Unplug, Transport, Refusal, RefusalOnwards };
const char* const kKindNames[] = {"Unplug", "Transport", "Refusal", "RefusalOnwards"};
// Far above a plain run's waits and any retry chain, yet finite.
constexpr uint64_t kBoundMs = 10 * 60 * 1000;
const char* const kStationFiles[] = {"misc/prefer.ini", "misc/seting.ini", "misc/hideseting.ini",
                                     "misc/spiseting.ini"};

// What a run leaves on the device: the description, the loader's init and every stream it
// ended (sizes and a digest of the bytes; a stream cut short is sent again from the start).
std::string DeviceHolds(const sim::SimulatedDevice& device, bool withInit = true)
{
    const auto digest = [](const std::vector<uint8_t>& bytes) {
        return std::to_string(std::hash<std::string>{}(std::string(bytes.begin(), bytes.end())));
    };
    std::string holds = "description " + digest(device.flashDescription());
    holds += withInit && device.fsmInitDone() ? ", init" : "";
    for (const sim::StreamRecord& s : device.streams())
        if (s.ended)
            holds += ", stream " + std::to_string(s.announced) + "/" + std::to_string(s.received) + " " + digest(s.data);
    return holds;
}

// The command codes of a device's log, in order.
std::vector<uint16_t> Codes(const sim::SimulatedDevice& device)
{
    std::vector<uint16_t> codes;
    for (const sim::LoggedCommand& command : device.commandLog())
        codes.push_back(command.code);
    return codes;
}

class FaultSweep : public StationRun, public ::testing::WithParamInterface<Kind> {
public:
    std::map<std::string, std::string> StationFiles() const
    {
        std::map<std::string, std::string> bytes;
        for (const char* name : kStationFiles)
            bytes[name] = ReadFile(station->file(name));
        return bytes;
    }
    // The fault at `position` of the plain run's commands. Refusals from then on cover
    // every code the plain run sends, each from its next use.
    static void Inject(sim::SimulatedDevice& device, Kind kind, const std::vector<uint16_t>& plain, size_t position)
    {
        const auto nextUse = [&](uint16_t code) {
            return uint32_t(std::count(plain.begin(), plain.begin() + long(position), code)) + 1;
        };
        const uint16_t code = plain[position];
        switch (kind) {
        case Kind::Unplug: device.unplugAfter(uint32_t(position)); break;
        case Kind::Transport: device.failCommand(code, nextUse(code), sim::FaultKind::Transport); break;
        case Kind::Refusal: device.failCommand(code, nextUse(code), sim::FaultKind::StatusClear); break;
        case Kind::RefusalOnwards:
            for (uint16_t c : std::set<uint16_t>(plain.begin(), plain.end()))
                device.failCommand(c, nextUse(c), sim::FaultKind::StatusClear, UINT32_MAX);
            break;
        }
    }

protected:
    std::array<int, 3> Counts() const { return {form->iTotalCount, form->iSuccessCount, form->iFailCount}; }
    void Unplug(const std::shared_ptr<sim::SimulatedDevice>& device)
    {
        station->bus().unplug(device);
        Deliver();
        EXPECT_EQ(Status(0), "Waiting device...");
    }
};

TEST_P(FaultSweep, EveryPositionEndsCountedOnceAndLeavesTheStationFiles)
{
    const Kind kind = GetParam();
    // Settings and lists as an operator left them, to be compared byte for byte.
    form->HideFileList.Assign({MakeFile("hidden/a.txt", "a")});
    form->SpiFileList.Assign({station->file("hidden/a.txt")});
    form->SaveSettings(station->file("misc/prefer.ini"));
    ASSERT_TRUE(platform::PathListFile::Save(station->file("misc/seting.ini"), form->TntSelectFileList2->Items()->ToVector()));
    ASSERT_TRUE(platform::PathListFile::Save(station->file("misc/hideseting.ini"), form->HideFileList.ToVector()));
    ASSERT_TRUE(platform::PathListFile::Save(station->file("misc/spiseting.ini"), form->SpiFileList.ToVector()));
    const auto files = StationFiles();

    auto device = Run(sim::Nand128M());
    ASSERT_EQ(Status(0), "successful");
    const std::vector<uint16_t> plain = Codes(*device);
    // The window uploads the loader (up to EF 79) before a run starts and is counted.
    const size_t arrival = size_t(std::find(plain.begin(), plain.end(), 0xEF79) - plain.begin()) + 1;
    ASSERT_LT(arrival, plain.size());
    const std::string plainHolds[] = {DeviceHolds(*device, false), DeviceHolds(*device)};
    Unplug(device);

    for (size_t position = 0; position < plain.size(); ++position) {
        SCOPED_TRACE(std::string(kKindNames[int(kind)]) + " at command " + std::to_string(position));
        device = station->bus().plug(sim::Nand128M());
        ASSERT_TRUE(device);
        Inject(*device, kind, plain, position);
        const auto before = Counts();
        const uint64_t start = station->clock().nowMs();
        Deliver();
        WaitForRuns();
        WaitForRuns(); // whatever the first run's events started

        EXPECT_LT(station->clock().nowMs() - start, kBoundMs);
        const auto after = Counts();
        const bool counted = after[0] == before[0] + 1, failed = after[2] == before[2] + 1;
        EXPECT_TRUE(counted || (after[0] == before[0] && position < arrival)) << "only a loader failure is no run";
        EXPECT_EQ(after[1] + after[2] - before[1] - before[2], after[0] - before[0]);
        if (kind == Kind::Unplug) {
            EXPECT_TRUE(failed || !counted) << "a device gone mid-run is no success";
            EXPECT_EQ(Status(0), "Waiting device...");
        } else if (failed || !counted) {
            EXPECT_EQ(Color(0), toolkit::clRed) << Status(0);
        } else {
            // A success despite the fault: the device holds what a plain run leaves. The
            // loader's init reply is not read (as specified), so its refusal goes unseen.
            EXPECT_EQ(Status(0), "successful");
            const bool initUnread = kind == Kind::Refusal && plain[position] == 0xEF97;
            EXPECT_EQ(DeviceHolds(*device, !initUnread), plainHolds[!initUnread])
                << "a success that left the device unlike a plain run";
        }
        ExpectIdle();
        EXPECT_EQ(StationFiles(), files);
        if (device->plugged())
            Unplug(device);
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, FaultSweep,
                         ::testing::Values(Kind::Unplug, Kind::Transport, Kind::Refusal, Kind::RefusalOnwards),
                         [](const ::testing::TestParamInfo<Kind>& info) { return kKindNames[int(info.param)]; });

// Eight devices at once, five with a fault, the removals reaching the window while the
// others still run (the CI runs this under ThreadSanitizer): each device is counted once
// and its panel ends successful, red, or reset.
class EightDevices : public StationRun {};

TEST_F(EightDevices, FaultsAndRemovalsMidRunAreEachCountedOnce)
{
    struct Device {
        Kind kind;
        uint16_t code; // the fault comes at this command's use-th use in a plain run
        int use;
        const char* status;
    };
    const Device plan[kDeviceSlots] = {
        {Kind::Transport, 0, 0, "successful"},
        {Kind::Unplug, 0xEF94, 1, "Waiting device..."},
        {Kind::RefusalOnwards, 0xEF7A, 1, "Program Write Setup fail"},
        {Kind::Transport, 0xEE7B, 5, "successful"},
        {Kind::Unplug, 0xEF7C, 2, "Waiting device..."},
        {Kind::Transport, 0, 0, "successful"},
        {Kind::Refusal, 0xEF73, 1, "Start Diskfail"},
        {Kind::Unplug, 0x25, 2, "Waiting device..."}};
    auto probe = Run(sim::Nand128M());
    const std::vector<uint16_t> plain = Codes(*probe);
    station->bus().unplug(probe);
    Deliver();

    for (const Device& d : plan) {
        auto device = station->bus().plug(sim::Nand128M());
        ASSERT_TRUE(device);
        auto at = plain.begin();
        for (int n = 0; n < d.use && at != plain.end(); ++n)
            at = std::find(at + (n > 0), plain.end(), d.code);
        ASSERT_TRUE(at != plain.end() || !d.code);
        if (d.code)
            FaultSweep::Inject(*device, d.kind, plain, size_t(at - plain.begin()));
    }
    Deliver();
    DeliverDirectly(true);
    WaitForRuns();
    DeliverDirectly(false);
    WaitForRuns();

    EXPECT_EQ(Counters(), "9/4/5") << "the probe and the eight";
    for (int slot = 0; slot < kDeviceSlots; ++slot)
        EXPECT_EQ(Status(slot), plan[slot].status) << slot;
    ExpectIdle();
}

// Replays of eight devices with random faults and realistic latency, behind a device
// plugged and pulled at once whose letter the first of them takes, the events reaching the
// window only then; each device pulled by its fault gives its letter to a new one before
// the window hears of it. Every device gets at most one loader and one run, the runs
// counted are the devices that got a loader, and a device called successful holds what a
// plain run leaves.
// MPTOOL_REPLAYS sets the number of replays (default 6).
TEST_F(EightDevices, LetterReuseRandomFaultsAndLatencyGiveEachDeviceOneRun)
{
    auto probe = Run(sim::Nand128M());
    const std::vector<uint16_t> plain = Codes(*probe);
    const std::string plainHolds = DeviceHolds(*probe, false);
    station->bus().unplug(probe);
    Deliver();
    const char* env = std::getenv("MPTOOL_REPLAYS");
    const int replays = env ? std::atoi(env) : 6;
    int totalRuns = 0, totalLoaded = 0, totalDevices = 0, unlike = 0;
    for (int seed = 1; seed <= replays; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(seed);
        const auto pick = [&random](size_t n) { return size_t(random() % n); };
        const int before = form->iTotalCount;
        std::vector<std::shared_ptr<sim::SimulatedDevice>> devices;
        const auto plug = [&] {
            auto device = station->bus().plug(sim::Nand128M());
            if (!device)
                return;
            device->setLatency(sim::Latency::RealisticNand());
            if (pick(2))
                FaultSweep::Inject(*device, Kind(pick(3)), plain, pick(plain.size()));
            devices.push_back(device);
        };
        station->bus().plug(sim::Nand128M());
        station->bus().unplug('D');
        for (int i = 0; i < kDeviceSlots; ++i)
            plug();
        Deliver();
        // Devices pulled by their fault give their letters to new ones before the window
        // hears of the removals.
        for (int round = 0; round < 2; ++round) {
            toolkit::TThread::WaitForAll();
            station->bus().waitForEvents();
            for (size_t i = 0, n = devices.size(); i < n; ++i)
                if (!devices[i]->plugged() && devices.size() < 12)
                    plug();
            Deliver();
        }
        WaitForRuns();

        int loaded = 0;
        for (size_t i = 0; i < devices.size(); ++i) {
            SCOPED_TRACE("device " + std::to_string(i));
            EXPECT_LE(devices[i]->countOf(0xEF79), 1u) << "one loader upload";
            EXPECT_EQ(devices[i]->countOf(0xEF81), 0u) << "never reset";
            EXPECT_LE(devices[i]->countOf(0xEF70), 1u) << "one production sequence";
            const auto log = devices[i]->commandLog();
            loaded += std::any_of(log.begin(), log.end(), [](const sim::LoggedCommand& c) { return c.code == 0xEF79 && c.ok; });
        }
        const int runs = form->iTotalCount - before;
        EXPECT_EQ(runs, loaded);
        for (int slot = 0; slot < kDeviceSlots; ++slot) {
            if (Status(slot) != "successful")
                continue;
            for (const auto& device : devices)
                if (device->plugged() && station->bus().letterOf(device) == form->DeviceSlots[slot].drive) {
                    unlike += DeviceHolds(*device, false) != plainHolds;
                    EXPECT_EQ(DeviceHolds(*device, false), plainHolds);
                }
        }
        ExpectIdle();
        totalRuns += runs;
        totalLoaded += loaded;
        totalDevices += int(devices.size());
        station->bus().unplugAll();
        Deliver();
    }
    std::printf("%d replays: %d runs for %d devices given a loader (%d plugged), %d successes unlike a plain run\n",
                replays, totalRuns, totalLoaded, totalDevices, unlike);
}

// Runs at once, each keeping the program file its own lookup chose.
class RunsAtOnce : public StationRun {};

TEST_F(RunsAtOnce, EachWritesTheProgramFileItsOwnLookupChose)
{
    // The 1G flash's description asks for module 1, which only program_m1.bin is built for.
    sim::FlashProfile module1 = sim::Nand1G();
    module1.moduleNumber = 1;
    const auto record = sim::FlashRecordFor(module1, false);
    MakeFile("flash/" + sim::FlashIdText(module1) + ".txt", std::string(record.begin(), record.end()));
    const std::string program = ReadFile(station->file(sim::kKitFirmware));
    std::string programM1 = program;
    programM1[sim::kFirmwareModuleBlockOffset + 2] = 1;
    MakeFile("program_m1.bin", programM1);
    SetCopyList({"program_m1.bin"});
    ASSERT_EQ(form->iProgramIndex, 2) << "the list's firmware entry, which SPI runs take";

    // Three runs at once, then an SPI run after a run that chose program.bin.
    std::vector<std::shared_ptr<sim::SimulatedDevice>> devices;
    for (const auto& profile : {sim::Nand128M(), module1, sim::SpiNor4M()})
        devices.push_back(station->bus().plug(profile));
    Deliver();
    WaitForRuns();
    devices.push_back(Run(sim::Nand128M()));
    devices.push_back(Run(sim::SpiNor4M()));

    const std::string* own[] = {&program, &programM1, &programM1, &program, &programM1};
    for (size_t i = 0; i < devices.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Status(int(i)), "successful");
        const auto streams = devices[i]->streams();
        ASSERT_FALSE(streams.empty());
        EXPECT_TRUE(std::string(streams[0].data.begin(), streams[0].data.end()) == *own[i]);
    }
    EXPECT_EQ(form->iProgramIndex, 2);
}

} // namespace
