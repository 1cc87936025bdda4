#pragma once
// Whole production runs on simulated devices: a station folder with the sample kit, the
// main window (its real settings and copy list), a fake clock, and a bus whose volume
// events go to the window as the user-interface thread would hand them on.
#include "platform/VolumeTools.h"
#include "sim/Profiles.h"
#include "sim/SimBus.h"
#include "support/SimStation.h"
#include "toolkit/Dialogs.h"
#include "ui/main.h"

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace e2e {

// What an outside FAT tool said about a disk file.
struct ToolRun {
    bool ok = false;
    std::string output;
};
// fsck.fat -n on a disk file: no change, no complaint.
ToolRun CheckVolumeFile(const std::string& path);
// mdir -b of a folder on a disk file ("::/" the root): one path a line.
ToolRun ListVolumeFolder(const std::string& path, const std::string& folder = "::/");
// The volume label as mlabel -s shows it.
ToolRun VolumeLabelOf(const std::string& path);
// The bytes of one file on a disk file (mtype).
ToolRun ReadVolumeFile(const std::string& path, const std::string& file);

class StationRun : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Plugs a device and hands the arrival to the window, which starts its thread.
    std::shared_ptr<sim::SimulatedDevice> Plug(const sim::FlashProfile& profile, uint8_t port = 0);
    // Waits until every production thread has ended; then hands on what the bus raised.
    void WaitForRuns();
    // Hands the bus's volume events to the window, in order.
    void Deliver();
    // Volume events go straight to the window on the thread that raises them (for a
    // removal in the middle of a run).
    void DeliverDirectly(bool on) { direct_ = on; }

    // The copy list: the kit's program file and prefer data, then `extra` (relative to
    // the station folder or absolute), classified as the window does.
    void SetCopyList(const std::vector<std::string>& extra);
    // Writes a file into the station folder and returns its full path.
    std::string MakeFile(const std::string& relative, const std::string& content);

    std::vector<std::string> Log() const;
    bool LogHas(const std::string& line) const;
    std::string Status(int slot) const { return form->DeviceSlots[slot].status->Caption(); }
    toolkit::TColor Color(int slot) const { return form->DeviceSlots[slot].status->Font()->Color(); }

    // The format tool found first in the search path is one that always fails.
    void BreakFormatTool();
    // How often the broken format tool ran.
    int FormatToolCalls() const;
    // From now on every gauge step and status caption of panel 0, in order.
    void RecordPanel();
    std::vector<int> Steps();
    std::vector<std::string> Captions();

    std::unique_ptr<testsupport::SimStation> station;
    toolkit::ScriptedDialogs dialogs;
    std::unique_ptr<TForm1> form;

private:
    void send(bool arrival, uint32_t mask);
    std::mutex eventsMutex_;
    std::deque<std::pair<bool, uint32_t>> events_;
    bool direct_ = false;
    std::mutex panelMutex_;
    std::vector<int> steps_;
    std::vector<std::string> captions_;
    platform::VolumeToolConfig savedTools_;
};

} // namespace e2e
