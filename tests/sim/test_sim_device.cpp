// The rules the controller enforces on requests a correct host never sends (what a correct
// host meets, the whole-run tests reach). Command blocks are built byte by byte.
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
// EF 77 size, EE 78 pieces of 2048 bytes, EF 79 byte sum. False at the first failure.
bool UploadLoader(platform::ScsiTransport& t, const Bytes& image, uint16_t sumDelta = 0)
{
    if (!In(t, Cdb({0xEF, 0x77}).u32(2, uint32_t(image.size())), 1).ok)
        return false;
    for (size_t off = 0; off < image.size(); off += 2048)
        if (!Out(t, Cdb({0xEE, 0x78}), Bytes(image.begin() + off, image.begin() + std::min(image.size(), off + 2048))))
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

// A device in ROM state, its disk files in a temporary folder.
class SimDevice : public ::testing::Test {
protected:
    SimDevice() : dev(sim::Nand128M(), dir.path(), "t0", 3) {}
    testsupport::TempDir dir;
    SimulatedDevice dev;
};

TEST_F(SimDevice, RomStateRefusesProductionCommandsAndUploadsThatDoNotAddUp)
{
    const Reply model = In(dev, Cdb({0xEF, 0x82}), 4);
    EXPECT_TRUE(model.ok && model.data != Bytes({'6', '2', '0', '5'}));
    for (const auto& [cdb, length] : {std::pair{Cdb({0xEF, 0x70}), 5u}, {Cdb({0xEF, 0x84}), 1u}, {Cdb({0xEF, 0x73}), 2u},
                                      {Cdb({0xEF, 0x7A}).u32(2, 10), 1u}, {Cdb({0xEF, 0x97}), 1u}})
        EXPECT_FALSE(In(dev, cdb, length).ok) << std::hex << int(cdb.b[1]);

    const Bytes loader = SampleLoader(), part(loader.begin(), loader.begin() + 4000);
    EXPECT_FALSE(UploadLoader(dev, loader, 1)); // wrong sum
    ASSERT_TRUE(In(dev, Cdb({0xEF, 0x77}).u32(2, 5000), 1).ok && Out(dev, Cdb({0xEE, 0x78}), part));
    EXPECT_FALSE(In(dev, Cdb({0xEF, 0x79}).u16(2, ByteSum(part)), 1).ok) << "fewer bytes than announced";
    EXPECT_FALSE(Out(dev, Cdb({0xEE, 0x78}), Bytes(10, 1))) << "no announcement";
    EXPECT_FALSE(In(dev, Cdb({0xEF, 0x77}).u32(2, 0), 1).ok || In(dev, Cdb({0xEF, 0x77}).u32(2, (1u << 20) + 1), 1).ok);
    EXPECT_EQ(dev.state(), SimulatedDevice::State::Rom);
    EXPECT_TRUE(dev.loaderImage().empty());
}

} // namespace
