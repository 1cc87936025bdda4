#pragma once
// Whole production runs on simulated devices: a station folder with the sample kit, the
// main window, a fake clock, and a bus whose volume events reach the window as the
// user-interface thread would hand them on.
#include "device/HostUtil.h"
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

#include <atomic>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace e2e {

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
// The copy list: the kit's program file and prefer data, then `extra`.
inline void List(TForm1& form, const testsupport::SimStation& station, const std::vector<std::string>& extra)
{
    std::vector<std::string> items = {station.file(sim::kKitFirmware), station.file(sim::kKitPrefer)};
    for (const std::string& item : extra)
        items.push_back(item[0] == '/' ? item : station.file(item));
    form.TntSelectFileList2->Items()->Assign(items);
    form.ScanFileList();
}
// Prepares the window or the station folder before a run of a table row.
using Setup = void (*)(TForm1&, testsupport::SimStation&);

struct Fault {
    uint16_t code = 0; // 0: none
    uint32_t nth = 1;
    sim::FaultKind kind = sim::FaultKind::StatusClear;
    uint32_t times = 1;
    // The device is pulled when panel 0 shows this (a gauge step or a status or port text);
    // the window hears of it at once when windowHears, else after the run.
    const char* unplugWhenShown = nullptr;
    bool windowHears = false;
    // Instead of pulling the device then, this station file grows by 70,000 bytes.
    const char* growWhenShown = nullptr;
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
            (pullingMidRun_ ? held_ : events_).emplace_back(arrival, mask);
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

    // Plugs a device with its fault, hands the arrival to the window and waits for the run
    // and for the volume events it caused.
    std::shared_ptr<sim::SimulatedDevice> Run(const sim::FlashProfile& profile, Fault fault = {})
    {
        auto device = Start(profile, fault);
        WaitForRuns();
        return device;
    }
    // The same, but returns when the run has ended, before the window hears of what the run
    // caused (a device pulled mid-run still shows its result).
    std::shared_ptr<sim::SimulatedDevice> Start(const sim::FlashProfile& profile, Fault fault = {})
    {
        auto device = station->bus().plug(profile);
        EXPECT_TRUE(device);
        if (device)
            Inject(*device, fault);
        Deliver();
        toolkit::TThread::WaitForAll();
        return device;
    }
    // Unplugs the device and plugs it in again, with a fault, for a second run.
    void Rerun(const std::shared_ptr<sim::SimulatedDevice>& device, Fault fault = {})
    {
        station->bus().unplug(device);
        Deliver();
        ASSERT_TRUE(station->bus().replug(device));
        Inject(*device, fault);
        Deliver();
        toolkit::TThread::WaitForAll();
    }
    void WaitForRuns()
    {
        toolkit::TThread::WaitForAll();
        {
            std::lock_guard lock(eventsMutex_);
            events_.insert(events_.end(), held_.begin(), held_.end());
            held_.clear();
        }
        Deliver();
    }
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

    void SetCopyList(const std::vector<std::string>& extra) { List(*form, *station, extra); }
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
            if (what != toolkit::Prop::Progress)
                return;
            {
                std::lock_guard lock(panelMutex_);
                if (!steps_.empty() && steps_.back() == step)
                    return;
                steps_.push_back(step);
            }
            Shown(std::to_string(step));
        });
        form->D1infoStr->AddObserver([this](toolkit::TControl& control, toolkit::Prop what) {
            if (what != toolkit::Prop::Caption)
                return;
            {
                std::lock_guard lock(panelMutex_);
                captions_.push_back(control.Caption());
            }
            Shown(control.Caption());
        });
        form->TextP1->AddObserver([this](toolkit::TControl& control, toolkit::Prop what) {
            if (what == toolkit::Prop::Caption)
                Shown(control.Caption());
        });
    }
    // The steps without the progress inside a scan (5 to B + 5).
    std::string StepsShown()
    {
        const int b = form->ProgressBar1->MaxValue() - 100;
        std::lock_guard lock(panelMutex_);
        std::string out;
        for (int step : steps_)
            if (!(step > 5 && step < b + 5))
                out += (out.empty() ? "" : " ") + std::to_string(step);
        return out;
    }
    std::vector<std::string> Captions() { std::lock_guard lock(panelMutex_); return captions_; }

    std::unique_ptr<testsupport::SimStation> station;
    toolkit::ScriptedDialogs dialogs;
    std::unique_ptr<TForm1> form;

private:
    void Inject(sim::SimulatedDevice& device, const Fault& fault)
    {
        if (fault.code)
            device.failCommand(fault.code, fault.nth, fault.kind, fault.times);
        std::lock_guard lock(panelMutex_);
        unplugWhen_ = fault.unplugWhenShown ? fault.unplugWhenShown : "";
        grow_ = fault.growWhenShown ? station->file(fault.growWhenShown) : "";
        DeliverDirectly(fault.windowHears);
    }
    void Shown(const std::string& text)
    {
        {
            std::lock_guard lock(panelMutex_);
            if (unplugWhen_.empty() || text != unplugWhen_)
                return;
            unplugWhen_.clear();
        }
        if (!grow_.empty()) {
            std::ofstream(grow_, std::ios::binary | std::ios::app) << std::string(70000, 'g');
            return;
        }
        // A row whose window does not hear of the removal until the run has ended keeps
        // it from a Deliver() that is still draining the arrival on the test's thread.
        pullingMidRun_ = true;
        station->bus().unplug('D');
        pullingMidRun_ = false;
    }
    void send(bool arrival, uint32_t mask)
    {
        form->Dispatch({WM_DEVICECHANGE, arrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE,
                        DBT_DEVTYP_VOLUME, mask});
    }
    std::mutex eventsMutex_;
    std::deque<std::pair<bool, uint32_t>> events_;
    std::deque<std::pair<bool, uint32_t>> held_; // removals the window hears after the run
    static inline thread_local bool pullingMidRun_ = false;
    std::atomic<bool> direct_{false};
    std::mutex panelMutex_;
    std::vector<int> steps_;
    std::vector<std::string> captions_;
    std::string unplugWhen_;
    std::string grow_;
    platform::VolumeToolConfig savedTools_;
};

} // namespace e2e
