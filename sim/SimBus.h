#pragma once
// A USB bus of simulated devices. Plugging a device binds the first free drive letter in
// the drive map (its binding opens the device and names its current disk file) and raises
// an arrival event; unplugging releases the letter and raises a removal event. The unit
// mask of an event has bit (letter - 'A') set, as the volume notifications do.
//
// Events of plug() and unplug() are delivered on the calling thread before they return.
// Events the device causes itself (a reset by EF 81 makes it leave and come back; an
// injected unplug) are delivered in order from the bus's own event thread, never from
// inside a command; waitForEvents() waits until they have all been delivered.
#include "platform/DriveMap.h"
#include "sim/SimulatedDevice.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sim {

struct BusGuard;

class SimBus {
public:
    using VolumeCallback = std::function<void(bool arrival, uint32_t unitMask)>;

    // diskFolder: where the devices' disk files go (a temp dir in tests).
    explicit SimBus(std::string diskFolder, platform::DriveMap& map = platform::DriveMap::global());
    // Releases every letter the bus bound (no events) and stops the event thread.
    ~SimBus();
    SimBus(const SimBus&) = delete;
    SimBus& operator=(const SimBus&) = delete;

    void setVolumeCallback(VolumeCallback callback);
    // A reset device leaves and comes back on the same letter (default on).
    void setReenumerateOnReset(bool on);

    // A new device on a USB port (EF 9A answers 0x80 | port; 0: no port number).
    // Null when no drive letter is free.
    std::shared_ptr<SimulatedDevice> plug(const FlashProfile& profile, uint8_t usbPort = 0);
    // Plugs a device in again (power cycle: ROM state, flash and disks kept).
    // False when it is plugged already or no letter is free.
    bool replug(const std::shared_ptr<SimulatedDevice>& device, uint8_t usbPort = 0);
    bool unplug(char letter);
    bool unplug(const std::shared_ptr<SimulatedDevice>& device);
    void unplugAll();

    std::shared_ptr<SimulatedDevice> deviceAt(char letter) const;
    char letterOf(const std::shared_ptr<SimulatedDevice>& device) const; // 0 when not plugged
    std::vector<char> letters() const;
    const std::string& diskFolder() const { return diskFolder_; }

    // Blocks until every event queued by devices so far has been delivered. Not to be
    // called from the volume callback itself.
    void waitForEvents();

private:
    struct Slot {
        char letter = 0;
        std::shared_ptr<SimulatedDevice> device;
    };
    bool bindDevice(const std::shared_ptr<SimulatedDevice>& device, char& letter);
    void raise(bool arrival, char letter);
    void post(bool arrival, char letter);
    void onDeviceEvent(const std::weak_ptr<SimulatedDevice>& device, SimulatedDevice::Event event);
    void eventLoop();

    std::string diskFolder_;
    platform::DriveMap& map_;
    std::shared_ptr<BusGuard> guard_;
    mutable std::mutex mutex_;
    std::vector<Slot> slots_;
    VolumeCallback callback_;
    bool reenumerateOnReset_ = true;
    unsigned nextId_ = 0;

    std::mutex queueMutex_;
    std::condition_variable queueCv_;
    std::condition_variable idleCv_;
    std::deque<std::pair<bool, char>> queue_;
    bool delivering_ = false;
    bool stopping_ = false;
    std::thread eventThread_;
};

} // namespace sim
