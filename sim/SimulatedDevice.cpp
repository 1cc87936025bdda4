// The simulated device: command log, fault injection, latency, and its disks.
#include "sim/SimulatedDevice.h"

#include "platform/ByteOrder.h"
#include "platform/Clock.h"
#include "platform/VendorCommands.h"
#include "sim/DeviceState.h"

#include <algorithm>
#include <cstring>
#include <unistd.h>

namespace sim {

namespace {

using platform::Direction;
using namespace platform::scsi;

constexpr size_t kLogLimit = 200000; // entries before the oldest are dropped

bool isPowerOfTwo(uint32_t v) { return v && !(v & (v - 1)); }

} // namespace

uint16_t CommandCode(const uint8_t* cdb, int cdbLength)
{
    if (!cdb || cdbLength < 1)
        return 0;
    if ((cdb[0] == kVendorIn || cdb[0] == kVendorOut) && cdbLength >= 2)
        return uint16_t(cdb[0] << 8 | cdb[1]);
    return cdb[0];
}

CommandKind KindOf(uint16_t code)
{
    switch (code) {
    case VendorIn(vendor::kUploadBegin):
    case VendorOut(vendor::kUploadChunk):
    case VendorIn(vendor::kUploadChecksum): return CommandKind::Upload;
    case VendorOut(vendor::kWriteDescription):
    case VendorOut(vendor::kStreamData):
    case VendorIn(vendor::kStreamSetup):
    case VendorIn(vendor::kStreamEnd):
    case VendorIn(vendor::kReadSpiArea):
    case VendorOut(vendor::kWriteSpiArea): return CommandKind::Stream;
    case VendorIn(vendor::kScan): return CommandKind::Scan;
    case VendorIn(vendor::kCheckBlock):
    case VendorIn(vendor::kSpiBadBlockCheck): return CommandKind::BlockCheck;
    case VendorOut(vendor::kWritePage):
    case VendorIn(vendor::kReadPage):
    case VendorIn(vendor::kReadInfoSector):
    case VendorIn(vendor::kReadBlockBitmap): return CommandKind::PageIo;
    case kRead10: case kWrite10: case kReadCapacity: return CommandKind::Disk;
    case VendorIn(vendor::kStartDisk):
    case VendorIn(vendor::kHiddenDisk): return CommandKind::StartDisk;
    default: return CommandKind::Control;
    }
}

Latency Latency::RealisticNand()
{
    Latency l;
    l.ms[size_t(CommandKind::Control)] = 1;
    l.ms[size_t(CommandKind::Upload)] = 2;
    l.ms[size_t(CommandKind::Stream)] = 2;
    l.ms[size_t(CommandKind::Scan)] = 3;       // per block: program or read back a block
    l.ms[size_t(CommandKind::BlockCheck)] = 2; // block erase
    l.ms[size_t(CommandKind::PageIo)] = 1;
    l.ms[size_t(CommandKind::Disk)] = 2;       // per 32 KiB transfer
    l.ms[size_t(CommandKind::StartDisk)] = 300;
    return l;
}

SimulatedDevice::SimulatedDevice(FlashProfile profile, std::string diskFolder, std::string id,
                                 uint8_t usbPort)
    : profile_(std::move(profile)), id_(std::move(id)), impl_(std::make_unique<DeviceState>())
{
    // A profile that cannot describe a flash is clamped to something the device can hold.
    if (profile_.chips == 0)
        profile_.chips = 1;
    if (!isPowerOfTwo(profile_.blocksPerChip))
        profile_.blocksPerChip = 1024;
    if (!isPowerOfTwo(profile_.pagesPerBlock) || profile_.pagesPerBlock > 1023)
        profile_.pagesPerBlock = 64;
    if (!isPowerOfTwo(profile_.pageSize))
        profile_.pageSize = 2048;
    if (!isPowerOfTwo(profile_.sectorSize))
        profile_.sectorSize = 512;
    profile_.usableBlocksPerChip = std::min(profile_.usableBlocksPerChip, profile_.blocksPerChip);

    DeviceState& d = *impl_;
    d.folder = std::move(diskFolder);
    d.usbPort = usbPort;
    const uint32_t total = profile_.totalBlocks();
    d.factoryBad.assign(total, 0);
    d.eraseFail.assign(total, 0);
    for (uint32_t b : profile_.factoryBadBlocks)
        if (b < total)
            d.factoryBad[b] = 1;
    for (uint32_t b : profile_.eraseFailBlocks)
        if (b < total)
            d.eraseFail[b] = 1;
    for (const auto& f : profile_.pageFaults)
        if (f.block < total)
            d.faultsByBlock[f.block].push_back(f);
    d.blocks.assign(total, {});
    d.pageTable.assign(profile_.pagesPerBlock, 0xFF);
    if (profile_.spi)
        d.spi.assign(size_t(profile_.spiSizeMB) << 20, 0xFF);
}

SimulatedDevice::~SimulatedDevice()
{
    if (!impl_->userPath.empty())
        ::unlink(impl_->userPath.c_str());
    if (!impl_->hiddenPath.empty())
        ::unlink(impl_->hiddenPath.c_str());
}

bool SimulatedDevice::execute(const uint8_t* cdb, int cdbLength, platform::Direction direction,
                              uint8_t* buffer, uint32_t length, uint32_t timeoutSeconds)
{
    if (!cdb || cdbLength < 1 || cdbLength > 16 || (length > 0 && !buffer))
        return false;
    const uint16_t code = CommandCode(cdb, cdbLength);
    std::vector<Event> events;
    std::function<void(Event)> listener;
    bool ok = false;
    uint32_t sleepMs = 0;
    {
        DeviceState& d = *impl_;
        std::lock_guard<std::mutex> lock(d.mutex);
        LoggedCommand entry;
        entry.code = code;
        std::memcpy(entry.cdb.data(), cdb, size_t(cdbLength));
        entry.cdbLength = cdbLength;
        entry.direction = direction;
        entry.length = length;
        entry.timeoutSeconds = timeoutSeconds;
        if (direction == Direction::Out && length > 0)
            entry.dataOut.assign(buffer, buffer + std::min<uint32_t>(length, 512));

        if (d.plugged) {
            // Every rule for this code counts the command; the first one due decides.
            const FaultKind* fault = nullptr;
            FaultKind kind{};
            for (auto& rule : d.rules) {
                if (rule.code != code)
                    continue;
                if (rule.skip > 0) {
                    --rule.skip;
                    continue;
                }
                if (!fault) {
                    kind = rule.kind;
                    fault = &kind;
                }
                --rule.times;
            }
            d.rules.erase(std::remove_if(d.rules.begin(), d.rules.end(),
                                         [](const DeviceState::Rule& r) { return r.times == 0; }),
                          d.rules.end());
            // Sixteen bytes of the command block, zero beyond its length, for the handlers.
            uint8_t block[16] = {};
            std::memcpy(block, cdb, size_t(cdbLength));
            if (direction == Direction::In && length > 0)
                std::memset(buffer, 0, length);
            if (!fault) {
                ok = RunDeviceCommand(*this, d, profile_, events, code,
                                      Request{block, cdbLength, direction, buffer, length});
            } else if (*fault == FaultKind::StatusClear) {
                ok = direction == Direction::In && length > 0; // a refusal: reply byte 0 stays 0
            }
            uint32_t units = 1;
            if (code == VendorIn(vendor::kScan) && cdbLength >= 8)
                units = std::max<uint32_t>(1, platform::GetBe16(block + 6));
            sleepMs = d.latency.ms[size_t(KindOf(code))] * units;
            if (d.unplugCountdown > 0 && --d.unplugCountdown == 0) {
                d.unplugCountdown = -1;
                d.plugged = false;
                events.push_back(Event::Unplugged);
            }
        }
        entry.ok = ok;
        entry.replyByte0 = (direction == Direction::In && length > 0) ? buffer[0] : 0;
        if (d.log.size() >= kLogLimit)
            d.log.erase(d.log.begin(), d.log.begin() + kLogLimit / 2);
        d.log.push_back(std::move(entry));
        if (!events.empty())
            listener = d.listener;
    }
    if (sleepMs)
        platform::Sleep(sleepMs);
    if (listener)
        for (Event e : events)
            listener(e);
    return ok;
}

bool SimulatedDevice::plugged() const
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->plugged;
}

void SimulatedDevice::unplug()
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->plugged = false;
    impl_->unplugCountdown = -1;
}

void SimulatedDevice::powerCycle()
{
    DeviceState& d = *impl_;
    std::lock_guard<std::mutex> lock(d.mutex);
    d.plugged = true;
    d.state = State::Rom;
    d.uploading = false;
    d.streamOpen = false;
    d.diskStarted = false;
    d.current = d.userPath.empty() ? Disk::None : Disk::User;
    d.stopped = false;
    d.unplugCountdown = -1;
    d.pageTable.assign(profile_.pagesPerBlock, 0xFF);
}

void SimulatedDevice::setUsbPort(uint8_t port)
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->usbPort = port;
}

void SimulatedDevice::setListener(std::function<void(Event)> listener)
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->listener = std::move(listener);
}

void SimulatedDevice::failCommand(uint16_t code, uint32_t nth, FaultKind kind, uint32_t times)
{
    if (nth == 0 || times == 0)
        return;
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->rules.push_back({code, nth - 1, times, kind});
}

void SimulatedDevice::unplugAfter(uint32_t commands)
{
    std::function<void(Event)> listener;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        if (commands > 0) {
            impl_->unplugCountdown = commands;
            return;
        }
        if (!impl_->plugged)
            return;
        impl_->plugged = false;
        listener = impl_->listener;
    }
    if (listener)
        listener(Event::Unplugged);
}

void SimulatedDevice::setLatency(const Latency& latency)
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->latency = latency;
}

void SimulatedDevice::clearFaults()
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->rules.clear();
    impl_->unplugCountdown = -1;
}

std::vector<LoggedCommand> SimulatedDevice::commandLog() const
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->log;
}

size_t SimulatedDevice::countOf(uint16_t code) const
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return size_t(std::count_if(impl_->log.begin(), impl_->log.end(),
                                [code](const LoggedCommand& c) { return c.code == code; }));
}

void SimulatedDevice::clearLog()
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->log.clear();
}

SimulatedDevice::State SimulatedDevice::state() const
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->state;
}

std::vector<uint8_t> SimulatedDevice::loaderImage() const
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->loader;
}

std::vector<uint8_t> SimulatedDevice::flashDescription() const
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->description;
}

std::vector<uint8_t> SimulatedDevice::pageTable() const
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->pageTable;
}

std::vector<uint8_t> SimulatedDevice::storedPage(uint32_t page) const
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    auto it = impl_->pages.find(page);
    return it == impl_->pages.end() ? std::vector<uint8_t>{} : it->second;
}

std::vector<StreamRecord> SimulatedDevice::streams() const
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->streams;
}

int SimulatedDevice::moduleNumber() const
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->moduleNumber;
}

bool SimulatedDevice::fsmInitDone() const
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->fsmInit;
}

std::vector<uint8_t> SimulatedDevice::spiFlash(uint32_t offset, uint32_t length) const
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    const auto& spi = impl_->spi;
    if (offset >= spi.size())
        return {};
    length = uint32_t(std::min<size_t>(length, spi.size() - offset));
    return std::vector<uint8_t>(spi.begin() + offset, spi.begin() + offset + length);
}

SimulatedDevice::Disk SimulatedDevice::currentDisk() const
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->current;
}

std::string SimulatedDevice::userDiskPath() const
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->userPath;
}

std::string SimulatedDevice::hiddenDiskPath() const
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->hiddenPath;
}

std::string SimulatedDevice::currentDiskPath() const
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    switch (impl_->current) {
    case Disk::User: return impl_->userPath;
    case Disk::Hidden: return impl_->hiddenPath;
    default: return {};
    }
}

uint64_t SimulatedDevice::diskSectors(Disk disk) const
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    switch (disk) {
    case Disk::User: return impl_->userSectors;
    case Disk::Hidden: return impl_->hiddenSectors;
    default: return 0;
    }
}

} // namespace sim
