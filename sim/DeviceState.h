#pragma once
// What a simulated device holds between commands, and one command as its handlers see it.
// Private to the simulator: SimulatedDevice owns the state and runs the handlers
// (sim/DeviceLogic.cpp) under the state's lock.
#include "sim/SimulatedDevice.h"

#include <map>
#include <mutex>

namespace sim {

struct DeviceState {
    struct Rule {
        uint16_t code;
        uint32_t skip;  // matching commands to let through first
        uint32_t times; // matching commands to fail after that
        FaultKind kind;
    };
    struct BlockState {
        bool patterned = false; // holds a scan pattern (op 2 or 3 since the last erase)
        uint16_t pattern = 0;
        uint8_t dataMode = 0;
    };

    mutable std::mutex mutex;
    std::string folder;
    bool plugged = true;
    SimulatedDevice::State state = SimulatedDevice::State::Rom;
    uint8_t usbPort = 0;
    std::function<void(SimulatedDevice::Event)> listener;

    // loader upload
    bool uploading = false;
    uint32_t uploadSize = 0;
    std::vector<uint8_t> uploadBuffer;
    std::vector<uint8_t> loader;

    // flash
    std::vector<uint8_t> factoryBad;
    std::vector<uint8_t> eraseFail;
    std::map<uint32_t, std::vector<PageFault>> faultsByBlock;
    std::vector<BlockState> blocks;
    std::map<uint32_t, std::vector<uint8_t>> pages; // page address -> data (EE 95)
    std::vector<uint8_t> descriptionBuffer;
    std::vector<uint8_t> description;
    std::vector<uint8_t> pageTable;

    // streams and small settings
    std::vector<StreamRecord> streams;
    bool streamOpen = false;
    int moduleNumber = -1;
    bool fsmInit = false;
    std::vector<uint8_t> spi;

    // disks
    std::string userPath, hiddenPath;
    uint64_t userSectors = 0, hiddenSectors = 0;
    bool diskStarted = false;
    SimulatedDevice::Disk current = SimulatedDevice::Disk::None;
    bool stopped = false;

    // faults and log
    std::vector<Rule> rules;
    int64_t unplugCountdown = -1;
    Latency latency;
    std::vector<LoggedCommand> log;
};

// Everything one command needs, so the handlers below stay small.
struct Request {
    const uint8_t* cdb;
    int cdbLength;
    platform::Direction direction;
    uint8_t* buffer;
    uint32_t length;
};

// Runs one command on the device's state; false when the device refuses it.
bool RunDeviceCommand(SimulatedDevice& dev, DeviceState& d, const FlashProfile& p,
                      std::vector<SimulatedDevice::Event>& events, uint16_t code, const Request& r);

} // namespace sim
