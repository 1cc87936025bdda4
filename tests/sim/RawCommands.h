#pragma once
// Raw command blocks for talking to the simulated device in tests, built here byte by
// byte so the device is checked on its own, not through the host's command functions.
#include "platform/ScsiTransport.h"
#include "sim/SimulatedDevice.h"

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace simtest {

using platform::Direction;
using Bytes = std::vector<uint8_t>;

struct Cdb {
    uint8_t b[16] = {};
    int length = 6;
    Cdb(std::initializer_list<uint8_t> bytes, int len) : length(len)
    {
        int i = 0;
        for (uint8_t v : bytes)
            b[i++] = v;
    }
    Cdb& u32(int at, uint32_t v)
    {
        b[at] = uint8_t(v >> 24);
        b[at + 1] = uint8_t(v >> 16);
        b[at + 2] = uint8_t(v >> 8);
        b[at + 3] = uint8_t(v);
        return *this;
    }
    Cdb& u16(int at, uint32_t v)
    {
        b[at] = uint8_t(v >> 8);
        b[at + 1] = uint8_t(v);
        return *this;
    }
    Cdb& set(int at, uint8_t v)
    {
        b[at] = v;
        return *this;
    }
};

struct Reply {
    bool ok = false;
    Bytes data;
    uint8_t operator[](size_t i) const { return data.at(i); }
    // The "status" result form: transfer succeeded and bit 0 of reply byte 0 is set.
    bool status() const { return ok && !data.empty() && (data[0] & 1); }
};

inline Reply In(platform::ScsiTransport& t, const Cdb& cdb, uint32_t length, uint32_t timeout = 12)
{
    Reply r;
    r.data.assign(length, 0xCC);
    r.ok = t.execute(cdb.b, cdb.length, Direction::In, length ? r.data.data() : nullptr, length, timeout);
    return r;
}

inline bool Out(platform::ScsiTransport& t, const Cdb& cdb, Bytes data, uint32_t timeout = 12)
{
    return t.execute(cdb.b, cdb.length, Direction::Out, data.empty() ? nullptr : data.data(),
                     uint32_t(data.size()), timeout);
}

inline bool NoData(platform::ScsiTransport& t, const Cdb& cdb)
{
    return t.execute(cdb.b, cdb.length, Direction::In, nullptr, 0, 12);
}

inline uint16_t ByteSum(const Bytes& b)
{
    uint32_t s = 0;
    for (uint8_t v : b)
        s += v;
    return uint16_t(s);
}

// EF 77 size, EE 78 pieces of 2048 bytes, EF 79 byte sum. False at the first failure.
inline bool UploadLoader(platform::ScsiTransport& t, const Bytes& image, uint16_t sumDelta = 0)
{
    if (!In(t, Cdb({0xEF, 0x77}, 6).u32(2, uint32_t(image.size())), 1).ok)
        return false;
    for (size_t off = 0; off < image.size(); off += 2048) {
        size_t n = std::min<size_t>(2048, image.size() - off);
        if (!Out(t, Cdb({0xEE, 0x78}, 6), Bytes(image.begin() + off, image.begin() + off + n)))
            return false;
    }
    return In(t, Cdb({0xEF, 0x79}, 6).u16(2, uint16_t(ByteSum(image) + sumDelta)), 1).ok;
}

inline Bytes SampleLoader()
{
    Bytes b(5000);
    for (size_t i = 0; i < b.size(); ++i)
        b[i] = uint8_t(i * 7 + 3);
    return b;
}

// EF 93, the scan command.
struct Scan {
    uint32_t block = 0;
    uint16_t pattern = 0xAA55;
    uint8_t dataMode = 2;
    uint8_t op = 3;
    uint8_t skip = 0;
    uint8_t ecc = 2;
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

inline bool WritePage(platform::ScsiTransport& t, uint32_t page, const Bytes& data, uint8_t mode = 0)
{
    return Out(t, Cdb({0xEE, 0x95}, 10).u32(2, page).set(7, 0x01).set(8, mode), data, 10);
}

inline bool SendPageTable(platform::ScsiTransport& t, const Bytes& table)
{
    return Out(t, Cdb({0xEE, 0x9B}, 6), table, 10);
}

// EF 7A size, EE 7B pieces, EF 7C; true when the end command's status is set.
inline bool Stream(platform::ScsiTransport& t, const Bytes& data, size_t piece = 2048)
{
    if (!In(t, Cdb({0xEF, 0x7A}, 6).u32(2, uint32_t(data.size())), 1).status())
        return false;
    size_t off = 0;
    do {
        size_t n = std::min(piece, data.size() - off);
        if (!Out(t, Cdb({0xEE, 0x7B}, 6), Bytes(data.begin() + off, data.begin() + off + n), 60))
            return false;
        off += n;
        if (n < piece)
            break;
    } while (true);
    return In(t, Cdb({0xEF, 0x7C}, 6), 1).status();
}

inline Bytes Pattern(size_t n, uint8_t seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t(seed + i * 13 + (i >> 8));
    return b;
}

// Disk commands.
inline bool ReadCapacity(platform::ScsiTransport& t, uint32_t& lastLba, uint32_t& blockLength)
{
    Reply r = In(t, Cdb({0x25}, 6), 8);
    lastLba = uint32_t(r[0]) << 24 | uint32_t(r[1]) << 16 | uint32_t(r[2]) << 8 | r[3];
    blockLength = uint32_t(r[4]) << 24 | uint32_t(r[5]) << 16 | uint32_t(r[6]) << 8 | r[7];
    return r.ok;
}

inline bool Write10(platform::ScsiTransport& t, uint32_t lba, const Bytes& data, uint32_t sector = 512)
{
    return Out(t, Cdb({0x2A}, 10).u32(2, lba).u16(7, uint32_t(data.size() / sector)), data);
}

inline Reply Read10(platform::ScsiTransport& t, uint32_t lba, uint16_t count, uint32_t sector = 512)
{
    return In(t, Cdb({0x28}, 10).u32(2, lba).u16(7, count), count * sector);
}

} // namespace simtest
