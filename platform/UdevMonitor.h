#pragma once
// Real devices: a libudev monitor of USB disks. An added disk gets the first free drive
// letter, bound to its block node (SG_IO works on it, and the FAT tools use it as the
// volume); a removed one gives its letter back. Each change becomes a volume event with
// a unit mask, as the window's device handler expects. Call poll() on the UI thread when
// fd() is readable. Internal disks, card readers on other buses, loop devices and
// partitions never get a letter: production would overwrite whatever they hold.
#include "platform/DriveMap.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

struct udev;
struct udev_monitor;

namespace platform {

// What the monitor reads of one udev event, as libudev presents the device ("" for what
// it does not give).
struct UdevDevice {
    std::string action;    // "add", "remove", "change", "bind", ...
    std::string subsystem; // "block" for disks
    std::string devtype;   // "disk" for a whole disk, "partition" for one of its partitions
    std::string bus;       // the ID_BUS property: "usb", "ata", "nvme", "scsi", unset for mmc and loop
    std::string devnode;   // "/dev/sdb"
};

class UdevMonitor {
public:
    using VolumeEvent = std::function<void(bool arrival, uint32_t unitMask)>;
    using Opener = std::function<std::shared_ptr<ScsiTransport>(const std::string& node)>;

    UdevMonitor(DriveMap& drives, Opener opener, VolumeEvent onEvent);
    ~UdevMonitor();
    UdevMonitor(const UdevMonitor&) = delete;
    UdevMonitor& operator=(const UdevMonitor&) = delete;

    // Starts listening; false when udev is not available (no events will come).
    bool start();
    int fd() const;
    // Reads the pending events without blocking.
    void poll();

    // One event as udev reports it; the rest of the class is the udev plumbing. Only the
    // whole disks of USB devices are handed on.
    void handle(const UdevDevice& device);
    void handle(const std::string& action, const std::string& node, bool usbDisk);

    // Letter bound to a node, 0 when none.
    char letterOf(const std::string& node) const;

private:
    DriveMap& drives_;
    Opener opener_;
    VolumeEvent onEvent_;
    std::map<std::string, char> letters_;
    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
};

} // namespace platform
