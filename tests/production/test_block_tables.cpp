// Block tables: the clear-flash scan, the device's own bitmap and info block, the capacity
// rule, the system-area size, the bad-block log, and the CFG record byte by byte, where it
// is written, and the failures of writing it.
#include "ProductionFixture.h"

#include "production/BlockTables.h"
#include "production/FlashRecord.h"

#include <climits>
#include <cstring>
#include <map>
#include <set>
#include <tuple>

using namespace prodtest;

namespace {

// 1024 blocks, the first `bad` of them bad in the bitmap (most significant bit first), a
// threshold of 20 %: the reserved blocks never count, even when more of them read bad.
TEST_F(ThreadTest, BitmapFillsTheTableAndTheRateCountsOnlyTheUsableArea)
{
    const struct { uint32_t usable, bad, rate; } cases[] = {
        {1000, 1, 0},     {1000, 24, 0},  {1000, 34, 1},   {1000, 214, 19},  {1000, 224, 20},
        {1000, 234, 21}, {1000, 1023, 99}, {0, 1, 0},     {0, 1023, 0}};
    for (auto c : cases) {
        SetGeometry(1, 1024, c.usable);
        answer = [&](const RecordedCall&) {
            ScriptedAnswer a{std::vector<uint8_t>(128, 0xFF), true};
            for (uint32_t i = 0; i < c.bad; ++i)
                a.reply[i / 8] &= uint8_t(~(0x80 >> (i % 8)));
            return a;
        };
        uint32_t rate = 12345;
        ASSERT_EQ(ReadBadBlockBitmap(*thread, rate), 1);
        EXPECT_EQ(rate, c.rate) << c.usable << " " << c.bad;
        EXPECT_EQ(thread->pBlockTable[c.bad - 1], 0) << c.bad;
        EXPECT_EQ(thread->pBlockTable[c.bad], 0xFF) << c.bad;
        const auto call = drive.transport->calls().back();
        EXPECT_EQ(std::vector<uint32_t>({call.opcode(), Be32(&call.cdb[2]), uint32_t(call.length)}),
                  std::vector<uint32_t>({0x98, 128, 128})); // T / 8 bytes
    }
    answer = [](const RecordedCall&) { return ScriptedAnswer{{}, false}; };
    uint32_t rate = 0;
    EXPECT_EQ(ReadBadBlockBitmap(*thread, rate), 0);
}

TEST_F(ThreadTest, DeviceInfoValidity)
{
    const struct { const char* tag; uint8_t pageLog2, pagesLog2; bool transfer; int valid; } cases[] = {
        {"6205", 11, 6, true, 1},  {"6205", 9, 5, true, 1},   {"6205", 13, 9, true, 1},
        {"6206", 11, 6, true, 0},  {"6205", 8, 6, true, 0},   {"6205", 14, 6, true, 0},
        {"6205", 11, 4, true, 0},  {"6205", 11, 10, true, 0}, {"6205", 11, 6, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        answer = [&](const RecordedCall&) {
            ScriptedAnswer a{std::vector<uint8_t>(512, 0), c.transfer};
            std::memcpy(a.reply.data(), c.tag, 4);
            a.reply[84] = c.pageLog2;
            a.reply[87] = c.pagesLog2;
            a.reply[96] = 0x42;
            return a;
        };
        std::memset(thread->DeviceInfoCopy, 0, 512);
        EXPECT_EQ(ReadDeviceInfo(*thread), c.valid);
        EXPECT_EQ(thread->bInfoValid, c.valid);
        if (c.valid) {
            EXPECT_EQ(thread->bInfoByte96, 0x42);
            EXPECT_EQ(0, std::memcmp(thread->DeviceInfoCopy, "6205", 4));
        }
    }
}

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
        {"do not care", 4096, 450, 2, 1, 0, 1800},
        {"98 % good", 4096, 1004, 0, 1, 0, 4016},
        {"98 % of 1024 rounded down: 1003 good is enough", 1024, 1003, 0, 1, 0, 1003},
        {"1002 good is not: halved to 512 and 7 uncounted", 1024, 1002, 0, 1, 1, 519},
        {"small flash degrades untrimmed", 512, 100, 0, 1, 1, 100},
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

// 128 KiB blocks (64 KiB where the record gives 32 system-area pages per block).
TEST_F(ThreadTest, SystemAreaSize)
{
    SetGeometry(1, 1024, 1000, 64, 2048);
    const uint64_t K = 1024;
    const struct {
        bool fixed;
        int index;
        uint64_t firmware, prefer;
        bool iso; // 5 GiB of image counts when its upgrade is checked: no 32-bit wrap
        uint32_t sysPages, blocks;
        const char* label;
        bool warned = false;
    } cases[] = {
        {false, 0, 200 * K, 100 * K, false, 0, 1, "32 blocks"},
        {false, 0, 200 * K, 100 * K, true, 0, 2561, "81952 blocks"},
        {false, 0, 1, 0, false, 32, 1, "64 blocks"},
        {true, 1, 0, 0, false, 0, 2, "8MB"},
        {true, 31, 0, 0, false, 0, 32, "128MB"},
        {true, 1, 10 * K * K, 0, false, 0, 2, "8MB", true}, // needs 24 MB
        {true, 32, 0, 0, false, 0, 0, "0MB", true},
        {true, 40, 0, 0, false, 0, 0, "0MB", true},
        {true, INT_MAX, 0, 0, false, 0, 0, "0MB", true},
        {true, -5, 0, 0, false, 0, 0, "0MB", true},
    };
    for (const auto& c : cases) {
        std::tie(window.systemArea, window.systemAreaIndex, window.firmwareSize, window.preferSize) =
            std::tuple(c.fixed, c.index, c.firmware, c.prefer);
        std::tie(window.isoUpgrade, window.isoSize) = std::tuple(c.iso, 5 * K * K * K);
        thread->iSysAreaPagesPerBlock = c.sysPages;
        window.warnings.clear();
        EXPECT_EQ(CalcSystemAreaBlocks(*thread), c.blocks) << c.index << " " << c.label;
        EXPECT_EQ(window.labels.back(), std::string("System Area Size: ") + c.label);
        const std::vector<std::string> warning = {"Warning: The system area size you set is too small!"};
        EXPECT_EQ(window.warnings, c.warned ? warning : std::vector<std::string>{}) << c.index << " " << c.label;
    }
}

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
    for (const auto& written : {std::vector<uint32_t>{}, {63}}) { // then the record fits, the bitmap does not
        if (!written.empty())
            thread->PageTable[63] = 0xFF;
        EXPECT_EQ(WriteCfg(*thread, 0), 0);
        EXPECT_EQ(status.Caption(), "No good pagefail");
        EXPECT_EQ(WrittenPages(), written);
    }
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

TEST_F(CfgTest, FinishChecksTheThirdAndFourthGoodBlocksWithoutWriting)
{
    thread->pBlockTable[1] = 0;
    ASSERT_EQ(FinishBadBlockTable(*thread, 0), 1);
    EXPECT_EQ(CheckedBlocks(), (std::vector<uint32_t>{3, 4}));
    EXPECT_TRUE(WrittenPages().empty());
    EXPECT_EQ(thread->CfgImage[137], 1); // untouched
    EXPECT_EQ(thread->CfgImage[2], 'X');
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
