#pragma once
// Whole production runs on simulated devices: a station folder with the sample kit, the
// main window, a fake clock, and a bus whose volume events reach the window as the
// user-interface thread would hand them on.
#include "device/HostUtil.h"
#include "platform/Process.h"
#include "platform/ProgramDir.h"
#include "platform/VolumeTools.h"
#include "production/WindowLink.h"
#include "sim/Profiles.h"
#include "sim/SimBus.h"
#include "sim/StationKit.h"
#include "support/SimStation.h"
#include "toolkit/Dialogs.h"
#include "toolkit/TThread.h"
#include "ui/main.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace e2e {

using ::testing::HasSubstr;
using ::testing::Not;

inline std::string SearchPath()
{
    const char* path = std::getenv("PATH");
    return std::string(path ? path : "/usr/bin:/bin") + ":/usr/local/sbin:/usr/sbin:/sbin";
}

struct ToolRun {
    bool ok = false;
    std::string output;
};
inline ToolRun Tool(std::vector<std::string> argv)
{
    platform::ProcessOptions options;
    options.captureOutput = true;
    options.timeoutMs = 60000;
    options.environment = {{"MTOOLS_SKIP_CHECK", "1"}, {"LC_ALL", "C.UTF-8"}};
    const std::string found = platform::FindProgram(argv[0], SearchPath());
    if (found.empty())
        return {false, argv[0] + " not found"};
    argv[0] = found;
    platform::ProcessResult r = platform::RunProcess(argv, options);
    return {r.succeeded(), r.output + r.errorOutput};
}
inline ToolRun CheckVolumeFile(const std::string& disk) { return Tool({"fsck.fat", "-n", disk}); }
inline std::string ListVolume(const std::string& disk, const std::string& folder = "::/")
{
    return Tool({"mdir", "-b", "-i", disk, folder}).output;
}
inline std::string VolumeLabelOf(const std::string& disk) { return Tool({"mlabel", "-s", "-i", disk, "::"}).output; }
inline std::string ReadVolumeFile(const std::string& disk, const std::string& file)
{
    return Tool({"mtype", "-i", disk, "::/" + file}).output;
}

// True when `wanted` appears in `all` in this order, other entries between allowed.
inline bool InOrder(const std::vector<std::string>& all, const std::vector<std::string>& wanted)
{
    auto it = all.begin();
    for (const std::string& w : wanted) {
        if ((it = std::find(it, all.end(), w)) == all.end())
            return false;
        ++it;
    }
    return true;
}
inline bool Matches(const std::string& text, const std::string& pattern)
{
    return std::regex_match(text, std::regex(pattern));
}

inline std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}
inline std::string MakeFile(const testsupport::SimStation& station, const std::string& relative,
                            const std::string& content)
{
    const std::string path = station.file(relative);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
    return path;
}
// The format tool found first in the search path always fails and counts its calls.
inline void BreakFormatTool(const testsupport::SimStation& station)
{
    const std::string bin = station.file("brokenbin");
    MakeFile(station, "brokenbin/mkfs.fat", "#!/bin/sh\necho x >> '" + bin + "/calls'\necho refused >&2\nexit 1\n");
    std::filesystem::permissions(bin + "/mkfs.fat", std::filesystem::perms::owner_all);
    platform::VolumeToolConfig config = platform::GetVolumeToolConfig();
    config.searchPath = bin + ":" + SearchPath();
    platform::SetVolumeToolConfig(config);
}
inline int FormatToolCalls(const testsupport::SimStation& station)
{
    return int(ReadFile(station.file("brokenbin/calls")).size() / 2);
}

// Prepares the window or the station folder before a run of a table row.
using Setup = void (*)(TForm1&, testsupport::SimStation&);

struct Fault {
    uint16_t code = 0; // 0: none
    uint32_t nth = 1;
    sim::FaultKind kind = sim::FaultKind::StatusClear;
    uint32_t times = 1;
};

class StationRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        station = std::make_unique<testsupport::SimStation>();
        toolkit::SetDialogs(&dialogs);
        production::SetWindowLink(nullptr);
        savedTools_ = platform::GetVolumeToolConfig();
        RegWriteInteger("SoftWare\\KOV6125\\Vornagel28", "LanguageID", 1); // English
        station->bus().setVolumeCallback([this](bool arrival, uint32_t mask) {
            if (direct_)
                return send(arrival, mask);
            std::lock_guard lock(eventsMutex_);
            events_.emplace_back(arrival, mask);
        });
        form = std::make_unique<TForm1>();
        form->FormShow(form.get());
        // A plain production: firmware and data, format, copy; no scans.
        for (auto* box : {form->chkUsbPort, form->CheckManuupgrade, form->chkBlankCheck, form->chkClearFlash,
                          form->chkISOupgrade, form->chkParityCheck, form->chknor, form->chkFAT32})
            box->SetChecked(false);
        form->chkFwUpgrade->SetChecked(true);
        form->chkFormat->SetChecked(true);
        form->LabelEdit->SetText("MY_AUDIO");
        // The other settings are the kit's own (it ships no prefer.ini), as the demo runs them.
        SetCopyList({});
        std::remove(station->file("log/1.txt").c_str());
    }
    void TearDown() override
    {
        toolkit::TThread::WaitForAll();
        direct_ = false;
        station->bus().setVolumeCallback(nullptr);
        platform::SetVolumeToolConfig(savedTools_);
        form.reset();
        toolkit::SetDialogs(nullptr);
        station.reset();
    }

    // Plugs a device with its fault, hands the arrival to the window and waits for the run.
    std::shared_ptr<sim::SimulatedDevice> Run(const sim::FlashProfile& profile, Fault fault = {})
    {
        auto device = station->bus().plug(profile);
        EXPECT_TRUE(device);
        if (device && fault.code)
            device->failCommand(fault.code, fault.nth, fault.kind, fault.times);
        Deliver();
        WaitForRuns();
        return device;
    }
    // Unplugs the device and plugs it in again for a second run.
    void Rerun(const std::shared_ptr<sim::SimulatedDevice>& device)
    {
        station->bus().unplug(device);
        Deliver();
        ASSERT_TRUE(station->bus().replug(device));
        Deliver();
        WaitForRuns();
    }
    void WaitForRuns() { toolkit::TThread::WaitForAll(); Deliver(); }
    void Deliver()
    {
        station->bus().waitForEvents();
        std::unique_lock lock(eventsMutex_);
        while (!events_.empty()) {
            const auto event = events_.front();
            events_.pop_front();
            lock.unlock();
            send(event.first, event.second);
            lock.lock();
        }
    }
    // Volume events go to the window on the thread that raises them (removal mid-run).
    void DeliverDirectly(bool on) { direct_ = on; }

    // The copy list: the kit's program file and prefer data, then `extra`.
    void SetCopyList(const std::vector<std::string>& extra)
    {
        std::vector<std::string> items = {station->file(sim::kKitFirmware), station->file(sim::kKitPrefer)};
        for (const std::string& item : extra)
            items.push_back(item[0] == '/' ? item : station->file(item));
        form->TntSelectFileList2->Items()->Assign(items);
        form->ScanFileList();
    }
    std::string MakeFile(const std::string& relative, const std::string& content)
    {
        return e2e::MakeFile(*station, relative, content);
    }

    bool LogHas(const std::string& line) const
    {
        return ("\r\n" + ReadFile(station->file("log/1.txt"))).find("\r\n" + line + "\r\n") != std::string::npos;
    }
    std::string Status(int slot) const { return form->DeviceSlots[slot].status->Caption(); }
    toolkit::TColor Color(int slot) const { return form->DeviceSlots[slot].status->Font()->Color(); }
    // "total/success/fail" as the window shows them.
    std::string Counters() const
    {
        return form->TotalStr->Caption() + "/" + form->SuccessStr->Caption() + "/" + form->FailStr->Caption();
    }
    // The window is free again: no run counted, the shared groups enabled.
    void ExpectIdle()
    {
        EXPECT_EQ(form->iRunningThreads, 0);
        EXPECT_TRUE(form->grpFileList->Enabled());
        EXPECT_TRUE(form->grpMPSetting->Enabled());
    }

    // From now on every gauge step (repeats dropped) and status caption of panel 0.
    void RecordPanel()
    {
        form->ProgressBar1->AddObserver([this](toolkit::TControl& control, toolkit::Prop what) {
            const int step = static_cast<toolkit::TGauge&>(control).Progress();
            std::lock_guard lock(panelMutex_);
            if (what == toolkit::Prop::Progress && (steps_.empty() || steps_.back() != step))
                steps_.push_back(step);
        });
        form->D1infoStr->AddObserver([this](toolkit::TControl& control, toolkit::Prop what) {
            std::lock_guard lock(panelMutex_);
            if (what == toolkit::Prop::Caption)
                captions_.push_back(control.Caption());
        });
    }
    std::vector<int> Steps() { std::lock_guard lock(panelMutex_); return steps_; }
    std::vector<std::string> Captions() { std::lock_guard lock(panelMutex_); return captions_; }

    std::unique_ptr<testsupport::SimStation> station;
    toolkit::ScriptedDialogs dialogs;
    std::unique_ptr<TForm1> form;

private:
    void send(bool arrival, uint32_t mask)
    {
        form->Dispatch({WM_DEVICECHANGE, arrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE,
                        DBT_DEVTYP_VOLUME, mask});
    }
    std::mutex eventsMutex_;
    std::deque<std::pair<bool, uint32_t>> events_;
    std::atomic<bool> direct_{false};
    std::mutex panelMutex_;
    std::vector<int> steps_;
    std::vector<std::string> captions_;
    platform::VolumeToolConfig savedTools_;
};

} // namespace e2e
