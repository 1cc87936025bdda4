// The CFG record byte by byte, where it is written, and the failures of writing it.
#include "ProductionFixture.h"

#include "production/BlockTables.h"
#include "production/FlashRecord.h"
#include "support/RecordingTransport.h"

#include <cstring>
#include <map>
#include <set>

using namespace prodtest;
using testsupport::RecordedCall;
using testsupport::RecordingTransport;
using testsupport::ScriptedAnswer;

namespace {

struct PageWrite {
    uint32_t page;
    uint8_t mode;
    std::vector<uint8_t> data;
};

// A device whose block check (EF 94) fails for chosen blocks and whose page writes (EE 95)
// fail for chosen pages; everything else succeeds.
class CfgTest : public ThreadTest {
protected:
    void SetUp() override
    {
        ThreadTest::SetUp();
        transport = std::make_shared<RecordingTransport>();
        transport->setResponder([this](const RecordedCall& call) {
            ScriptedAnswer a;
            a.reply = {0x01};
            if (call.cdb[0] == 0xEF && call.cdb[1] == 0x94) {
                const uint32_t block = Be32(&call.cdb[2]);
                if (failingChecks.count(block)) {
                    a.reply = {0x00};
                    if (--failingChecks[block] == 0)
                        failingChecks.erase(block);
                }
            }
            if (call.cdb[0] == 0xEE && call.cdb[1] == 0x95 && failingPages.count(Be32(&call.cdb[2])))
                a.success = false;
            return a;
        });
        thread->hDevice = platform::OpenTransport(transport, 'E');
        // One chip of 64 blocks (all usable), 64 pages of 2048 bytes.
        SetGeometry(1, 64, 64);
        MarkAllGood();
        thread->iRecordByte96 = 0x21;
        thread->iSystemAreaBlocks = 3;
        const std::string record = MakeRecord(RecordFields{});
        std::memcpy(thread->CfgImage, record.data(), record.size());
        // Bytes a description may hold anything in.
        thread->CfgImage[FlashRecord::kName] = 'N';
        thread->CfgImage[FlashRecord::kZeroBytes] = 0x77;
        window.dealCapError = 2;
    }
    void TearDown() override
    {
        platform::CloseDrive(thread->hDevice);
        ThreadTest::TearDown();
    }

    std::vector<PageWrite> PageWrites() const
    {
        std::vector<PageWrite> out;
        for (const auto& c : transport->calls())
            if (c.cdb[0] == 0xEE && c.cdb[1] == 0x95)
                out.push_back({Be32(&c.cdb[2]), c.cdb[8], c.data});
        return out;
    }
    std::vector<uint32_t> CheckedBlocks() const
    {
        std::vector<uint32_t> out;
        for (const auto& c : transport->calls())
            if (c.cdb[0] == 0xEF && c.cdb[1] == 0x94)
                out.push_back(Be32(&c.cdb[2]));
        return out;
    }

    std::shared_ptr<RecordingTransport> transport;
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

    for (size_t i = 0; i < 16; ++i)
        EXPECT_EQ(r[2 + 4 * i], 'X') << i;
    EXPECT_EQ(r[0], '6');
    EXPECT_EQ(r[1], '2');
    EXPECT_EQ(r[3], '5');
    EXPECT_EQ(r[82], 1);  // chips
    EXPECT_EQ(r[137], 1); // (1 - 1) x 1 + 1
    const uint8_t firstGood[16] = {0, 1, 0, 4, 0, 5, 0, 6, 0, 7, 0, 8, 0, 10, 0, 11};
    EXPECT_EQ(0, std::memcmp(r + 138, firstGood, 16));
    EXPECT_EQ(r[161], 3);
    EXPECT_EQ(r[162], 0); // normal disk
    EXPECT_EQ(0, std::memcmp(r + 163, "0000", 4));
    for (size_t i = 167; i < 172; ++i)
        EXPECT_EQ(r[i], 0) << i;
    for (size_t i = 480; i < 512; ++i)
        EXPECT_EQ(r[i], 0) << i;
    uint32_t sum = 0;
    for (size_t i = 82; i <= 254; ++i)
        sum += r[i];
    EXPECT_EQ(r[80], (sum >> 8) & 0xFF);
    EXPECT_EQ(r[81], sum & 0xFF);
    EXPECT_EQ(CfgChecksum(r), sum & 0xFFFF);
    EXPECT_EQ(thread->iBadBlocks, 4u);

    // Nothing else moved: the description file's bytes with the completed positions.
    std::string expected = MakeRecord(RecordFields{});
    for (size_t i = 0; i < 16; ++i)
        expected[2 + 4 * i] = 'X';
    expected[82] = 1;
    expected[137] = 1;
    std::memcpy(expected.data() + 138, firstGood, 16);
    expected[161] = 3;
    expected[162] = 0;
    std::memcpy(expected.data() + 163, "0000\0\0\0\0\0", 9);
    uint16_t expectedSum = 0;
    for (size_t i = 82; i <= 254; ++i)
        expectedSum = uint16_t(expectedSum + uint8_t(expected[i]));
    expected[80] = char(expectedSum >> 8);
    expected[81] = char(expectedSum & 0xFF);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(r), 512), expected);

    // The record goes to the first used page of blocks 1 and 4, the bitmap to the next.
    const auto writes = PageWrites();
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(writes[0].page, 1u * 64);
    EXPECT_EQ(writes[1].page, 1u * 64 + 1);
    EXPECT_EQ(writes[2].page, 4u * 64);
    EXPECT_EQ(writes[3].page, 4u * 64 + 1);
    for (const auto& w : writes) {
        EXPECT_EQ(w.mode, 0x21);
        EXPECT_EQ(w.data.size(), 2048u);
    }
    EXPECT_EQ(0, std::memcmp(writes[0].data.data(), r, 2048));
    // Bitmap: blocks 0, 2, 3, 9 clear, the rest of the 64 set, most significant bit first.
    const uint8_t bitmap[8] = {0x4F, 0xBF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(0, std::memcmp(writes[1].data.data(), bitmap, 8));
    EXPECT_EQ(writes[1].data[8], 0);
    EXPECT_EQ(CheckedBlocks(), (std::vector<uint32_t>{1, 4}));
}

TEST_F(CfgTest, KeptMarksStayAsTheFileHasThem)
{
    ASSERT_EQ(WriteCfg(*thread, 1), 1);
    EXPECT_EQ(thread->CfgImage[2], '0');
    EXPECT_EQ(thread->CfgImage[6], 0);
}

TEST_F(CfgTest, HiddenRatioByte)
{
    const struct {
        uint8_t feature;
        int ratio;
        uint8_t expected;
    } cases[] = {{0, 10, 0}, {1, 10, 25}, {2, 10, 25}, {1, 100, 255}, {2, 50, 128}, {0, 100, 0}, {3, 50, 0}};
    for (auto c : cases) {
        window.deviceFeature = c.feature;
        window.hideDiskRatio = c.ratio;
        BuildCfgRecord(*thread, 0);
        EXPECT_EQ(thread->CfgImage[162], c.expected) << int(c.feature) << " " << c.ratio;
    }
}

TEST_F(CfgTest, FewerThanEightGoodBlocksKeepTheOtherSlots)
{
    std::memset(thread->pBlockTable.get(), 0, 64);
    thread->pBlockTable[5] = 0xFF;
    thread->pBlockTable[40] = 0xFF;
    std::memset(thread->CfgImage + 138, 0xAB, 16);
    BuildCfgRecord(*thread, 0);
    const uint8_t expected[6] = {0, 5, 0, 40, 0xAB, 0xAB};
    EXPECT_EQ(0, std::memcmp(thread->CfgImage + 138, expected, 6));
}

TEST_F(CfgTest, SparsePageTablePlacesRecordAndBitmapOnUsedPages)
{
    SetGeometry(2, 64, 64);
    MarkAllGood();
    thread->CfgImage[FlashRecord::kBitmapPages] = 2; // per chip: 3 pages for 2 chips
    std::memset(thread->PageTable, 0, 64);
    for (uint32_t p : {3u, 10u, 11u, 40u})
        thread->PageTable[p] = 0xFF;
    ASSERT_EQ(WriteCfg(*thread, 0), 1);
    EXPECT_EQ(thread->CfgImage[82], 2);
    EXPECT_EQ(thread->CfgImage[137], 3);
    std::vector<uint32_t> pages;
    for (const auto& w : PageWrites())
        pages.push_back(w.page);
    EXPECT_EQ(pages, (std::vector<uint32_t>{3, 10, 11, 40, 64 + 3, 64 + 10, 64 + 11, 64 + 40}));
    // Bitmap page k carries bytes k x 2048 onward.
    const auto writes = PageWrites();
    EXPECT_EQ(writes[1].data[0], 0xFF);
    EXPECT_EQ(writes[1].data[15], 0xFF); // 128 blocks = 16 bytes
    EXPECT_EQ(writes[1].data[16], 0);
    EXPECT_EQ(writes[2].data, std::vector<uint8_t>(2048, 0));
}

TEST_F(CfgTest, NoUsedPageFailsWithNoGoodPage)
{
    std::memset(thread->PageTable, 0, 64);
    EXPECT_EQ(WriteCfg(*thread, 0), 0);
    EXPECT_EQ(status.Caption(), "No good pagefail");
    EXPECT_TRUE(PageWrites().empty());
}

TEST_F(CfgTest, TooFewUsedPagesForTheBitmapFailsWithNoGoodPage)
{
    std::memset(thread->PageTable, 0, 64);
    thread->PageTable[63] = 0xFF; // the record fits, the bitmap page does not
    EXPECT_EQ(WriteCfg(*thread, 0), 0);
    EXPECT_EQ(status.Caption(), "No good pagefail");
    ASSERT_EQ(PageWrites().size(), 1u);
    EXPECT_EQ(PageWrites()[0].page, 63u);
}

TEST_F(CfgTest, FirstBlockFailingItsCheckMovesTheRecordOn)
{
    failingChecks[0] = 1;
    ASSERT_EQ(WriteCfg(*thread, 0), 1);
    EXPECT_EQ(status.Caption(), "Write CFG1");
    EXPECT_EQ(thread->pBlockTable[0], 0);
    EXPECT_EQ(CheckedBlocks(), (std::vector<uint32_t>{0, 1, 2}));
    std::vector<uint32_t> pages;
    for (const auto& w : PageWrites())
        pages.push_back(w.page);
    EXPECT_EQ(pages, (std::vector<uint32_t>{64, 65, 128, 129}));
    // The record written knows block 0 is bad.
    EXPECT_EQ(thread->CfgImage[139], 1);
    EXPECT_EQ(PageWrites()[1].data[0], 0x7F);
    EXPECT_EQ(thread->iBadBlocks, 1u);
}

TEST_F(CfgTest, FailedPageWriteChecksTheBlockAgainAndRetries)
{
    failingPages.insert(1); // block 0's bitmap page
    ASSERT_EQ(WriteCfg(*thread, 0), 1);
    EXPECT_EQ(status.Caption(), "Write CFG1");
    EXPECT_EQ(CheckedBlocks(), (std::vector<uint32_t>{0, 0, 1, 2}));
}

TEST_F(CfgTest, SecondFailureEndsWithWriteCfgFail)
{
    failingChecks[0] = 1;
    failingChecks[1] = 1;
    EXPECT_EQ(WriteCfg(*thread, 0), 0);
    EXPECT_EQ(status.Caption(), "Write CFGfail");
}

TEST_F(CfgTest, BitmapPageCountIsWrittenOnARetryToo)
{
    SetGeometry(2, 64, 64);
    MarkAllGood();
    thread->CfgImage[FlashRecord::kBitmapPages] = 2;
    failingChecks[0] = 1;
    ASSERT_EQ(WriteCfg(*thread, 0), 1);
    std::vector<uint32_t> pages;
    for (const auto& w : PageWrites())
        pages.push_back(w.page);
    EXPECT_EQ(pages, (std::vector<uint32_t>{64, 65, 66, 67, 128, 129, 130, 131}));
}

TEST_F(CfgTest, OneGoodBlockEndsWithNoGoodBlock2)
{
    std::memset(thread->pBlockTable.get(), 0, 64);
    thread->pBlockTable[7] = 0xFF;
    EXPECT_EQ(WriteCfg(*thread, 0), 0);
    EXPECT_EQ(status.Caption(), "No Good block2");
    EXPECT_EQ(status.Font()->Color(), toolkit::clRed);
}

TEST_F(CfgTest, SystemAreaTooLargeForItsByteIsRefused)
{
    thread->iSystemAreaBlocks = 256;
    EXPECT_EQ(WriteCfg(*thread, 0), 0);
    EXPECT_EQ(status.Caption(), "Write CFGfail");
    EXPECT_TRUE(transport->calls().empty());
}

TEST_F(CfgTest, BadBlocksOfTheUsableAreaNeverWrapBelowZero)
{
    SetGeometry(1, 64, 60); // four reserved blocks, all called good by the table
    MarkAllGood();
    ASSERT_EQ(WriteCfg(*thread, 0), 1);
    EXPECT_EQ(thread->iBadBlocks, 0u);
}

TEST_F(CfgTest, FinishChecksTheThirdAndFourthGoodBlocksWithoutWriting)
{
    thread->pBlockTable[1] = 0;
    ASSERT_EQ(FinishBadBlockTable(*thread, 0), 1);
    EXPECT_EQ(CheckedBlocks(), (std::vector<uint32_t>{3, 4}));
    EXPECT_TRUE(PageWrites().empty());
    EXPECT_EQ(thread->CfgImage[137], 1); // untouched
    EXPECT_EQ(thread->CfgImage[2], 'X');
    EXPECT_EQ(thread->CfgImage[139], 0);
    EXPECT_EQ(thread->CfgImage[141], 2);
}

TEST_F(CfgTest, FinishWithFewerThanFourGoodBlocksFails)
{
    std::memset(thread->pBlockTable.get(), 0, 64);
    for (uint32_t b : {10u, 20u, 30u})
        thread->pBlockTable[b] = 0xFF;
    EXPECT_EQ(FinishBadBlockTable(*thread, 0), 0);
    EXPECT_EQ(status.Caption(), "No Good block1");
    EXPECT_EQ(status.Font()->Color(), toolkit::clRed);
    EXPECT_EQ(CheckedBlocks(), (std::vector<uint32_t>{30}));
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

} // namespace

namespace {

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
        RecordFields fields;
        fields.pagesLog2 = c.pagesLog2;
        fields.pageLog2 = c.pageLog2;
        fields.blocksLog2 = c.blocksLog2;
        fields.bitmapPages = c.bitmapPages;
        fields.usableBlocks = c.usable;
        dir.write("flash/edge.txt", MakeRecord(fields));
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
