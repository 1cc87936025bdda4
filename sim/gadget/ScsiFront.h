#pragma once
// The simulated controller as a USB disk sees it: the SCSI commands a kernel sends on its
// own (TEST UNIT READY, REQUEST SENSE, MODE SENSE, PREVENT ALLOW MEDIUM REMOVAL, ...) are
// answered here; everything else goes to the simulated device, whose disks are the
// backing store. A refused command ends in CHECK CONDITION with sense data, which the
// host fetches with REQUEST SENSE (usb-storage does so at once, after every failure).
//
// A device that starts, switches or resizes its disk reports it once as UNIT ATTENTION
// (medium may have changed) to the host's media check, so the host reads the new
// capacity. A reset (EF 81) is the USB side's to show, as an unplug and a re-plug.
#include "sim/SimulatedDevice.h"

#include <cstdint>
#include <vector>

namespace sim::gadget {

struct Sense {
    uint8_t key = 0, asc = 0, ascq = 0;
};

struct Answer {
    bool good = true;
    uint32_t dataLength = 0; // data-in bytes to send (at most the host's length)
};

class ScsiFront {
public:
    explicit ScsiFront(SimulatedDevice& device) : device_(device) {}

    // One command of the host. data holds length bytes: filled for data-in, as sent for
    // data-out. dataIn: the host's direction flag.
    Answer run(const uint8_t* cdb, int cdbLength, bool dataIn, uint8_t* data, uint32_t length);

    const Sense& lastSense() const { return sense_; }
    // The device is plugged in (again): nothing pending, its disk as it is now.
    void pluggedIn();

private:
    Answer fail(Sense sense);
    Answer reply(const uint8_t* bytes, uint32_t size, uint8_t* data, uint32_t length);
    bool mediumReady() const;
    void noteDiskChange();

    SimulatedDevice& device_;
    Sense sense_;
    bool attention_ = false;
    SimulatedDevice::Disk disk_ = SimulatedDevice::Disk::None;
    uint64_t sectors_ = 0;
};

// The sense data REQUEST SENSE answers: fixed format, 18 bytes.
std::vector<uint8_t> FixedSense(const Sense& sense);

} // namespace sim::gadget
