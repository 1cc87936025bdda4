// Block tables: the capacity rule and the CFG record byte by byte, where it is written, and
// the failures of writing it.
#include "ProductionFixture.h"

#include "production/BlockTables.h"
#include "production/FlashRecord.h"

#include <cstring>
#include <tuple>

using namespace prodtest;

namespace {

class CapacityTest : public ThreadTest {
protected:
    // `total` blocks of 64 pages, the first `perGroup` of each 1024-block group good.
    void Table(uint32_t total, uint32_t perGroup)
    {
        SetGeometry(1, total, total, 64, 2048);
        for (uint32_t i = 0; i < total; ++i)
            thread->pBlockTable[i] = (i % 1024) < perGroup ? 0xFF : 0;
    }
};

TEST_F(CapacityTest, Cases)
{
    const struct {
        const char* what;
        uint32_t total, perGroup;
        uint8_t dealCapError;
        int result, degraded;
        uint32_t good;
        const char* caption = "";
        uint32_t minValidSize = 0;
        uint8_t blocksOverride = 0, specialScan = 0; // the special scan found page 63 unused
    } cases[] = {
        {"degrade trims", 4096, 450, 0, 1, 1, 450 + 450 + 131},
        {"show error", 4096, 450, 1, 0, 0, 1800, "Bad Block no Exceed"},
        {"98 % of 1024 rounded down: 1003 good is enough", 1024, 1003, 0, 1, 0, 1003},
        {"1002 good is not: halved to 512 and 7 uncounted", 1024, 1002, 0, 1, 1, 519},
        {"3 MB below 4 MB", 1024, 30, 2, 0, 0, 30, "Valid Size too smallfail", 1},
        {"registered blocks per chip: no size check", 1024, 30, 2, 1, 0, 30, "", 1, 1},
        {"a page the special scan left out degrades", 1024, 1024, 2, 1, 1, 1024, "", 0, 0, 1},
    };
    for (const auto& c : cases) {
        Table(c.total, c.perGroup);
        thread->PageTable[63] = 0;
        std::tie(window.dealCapError, window.minValidSize) = std::tuple(c.dealCapError, c.minValidSize);
        std::tie(thread->bBlocksPerChipOverride, thread->bSpecialScan) = std::tuple(c.blocksOverride, c.specialScan);
        status.SetCaption("");
        thread->bDegraded = 0;
        EXPECT_EQ(CheckCapacityRule(*thread), c.result) << c.what;
        EXPECT_EQ(thread->bDegraded, c.degraded) << c.what;
        EXPECT_EQ(CountGoodBlocks(*thread), c.good) << c.what;
        EXPECT_EQ(status.Caption(), c.caption) << c.what;
    }
    // Without a window a fresh station's settings apply: a 2 % shortfall.
    std::tie(thread->bBlocksPerChipOverride, thread->bSpecialScan) = std::tuple(0, 0);
    production::SetWindowLink(nullptr);
    Table(1024, 1002);
    EXPECT_EQ(CheckCapacityRule(*thread), 1);
    EXPECT_EQ(thread->bDegraded, 1);
    production::SetWindowLink(&window);
    // The trimmed table: G = 1800 halves N 4096 -> 2048 -> 1024; group 2 is cut where the
    // counter passes 1024 - 14, group 3 cleared whole.
    Table(4096, 450);
    window.dealCapError = 0;
    ASSERT_EQ(CheckCapacityRule(*thread), 1);
    uint32_t kept[4] = {};
    for (uint32_t i = 0; i < 4096; ++i)
        kept[i / 1024] += thread->pBlockTable[i] == 0xFF;
    EXPECT_EQ(std::vector<uint32_t>(kept, kept + 4), (std::vector<uint32_t>{450, 450, 131, 0}));
}

// One chip of 64 blocks (all usable, all good), 64 pages of 2048 bytes.
class CfgTest : public ThreadTest {
protected:
    void SetUp() override
    {
        ThreadTest::SetUp();
        answer = [this](const RecordedCall& call) {
            const bool refused = call.cdb[0] == 0xEF && call.cdb[1] == 0x94 && failingCheck == Be32(&call.cdb[2]);
            if (refused)
                failingCheck = -1;
            return ScriptedAnswer{{uint8_t(refused ? 0 : 1)}, true};
        };
        Geometry(1);
        thread->iRecordByte96 = 0x21;
        thread->iSystemAreaBlocks = 3;
        const std::string record = MakeRecord(RecordFields{});
        std::memcpy(thread->CfgImage, record.data(), record.size());
        thread->CfgImage[FlashRecord::kName] = 'N'; // bytes a description may fill
        thread->CfgImage[FlashRecord::kZeroBytes] = 0x77;
        window.dealCapError = 2;
    }
    void Geometry(uint32_t chips, uint32_t usable = 64)
    {
        SetGeometry(chips, 64, usable);
        MarkAllGood();
    }
    std::vector<uint32_t> WrittenPages() const
    {
        std::vector<uint32_t> out;
        for (const auto& c : CallsOf(0xEE, 0x95))
            out.push_back(Be32(&c.cdb[2]));
        return out;
    }
    std::vector<uint32_t> CheckedBlocks() const
    {
        std::vector<uint32_t> out;
        for (const auto& c : CallsOf(0xEF, 0x94))
            out.push_back(Be32(&c.cdb[2]));
        return out;
    }

    int64_t failingCheck = -1; // this block's check fails once
};

TEST_F(CfgTest, RecordBytesAfterCompletion)
{
    // Bad blocks 0, 2, 3 and 9: the first eight good ones are 1, 4, 5, 6, 7, 8, 10, 11.
    for (uint32_t b : {0u, 2u, 3u, 9u})
        thread->pBlockTable[b] = 0;
    ASSERT_EQ(WriteCfg(*thread, 0), 1);
    const uint8_t* r = thread->CfgImage;

    // The description file's bytes with the completed positions; nothing else moved.
    std::string expected = MakeRecord(RecordFields{});
    for (size_t i = 0; i < 16; ++i)
        expected[2 + 4 * i] = 'X';
    expected[82] = 1;  // chips
    expected[137] = 1; // bitmap pages: (1 - 1) x 1 + 1
    const uint8_t firstGood[16] = {0, 1, 0, 4, 0, 5, 0, 6, 0, 7, 0, 8, 0, 10, 0, 11};
    std::memcpy(expected.data() + 138, firstGood, 16);
    expected[161] = 3; // system-area units
    expected[162] = 0; // normal disk
    std::memcpy(expected.data() + 163, "0000\0\0\0\0\0", 9);
    uint16_t sum = 0;
    for (size_t i = 82; i <= 254; ++i)
        sum = uint16_t(sum + uint8_t(expected[i]));
    expected[80] = char(sum >> 8);
    expected[81] = char(sum & 0xFF);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(r), 512), expected);
    EXPECT_EQ(CfgChecksum(r), sum);
    EXPECT_EQ(thread->iBadBlocks, 4u);

    // The record goes to the first used page of blocks 1 and 4, the bitmap to the next.
    const auto writes = CallsOf(0xEE, 0x95);
    EXPECT_EQ(WrittenPages(), (std::vector<uint32_t>{64, 65, 4 * 64, 4 * 64 + 1}));
    for (const auto& w : writes) {
        EXPECT_EQ(w.cdb[8], 0x21);
        ASSERT_EQ(w.data.size(), 2048u);
    }
    EXPECT_EQ(0, std::memcmp(writes[0].data.data(), r, 2048));
    // Bitmap: blocks 0, 2, 3, 9 clear, the rest of the 64 set, most significant bit first.
    const std::vector<uint8_t> bitmap = {0x4F, 0xBF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0};
    EXPECT_EQ(std::vector<uint8_t>(writes[1].data.begin(), writes[1].data.begin() + 9), bitmap);
    EXPECT_EQ(CheckedBlocks(), (std::vector<uint32_t>{1, 4}));
}

TEST_F(CfgTest, FirstBlockFailingItsCheckMovesTheRecordOn)
{
    failingCheck = 0;
    ASSERT_EQ(WriteCfg(*thread, 0), 1);
    EXPECT_EQ(status.Caption(), "Write CFG1");
    EXPECT_EQ(thread->pBlockTable[0], 0);
    EXPECT_EQ(CheckedBlocks(), (std::vector<uint32_t>{0, 1, 2}));
    EXPECT_EQ(WrittenPages(), (std::vector<uint32_t>{64, 65, 128, 129}));
    // The record written knows block 0 is bad.
    EXPECT_EQ(thread->CfgImage[139], 1);
    EXPECT_EQ(CallsOf(0xEE, 0x95)[1].data[0], 0x7F);
    EXPECT_EQ(thread->iBadBlocks, 1u);
}

TEST_F(CfgTest, SystemAreaTooLargeForItsByteIsRefusedBeforeWriting)
{
    thread->iSystemAreaBlocks = 256;
    EXPECT_EQ(WriteCfg(*thread, 0), 0);
    EXPECT_EQ(status.Caption(), "Write CFGfail");
    EXPECT_EQ(drive.transport->callCount(), 0u);
    thread->iSystemAreaBlocks = 255;
    EXPECT_EQ(WriteCfg(*thread, 0), 1);
    EXPECT_EQ(thread->CfgImage[161], 255);
}

TEST_F(CfgTest, BadBlocksOfTheUsableAreaNeverWrapBelowZero)
{
    Geometry(1, 60); // four reserved blocks, all called good by the table
    ASSERT_EQ(WriteCfg(*thread, 0), 1);
    EXPECT_EQ(thread->iBadBlocks, 0u);
}

// Geometry at the limits of what the tables hold: every table step stays inside the
// thread's buffers (the sanitizer build checks the accesses).
TEST_F(CfgTest, BoundaryGeometriesRunEveryTableStepInsideTheirBuffers)
{
    const struct {
        const char* what;
        uint32_t chips;
        uint8_t pagesLog2, pageLog2, blocksLog2, bitmapPages;
        uint16_t usable;
        int written;
    } cases[] = {
        {"512 pages of 8192 bytes, 65536 blocks", 4, 9, 13, 14, 1, 16384, 1},
        {"32 pages of 512 bytes, 16 bitmap pages", 1, 5, 9, 16, 16, 65535, 1},
        {"one block in all", 1, 5, 9, 0, 1, 1, 0},
    };
    for (const auto& c : cases) {
        RecordFields f;
        f.pagesLog2 = c.pagesLog2;
        f.pageLog2 = c.pageLog2;
        f.blocksLog2 = c.blocksLog2;
        f.bitmapPages = c.bitmapPages;
        f.usableBlocks = c.usable;
        dir.write("flash/edge.txt", MakeRecord(f));
        thread->iChipCount = c.chips;
        ASSERT_EQ(LoadFlashRecord(*thread, dir.file("flash/edge.txt")), 1) << c.what;
        ASSERT_TRUE(thread->AllocateBlockTable()) << c.what;
        uint32_t rate = 0;
        ReadBadBlockBitmap(*thread, rate);
        ASSERT_EQ(ScanBadBlocks(*thread, 5, 5), 1) << c.what;
        EXPECT_EQ(WriteCfg(*thread, 0), c.written) << c.what;
        EXPECT_EQ(FinishBadBlockTable(*thread, 0), c.written) << c.what;
        EXPECT_EQ(WriteBadBlockLog(*thread, "edge.txt"), 1) << c.what;
    }
}

} // namespace
