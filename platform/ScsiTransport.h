#pragma once
// The one way the system reaches a device: a SCSI command block plus a data phase.
// Backends: Linux SG_IO (platform/SgIoTransport) and the simulated controller (sim/).
#include <cstdint>

namespace platform {

enum class Direction { None, In, Out };

class ScsiTransport {
public:
    virtual ~ScsiTransport() = default;

    // Carries out one command. cdb holds cdbLength (<= 16) bytes; buffer holds length
    // bytes (may be null when length is 0). Returns true when the transfer succeeded:
    // the request was carried out and the device answered with GOOD status.
    virtual bool execute(const uint8_t* cdb, int cdbLength, Direction direction,
                         uint8_t* buffer, uint32_t length, uint32_t timeoutSeconds) = 0;
};

} // namespace platform
