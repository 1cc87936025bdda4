// The simulated NAND: scan replies, block check, pages and the device's own tables.
#include "RawCommands.h"

using namespace simtest;
using sim::PageFault;
using sim::WeakPages;

namespace {

constexpr uint16_t P = 0x1234, NotP = 0xEDCB;
constexpr uint32_t kPages = 32;

sim::FlashProfile smallFlash()
{
    sim::FlashProfile p;
    p.flashId = {0x5A, 0x01, 0x02, 0x03, 0x04};
    p.chips = 2;
    p.blocksPerChip = 64;
    p.usableBlocksPerChip = 60;
    p.pagesPerBlock = kPages;
    p.factoryBadBlocks = {5, 64 + 7};
    p.eraseFailBlocks = {30};
    p.pageFaults = {
        {10, 3, 3, PageFault::When::Always, 0},
        {11, -1, 5, PageFault::When::PatternIs, NotP},     // P passes, ~P fails
        {12, 0, 4, PageFault::When::PatternIsNot, 0xAA55}, // only 0xAA55 reads clean
    };
    p.weakPages = {{WeakPages::Where::OddPages, 4, {20}}};
    return p;
}

class SimNand : public LoadedDevice {
protected:
    SimNand() : LoadedDevice(smallFlash()) {}
    uint8_t verdict(uint32_t block, uint16_t pattern, uint8_t ecc = 2, uint8_t op = 3, uint8_t skip = 0)
    {
        Reply r = RunScan(dev, Scan{block, pattern, 2, op, skip, ecc}, kPages);
        EXPECT_TRUE(r.status());
        return r.ok ? r[1] : 0xEE;
    }
    Bytes info() { return In(dev, Cdb({0xEF, 0x80}, 10), 512, 10).data; }
};

TEST_F(SimNand, PerBlockVerdictsAndMalformedScans)
{
    const struct { const char* what; uint32_t block; uint16_t pattern; uint8_t ecc, skip, op, expected; } cases[] = {
        {"good block", 0, P, 2, 0, 3, 0xFF},
        {"factory bad", 5, P, 2, 0, 3, 0x00},
        {"3 bit errors above threshold 2: worst page's ECC byte", 10, P, 2, 0, 3, 0xFC},
        {"pattern P passes", 11, P, 2, 0, 3, 0xFF},
        {"pattern ~P fails", 11, NotP, 2, 0, 3, 0xFA},
        {"error except with 0xAA55", 12, 0x55AA, 2, 0, 3, 0xFB},
        {"odd pages weak", 20, P, 2, 0, 3, 0xFB},
        {"block that cannot be erased", 30, P, 2, 0, 3, 0x00},
        {"skip 1: odd pages not checked", 20, P, 2, 1, 3, 0xFF},
        // Write only (2), then verify (1) against the block's last pattern.
        {"written", 0, P, 2, 0, 2, 0xFF}, {"verified", 0, P, 2, 0, 1, 0xFF}, {"another pattern reads bad", 0, NotP, 2, 0, 1, 0x00},
        {"never written", 1, P, 2, 0, 1, 0x00}, {"factory bad fails its write", 5, P, 2, 0, 2, 0x00},
    };
    for (const auto& c : cases)
        EXPECT_EQ(verdict(c.block, c.pattern, c.ecc, c.op, c.skip), c.expected) << c.what;

    EXPECT_EQ(RunScan(dev, Scan{.block = 4, .pattern = P, .count = 3}, kPages).data, (Bytes{0x01, 0xFF, 0x00, 0xFF}));
    EXPECT_TRUE(RunScan(dev, Scan{.block = 128}, kPages).refused()) << "beyond 2 x 64 blocks";
    for (const Scan& s : {Scan{.dataMode = 3}, Scan{.op = 0}, Scan{.op = 4}})
        EXPECT_FALSE(RunScan(dev, s, kPages).status());
    Cdb c({0xEF, 0x93}, 16); // a transfer length other than the reply's is not carried out
    c.set(10, 2).set(11, 3).u16(6, 1);
    EXPECT_FALSE(In(dev, c, 3).ok || In(dev, c.set(14, 1), 2).ok);

    // The block check erases good blocks and fails broken ones.
    EXPECT_TRUE(CheckBlock(dev, 0));
    EXPECT_EQ(verdict(0, P, 2, 1), 0x00) << "erased: the pattern is gone";
    for (uint32_t broken : {5u, 30u, 128u}) // factory bad, cannot be erased, out of range
        EXPECT_FALSE(CheckBlock(dev, broken)) << broken;
}

TEST_F(SimNand, TablesStayOverAPowerCycleUntilAScanWriteWipesTheLastCopy)
{
    EXPECT_EQ(info(), Bytes(512, 0)) << "fresh: no record";
    const Bytes factory = In(dev, Cdb({0xEF, 0x98}, 10).u32(2, 16), 16, 30).data; // 128 blocks
    for (uint32_t i = 0; i < 128; ++i)
        EXPECT_EQ((factory[i / 8] >> (7 - i % 8)) & 1, i % 64 < 60 && i != 5 && i != 64 + 7) << i;
    EXPECT_FALSE(In(dev, Cdb({0xEF, 0x98}, 10).u32(2, 16), 8, 30).ok) << "length mismatch";

    Bytes rec(2048, 0);
    std::copy_n("6205", 4, rec.begin());
    rec[511] = 0x77;
    for (uint32_t block : {1u, 2u}) // the first two good blocks
        ASSERT_TRUE(CheckBlock(dev, block) && WritePage(dev, block * kPages, rec, 1));
    EXPECT_FALSE(WritePage(dev, 5 * kPages, rec) || WritePage(dev, 3 * kPages, Bytes(2049))) << "bad block, longer than a page";
    dev.powerCycle();
    ASSERT_TRUE(UploadLoader(dev, SampleLoader()));
    EXPECT_EQ(info(), Slice(rec, 0, 512));
    ASSERT_TRUE(CheckBlock(dev, 1));
    EXPECT_EQ(info(), Slice(rec, 0, 512)) << "the copy in the second block remains";
    ASSERT_EQ(verdict(2, P, 2, 2), 0xFF);
    EXPECT_EQ(info(), Bytes(512, 0));

    // Written without a firmware upgrade, the record carries 'X' marks, byte 2 among them:
    // the device still serves it ("62X5"; the host judges it). Any other tag is data.
    for (size_t i = 2; i <= 62; i += 4)
        rec[i] = 'X';
    ASSERT_TRUE(WritePage(dev, 3 * kPages, rec));
    EXPECT_EQ(info(), Slice(rec, 0, 512));
    rec[2] = 'Y';
    ASSERT_TRUE(CheckBlock(dev, 3) && WritePage(dev, 3 * kPages, rec));
    EXPECT_EQ(info(), Bytes(512, 0));
}

} // namespace
