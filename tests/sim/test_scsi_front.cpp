// The simulated controller as the kernel's USB disk driver sees it (the VM check's gadget), and
// the rules it enforces on requests a correct host never sends.
#include "sim/Profiles.h"
#include "sim/gadget/ScsiFront.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using sim::gadget::ScsiFront;

namespace {

struct Host {
    testsupport::TempDir dir;
    sim::SimulatedDevice device{sim::Nand128M(), dir.path(), "front"};
    ScsiFront front{device};

    sim::gadget::Answer send(std::vector<uint8_t> cdb, bool in, uint32_t length, std::vector<uint8_t>* data = nullptr)
    {
        cdb.resize(std::max<size_t>(cdb.size(), 6));
        std::vector<uint8_t> local(length);
        auto& buffer = data ? *data : local;
        buffer.resize(length);
        return front.run(cdb.data(), int(cdb.size()), in, buffer.data(), length);
    }
    std::vector<uint8_t> sense()
    {
        std::vector<uint8_t> data;
        send({0x03, 0, 0, 0, 18, 0}, true, 18, &data);
        return {data[2], data[12], data[13]};
    }
    void startLoader()
    {
        std::vector<uint8_t> loader(512, 1);
        ASSERT_TRUE(send({0xEF, 0x77, 0, 0, 0x02, 0x00}, true, 1).good);
        ASSERT_TRUE(send({0xEE, 0x78}, false, 512, &loader).good);
        ASSERT_TRUE(send({0xEF, 0x79, 0x02, 0x00}, true, 1).good);
    }
};

using Bytes = std::vector<uint8_t>;

} // namespace

TEST(ScsiFront, CommandsTheKernelSendsBeforeTheDiskStarts)
{
    // sense: key, ASC, ASCQ after the command
    const struct { const char* what; Bytes cdb; bool in; uint32_t length; bool good; Bytes sense; uint32_t dataLength; } rows[] = {
        {"no medium until the disk starts", {0x00}, false, 0, false, {0x02, 0x3A, 0x00}, 0},
        {"capacity without medium", {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, true, 8, false, {0x02, 0x3A, 0x00}, 0},
        {"standard inquiry", {0x12, 0, 0, 0, 36, 0}, true, 36, true, {0, 0, 0}, 36},
        {"vital product data are not kept", {0x12, 0x01, 0x80, 0, 255, 0}, true, 255, false, {0x05, 0x24, 0x00}, 0},
        {"mode sense: a bare header", {0x1A, 0, 0x3F, 0, 192, 0}, true, 192, true, {0, 0, 0}, 4},
        {"medium removal is allowed", {0x1E, 0, 0, 0, 1, 0}, false, 0, true, {0, 0, 0}, 0},
        {"unknown opcode", {0x9E, 0x10}, true, 32, false, {0x05, 0x20, 0x00}, 0},
        {"vendor command in ROM state", {0xEF, 0x70}, true, 5, false, {0x05, 0x24, 0x00}, 0},
        {"no disk to start in ROM state", {0xEF, 0x73}, true, 2, false, {0x05, 0x24, 0x00}, 0},
        {"no data stream in ROM state", {0xEF, 0x7A, 0, 0, 0, 10}, true, 1, false, {0x05, 0x24, 0x00}, 0},
        {"loader model: the ROM is no 6205", {0xEF, 0x82}, true, 4, true, {0, 0, 0}, 4},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Host host;
        const auto a = host.send(row.cdb, row.in, row.length);
        EXPECT_EQ(a.good, row.good);
        EXPECT_EQ(a.dataLength, row.dataLength);
        EXPECT_EQ(host.sense(), row.sense);
    }
}

// A loader upload that does not add up leaves the device in its ROM state, with no loader.
TEST(ScsiFront, LoaderUploadsThatDoNotAddUpAreRefused)
{
    const struct { const char* what; uint32_t announced, sent; uint16_t sumDelta; } rows[] = {
        {"wrong sum", 512, 512, 1}, {"fewer bytes than announced", 1024, 512, 0}, {"nothing announced", 0, 512, 0},
        {"larger than the loader RAM", (1u << 20) + 1, 512, 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Host host;
        Bytes loader(row.sent, 3);
        const uint32_t a = row.announced;
        EXPECT_EQ(host.send({0xEF, 0x77, uint8_t(a >> 24), uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a)}, true, 1).good, a == 512 || a == 1024);
        // The wire carries no direction for a command without data; the EE family writes.
        EXPECT_EQ(host.send({0xEE, 0x78}, false, 0).good, a == 512 || a == 1024) << "an empty piece";
        host.send({0xEE, 0x78}, false, row.sent, &loader);
        const uint16_t sum = uint16_t(row.sent * 3 + row.sumDelta);
        EXPECT_FALSE(host.send({0xEF, 0x79, uint8_t(sum >> 8), uint8_t(sum)}, true, 1).good);
        EXPECT_TRUE(host.device.state() == sim::SimulatedDevice::State::Rom && host.device.loaderImage().empty());
    }
}

TEST(ScsiFront, StartedDiskIsReportedOnceToTheMediaCheck)
{
    Host host;
    host.startLoader();
    std::vector<uint8_t> status;
    ASSERT_TRUE(host.send({0xEF, 0x73}, true, 1, &status).good);
    ASSERT_EQ(status[0], 1);
    // The tool's own commands are not told; the host's next media check is.
    EXPECT_TRUE(host.send({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, true, 8).good);
    EXPECT_FALSE(host.send({0x00}, false, 0).good);
    EXPECT_EQ(host.sense(), (Bytes{0x06, 0x28, 0x00}));
    EXPECT_TRUE(host.send({0x00}, false, 0).good);
    EXPECT_EQ(host.sense(), (Bytes{0, 0, 0}));
}
