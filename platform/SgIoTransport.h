#pragma once
// The Linux backend of ScsiTransport: one SG_IO ioctl per command on the device's sg node or
// whole-disk block node.
//
// A transfer succeeds only when the ioctl succeeds, the host adapter and the driver report no
// error and the device answers GOOD. (The original platform ignored the SCSI status, so a
// refused write counted as done.) A command answered with UNIT ATTENTION (a reset or a medium
// change the device reports once) is sent a second time, once. A node that does not open
// for lack of permission, and SG_IO refused for lack of CAP_SYS_RAWIO (the kernel passes
// vendor opcodes only then), are reported once per node (DeviceAccess.h).
#include "platform/ScsiTransport.h"

#include <functional>
#include <memory>
#include <string>

#include <scsi/sg.h>

namespace platform {

class SgIoTransport : public ScsiTransport {
public:
    // Stands in for ioctl(fd, SG_IO, header): returns 0 or -1 with errno set.
    using Ioctl = std::function<int(int fd, sg_io_hdr_t* header)>;

    // Opens the node read-write and non-blocking (a block node of a drive without medium
    // still opens); null when it does not open.
    static std::shared_ptr<SgIoTransport> open(const std::string& node, Ioctl ioctl = {});

    // Takes ownership of fd (-1 for none; tests use it with an injected ioctl). node names
    // the device in reports.
    explicit SgIoTransport(int fd, Ioctl ioctl = {}, std::string node = {});
    ~SgIoTransport() override;
    SgIoTransport(const SgIoTransport&) = delete;
    SgIoTransport& operator=(const SgIoTransport&) = delete;

    bool execute(const uint8_t* cdb, int cdbLength, Direction direction, uint8_t* buffer,
                 uint32_t length, uint32_t timeoutSeconds) override;

private:
    int fd_;
    Ioctl ioctl_;
    std::string node_;
};

// Why the last command that failed on the calling thread failed, for the device's log
// line: "EF70: sense 05/24/00" (sense key/ASC/ASCQ), "EF70: SG_IO Operation not
// permitted", "28: host status 0x07". "" when none failed since the last call; taking it
// clears it.
std::string TakeTransportFailure();
std::string DescribeSgIoFailure(const uint8_t* cdb, const sg_io_hdr_t& header);

// How a finished header reads; exposed for tests.
bool SgIoSucceeded(const sg_io_hdr_t& header);
bool SgIoUnitAttention(const sg_io_hdr_t& header);

} // namespace platform
