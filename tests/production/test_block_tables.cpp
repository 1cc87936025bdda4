// Block tables: the capacity rule, and the CFG record byte by byte and where it is written.
#include "ProductionFixture.h"

#include "production/BlockTables.h"
#include "production/FlashRecord.h"
#include "toolkit/Dialogs.h"

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
        {"98 % of 1024 rounded down: 1003 good is enough", 1024, 1003, 0, 1, 0, 1003},
        {"1002 good is not: halved to 512 and 7 uncounted", 1024, 1002, 0, 1, 1, 519},
        {"3 MB below 4 MB", 1024, 30, 2, 0, 0, 30, "Valid Size too smallfail", 1},
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
    // Without a window a fresh station's settings apply: a 2 % shortfall, no special scan.
    std::tie(thread->bBlocksPerChipOverride, thread->bSpecialScan) = std::tuple(0, 0);
    production::SetWindowLink(nullptr);
    Table(1024, 1002);
    EXPECT_EQ(CheckCapacityRule(*thread), 1);
    EXPECT_EQ(thread->bDegraded, 1);
    EXPECT_TRUE(production::Window().FwUpgradeChecked());
    ASSERT_EQ(ScanBadBlocks(*thread, 5, 5), 1);
    EXPECT_EQ(status.Caption().rfind("Blanking Check ", 0), 0u) << status.Caption();
    toolkit::ScriptedDialogs dialogs; // and a warning still reaches the operator
    toolkit::SetDialogs(&dialogs);
    production::Window().ShowWarning("too small", "Warning");
    toolkit::SetDialogs(nullptr);
    EXPECT_EQ(dialogs.Messages().size(), 1u);
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
        SetGeometry(1, 64, 64);
        MarkAllGood();
        thread->iRecordByte96 = 0x21;
        thread->iSystemAreaBlocks = 3;
        std::memcpy(thread->CfgImage, record.data(), record.size());
        thread->CfgImage[FlashRecord::kName] = 'N'; // bytes a description may fill
        thread->CfgImage[FlashRecord::kZeroBytes] = 0x77;
        window.dealCapError = 2;
    }
    const std::string record = MakeRecord(RecordFields{});
};

// Bad blocks 0, 2, 3 and 9: the first eight good ones are 1, 4, 5, 6, 7, 8, 10, 11.
TEST_F(CfgTest, RecordBytesAfterCompletion)
{
    for (uint32_t b : {0u, 2u, 3u, 9u})
        thread->pBlockTable[b] = 0;
    ASSERT_EQ(WriteCfg(*thread, 0), 1);
    const uint8_t* r = thread->CfgImage;

    // The description file's bytes with the completed positions; nothing else moved.
    std::string expected = record;
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
    const uint32_t pages[] = {64, 65, 4 * 64, 4 * 64 + 1};
    ASSERT_EQ(writes.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(Be32(&writes[i].cdb[2]), pages[i]);
        EXPECT_EQ(writes[i].cdb[8], 0x21);
        ASSERT_EQ(writes[i].data.size(), 2048u);
    }
    EXPECT_EQ(0, std::memcmp(writes[0].data.data(), r, 2048));
    // Bitmap: blocks 0, 2, 3, 9 clear, the rest of the 64 set, most significant bit first.
    const std::vector<uint8_t> bitmap = {0x4F, 0xBF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0};
    EXPECT_EQ(std::vector<uint8_t>(writes[1].data.begin(), writes[1].data.begin() + 9), bitmap);
    EXPECT_EQ(CallsOf(0xEF, 0x94).size(), 2u) << "blocks 1 and 4 checked";
}

TEST_F(CfgTest, TooFewUsedPagesFailWithNoGoodPage)
{
    std::memset(thread->PageTable, 0x01, 64);
    for (size_t written : {0, 1}) { // then the record fits on page 63, the bitmap does not
        thread->PageTable[63] = written ? 0xFF : 0x01;
        EXPECT_EQ(WriteCfg(*thread, 0), 0);
        EXPECT_EQ(status.Caption(), "No good pagefail");
        EXPECT_EQ(CallsOf(0xEE, 0x95).size(), written);
    }
}

TEST_F(CfgTest, SystemAreaTooLargeForItsByteIsRefusedBeforeWriting)
{
    thread->iSystemAreaBlocks = 256;
    EXPECT_EQ(WriteCfg(*thread, 0), 0);
    EXPECT_EQ(drive.transport->callCount(), 0u);
    thread->iSystemAreaBlocks = 255;
    EXPECT_EQ(WriteCfg(*thread, 0), 1);
    EXPECT_EQ(thread->CfgImage[161], 255);
}

TEST_F(CfgTest, FinishChecksTheThirdAndFourthGoodBlocksWithoutWriting)
{
    thread->pBlockTable[1] = 0;
    ASSERT_EQ(FinishBadBlockTable(*thread, 0), 1);
    const auto checks = CallsOf(0xEF, 0x94);
    ASSERT_EQ(checks.size(), 2u);
    EXPECT_EQ(std::pair(Be32(&checks[0].cdb[2]), Be32(&checks[1].cdb[2])), std::pair(3u, 4u));
    EXPECT_TRUE(CallsOf(0xEE, 0x95).empty());
    EXPECT_EQ(thread->CfgImage[2], 'X') << "the record rebuilt";
}

} // namespace
