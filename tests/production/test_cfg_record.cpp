// The CFG record byte by byte, where it is written, and the failures of writing it.
#include "ProductionFixture.h"

#include "production/BlockTables.h"
#include "production/FlashRecord.h"

#include <cstring>
#include <map>
#include <set>

using namespace prodtest;

namespace {

// One chip of 64 blocks (all usable, all good), 64 pages of 2048 bytes. Block checks
// (EF 94) fail for chosen blocks, page writes (EE 95) for chosen pages.
class CfgTest : public ThreadTest {
protected:
    void SetUp() override
    {
        ThreadTest::SetUp();
        answer = [this](const RecordedCall& call) {
            ScriptedAnswer a{{0x01}, true};
            const uint32_t at = Be32(&call.cdb[2]);
            if (call.cdb[0] == 0xEF && call.cdb[1] == 0x94 && failingChecks.count(at)) {
                a.reply = {0x00};
                if (--failingChecks[at] == 0)
                    failingChecks.erase(at);
            }
            a.success = !(call.cdb[0] == 0xEE && call.cdb[1] == 0x95 && failingPages.count(at));
            return a;
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
    // Blocks checked since call number `from`.
    std::vector<uint32_t> CheckedBlocks(size_t from = 0) const
    {
        std::vector<uint32_t> out;
        const auto calls = drive.transport->calls();
        for (size_t i = from; i < calls.size(); ++i)
            if (calls[i].cdb[0] == 0xEF && calls[i].cdb[1] == 0x94)
                out.push_back(Be32(&calls[i].cdb[2]));
        return out;
    }

    std::map<uint32_t, int> failingChecks; // block -> failures left
    std::set<uint32_t> failingPages;
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

TEST_F(CfgTest, KeptMarksHiddenRatioAndShortGoodBlockList)
{
    ASSERT_EQ(WriteCfg(*thread, 1), 1);
    EXPECT_EQ(thread->CfgImage[2], '0');
    EXPECT_EQ(thread->CfgImage[6], 0);

    const struct { uint8_t feature; int ratio; uint8_t expected; } cases[] = {
        {0, 10, 0}, {1, 10, 25}, {2, 10, 25}, {1, 100, 255}, {2, 50, 128}, {0, 100, 0}, {3, 50, 0}};
    for (auto c : cases) {
        window.deviceFeature = c.feature;
        window.hideDiskRatio = c.ratio;
        BuildCfgRecord(*thread, 0);
        EXPECT_EQ(thread->CfgImage[162], c.expected) << int(c.feature) << " " << c.ratio;
    }

    // Fewer than eight good blocks keep the other slots.
    std::memset(thread->pBlockTable.get(), 0, 64);
    thread->pBlockTable[5] = thread->pBlockTable[40] = 0xFF;
    std::memset(thread->CfgImage + 138, 0xAB, 16);
    BuildCfgRecord(*thread, 0);
    const uint8_t expected[6] = {0, 5, 0, 40, 0xAB, 0xAB};
    EXPECT_EQ(0, std::memcmp(thread->CfgImage + 138, expected, 6));
}

TEST_F(CfgTest, SparsePageTablePlacesRecordAndBitmapOnUsedPages)
{
    Geometry(2);
    thread->CfgImage[FlashRecord::kBitmapPages] = 2; // per chip: 3 pages for 2 chips
    std::memset(thread->PageTable, 0xFE, 64); // only 0xFF marks a page in use
    for (uint32_t p : {3u, 10u, 11u, 40u})
        thread->PageTable[p] = 0xFF;
    ASSERT_EQ(WriteCfg(*thread, 0), 1);
    EXPECT_EQ(thread->CfgImage[82], 2);
    EXPECT_EQ(thread->CfgImage[137], 3);
    EXPECT_EQ(WrittenPages(), (std::vector<uint32_t>{3, 10, 11, 40, 64 + 3, 64 + 10, 64 + 11, 64 + 40}));
    // Bitmap page k carries bytes k x 2048 onward: 128 blocks are 16 bytes.
    const auto writes = CallsOf(0xEE, 0x95);
    std::vector<uint8_t> first(2048, 0);
    std::fill(first.begin(), first.begin() + 16, 0xFF);
    EXPECT_EQ(writes[1].data, first);
    EXPECT_EQ(writes[2].data, std::vector<uint8_t>(2048, 0));
}

TEST_F(CfgTest, TooFewUsedPagesFailWithNoGoodPage)
{
    std::memset(thread->PageTable, 0x01, 64);
    EXPECT_EQ(WriteCfg(*thread, 0), 0);
    EXPECT_EQ(status.Caption(), "No good pagefail");
    EXPECT_TRUE(WrittenPages().empty());

    thread->PageTable[63] = 0xFF; // the record fits, the bitmap page does not
    EXPECT_EQ(WriteCfg(*thread, 0), 0);
    EXPECT_EQ(status.Caption(), "No good pagefail");
    EXPECT_EQ(WrittenPages(), std::vector<uint32_t>{63});
}

TEST_F(CfgTest, FirstBlockFailingItsCheckMovesTheRecordOn)
{
    failingChecks[0] = 1;
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

TEST_F(CfgTest, BitmapPageCountIsWrittenOnARetryToo)
{
    Geometry(2);
    thread->CfgImage[FlashRecord::kBitmapPages] = 2;
    failingChecks[0] = 1;
    ASSERT_EQ(WriteCfg(*thread, 0), 1);
    EXPECT_EQ(WrittenPages(), (std::vector<uint32_t>{64, 65, 66, 67, 128, 129, 130, 131}));
}

TEST_F(CfgTest, SystemAreaTooLargeForItsByteIsRefusedBeforeWriting)
{
    thread->iSystemAreaBlocks = 256;
    const size_t before = drive.transport->callCount();
    EXPECT_EQ(WriteCfg(*thread, 0), 0);
    EXPECT_EQ(status.Caption(), "Write CFGfail");
    EXPECT_EQ(drive.transport->callCount(), before);
}

TEST_F(CfgTest, BadBlocksOfTheUsableAreaNeverWrapBelowZero)
{
    Geometry(1, 60); // four reserved blocks, all called good by the table
    ASSERT_EQ(WriteCfg(*thread, 0), 1);
    EXPECT_EQ(thread->iBadBlocks, 0u);
}

TEST_F(CfgTest, FinishChecksTheThirdAndFourthGoodBlocksWithoutWriting)
{
    thread->pBlockTable[1] = 0;
    ASSERT_EQ(FinishBadBlockTable(*thread, 0), 1);
    EXPECT_EQ(CheckedBlocks(), (std::vector<uint32_t>{3, 4}));
    EXPECT_TRUE(WrittenPages().empty());
    EXPECT_EQ(thread->CfgImage[137], 1); // untouched
    EXPECT_EQ(thread->CfgImage[2], 'X');

    std::memset(thread->pBlockTable.get(), 0, 64);
    for (uint32_t b : {10u, 20u, 30u})
        thread->pBlockTable[b] = 0xFF;
    const size_t before = drive.transport->callCount();
    EXPECT_EQ(FinishBadBlockTable(*thread, 0), 0);
    EXPECT_EQ(status.Caption(), "No Good block1");
    EXPECT_EQ(status.Font()->Color(), toolkit::clRed);
    EXPECT_EQ(CheckedBlocks(before), (std::vector<uint32_t>{30}));
}

TEST_F(CfgTest, DegradedRunWritesTheCfgLog)
{
    thread->bLogBiTable = 1;
    thread->bSpecialScan = 1;
    thread->PageTable[5] = 0; // one page of the block unused: degraded
    ASSERT_EQ(WriteCfg(*thread, 0), 1);
    EXPECT_EQ(thread->bDegraded, 1);
    EXPECT_FALSE(dir.read("log/0_bi_tab_cfg.txt").empty());

    thread->bSpecialScan = 0;
    std::remove(dir.file("log/0_bi_tab_cfg.txt").c_str());
    ASSERT_EQ(WriteCfg(*thread, 0), 1);
    EXPECT_TRUE(dir.read("log/0_bi_tab_cfg.txt").empty());
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
