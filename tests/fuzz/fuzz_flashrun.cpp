// A flash description in a run: the record (as the DEFAULT description of a flash no file
// names) drives a production on a simulated device up to the tables; a byte after the
// 512 of the record chooses the scans. Whatever the record holds, the run ends, is counted once, and its
// panel shows success or a red caption.
#include "FuzzSupport.h"

#include "platform/Clock.h"
#include "platform/DriveMap.h"
#include "sim/Profiles.h"
#include "sim/SimBus.h"
#include "sim/StationKit.h"
#include "toolkit/Dialogs.h"
#include "toolkit/TThread.h"
#include "ui/main.h"

#include <deque>
#include <memory>
#include <mutex>

namespace {

struct Station {
    platform::FakeClock clock;
    toolkit::ScriptedDialogs dialogs;
    std::unique_ptr<sim::SimBus> bus;
    std::unique_ptr<TForm1> form;
    std::mutex mutex;
    std::deque<std::pair<bool, uint32_t>> events;

    Station()
    {
        if (!sim::WriteStationKit(fuzz::Folder()))
            std::abort();
        std::filesystem::create_directories(fuzz::Folder() + "/disks");
        platform::SetClock(&clock);
        toolkit::SetDialogs(&dialogs);
        bus = std::make_unique<sim::SimBus>(fuzz::Folder() + "/disks");
        bus->setVolumeCallback([this](bool arrival, uint32_t mask) {
            std::lock_guard lock(mutex);
            events.emplace_back(arrival, mask);
        });
        form = std::make_unique<TForm1>();
        form->FormShow(form.get());
        for (auto* box : {form->chkUsbPort, form->CheckManuupgrade, form->chkBlankCheck, form->chkClearFlash,
                          form->chkFwUpgrade, form->chkParityCheck, form->chknor})
            box->SetChecked(false);
    }
    // Hands the bus's events to the window, as its user-interface thread would.
    void Deliver()
    {
        bus->waitForEvents();
        std::unique_lock lock(mutex);
        while (!events.empty()) {
            const auto [arrival, mask] = events.front();
            events.pop_front();
            lock.unlock();
            form->Dispatch({WM_DEVICECHANGE, arrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE,
                            DBT_DEVTYP_VOLUME, mask});
            lock.lock();
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Station station;
    TForm1& form = *station.form;
    fuzz::Put(sim::kKitDefaultRecord, fuzz::Bytes(data, size));
    const uint8_t options = size > 512 ? data[512] : 0;
    form.chkClearFlash->SetChecked(options & 1);
    form.chkBlankCheck->SetChecked(options & 2);
    form.iScanLevel = (options >> 2) % 7;
    form.PageMode = options & 0x20;

    const int total = form.iTotalCount;
    auto device = station.bus->plug(sim::NandUnlisted());
    FUZZ_CHECK(device);
    station.Deliver();
    toolkit::TThread::WaitForAll();
    station.Deliver();
    FUZZ_CHECK(form.iTotalCount == total + 1);
    FUZZ_CHECK(form.iRunningThreads == 0);
    const std::string status = form.DeviceSlots[0].status->Caption();
    FUZZ_CHECK(status == "successful" || status == "successful(Degrade)"
               || form.DeviceSlots[0].status->Font()->Color() == toolkit::clRed);
    station.bus->unplug(device);
    station.Deliver();
    station.dialogs.Clear();
    return 0;
}
