// The bus that plugs and unplugs simulated devices.
#include "sim/SimBus.h"

#include <algorithm>

namespace sim {

namespace {
uint32_t maskOf(char letter)
{
    return letter >= 'A' && letter <= 'Z' ? 1u << (letter - 'A') : 0;
}
} // namespace

// Devices may outlive the bus (tests keep them); their listener reaches the bus only
// while this guard says it is alive.
struct BusGuard {
    std::mutex mutex;
    SimBus* bus = nullptr;
};

SimBus::SimBus(std::string diskFolder, platform::DriveMap& map)
    : diskFolder_(std::move(diskFolder)), map_(map), guard_(std::make_shared<BusGuard>())
{
    guard_->bus = this;
    eventThread_ = std::thread([this] { eventLoop(); });
}

SimBus::~SimBus()
{
    {
        std::lock_guard<std::mutex> lock(guard_->mutex);
        guard_->bus = nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& slot : slots_) {
            slot.device->setListener(nullptr);
            slot.device->unplug();
            map_.release(slot.letter);
        }
        slots_.clear();
    }
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        stopping_ = true;
    }
    queueCv_.notify_all();
    eventThread_.join();
}

void SimBus::setVolumeCallback(VolumeCallback callback)
{
    std::lock_guard<std::mutex> lock(mutex_);
    callback_ = std::move(callback);
}

void SimBus::setReenumerateOnReset(bool on)
{
    std::lock_guard<std::mutex> lock(mutex_);
    reenumerateOnReset_ = on;
}

bool SimBus::bindDevice(const std::shared_ptr<SimulatedDevice>& device, char& letter)
{
    std::weak_ptr<SimulatedDevice> weak = device;
    platform::DriveBinding binding;
    binding.open = [weak]() -> std::shared_ptr<platform::ScsiTransport> {
        auto d = weak.lock();
        if (!d || !d->plugged())
            return nullptr;
        return d;
    };
    binding.volumePath = [weak]() -> std::string {
        auto d = weak.lock();
        return d && d->plugged() ? d->currentDiskPath() : std::string();
    };
    binding.name = "sim:" + device->id();

    std::lock_guard<std::mutex> lock(mutex_);
    letter = map_.assign(std::move(binding));
    if (!letter)
        return false;
    slots_.push_back({letter, device});
    std::shared_ptr<BusGuard> guard = guard_;
    device->setListener([guard, weak](SimulatedDevice::Event event) {
        std::lock_guard<std::mutex> lock(guard->mutex);
        if (guard->bus)
            guard->bus->onDeviceEvent(weak, event);
    });
    return true;
}

std::shared_ptr<SimulatedDevice> SimBus::plug(const FlashProfile& profile, uint8_t usbPort)
{
    std::string id;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        id = "sim" + std::to_string(nextId_++);
    }
    auto device = std::make_shared<SimulatedDevice>(profile, diskFolder_, id, usbPort);
    char letter = 0;
    if (!bindDevice(device, letter))
        return nullptr;
    raise(true, letter);
    return device;
}

bool SimBus::replug(const std::shared_ptr<SimulatedDevice>& device, uint8_t usbPort)
{
    if (!device || letterOf(device))
        return false;
    device->powerCycle();
    device->setUsbPort(usbPort);
    char letter = 0;
    if (!bindDevice(device, letter)) {
        device->unplug();
        return false;
    }
    raise(true, letter);
    return true;
}

bool SimBus::unplug(char letter)
{
    std::shared_ptr<SimulatedDevice> device;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = std::find_if(slots_.begin(), slots_.end(), [letter](const Slot& s) { return s.letter == letter; });
        if (it == slots_.end())
            return false;
        device = it->device;
        slots_.erase(it);
        map_.release(letter);
    }
    device->setListener(nullptr);
    device->unplug();
    raise(false, letter);
    return true;
}

bool SimBus::unplug(const std::shared_ptr<SimulatedDevice>& device)
{
    char letter = letterOf(device);
    return letter && unplug(letter);
}

void SimBus::unplugAll()
{
    for (char letter : letters())
        unplug(letter);
}

std::shared_ptr<SimulatedDevice> SimBus::deviceAt(char letter) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& s : slots_)
        if (s.letter == letter)
            return s.device;
    return nullptr;
}

char SimBus::letterOf(const std::shared_ptr<SimulatedDevice>& device) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& s : slots_)
        if (s.device == device)
            return s.letter;
    return 0;
}

std::vector<char> SimBus::letters() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<char> out;
    for (const auto& s : slots_)
        out.push_back(s.letter);
    std::sort(out.begin(), out.end());
    return out;
}

void SimBus::raise(bool arrival, char letter)
{
    VolumeCallback callback;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        callback = callback_;
    }
    if (callback)
        callback(arrival, maskOf(letter));
}

void SimBus::post(bool arrival, char letter)
{
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        queue_.emplace_back(arrival, letter);
    }
    queueCv_.notify_all();
}

void SimBus::onDeviceEvent(const std::weak_ptr<SimulatedDevice>& weak, SimulatedDevice::Event event)
{
    auto device = weak.lock();
    if (!device)
        return;
    char letter = 0;
    bool reenumerate = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = std::find_if(slots_.begin(), slots_.end(), [&](const Slot& s) { return s.device == device; });
        if (it == slots_.end())
            return;
        letter = it->letter;
        reenumerate = reenumerateOnReset_;
        if (event == SimulatedDevice::Event::Unplugged) {
            slots_.erase(it);
            map_.release(letter);
            device->setListener(nullptr);
        }
    }
    if (event == SimulatedDevice::Event::Unplugged) {
        post(false, letter);
    } else if (reenumerate) {
        // The reset device drops off the bus and comes back on the same letter.
        post(false, letter);
        post(true, letter);
    }
}

void SimBus::eventLoop()
{
    std::unique_lock<std::mutex> lock(queueMutex_);
    for (;;) {
        queueCv_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_) {
            // Nobody is listening any more once the bus goes away.
            queue_.clear();
            idleCv_.notify_all();
            return;
        }
        auto [arrival, letter] = queue_.front();
        queue_.pop_front();
        delivering_ = true;
        lock.unlock();
        raise(arrival, letter);
        lock.lock();
        delivering_ = false;
        if (queue_.empty())
            idleCv_.notify_all();
    }
}

void SimBus::waitForEvents()
{
    std::unique_lock<std::mutex> lock(queueMutex_);
    idleCv_.wait(lock, [this] { return queue_.empty() && !delivering_; });
}

} // namespace sim
