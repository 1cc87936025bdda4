#include "platform/DeviceAccess.h"
#include "platform/SgIoTransport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <algorithm>
#include <vector>

using platform::Direction;
using platform::SgIoTransport;

namespace {

// How the fake kernel finishes one request.
struct Outcome { int rc; unsigned short host, driver; unsigned char status; std::vector<uint8_t> sense; };

// Records what the backend handed to the ioctl while the pointers are still valid.
struct FakeKernel {
    std::vector<Outcome> outcomes{Outcome{0, 0, 0, 0, {}}}; // one per call; the last repeats
    std::vector<sg_io_hdr_t> seen;

    SgIoTransport transport()
    {
        return SgIoTransport(-1, [this](int, sg_io_hdr_t* h) {
            seen.push_back(*h);
            const Outcome& o = outcomes.at(std::min(seen.size(), outcomes.size()) - 1);
            if (o.rc != 0)
                return errno = EIO, o.rc;
            h->host_status = o.host, h->driver_status = o.driver, h->status = o.status;
            h->sb_len_wr = static_cast<unsigned char>(std::min<size_t>(o.sense.size(), h->mx_sb_len));
            std::copy_n(o.sense.begin(), h->sb_len_wr, static_cast<unsigned char*>(h->sbp));
            return 0;
        });
    }
};

std::vector<uint8_t> fixedSense(uint8_t key, uint8_t asc = 0, uint8_t ascq = 0)
{
    return {0x70, 0, key, 0, 0, 0, 0, 10, 0, 0, 0, 0, asc, ascq, 0, 0, 0, 0};
}
std::vector<uint8_t> descriptorSense(uint8_t key) { return {0x72, key, 0x29, 0, 0, 0, 0, 0}; }
constexpr unsigned char kCheck = 0x02, kBusy = 0x08;
constexpr unsigned short kSense = 0x08; // driver status: sense data present

Outcome answer(int rc, unsigned short host = 0, unsigned short driver = 0, unsigned char status = 0, std::vector<uint8_t> sense = {})
{
    return Outcome{rc, host, driver, status, std::move(sense)};
}

// Success only when the ioctl, host, driver and SCSI status all say so; one resend on UNIT ATTENTION.
// Malformed requests never reach the kernel.
TEST(SgIoTransport, MapsTheKernelsAnswerToTheResult)
{
    const Outcome good = answer(0), unitAttention = answer(0, 0, kSense, kCheck, fixedSense(0x06, 0x28));
    // reason: what the failed run's log line tells of it.
    struct Case { const char* name; std::vector<Outcome> outcomes; bool success; size_t calls; const char* reason; };
    const Case cases[] = {
        {"good", {good}, true, 1, ""}, {"ioctl fails", {answer(-1)}, false, 1, "EF7C: SG_IO Input/output error"},
        {"host: no connect", {answer(0, 0x01)}, false, 1, "EF7C: host status 0x01"},
        {"driver: timeout", {answer(0, 0, 0x06)}, false, 1, "EF7C: driver status 0x06"},
        {"sense with good status", {answer(0, 0, kSense, 0, fixedSense(0x01))}, true, 1, ""},
        {"medium error", {answer(0, 0, kSense, kCheck, fixedSense(0x03, 0x11, 0x02))}, false, 1, "EF7C: sense 03/11/02"},
        {"check condition without sense", {answer(0, 0, 0, kCheck)}, false, 1, "EF7C: status 0x02"},
        {"busy", {answer(0, 0, 0, kBusy)}, false, 1, "EF7C: status 0x08"},
        {"unit attention, then good", {unitAttention, good}, true, 2, ""},
        {"unit attention in descriptor sense, then good", {answer(0, 0, kSense, kCheck, descriptorSense(0x06)), good}, true, 2, ""},
        {"unit attention twice", {unitAttention}, false, 2, "EF7C: sense 06/28/00"},
        {"descriptor sense", {answer(0, 0, kSense, kCheck, descriptorSense(0x05))}, false, 1, "EF7C: sense 05/29/00"},
        {"unit attention with a host error", {answer(0, 0x07, kSense, kCheck, fixedSense(0x06))}, false, 1, "EF7C: host status 0x07"},
    };
    const uint8_t cdb[6] = {0xEF, 0x7C};
    uint8_t reply[1] = {};
    for (const Case& c : cases) {
        FakeKernel kernel{c.outcomes};
        EXPECT_EQ(kernel.transport().execute(cdb, 6, Direction::In, reply, 1, 12), c.success) << c.name;
        EXPECT_EQ(kernel.seen.size(), c.calls) << c.name;
        EXPECT_EQ(platform::TakeTransportFailure(), c.reason) << c.name;
    }
    EXPECT_EQ(platform::TakeTransportFailure(), ""); // taking it clears it
    FakeKernel kernel;
    ASSERT_TRUE(kernel.transport().execute(cdb, 6, Direction::Out, reply, 1, 300));
    const sg_io_hdr_t& h = kernel.seen.at(0);
    EXPECT_TRUE(h.dxfer_direction == SG_DXFER_TO_DEV && h.dxferp == reply && h.timeout == 300000u && h.mx_sb_len > 0);

    auto transport = kernel.transport();
    uint8_t longCdb[17] = {0x12}, data[8];
    EXPECT_FALSE(transport.execute(longCdb, 17, Direction::In, data, 8, 12) || transport.execute(cdb, 0, Direction::In, data, 8, 12) ||
                 transport.execute(nullptr, 6, Direction::In, data, 8, 12) ||
                 transport.execute(cdb, 6, Direction::In, nullptr, 8, 12) || transport.execute(cdb, 6, Direction::None, data, 8, 12));
    EXPECT_EQ(kernel.seen.size(), 1u);
}

// SG_IO refused for lack of permission is said once per device; other failures are not.
TEST(SgIoTransport, PermissionRefusalIsToldOncePerDevice)
{
    std::vector<std::string> reports;
    platform::SetDeviceAccessReporter([&](const std::string& text) { reports.push_back(text); });
    auto refusing = [](const char* node, int error) {
        return SgIoTransport(-1, [error](int, sg_io_hdr_t*) { return errno = error, -1; }, node);
    };
    struct Step { const char* node; int error; size_t reportsAfter; };
    const Step steps[] = {
        {"/dev/sdx", EPERM, 1},  // a vendor command without CAP_SYS_RAWIO
        {"/dev/sdx", EPERM, 1},  // the same device again: already said
        {"/dev/sdx", EACCES, 1}, // another handle on it
        {"/dev/sdy", EIO, 1},    // a failing device is no permission problem
        {"/dev/sdy", EACCES, 2},
    };
    const uint8_t cdb[16] = {0xEF, 0x77};
    for (const Step& s : steps) {
        EXPECT_FALSE(refusing(s.node, s.error).execute(cdb, 16, Direction::None, nullptr, 0, 12)) << s.node;
        EXPECT_EQ(reports.size(), s.reportsAfter) << s.node << " " << s.error;
    }
    EXPECT_EQ(reports.at(0).find("/dev/sdx: "), 0u);
    EXPECT_NE(reports.at(0).find("setcap cap_sys_rawio+ep " + std::filesystem::read_symlink("/proc/self/exe").string() + "'"),
              std::string::npos);

    // A node that does not open read-write (procfs refuses even root here) is told once.
    const std::string node = "/proc/sys/kernel/osrelease";
    EXPECT_TRUE(SgIoTransport::open(node) == nullptr && SgIoTransport::open(node) == nullptr);
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports[2].find(node + ": "), 0u);

    EXPECT_FALSE(platform::ReportAccessRefused(node, platform::AccessRefusal::Open, EACCES)) << "already told";
    // The panel's short reason names what is missing; a device never refused has none.
    using platform::AccessRefusalReason;
    EXPECT_EQ(AccessRefusalReason("/dev/sdx") + "|" + AccessRefusalReason(node) + "|" + AccessRefusalReason("/dev/sdz"),
              "No access: CAP_SYS_RAWIO|No access: node permissions|");
    platform::SetDeviceAccessReporter({});
    for (const std::string& n : {std::string("/dev/sdx"), std::string("/dev/sdy"), node})
        platform::ForgetAccessRefusal(n);
    EXPECT_EQ(AccessRefusalReason("/dev/sdx"), "");
}

} // namespace
