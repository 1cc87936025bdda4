// The simulated NAND: scan replies, block check, pages and the device's own tables.
#include "RawCommands.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

using namespace simtest;
using sim::FlashProfile;
using sim::PageFault;
using sim::SimulatedDevice;
using sim::WeakPages;

namespace {

constexpr uint16_t P = 0x1234;
constexpr uint16_t NotP = 0xEDCB;
constexpr uint32_t kPages = 32;

FlashProfile smallFlash()
{
    FlashProfile p;
    p.flashId = {0x5A, 0x01, 0x02, 0x03, 0x04};
    p.chips = 2;
    p.blocksPerChip = 64;
    p.usableBlocksPerChip = 60;
    p.pagesPerBlock = kPages;
    p.pageSize = 2048;
    p.factoryBadBlocks = {5, 64 + 7};
    p.eraseFailBlocks = {30};
    p.pageFaults = {
        {10, 3, 3, PageFault::When::Always, 0},
        {11, -1, 5, PageFault::When::PatternIs, NotP},     // P passes, ~P fails
        {12, 0, 4, PageFault::When::PatternIsNot, 0xAA55}, // only 0xAA55 reads clean
    };
    p.weakPages = {
        {WeakPages::Where::OddPages, 4, {20}},
        {WeakPages::Where::SecondHalf, 6, {21}},
    };
    return p;
}

class SimNand : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(UploadLoader(dev, SampleLoader())); }

    uint8_t verdict(uint32_t block, uint16_t pattern, uint8_t ecc = 2, uint8_t op = 3, uint8_t mode = 2,
                    uint8_t skip = 0)
    {
        Reply r = RunScan(dev, Scan{block, pattern, mode, op, skip, ecc}, kPages);
        EXPECT_TRUE(r.status());
        return r.ok ? r[1] : 0xEE;
    }
    Bytes pages(uint32_t block, uint16_t pattern, uint8_t ecc = 2)
    {
        Reply r = RunScan(dev, Scan{block, pattern, 2, 3, 0, ecc, true}, kPages);
        EXPECT_TRUE(r.status());
        return Bytes(r.data.begin() + 1, r.data.end());
    }
    void pageTable(uint8_t (*used)(uint32_t))
    {
        Bytes t(kPages);
        for (uint32_t p = 0; p < kPages; ++p)
            t[p] = used(p);
        ASSERT_TRUE(SendPageTable(dev, t));
    }

    testsupport::TempDir dir;
    SimulatedDevice dev{smallFlash(), dir.path(), "n0"};
};

struct VerdictCase {
    const char* what;
    uint32_t block;
    uint16_t pattern;
    uint8_t ecc;
    uint8_t expected;
};

TEST_F(SimNand, PerBlockVerdictsOfOnePassScans)
{
    const VerdictCase cases[] = {
        {"good block", 0, P, 2, 0xFF},
        {"factory bad", 5, P, 2, 0x00},
        {"factory bad on chip 1", 64 + 7, P, 2, 0x00},
        {"3 bit errors above threshold 2: worst page's ECC byte", 10, P, 2, 0xFC},
        {"3 bit errors at threshold 3", 10, P, 3, 0xFF},
        {"pattern P passes", 11, P, 2, 0xFF},
        {"pattern ~P fails", 11, NotP, 2, 0xFA},
        {"error except with 0xAA55", 12, 0xAA55, 2, 0xFF},
        {"error except with 0xAA55 (other word)", 12, 0x55AA, 2, 0xFB},
        {"odd pages weak", 20, P, 2, 0xFB},
        {"second half weak", 21, P, 2, 0xF9},
        {"second half weak, threshold 6", 21, P, 6, 0xFF},
        {"block that cannot be erased", 30, P, 2, 0x00},
    };
    for (const auto& c : cases)
        EXPECT_EQ(verdict(c.block, c.pattern, c.ecc), c.expected) << c.what;
}

TEST_F(SimNand, VerifyReadsTheBlocksLastPattern)
{
    EXPECT_EQ(verdict(0, P, 2, /*op*/ 2), 0xFF);  // write pass reports the write
    EXPECT_EQ(verdict(0, P, 2, 1), 0xFF);          // same pattern reads back
    EXPECT_EQ(verdict(0, NotP, 2, 1), 0x00);       // another pattern reads bad
    EXPECT_EQ(verdict(0, P, 2, 1, /*mode*/ 1), 0xFF); // the word, not the mode, decides
    EXPECT_EQ(verdict(0, NotP, 2, 1, 1), 0x00);
    EXPECT_EQ(verdict(1, P, 2, 1), 0x00);          // never written
    EXPECT_EQ(verdict(5, P, 2, 2), 0x00);          // factory bad fails its write
    // A write pass of the ~P-sensitive block with ~P, verified with ~P, reads its errors.
    EXPECT_EQ(verdict(11, NotP, 2, 2), 0xFF);
    EXPECT_EQ(verdict(11, NotP, 2, 1), 0xFA);
    EXPECT_EQ(verdict(11, P, 2, 1), 0x00);
}

TEST_F(SimNand, PerPageRepliesCarryBitErrorsAndIgnoreTheThreshold)
{
    Bytes row = pages(10, P, 2);
    ASSERT_EQ(row.size(), kPages);
    for (uint32_t p = 0; p < kPages; ++p)
        EXPECT_EQ(row[p], p == 3 ? 0xFC : 0xFF) << p;
    EXPECT_EQ(pages(10, P, 200), row);

    row = pages(20, P);
    for (uint32_t p = 0; p < kPages; ++p)
        EXPECT_EQ(row[p], p % 2 ? 0xFB : 0xFF) << p;
    EXPECT_EQ(pages(5, P), Bytes(kPages, 0x00));
}

TEST_F(SimNand, PageTableLimitsWhatIsRead)
{
    pageTable([](uint32_t p) -> uint8_t { return p % 2 == 0 ? 0xFF : 0x00; }); // even pages
    EXPECT_EQ(verdict(20, P), 0xFF);
    EXPECT_EQ(pages(20, P), Bytes(kPages, 0xFF)); // unused pages are not read
    pageTable([](uint32_t p) -> uint8_t { return p < kPages / 2 ? 0xFF : 0x00; }); // first half
    EXPECT_EQ(verdict(21, P), 0xFF);
    EXPECT_EQ(verdict(10, P), 0xFC); // page 3 is in the first half
    EXPECT_EQ(dev.pageTable()[0], 0xFF);
    EXPECT_EQ(dev.pageTable()[kPages - 1], 0x00);
    // The table is held in RAM: a reset forgets it.
    ASSERT_TRUE(NoData(dev, Cdb({0xEF, 0x81}, 6)));
    EXPECT_EQ(dev.pageTable(), Bytes(kPages, 0xFF));
}

TEST_F(SimNand, PageSkipChecksEveryNthPage)
{
    // Skip k: one page checked, k pages passed over.
    EXPECT_EQ(verdict(20, P, 2, 3, 2, /*skip*/ 1), 0xFF); // odd pages not checked
    EXPECT_EQ(verdict(10, P, 2, 3, 2, 1), 0xFF);          // page 3 not checked
    EXPECT_EQ(verdict(10, P, 2, 3, 2, 2), 0xFC);          // pages 0, 3, 6 ... checked
}

TEST_F(SimNand, MalformedScansAreRefused)
{
    Scan s;
    s.block = 128; // beyond 2 x 64 blocks
    Reply r = RunScan(dev, s, kPages);
    EXPECT_TRUE(r.ok);
    EXPECT_FALSE(r.status());
    for (uint8_t op : {0, 4}) {
        s = Scan{};
        s.op = op;
        EXPECT_FALSE(RunScan(dev, s, kPages).status()) << int(op);
    }
    s = Scan{};
    s.dataMode = 3;
    EXPECT_FALSE(RunScan(dev, s, kPages).status());
    // A transfer length other than the reply's is not carried out.
    Cdb c({0xEF, 0x93}, 16);
    c.set(10, 2).set(11, 3).u16(6, 1);
    EXPECT_FALSE(In(dev, c, 3).ok);
    c.set(14, 1);
    EXPECT_FALSE(In(dev, c, 2).ok);
}

TEST_F(SimNand, ScanOfSeveralBlocksAnswersPerBlock)
{
    Scan s;
    s.block = 4;
    s.count = 3;
    s.pattern = P;
    Reply r = RunScan(dev, s, kPages);
    ASSERT_TRUE(r.status());
    EXPECT_EQ(r.data, (Bytes{0x01, 0xFF, 0x00, 0xFF}));
}

TEST_F(SimNand, BlockCheckErasesGoodBlocksAndFailsBrokenOnes)
{
    EXPECT_TRUE(CheckBlock(dev, 0));
    EXPECT_FALSE(CheckBlock(dev, 5));   // factory bad
    EXPECT_FALSE(CheckBlock(dev, 30));  // cannot be erased
    EXPECT_FALSE(CheckBlock(dev, 128)); // out of range
    Reply r = In(dev, Cdb({0xEF, 0x94}, 10).u32(2, 0).u16(6, 1), 1);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r[0], 0x01);

    ASSERT_EQ(verdict(2, P, 2, 2), 0xFF);
    ASSERT_TRUE(CheckBlock(dev, 2));
    EXPECT_EQ(verdict(2, P, 2, 1), 0x00); // erased: the pattern is gone
}

Bytes record(uint8_t systemUnits, uint8_t ratio)
{
    Bytes r(2048, 0);
    r[0] = '6'; r[1] = '2'; r[2] = '0'; r[3] = '5';
    r[96] = 0x01;
    r[161] = systemUnits;
    r[162] = ratio;
    r[511] = 0x77;
    return r;
}

TEST_F(SimNand, FreshDeviceHasNoRecordAndTheFactoryBitmap)
{
    Reply info = In(dev, Cdb({0xEF, 0x80}, 10), 512, 10);
    ASSERT_TRUE(info.ok);
    EXPECT_EQ(info.data, Bytes(512, 0));

    Reply bits = In(dev, Cdb({0xEF, 0x98}, 10).u32(2, 16), 16, 30); // 128 blocks
    ASSERT_TRUE(bits.ok);
    for (uint32_t i = 0; i < 128; ++i) {
        bool good = (bits[i / 8] >> (7 - i % 8)) & 1;
        bool expected = i % 64 < 60 && i != 5 && i != 64 + 7;
        EXPECT_EQ(good, expected) << i;
    }
    EXPECT_FALSE(In(dev, Cdb({0xEF, 0x98}, 10).u32(2, 16), 8, 30).ok); // length mismatch
}

TEST_F(SimNand, SecondRunReadsTheTablesTheFirstRunWrote)
{
    Bytes rec = record(1, 0);
    Bytes bitmap(2048, 0);
    bitmap[0] = 0xF0;
    bitmap[1] = 0x0F;
    // The record and the bitmap go to the first two good blocks (1 and 2 here).
    for (uint32_t block : {1u, 2u}) {
        ASSERT_TRUE(CheckBlock(dev, block));
        ASSERT_TRUE(WritePage(dev, block * kPages, rec, 0x01));
        ASSERT_TRUE(WritePage(dev, block * kPages + 1, bitmap, 0x01));
    }
    EXPECT_FALSE(WritePage(dev, 5 * kPages, rec));        // factory-bad block
    EXPECT_FALSE(WritePage(dev, 3 * kPages, Bytes(2049))); // longer than a page
    EXPECT_EQ(dev.storedPage(kPages), rec);

    // The device keeps them over a power cycle and a new loader.
    dev.powerCycle();
    ASSERT_TRUE(UploadLoader(dev, SampleLoader()));
    Reply info = In(dev, Cdb({0xEF, 0x80}, 10), 512, 10);
    ASSERT_TRUE(info.ok);
    EXPECT_EQ(info.data, Bytes(rec.begin(), rec.begin() + 512));
    Reply bits = In(dev, Cdb({0xEF, 0x98}, 10).u32(2, 16), 16, 30);
    ASSERT_TRUE(bits.ok);
    EXPECT_EQ(bits[0], 0xF0);
    EXPECT_EQ(bits[1], 0x0F);
    EXPECT_EQ(bits[2], 0x00);

    Reply page = In(dev, Cdb({0xEF, 0x96}, 10).u32(2, kPages + 1).u16(6, 1), 2048);
    ASSERT_TRUE(page.ok);
    EXPECT_EQ(page.data, bitmap);

    // Clearing the first block leaves the copy in the second.
    ASSERT_TRUE(CheckBlock(dev, 1));
    EXPECT_EQ(In(dev, Cdb({0xEF, 0x80}, 10), 512, 10).data, Bytes(rec.begin(), rec.begin() + 512));
    // A scan pass writing block 2 wipes the last copy.
    ASSERT_EQ(verdict(2, P, 2, 2), 0xFF);
    EXPECT_EQ(In(dev, Cdb({0xEF, 0x80}, 10), 512, 10).data, Bytes(512, 0));
}

TEST_F(SimNand, RecordMarkedByTheToolIsStillTheDevicesOwn)
{
    // Written without a firmware upgrade, the record carries 'X' marks, byte 2 among them.
    Bytes rec = record(1, 0);
    for (size_t i = 2; i <= 62; i += 4)
        rec[i] = 'X';
    Bytes bitmap(2048, 0);
    bitmap[0] = 0xC0;
    ASSERT_TRUE(CheckBlock(dev, 0));
    ASSERT_TRUE(WritePage(dev, 0, rec));
    ASSERT_TRUE(WritePage(dev, 1, bitmap));
    Reply info = In(dev, Cdb({0xEF, 0x80}, 10), 512, 10);
    ASSERT_TRUE(info.ok);
    EXPECT_EQ(info.data, Bytes(rec.begin(), rec.begin() + 512)); // "62X5": the host judges it
    Reply bits = In(dev, Cdb({0xEF, 0x98}, 10).u32(2, 16), 16, 30);
    ASSERT_TRUE(bits.ok);
    EXPECT_EQ(bits[0], 0xC0);
    EXPECT_EQ(bits[1], 0x00);
    // Any other tag is data, not a record.
    Bytes other = rec;
    other[2] = 'Y';
    ASSERT_TRUE(CheckBlock(dev, 0));
    ASSERT_TRUE(WritePage(dev, 0, other));
    EXPECT_EQ(In(dev, Cdb({0xEF, 0x80}, 10), 512, 10).data, Bytes(512, 0));
}

TEST_F(SimNand, DescriptionEndsWithItsShortPiece)
{
    // A 2100-byte file: a full piece, then the rest; the record is its first 512 bytes.
    Bytes file = Pattern(2100, 9);
    ASSERT_TRUE(Out(dev, Cdb({0xEE, 0x71}, 6), Bytes(file.begin(), file.begin() + 2048)));
    EXPECT_TRUE(dev.flashDescription().empty());
    ASSERT_TRUE(Out(dev, Cdb({0xEE, 0x71}, 6), Bytes(file.begin() + 2048, file.end())));
    EXPECT_EQ(dev.flashDescription(), Bytes(file.begin(), file.begin() + 512));

    // A 200-byte file is one short piece; the rest of the record is zero.
    Bytes small = Pattern(200, 4);
    ASSERT_TRUE(Out(dev, Cdb({0xEE, 0x71}, 6), small));
    Bytes expected = small;
    expected.resize(512, 0);
    EXPECT_EQ(dev.flashDescription(), expected);

    // The 512-byte device information block comes alone and replaces it whole.
    Bytes info = Pattern(512, 5);
    ASSERT_TRUE(Out(dev, Cdb({0xEE, 0x71}, 6), info));
    EXPECT_EQ(dev.flashDescription(), info);

    // A 2048-byte file ends with an empty piece; a piece above 2048 bytes is refused.
    ASSERT_TRUE(Out(dev, Cdb({0xEE, 0x71}, 6), Bytes(2048, 0x61)));
    EXPECT_EQ(dev.flashDescription(), info);
    ASSERT_TRUE(Out(dev, Cdb({0xEE, 0x71}, 6), Bytes{}));
    EXPECT_EQ(dev.flashDescription(), Bytes(512, 0x61));
    EXPECT_FALSE(Out(dev, Cdb({0xEE, 0x71}, 6), Bytes(2049, 1)));
}

} // namespace
