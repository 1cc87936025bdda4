#include "platform/SgIoTransport.h"

#include "platform/DeviceAccess.h"

#include <cerrno>
#include <cstdio>
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

thread_local std::string t_lastFailure;

struct SenseCodes {
    int key = -1, asc = -1, ascq = -1;
};

SenseCodes senseCodes(const sg_io_hdr_t& header)
{
    SenseCodes c;
    const unsigned char* sense = header.sbp;
    int length = header.sb_len_wr;
    if (!sense || length < 2)
        return c;
    int responseCode = sense[0] & 0x7f;
    if (responseCode == 0x72 || responseCode == 0x73) { // descriptor format
        c.key = sense[1] & 0x0f;
        if (length >= 4) {
            c.asc = sense[2];
            c.ascq = sense[3];
        }
    } else if ((responseCode == 0x70 || responseCode == 0x71) && length >= 3) { // fixed format
        c.key = sense[2] & 0x0f;
        if (length >= 14) {
            c.asc = sense[12];
            c.ascq = sense[13];
        }
    }
    return c;
}

int senseKey(const sg_io_hdr_t& header) { return senseCodes(header).key; }

// The command as the logs name it: both bytes of a vendor block, else the opcode.
std::string commandName(const uint8_t* cdb, int cdbLength)
{
    char text[8];
    if (cdbLength >= 2 && (cdb[0] == 0xEF || cdb[0] == 0xEE))
        std::snprintf(text, sizeof text, "%02X%02X", cdb[0], cdb[1]);
    else
        std::snprintf(text, sizeof text, "%02X", cdb[0]);
    return text;
}

} // namespace

std::string TakeTransportFailure()
{
    std::string text;
    text.swap(t_lastFailure);
    return text;
}

std::string DescribeSgIoFailure(const uint8_t* cdb, const sg_io_hdr_t& header)
{
    char text[64];
    const SenseCodes c = senseCodes(header);
    if (header.host_status != 0)
        std::snprintf(text, sizeof text, ": host status 0x%02X", header.host_status);
    else if (c.key >= 0 && c.asc >= 0)
        std::snprintf(text, sizeof text, ": sense %02X/%02X/%02X", c.key, c.asc, c.ascq);
    else if (c.key >= 0)
        std::snprintf(text, sizeof text, ": sense key %02X", c.key);
    else if ((header.driver_status & kDriverStatusMask) != 0 && (header.driver_status & kDriverStatusMask) != kDriverSense)
        std::snprintf(text, sizeof text, ": driver status 0x%02X", header.driver_status);
    else
        std::snprintf(text, sizeof text, ": status 0x%02X", header.status);
    return commandName(cdb, header.cmd_len) + text;
}

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
        unsigned char sense[32] = {}; // fixed-format sense takes 18 bytes, descriptor sense a few more
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
            t_lastFailure = commandName(command, cdbLength) + ": SG_IO " + std::strerror(error);
            return false;
        }
        if (SgIoSucceeded(header))
            return true;
        if (!SgIoUnitAttention(header) || attempt == 1) {
            t_lastFailure = DescribeSgIoFailure(command, header);
            return false;
        }
    }
    return false;
}

} // namespace platform
