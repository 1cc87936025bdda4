// Production runs on simulated devices, as tests/e2e runs them but with the main thread
// serving Synchronize calls as the window's thread does: the host's own cost per device
// run and per vendor command, the blanking check's host CPU against the device's time,
// 8 devices with realistic latency against their critical path, and start-up. Every
// measurement runs in a child process of its own; repetitions are interleaved.
//
//   bench_production_run [--reps N]
//   bench_production_run --run DEVICES none|realistic      (one station run)
//   bench_production_run --blanking                        (every level once)
//   bench_production_run --synchronize WORKERS             (Synchronize calls alone)
//
// Host time excludes the simulator: a wrapper around each device's transport adds up
// the time spent inside it. Device time is the latency the simulator adds (with a fake
// clock the runs do not wait for it).
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "BenchCommon.h"
#include "device/HostUtil.h"
#include "device/Stream.h"
#include "platform/Clock.h"
#include "platform/DriveMap.h"
#include "platform/ProgramDir.h"
#include "production/Blanking.h"
#include "production/ppthread.h"
#include "sim/Profiles.h"
#include "sim/SimBus.h"
#include "sim/StationKit.h"
#include "text/LangStrings.h"
#include "toolkit/Controls.h"
#include "toolkit/Dialogs.h"
#include "toolkit/TThread.h"
#include "ui/SettingDlg.h"
#include "ui/main.h"

namespace fs = std::filesystem;

namespace {

// ---- measuring the simulator ----

double ThreadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// What one reading of the thread's CPU clock costs: each measured command adds about one
// reading to the host's side, which the figures take off again.
double ClockReadSeconds()
{
    constexpr int kReads = 200000;
    const double from = ThreadCpuSeconds();
    for (int i = 0; i < kReads; ++i)
        ThreadCpuSeconds();
    return (ThreadCpuSeconds() - from) / (kReads + 1);
}

struct SimTime {
    std::atomic<uint64_t> nanoseconds{0};  // CPU time of the calling threads inside the simulator
    std::atomic<uint64_t> commands{0};
    std::atomic<uint64_t> vendorCommands{0};
    double seconds() const { return double(nanoseconds.load()) / 1e9; }
};

// Passes every command on and adds up the CPU time the simulator takes for it.
class MeasuredTransport : public platform::ScsiTransport {
public:
    MeasuredTransport(std::shared_ptr<platform::ScsiTransport> inner, SimTime& time)
        : inner_(std::move(inner)), time_(time) {}
    bool execute(const uint8_t* cdb, int cdbLength, platform::Direction direction, uint8_t* buffer,
                 uint32_t length, uint32_t timeoutSeconds) override
    {
        const double start = ThreadCpuSeconds();
        const bool ok = inner_->execute(cdb, cdbLength, direction, buffer, length, timeoutSeconds);
        time_.nanoseconds += uint64_t((ThreadCpuSeconds() - start) * 1e9);
        ++time_.commands;
        if (cdbLength > 0 && (cdb[0] == 0xEF || cdb[0] == 0xEE))
            ++time_.vendorCommands;
        return ok;
    }

private:
    std::shared_ptr<platform::ScsiTransport> inner_;
    SimTime& time_;
};

void Measure(char letter, SimTime& time)
{
    auto binding = platform::DriveMap::global().find(letter);
    if (!binding)
        return;
    auto open = binding->open;
    binding->open = [open, &time]() -> std::shared_ptr<platform::ScsiTransport> {
        auto inner = open();
        return inner ? std::make_shared<MeasuredTransport>(inner, time) : nullptr;
    };
    platform::DriveMap::global().bind(letter, *binding);
}

// A station folder with the sample kit, removed at the end.
struct Station {
    std::string dir;
    Station()
    {
        dir = (fs::temp_directory_path() / "production-bench-XXXXXX").string();
        if (!mkdtemp(dir.data()) || !sim::WriteStationKit(dir)) {
            std::fprintf(stderr, "cannot set up a station in %s\n", dir.c_str());
            std::exit(1);
        }
        fs::create_directories(dir + "/disks");
        platform::SetProgramDir(dir);
        platform::DriveMap::global().clear();
    }
    ~Station() { fs::remove_all(dir); }
};

long PeakKiB()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

// ---- one station run: N devices, a plain production each ----

int StationRun(int devices, bool realistic)
{
    Station station;
    platform::FakeClock fake;
    if (!realistic)
        platform::SetClock(&fake);
    toolkit::ScriptedDialogs dialogs;
    toolkit::SetDialogs(&dialogs);
    // The main thread stands in for the window's: it serves Synchronize calls when it
    // waits, and between the arrivals it hands on.
    toolkit::SetUiDispatcher([](std::function<void()>) {});
    RegWriteInteger("SoftWare\\KOV6125\\Vornagel28", "LanguageID", 1);

    const double startupFrom = bench::Now();
    InitLanguageStrings();
    auto form = std::make_unique<TForm1>();
    auto setting = std::make_unique<TfrmSetting>();
    form->SettingForm = setting.get();
    form->FormShow(form.get());
    const double startup = bench::Now() - startupFrom;
    const long startupKiB = PeakKiB();

    // A plain production, as the whole-run tests start from: firmware and data, format,
    // copy; no scans.
    for (auto* box : {form->chkUsbPort, form->CheckManuupgrade, form->chkBlankCheck, form->chkClearFlash,
                      form->chkISOupgrade, form->chkParityCheck, form->chknor, form->chkFAT32})
        box->SetChecked(false);
    form->chkFwUpgrade->SetChecked(true);
    form->chkFormat->SetChecked(true);
    form->LabelEdit->SetText("MY_AUDIO");
    form->eDeviceFeature = 0;
    form->iFlashModuleNo = 0;
    form->iBadThreshold = 10;
    form->AllowErrorRate = 5;
    form->DealCapError = 0;
    form->TntSelectFileList2->Items()->Assign(
        {station.dir + "/" + sim::kKitFirmware, station.dir + "/" + sim::kKitPrefer});
    form->ScanFileList();

    std::mutex eventsMutex;
    std::deque<std::pair<bool, uint32_t>> events;
    sim::SimBus bus(station.dir + "/disks");
    bus.setVolumeCallback([&](bool arrival, uint32_t mask) {
        std::lock_guard lock(eventsMutex);
        events.emplace_back(arrival, mask);
    });
    auto deliver = [&] {
        bus.waitForEvents();
        std::unique_lock lock(eventsMutex);
        while (!events.empty()) {
            const auto event = events.front();
            events.pop_front();
            lock.unlock();
            form->Dispatch({WM_DEVICECHANGE, event.first ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE,
                            DBT_DEVTYP_VOLUME, event.second});
            toolkit::CheckSynchronize();
            lock.lock();
        }
    };
    // One device first, not counted: what a process does once (libraries, tables built
    // on first use) is no cost of a device run. (Not worth its 17 s with real latency,
    // where only the wall time counts.)
    if (!realistic) {
        auto warm = bus.plug(sim::Nand128M());
        deliver();
        toolkit::TThread::WaitForAll();
        deliver();
        bus.unplug(warm);
        deliver();
    }
    const int warmSucceeded = form->iSuccessCount.load();

    SimTime simTime;
    std::vector<std::shared_ptr<sim::SimulatedDevice>> plugged;
    for (int i = 0; i < devices; ++i) {
        auto device = bus.plug(sim::Nand128M());
        if (realistic)
            device->setLatency(sim::Latency::RealisticNand());
        Measure(bus.letterOf(device), simTime);
        plugged.push_back(device);
    }

    const double cpuFrom = bench::CpuSeconds();
    const double wallFrom = bench::Now();
    deliver();
    const double arrivalsDone = bench::Now() - wallFrom;
    toolkit::TThread::WaitForAll();
    const double wall = bench::Now() - wallFrom;
    const double cpu = bench::CpuSeconds() - cpuFrom;
    deliver();

    const int succeeded = form->iSuccessCount.load() - warmSucceeded;
    const double host = cpu - simTime.seconds() - double(simTime.commands.load()) * ClockReadSeconds();
    std::printf("devices=%d\nsucceeded=%d\nhost=%.6f\nsim=%.6f\nvendor_commands=%llu\nwall=%.6f\n"
                "arrivals=%.6f\nstartup=%.6f\nstartup_kib=%ld\npeak_kib=%ld\n",
                devices, succeeded, host, simTime.seconds(), (unsigned long long)simTime.vendorCommands.load(),
                wall, arrivalsDone, startup, startupKiB, PeakKiB());
    form.reset();
    setting.reset();
    toolkit::SetUiDispatcher(nullptr);
    toolkit::SetDialogs(nullptr);
    platform::SetClock(nullptr);
    platform::DriveMap::global().clear();
    return succeeded == devices ? 0 : 1;
}

// ---- the blanking check at every level ----

struct Level {
    const char* name;
    BlankingSettings settings;
};

std::vector<Level> Levels()
{
    std::vector<Level> levels;
    static const char* names[] = {"Level 1", "Level 2", "Level 3", "Level 4", "Level 5", "Level 6", "Level 7"};
    for (uint32_t l = 0; l < 7; ++l) {
        BlankingSettings s;
        s.scanLevel = l;
        s.pattern = 0x00F0;
        levels.push_back({names[l], s});
    }
    // The special scan reads every page; "All Pages" then chooses the page table from them.
    BlankingSettings all;
    all.scanLevel = 0;
    all.specialScan = true;
    all.pageMode = 6;
    levels.push_back({"Level 1 special scan All Pages", all});
    return levels;
}

constexpr uint32_t kPagesPerBlock[] = {64, 128, 512};

int BlankingRuns()
{
    Station station;
    platform::FakeClock fake;
    platform::SetClock(&fake);
    InitLanguageStrings();
    sim::SimBus bus(station.dir + "/disks");
    toolkit::TStaticText status{nullptr, "D1infoStr"}, textF{nullptr, "TextF1"}, textP{nullptr, "TextP1"};
    toolkit::TGauge gauge{nullptr, "ProgressBar1"};
    toolkit::TImage image{nullptr, "infoImage1"};
    gauge.SetMaxValue(400);
    const auto loaderSize = FileSizeOf(sim::kKitLoader);
    const double clockRead = ClockReadSeconds();
    for (uint32_t pages : kPagesPerBlock) {
        for (const Level& level : Levels()) {
            sim::FlashProfile profile = sim::Nand128M();
            profile.pagesPerBlock = pages;
            auto device = bus.plug(profile);
            const char letter = bus.letterOf(device);
            if (!loaderSize || !UploadFirmware(letter, uint32_t(*loaderSize), sim::kKitLoader)) {
                std::fprintf(stderr, "the loader upload failed\n");
                return 1;
            }
            device->setLatency(sim::Latency::RealisticNand());
            SimTime simTime;
            Measure(letter, simTime);
            ProductThread thread(letter, 0, &status, &gauge, &image, "", &textF, &textP);
            thread.hDevice = platform::OpenDrive(letter);
            thread.iSectorSize = profile.sectorSize;
            thread.iChipCount = profile.chips;
            thread.iBlocksPerChip = profile.blocksPerChip;
            thread.iUsableBlocksPerChip = profile.usableBlocksPerChip;
            thread.iPagesPerBlock = profile.pagesPerBlock;
            thread.iPageSize = profile.pageSize;
            thread.iEccThreshold = 4;
            thread.sFlashTypeName = profile.name;
            thread.AllocateBlockTable();

            const uint64_t deviceFrom = fake.sleptMs();
            const double cpuFrom = ThreadCpuSeconds();
            const int result = BlankingCheck(thread, 0, 400, level.settings);
            const double cpu = ThreadCpuSeconds() - cpuFrom;
            const double deviceSeconds = double(fake.sleptMs() - deviceFrom) / 1000.0;
            platform::CloseDrive(thread.hDevice);
            thread.hDevice = INVALID_HANDLE_VALUE;
            bus.unplug(device);
            if (result != 1) {
                std::fprintf(stderr, "%s at %u pages: the check failed (%s)\n", level.name, pages,
                             status.Caption().c_str());
                return 1;
            }
            const double host = cpu - simTime.seconds() - double(simTime.commands.load()) * clockRead;
            std::printf("share %u %s=%.8f\ncommands %u %s=%llu\nhost %u %s=%.8f\n", pages, level.name,
                        100.0 * host / deviceSeconds, pages, level.name,
                        (unsigned long long)simTime.vendorCommands.load(), pages, level.name, host);
        }
    }
    platform::SetClock(nullptr);
    platform::DriveMap::global().clear();
    return 0;
}

// ---- Synchronize alone: workers handing calls to the main thread ----

class SyncWorker : public toolkit::TThread {
public:
    explicit SyncWorker(int calls) : TThread(true), calls_(calls) {}

protected:
    void Execute() override
    {
        for (int i = 0; i < calls_; ++i)
            Synchronize([] {});
    }

private:
    int calls_;
};

int SynchronizeRuns(int workers)
{
    constexpr int kCalls = 2000;
    toolkit::SetUiDispatcher([](std::function<void()>) {});
    std::vector<std::unique_ptr<SyncWorker>> threads;
    const double cpuFrom = bench::CpuSeconds();
    for (int i = 0; i < workers; ++i) {
        threads.push_back(std::make_unique<SyncWorker>(kCalls));
        threads.back()->Resume();
    }
    toolkit::TThread::WaitForAll();
    for (auto& t : threads)
        t->WaitFor();
    const double cpu = bench::CpuSeconds() - cpuFrom;
    std::printf("per_call=%.9f\n", cpu / (double(workers) * kCalls));
    threads.clear();
    toolkit::SetUiDispatcher(nullptr);
    return 0;
}

// ---- the figures ----

bench::ChildRun Child(const std::string& self, std::vector<std::string> args)
{
    args.insert(args.begin(), self);
    bench::ChildRun run = bench::RunChild(args);
    if (!run.ok) {
        std::fprintf(stderr, "bench child failed:");
        for (const auto& a : args)
            std::fprintf(stderr, " %s", a.c_str());
        std::fprintf(stderr, "\n%s", run.output.c_str());
        std::exit(1);
    }
    return run;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && !std::strcmp(argv[1], "--run"))
        return StationRun(std::atoi(argv[2]), !std::strcmp(argv[3], "realistic"));
    if (argc == 2 && !std::strcmp(argv[1], "--blanking"))
        return BlankingRuns();
    if (argc == 3 && !std::strcmp(argv[1], "--synchronize"))
        return SynchronizeRuns(std::atoi(argv[2]));
    int reps = 5;
    for (int i = 1; i + 1 < argc; i += 2)
        if (!std::strcmp(argv[i], "--reps"))
            reps = std::max(1, std::atoi(argv[i + 1]));
    const std::string self = fs::canonical("/proc/self/exe").string();
    setenv("MTOOLS_SKIP_CHECK", "1", 1);

    std::vector<double> sync1, sync8;
    std::vector<double> cpu1, cpu8, cpuRatio, perCommand, startup, startupMemory, perDevice, wall8, critical, criticalRatio;
    std::map<std::string, std::vector<double>> shares;
    std::vector<std::string> shareOrder;

    for (int rep = 0; rep < reps; ++rep) {
        const std::string one = Child(self, {"--run", "1", "none"}).output;
        const std::string eight = Child(self, {"--run", "8", "none"}).output;
        using bench::Value;
        cpu1.push_back(1000 * Value(one, "host"));
        cpu8.push_back(1000 * Value(eight, "host") / 8);
        cpuRatio.push_back(cpu8.back() / cpu1.back());
        startup.push_back(1000 * Value(one, "startup"));
        startupMemory.push_back(Value(one, "startup_kib") / 1024);
        perDevice.push_back((Value(eight, "peak_kib") - Value(one, "peak_kib")) / 7 / 1024);

        // The critical path of 8 devices: the window hands them on one after the other,
        // then the last one runs as long as a device on its own does.
        const std::string realOne = Child(self, {"--run", "1", "realistic"}).output;
        const std::string realEight = Child(self, {"--run", "8", "realistic"}).output;
        const double alone = Value(realOne, "wall") - Value(realOne, "arrivals");
        wall8.push_back(Value(realEight, "wall"));
        critical.push_back(Value(realEight, "arrivals") + alone);
        criticalRatio.push_back(wall8.back() / critical.back());

        const double syncOne = Value(Child(self, {"--synchronize", "1"}).output, "per_call");
        const double syncEight = Value(Child(self, {"--synchronize", "8"}).output, "per_call");
        sync1.push_back(1e6 * syncOne);
        sync8.push_back(1e6 * syncEight);

        const std::string blanking = Child(self, {"--blanking"}).output;
        size_t at = 0;
        while ((at = blanking.find("share ", at)) != std::string::npos) {
            const size_t eq = blanking.find('=', at);
            const std::string key = blanking.substr(at + 6, eq - at - 6);
            if (!shares.count(key))
                shareOrder.push_back(key);
            shares[key].push_back(std::atof(blanking.c_str() + eq + 1));
            at = eq;
        }
        // Per command over the ordinary levels, where commands are nearly all the host does.
        double host = 0, commands = 0;
        for (uint32_t pages : kPagesPerBlock)
            for (const Level& level : Levels()) {
                const std::string key = std::to_string(pages) + " " + level.name;
                if (!level.settings.specialScan) {
                    host += Value(blanking, "host " + key);
                    commands += Value(blanking, "commands " + key);
                }
            }
        perCommand.push_back(1e6 * host / commands);
    }

    bool met = true;
    using bench::Figure;
    using bench::Goal;
    Figure("production 1 device no latency: host CPU per device run", cpu1, "ms");
    Figure("production 8 devices no latency: host CPU per device run", cpu8, "ms");
    met &= Figure("production 8 devices vs 1 device: host CPU per device run", cpuRatio, "x", Goal::AtMost, 1.5);
    Figure("Synchronize alone, 1 worker: host CPU per call", sync1, "us");
    Figure("Synchronize alone, 8 workers: host CPU per call", sync8, "us");
    met &= Figure("blanking levels 1-7 (64 128 512 pages per block): host CPU per vendor command", perCommand,
                  "us", Goal::Below, 0.5);
    for (const std::string& key : shareOrder) {
        const bool allPages = key.find("All Pages") != std::string::npos;
        const bool at512 = key.rfind("512 ", 0) == 0;
        met &= Figure("blanking " + key.substr(0, key.find(' ')) + " pages per block " + key.substr(key.find(' ') + 1) +
                          ": host CPU share of device time",
                      shares[key], "%", allPages && at512 ? Goal::Below : Goal::None, 0.2);
    }
    Figure("production 8 devices realistic latency: wall time", wall8, "s");
    Figure("production 8 devices realistic latency: critical path", critical, "s");
    met &= Figure("production 8 devices realistic latency: wall time / critical path", criticalRatio, "x",
                  Goal::AtMost, 1.01);
    Figure("production start-up: window and settings forms ready", startup, "ms");
    Figure("production start-up: peak memory", startupMemory, "MiB");
    Figure("production memory per device (8 devices against 1)", perDevice, "MiB");
    return met ? 0 : 2;
}
