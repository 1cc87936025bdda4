#include "platform/SgIoTransport.h"

#include "platform/DeviceAccess.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr unsigned char kStatusGood = 0x00;
constexpr unsigned char kStatusCheckCondition = 0x02;
constexpr unsigned short kDriverStatusMask = 0x0f; // the high nibble holds only suggestions
constexpr unsigned short kDriverSense = 0x08;      // sense data came back: not an error itself
constexpr unsigned char kSenseKeyUnitAttention = 0x06;

int systemIoctl(int fd, sg_io_hdr_t* header)
{
    return ::ioctl(fd, SG_IO, header);
}

int senseKey(const sg_io_hdr_t& header)
{
    const unsigned char* sense = header.sbp;
    int length = header.sb_len_wr;
    if (!sense || length < 2)
        return -1;
    int responseCode = sense[0] & 0x7f;
    if (responseCode == 0x72 || responseCode == 0x73) // descriptor format
        return sense[1] & 0x0f;
    if ((responseCode == 0x70 || responseCode == 0x71) && length >= 3) // fixed format
        return sense[2] & 0x0f;
    return -1;
}

} // namespace

bool SgIoSucceeded(const sg_io_hdr_t& header)
{
    unsigned short driver = header.driver_status & kDriverStatusMask;
    return header.host_status == 0 && (driver == 0 || driver == kDriverSense) &&
           (header.status & 0x7e) == kStatusGood;
}

bool SgIoUnitAttention(const sg_io_hdr_t& header)
{
    return header.host_status == 0 && (header.status & 0x7e) == kStatusCheckCondition &&
           senseKey(header) == kSenseKeyUnitAttention;
}

std::shared_ptr<SgIoTransport> SgIoTransport::open(const std::string& node, Ioctl ioctl)
{
    int fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (IsAccessRefusal(errno))
            ReportAccessRefused(node, AccessRefusal::Open, errno);
        return nullptr;
    }
    return std::make_shared<SgIoTransport>(fd, std::move(ioctl), node);
}

SgIoTransport::SgIoTransport(int fd, Ioctl ioctl, std::string node)
    : fd_(fd), ioctl_(ioctl ? std::move(ioctl) : Ioctl(systemIoctl)), node_(std::move(node))
{
}

SgIoTransport::~SgIoTransport()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool SgIoTransport::execute(const uint8_t* cdb, int cdbLength, Direction direction,
                            uint8_t* buffer, uint32_t length, uint32_t timeoutSeconds)
{
    if (!cdb || cdbLength < 1 || cdbLength > 16 || (length > 0 && !buffer))
        return false;

    unsigned char command[16] = {};
    std::memcpy(command, cdb, static_cast<size_t>(cdbLength));

    int dxferDirection = SG_DXFER_NONE;
    if (length > 0)
        dxferDirection = direction == Direction::Out ? SG_DXFER_TO_DEV : SG_DXFER_FROM_DEV;
    if (direction == Direction::None && length > 0)
        return false; // data without a direction cannot be carried

    // The header takes milliseconds in 32 bits; clamp absurd timeouts instead of wrapping.
    uint64_t timeoutMs = uint64_t(timeoutSeconds) * 1000;
    if (timeoutMs > 0xFFFFFFFFu)
        timeoutMs = 0xFFFFFFFFu;

    for (int attempt = 0; attempt < 2; ++attempt) {
        unsigned char sense[kSenseLength] = {};
        sg_io_hdr_t header;
        std::memset(&header, 0, sizeof header);
        header.interface_id = 'S';
        header.dxfer_direction = dxferDirection;
        header.cmd_len = static_cast<unsigned char>(cdbLength);
        header.mx_sb_len = sizeof sense;
        header.dxfer_len = length;
        header.dxferp = length > 0 ? buffer : nullptr;
        header.cmdp = command;
        header.sbp = sense;
        header.timeout = static_cast<unsigned int>(timeoutMs);

        if (ioctl_(fd_, &header) != 0) {
            const int error = errno;
            if (IsAccessRefusal(error))
                ReportAccessRefused(node_, AccessRefusal::Command, error);
            return false;
        }
        if (SgIoSucceeded(header))
            return true;
        if (!SgIoUnitAttention(header))
            return false;
    }
    return false;
}

} // namespace platform
