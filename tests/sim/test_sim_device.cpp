// The rules the controller enforces on requests that a correct host never sends (what a
// correct host meets, the device and whole-run tests reach through the simulator). Command
// blocks are built byte by byte, so the device is checked on its own, not through the
// host's command functions.
#include "platform/ScsiTransport.h"
#include "sim/Profiles.h"
#include "sim/SimulatedDevice.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <numeric>
#include <vector>

namespace {

using platform::Direction;
using sim::SimulatedDevice;
using Bytes = std::vector<uint8_t>;

struct Cdb {
    uint8_t b[16] = {};
    int length;
    Cdb(std::initializer_list<uint8_t> bytes, int len = 6) : length(len) { std::copy(bytes.begin(), bytes.end(), b); }
    Cdb& u32(int at, uint32_t v) { return u16(at, v >> 16).u16(at + 2, v); }
    Cdb& u16(int at, uint32_t v) { return set(at, uint8_t(v >> 8)).set(at + 1, uint8_t(v)); }
    Cdb& set(int at, uint8_t v) { b[at] = v; return *this; }
};

struct Reply {
    bool ok = false;
    Bytes data;
    uint8_t operator[](size_t i) const { return data.at(i); }
    // Carried out and bit 0 of reply byte 0 set; refused: carried, bit 0 clear.
    bool status() const { return ok && !data.empty() && (data[0] & 1); }
    bool refused() const { return ok && !data.empty() && !(data[0] & 1); }
};

Reply In(platform::ScsiTransport& t, const Cdb& cdb, uint32_t length, uint32_t timeout = 12)
{
    Reply r{false, Bytes(length, 0xCC)};
    r.ok = t.execute(cdb.b, cdb.length, Direction::In, length ? r.data.data() : nullptr, length, timeout);
    return r;
}

bool Out(platform::ScsiTransport& t, const Cdb& cdb, Bytes data, uint32_t timeout = 12)
{
    return t.execute(cdb.b, cdb.length, Direction::Out, data.empty() ? nullptr : data.data(), uint32_t(data.size()), timeout);
}

uint16_t ByteSum(const Bytes& b) { return uint16_t(std::accumulate(b.begin(), b.end(), 0u)); }
Bytes Slice(const Bytes& b, size_t from, size_t to) { return Bytes(b.begin() + from, b.begin() + to); }

// EF 77 size, EE 78 pieces of 2048 bytes, EF 79 byte sum. False at the first failure.
bool UploadLoader(platform::ScsiTransport& t, const Bytes& image, uint16_t sumDelta = 0)
{
    if (!In(t, Cdb({0xEF, 0x77}).u32(2, uint32_t(image.size())), 1).ok)
        return false;
    for (size_t off = 0; off < image.size(); off += 2048)
        if (!Out(t, Cdb({0xEE, 0x78}), Slice(image, off, std::min(image.size(), off + 2048))))
            return false;
    return In(t, Cdb({0xEF, 0x79}).u16(2, uint16_t(ByteSum(image) + sumDelta)), 1).ok;
}

Bytes SampleLoader()
{
    Bytes b(5000);
    for (size_t i = 0; i < b.size(); ++i)
        b[i] = uint8_t(3 + i * 13 + (i >> 8));
    return b;
}

// EF 93, the scan command, for one block.
struct Scan {
    uint32_t block = 0;
    uint8_t dataMode = 2, op = 3;
};

Reply RunScan(platform::ScsiTransport& t, const Scan& s)
{
    return In(t, Cdb({0xEF, 0x93}, 16).u32(2, s.block).u16(6, 1).u16(8, 0xAA55).set(10, s.dataMode).set(11, s.op).set(13, 2), 2, 30);
}

Reply Read10(platform::ScsiTransport& t, uint32_t lba, uint16_t count)
{
    return In(t, Cdb({0x28}, 10).u32(2, lba).u16(7, count), count * 512u);
}

// A device with the loader uploaded, its disk files in a temporary folder.
class LoadedDevice : public ::testing::Test {
protected:
    LoadedDevice() : dev(sim::Nand128M(), dir.path(), "t0", 3) {}
    void SetUp() override { ASSERT_TRUE(UploadLoader(dev, SampleLoader())); }
    testsupport::TempDir dir;
    SimulatedDevice dev;
};

class SimStates : public LoadedDevice {
protected:
    void SetUp() override {} // starts in ROM state
    bool answersModel() { return In(dev, Cdb({0xEF, 0x82}), 4).data == Bytes{'6', '2', '0', '5'}; }
};

TEST_F(SimStates, RomStateRefusesProductionCommandsAndUploadsThatDoNotAddUp)
{
    EXPECT_EQ(Slice(In(dev, Cdb({0x12}), 36).data, 0, 2), (Bytes{0x00, 0x80})); // removable direct-access
    EXPECT_TRUE(In(dev, Cdb({0xEF, 0x82}), 4).ok && !answersModel());
    for (const auto& [cdb, length] : {std::pair{Cdb({0xEF, 0x70}), 5u}, {Cdb({0xEF, 0x84}), 1u}, {Cdb({0xEF, 0x73}), 2u},
                                      {Cdb({0xEF, 0x7A}).u32(2, 10), 1u}, {Cdb({0xEF, 0x97}), 1u}})
        EXPECT_FALSE(In(dev, cdb, length).ok) << std::hex << int(cdb.b[1]);
    EXPECT_FALSE(RunScan(dev, Scan{}).ok);

    const Bytes loader = SampleLoader(), part = Slice(loader, 0, 4000);
    EXPECT_FALSE(UploadLoader(dev, loader, 1)); // wrong sum
    ASSERT_TRUE(In(dev, Cdb({0xEF, 0x77}).u32(2, 5000), 1).ok && Out(dev, Cdb({0xEE, 0x78}), part));
    EXPECT_FALSE(In(dev, Cdb({0xEF, 0x79}).u16(2, ByteSum(part)), 1).ok) << "fewer bytes than announced";
    ASSERT_TRUE(In(dev, Cdb({0xEF, 0x77}).u32(2, 100), 1).ok);
    EXPECT_FALSE(Out(dev, Cdb({0xEE, 0x78}), Bytes(101, 1))) << "more voids the upload";
    EXPECT_FALSE(In(dev, Cdb({0xEF, 0x79}).u16(2, 101), 1).ok);
    EXPECT_FALSE(Out(dev, Cdb({0xEE, 0x78}), Bytes(10, 1))) << "no announcement";
    EXPECT_FALSE(In(dev, Cdb({0xEF, 0x77}).u32(2, 0), 1).ok || In(dev, Cdb({0xEF, 0x77}).u32(2, (1u << 20) + 1), 1).ok);
    EXPECT_EQ(dev.state(), SimulatedDevice::State::Rom);
    EXPECT_TRUE(dev.loaderImage().empty());
}

TEST_F(SimStates, MalformedRequestsFailAndAResetReturnsToRomState)
{
    ASSERT_TRUE(UploadLoader(dev, SampleLoader()));
    EXPECT_TRUE(answersModel());
    uint8_t cdb[17] = {0xEF, 0x84}, reply[1];
    EXPECT_FALSE(In(dev, Cdb({0xEF, 0x01}), 1).ok || In(dev, Cdb({0x99}), 1).ok);
    EXPECT_FALSE(dev.execute(cdb, 17, Direction::In, reply, 1, 12) || dev.execute(cdb, 0, Direction::In, reply, 1, 12) ||
                 dev.execute(cdb, 6, Direction::In, nullptr, 1, 12) || dev.execute(cdb, 6, Direction::Out, reply, 1, 12));
    EXPECT_TRUE(In(dev, Cdb({0xEF, 0x81}), 0).ok);
    EXPECT_FALSE(answersModel() || In(dev, Cdb({0xEF, 0x70}), 5).ok);
    EXPECT_EQ(dev.state(), SimulatedDevice::State::Rom);
}

using SimStreams = LoadedDevice;

TEST_F(SimStreams, AShortStreamIsRefusedAndParityNeedsAWrittenProgram)
{
    ASSERT_TRUE(In(dev, Cdb({0xEF, 0x7A}).u32(2, 3000), 1).status() && Out(dev, Cdb({0xEE, 0x7B}), Bytes(2048, 1)));
    EXPECT_TRUE(In(dev, Cdb({0xEF, 0x7C}), 1).refused()) << "ended before all data came";
    EXPECT_FALSE(In(dev, Cdb({0xEF, 0x7C}), 1).status() || Out(dev, Cdb({0xEE, 0x7B}), Bytes(10, 1))) << "nothing stays open";
    EXPECT_TRUE(!dev.streams().back().ended && dev.streams().back().received == 2048u);

    EXPECT_TRUE(In(dev, Cdb({0xEF, 0x87}), 2).refused());
    ASSERT_TRUE(In(dev, Cdb({0xEF, 0x7A}).u32(2, 3), 1).status() && Out(dev, Cdb({0xEE, 0x7B}), Bytes{0x01, 0x02, 0x04}, 60));
    ASSERT_TRUE(In(dev, Cdb({0xEF, 0x7C}), 1).status()); // the program is written
    EXPECT_EQ(In(dev, Cdb({0xEF, 0x87}), 2).data, (Bytes{0x01, 0x07}));
}

// Transfer lengths other than the reply's, and addresses past the flash or the disk.
TEST_F(SimStreams, LengthsThatDoNotMatchAndAddressesPastTheEndFail)
{
    Cdb scan({0xEF, 0x93}, 16);
    scan.set(10, 2).set(11, 3).u16(6, 1);
    EXPECT_FALSE(In(dev, scan, 3).ok || In(dev, scan.set(14, 1), 2).ok);
    const uint32_t blocks = dev.profile().totalBlocks();
    EXPECT_TRUE(RunScan(dev, Scan{.block = blocks}).refused() && !In(dev, Cdb({0xEF, 0x94}, 10).u32(2, blocks).u16(6, 1), 1).status());
    for (const Scan& s : {Scan{.dataMode = 3}, Scan{.op = 0}, Scan{.op = 4}})
        EXPECT_FALSE(RunScan(dev, s).status());
    EXPECT_FALSE(In(dev, Cdb({0xEF, 0x98}, 10).u32(2, blocks / 8), blocks / 16, 30).ok);
    EXPECT_FALSE(Out(dev, Cdb({0xEE, 0x95}, 10).u32(2, 64).set(7, 1), Bytes(2049), 10)) << "longer than a page";

    ASSERT_TRUE(In(dev, Cdb({0xEF, 0x73}), 2, 30).status());
    const Reply capacity = In(dev, Cdb({0x25}), 8);
    const uint32_t n = uint32_t(capacity[0] << 24 | capacity[1] << 16 | capacity[2] << 8 | capacity[3]) + 1;
    EXPECT_TRUE(Read10(dev, n - 1, 1).ok);
    EXPECT_FALSE(Read10(dev, n - 1, 2).ok || Out(dev, Cdb({0x2A}, 10).u32(2, n - 1).u16(7, 2), Bytes(1024))) << "past the end";
    EXPECT_FALSE(In(dev, Cdb({0x28}, 10).u16(7, 2), 512).ok) << "length mismatch";
    EXPECT_TRUE(In(dev, Cdb({0x1B}), 0).ok);
    EXPECT_FALSE(Read10(dev, 0, 1).ok) << "stopped: not ready";
}

TEST(SimSpi, KeepsAreaRequestsInsideItsFlash)
{
    testsupport::TempDir dir;
    SimulatedDevice dev(sim::SpiNor4M(), dir.path(), "spi0");
    ASSERT_TRUE(UploadLoader(dev, SampleLoader()));
    EXPECT_FALSE(RunScan(dev, Scan{}).status()) << "no NAND to scan";
    const uint32_t lastUnit = 4 * 1024 * 1024 / 256 - 8;
    EXPECT_TRUE(In(dev, Cdb({0xEF, 0x9D}).u16(2, lastUnit).u16(4, 8), 2048).ok);
    EXPECT_FALSE(In(dev, Cdb({0xEF, 0x9D}).u16(2, lastUnit + 1).u16(4, 8), 2048).ok) << "past the flash";
    EXPECT_FALSE(In(dev, Cdb({0xEF, 0x9D}).u16(2, 0).u16(4, 8), 1024).ok) << "length mismatch";
}

} // namespace
