// Real USB disks arriving and leaving, from a libudev monitor.
#include "platform/UdevMonitor.h"

#include "platform/DeviceAccess.h"

#include <libudev.h>

namespace platform {

namespace {

std::string Text(const char* value) { return value ? value : ""; }

UdevDevice Read(udev_device* dev)
{
    return {Text(udev_device_get_action(dev)), Text(udev_device_get_subsystem(dev)),
            Text(udev_device_get_devtype(dev)), Text(udev_device_get_property_value(dev, "ID_BUS")),
            Text(udev_device_get_devnode(dev))};
}

} // namespace

UdevMonitor::UdevMonitor(DriveMap& drives, Opener opener, VolumeEvent onEvent)
    : drives_(drives), opener_(std::move(opener)), onEvent_(std::move(onEvent))
{
}

UdevMonitor::~UdevMonitor()
{
    if (monitor_)
        udev_monitor_unref(monitor_);
    if (udev_)
        udev_unref(udev_);
}

bool UdevMonitor::start()
{
    if (monitor_)
        return true;
    udev_ = udev_new();
    if (!udev_)
        return false;
    monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
    if (!monitor_)
        return false;
    udev_monitor_filter_add_match_subsystem_devtype(monitor_, "block", "disk");
    if (udev_monitor_enable_receiving(monitor_) < 0) {
        udev_monitor_unref(monitor_);
        monitor_ = nullptr;
        return false;
    }
    return true;
}

int UdevMonitor::fd() const { return monitor_ ? udev_monitor_get_fd(monitor_) : -1; }

void UdevMonitor::poll()
{
    if (!monitor_)
        return;
    while (udev_device* dev = udev_monitor_receive_device(monitor_)) {
        const UdevDevice device = Read(dev);
        udev_device_unref(dev);
        handle(device);
    }
}

void UdevMonitor::handle(const UdevDevice& device)
{
    // The netlink filter already passes only whole block disks; checked again so that
    // nothing else can reach a letter whatever the filter lets through.
    if (device.subsystem != "block" || device.devtype != "disk" || device.action.empty() ||
        device.devnode.empty())
        return;
    handle(device.action, device.devnode, device.bus == "usb");
}

void UdevMonitor::handle(const std::string& action, const std::string& node, bool usbDisk)
{
    if (action == "add") {
        if (!usbDisk || letters_.count(node))
            return;
        DriveBinding binding;
        Opener opener = opener_;
        binding.open = [opener, node] { return opener ? opener(node) : nullptr; };
        binding.volumePath = [node] { return node; };
        binding.name = node;
        char letter = drives_.assign(std::move(binding));
        if (letter == 0)
            return; // no letter left; the device stays unseen as it would have
        letters_[node] = letter;
        if (onEvent_)
            onEvent_(true, 1u << (letter - 'A'));
    } else if (action == "remove") {
        auto it = letters_.find(node);
        if (it == letters_.end())
            return;
        char letter = it->second;
        letters_.erase(it);
        ForgetAccessRefusal(node); // a device plugged in there later is told about afresh
        drives_.release(letter);
        if (onEvent_)
            onEvent_(false, 1u << (letter - 'A'));
    }
}

char UdevMonitor::letterOf(const std::string& node) const
{
    auto it = letters_.find(node);
    return it == letters_.end() ? 0 : it->second;
}

} // namespace platform
