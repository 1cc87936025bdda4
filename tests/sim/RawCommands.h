#pragma once
// Raw command blocks for the simulated device, built byte by byte so the device is
// checked on its own, not through the host's command functions.
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

namespace simtest {

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

inline Reply In(platform::ScsiTransport& t, const Cdb& cdb, uint32_t length, uint32_t timeout = 12)
{
    Reply r{false, Bytes(length, 0xCC)};
    r.ok = t.execute(cdb.b, cdb.length, Direction::In, length ? r.data.data() : nullptr, length, timeout);
    return r;
}

inline bool Out(platform::ScsiTransport& t, const Cdb& cdb, Bytes data, uint32_t timeout = 12)
{
    return t.execute(cdb.b, cdb.length, Direction::Out, data.empty() ? nullptr : data.data(), uint32_t(data.size()), timeout);
}

inline uint16_t ByteSum(const Bytes& b) { return uint16_t(std::accumulate(b.begin(), b.end(), 0u)); }
inline Bytes Slice(const Bytes& b, size_t from, size_t to) { return Bytes(b.begin() + from, b.begin() + to); }

// EF 77 size, EE 78 pieces of 2048 bytes, EF 79 byte sum. False at the first failure.
inline bool UploadLoader(platform::ScsiTransport& t, const Bytes& image, uint16_t sumDelta = 0)
{
    if (!In(t, Cdb({0xEF, 0x77}).u32(2, uint32_t(image.size())), 1).ok)
        return false;
    for (size_t off = 0; off < image.size(); off += 2048)
        if (!Out(t, Cdb({0xEE, 0x78}), Slice(image, off, std::min(image.size(), off + 2048))))
            return false;
    return In(t, Cdb({0xEF, 0x79}).u16(2, uint16_t(ByteSum(image) + sumDelta)), 1).ok;
}

inline Bytes SampleLoader()
{
    Bytes b(5000);
    for (size_t i = 0; i < b.size(); ++i)
        b[i] = uint8_t(3 + i * 13 + (i >> 8));
    return b;
}

// EF 93, the scan command.
struct Scan {
    uint32_t block = 0;
    uint16_t pattern = 0xAA55;
    uint8_t dataMode = 2, op = 3, skip = 0, ecc = 2;
    bool perPage = false;
    uint16_t count = 1;
};

inline Reply RunScan(platform::ScsiTransport& t, const Scan& s, uint32_t pagesPerBlock)
{
    Cdb c({0xEF, 0x93}, 16);
    c.u32(2, s.block).u16(6, s.count).u16(8, s.pattern).set(10, s.dataMode).set(11, s.op);
    c.set(12, s.skip).set(13, s.ecc).set(14, s.perPage ? 1 : 0);
    return In(t, c, s.perPage ? pagesPerBlock + 1 : s.count + 1u, 30);
}

inline bool CheckBlock(platform::ScsiTransport& t, uint32_t block)
{
    return In(t, Cdb({0xEF, 0x94}, 10).u32(2, block).u16(6, 1), 1).status();
}

inline bool WritePage(platform::ScsiTransport& t, uint32_t page, const Bytes& data)
{
    return Out(t, Cdb({0xEE, 0x95}, 10).u32(2, page).set(7, 0x01), data, 10);
}

// EF 7A size, EE 7B pieces (a short or empty one ends), EF 7C; true when the end's status is set.
inline bool Stream(platform::ScsiTransport& t, const Bytes& data)
{
    if (!In(t, Cdb({0xEF, 0x7A}).u32(2, uint32_t(data.size())), 1).status())
        return false;
    for (size_t off = 0, n = 2048; n == 2048; off += n) {
        n = std::min<size_t>(2048, data.size() - off);
        if (!Out(t, Cdb({0xEE, 0x7B}), Slice(data, off, off + n), 60))
            return false;
    }
    return In(t, Cdb({0xEF, 0x7C}), 1).status();
}

inline Reply Read10(platform::ScsiTransport& t, uint32_t lba, uint16_t count)
{
    return In(t, Cdb({0x28}, 10).u32(2, lba).u16(7, count), count * 512u);
}

// A device with the loader uploaded, its disk files in a temporary folder.
class LoadedDevice : public ::testing::Test {
protected:
    explicit LoadedDevice(sim::FlashProfile profile = sim::Nand128M()) : dev(std::move(profile), dir.path(), "t0", 3) {}
    void SetUp() override { ASSERT_TRUE(UploadLoader(dev, SampleLoader())); }
    testsupport::TempDir dir;
    SimulatedDevice dev;
};

} // namespace simtest
