#include "sim/gadget/ScsiFront.h"

#include "platform/ByteOrder.h"

#include <algorithm>
#include <cstring>

namespace sim::gadget {

namespace {

constexpr Sense kNoMedium{0x02, 0x3A, 0x00};      // NOT READY, MEDIUM NOT PRESENT
constexpr Sense kMediumChanged{0x06, 0x28, 0x00}; // UNIT ATTENTION, MAY HAVE CHANGED
constexpr Sense kBadOpcode{0x05, 0x20, 0x00};     // ILLEGAL REQUEST, INVALID COMMAND OPCODE
constexpr Sense kBadField{0x05, 0x24, 0x00};      // ILLEGAL REQUEST, INVALID FIELD IN CDB
constexpr Sense kReadError{0x03, 0x11, 0x00};     // MEDIUM ERROR, UNRECOVERED READ ERROR
constexpr Sense kWriteError{0x03, 0x0C, 0x00};    // MEDIUM ERROR, WRITE ERROR

bool isVendor(uint8_t op) { return op == 0xEF || op == 0xEE; }

} // namespace

std::vector<uint8_t> FixedSense(const Sense& sense)
{
    std::vector<uint8_t> bytes(18, 0);
    bytes[0] = 0x70;
    bytes[2] = sense.key;
    bytes[7] = 10;
    bytes[12] = sense.asc;
    bytes[13] = sense.ascq;
    return bytes;
}

void ScsiFront::pluggedIn()
{
    sense_ = {};
    attention_ = false;
    disk_ = device_.currentDisk();
    sectors_ = device_.diskSectors(disk_);
}

Answer ScsiFront::fail(Sense sense)
{
    sense_ = sense;
    Answer a;
    a.good = false;
    return a;
}

Answer ScsiFront::reply(const uint8_t* bytes, uint32_t size, uint8_t* data, uint32_t length)
{
    Answer a;
    a.dataLength = std::min(size, length);
    if (a.dataLength)
        std::memcpy(data, bytes, a.dataLength);
    sense_ = {};
    return a;
}

bool ScsiFront::mediumReady() const
{
    const auto disk = device_.currentDisk();
    return disk != SimulatedDevice::Disk::None && device_.diskSectors(disk) > 0;
}

void ScsiFront::noteDiskChange()
{
    const auto disk = device_.currentDisk();
    const uint64_t sectors = device_.diskSectors(disk);
    if (disk != disk_ || sectors != sectors_)
        attention_ = disk != SimulatedDevice::Disk::None;
    disk_ = disk;
    sectors_ = sectors;
}

Answer ScsiFront::run(const uint8_t* cdb, int cdbLength, bool dataIn, uint8_t* data, uint32_t length)
{
    if (!cdb || cdbLength < 1 || cdbLength > 16 || (length && !data))
        return fail(kBadField);
    const uint8_t op = cdb[0];
    if (op == 0x03) { // REQUEST SENSE: the sense of the last command, once
        const auto bytes = FixedSense(sense_);
        return reply(bytes.data(), uint32_t(bytes.size()), data, length);
    }
    switch (op) {
    case 0x00: // TEST UNIT READY
        // The host's media check: a changed disk is told here, so the block layer reads
        // its new size (the tool's own commands through SG_IO would not pass it on).
        if (attention_) {
            attention_ = false;
            return fail(kMediumChanged);
        }
        if (!mediumReady())
            return fail(kNoMedium);
        sense_ = {};
        return {};
    case 0x12: // INQUIRY: the standard data only, no vital product pages
        if (cdbLength >= 2 && (cdb[1] & 0x01))
            return fail(kBadField);
        break;
    case 0x1A: { // MODE SENSE(6): a header with no pages, not write-protected
        const uint8_t header[4] = {3, 0, 0, 0};
        return reply(header, sizeof header, data, length);
    }
    case 0x1E: // PREVENT ALLOW MEDIUM REMOVAL
    case 0x35: // SYNCHRONIZE CACHE
        sense_ = {};
        return {};
    case 0x25:
    case 0x28:
    case 0x2A:
        if (!mediumReady())
            return fail(kNoMedium);
        break;
    case 0x1B:
        break;
    default:
        if (!isVendor(op))
            return fail(kBadOpcode);
        break;
    }

    // A command without data carries no direction on the wire; the controller's EE
    // commands are its data-out family (an empty last piece of a stream among them).
    auto direction = dataIn ? platform::Direction::In : platform::Direction::Out;
    if (length == 0)
        direction = op == 0xEE ? platform::Direction::Out : platform::Direction::In;
    const bool ok = device_.execute(cdb, cdbLength, direction, data, length, 20);
    noteDiskChange();
    if (!ok) {
        if (op == 0x28 || op == 0x2A)
            return fail(op == 0x28 ? kReadError : kWriteError);
        return fail(kBadField);
    }
    sense_ = {};
    Answer a;
    a.dataLength = dataIn ? length : 0;
    return a;
}

} // namespace sim::gadget
