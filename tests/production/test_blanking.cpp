// The blanking check: the stop rule, progress and status texts, the blinking, the geometry
// it refuses, and for every scan level the exact page scans (EF 93) and block checks (EF 94)
// it sends and the block table it leaves; then the page modes: the page test, the page-table
// queries, the detection of a mode, and the special scan that reads every page under a
// mode's table and lets the closing analysis decide.
#include "ProductionFixture.h"

#include "device/PageMatrix.h"
#include "platform/AtomicFile.h"
#include "platform/Clock.h"
#include "production/Blanking.h"
#include "production/BlockTables.h"
#include "production/PageMode.h"
#include "production/PageTableQueries.h"
#include "production/ScanLevel.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <vector>

namespace {

using prodtest::Be32;
using prodtest::RecordedCall;
using prodtest::ScriptedAnswer;

struct ScanCommand {
    uint8_t opcode = 0; // 0x93, 0x94 or 0x9B
    uint32_t block = 0;
    uint16_t pattern = 0;
    uint8_t dataMode = 0, operation = 0, pageSkip = 0, ecc = 0, perPage = 0;
    bool operator==(const ScanCommand&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const ScanCommand& c)
{
    return os << std::hex << "{" << int(c.opcode) << " blk " << c.block << " pat " << c.pattern << " "
              << int(c.dataMode) << int(c.operation) << int(c.pageSkip) << int(c.ecc) << int(c.perPage) << "}";
}

inline ScanCommand Scan(uint32_t block, uint16_t pattern, uint8_t dataMode, uint8_t operation,
                        uint8_t skip, uint8_t ecc, uint8_t perPage = 0)
{
    return {0x93, block, pattern, dataMode, operation, skip, ecc, perPage};
}
inline ScanCommand Check(uint32_t block) { return {0x94, block}; }

inline ScanCommand Decode(const uint8_t* c)
{
    if (c[1] == 0x93)
        return Scan(Be32(c + 2), uint16_t(c[8] << 8 | c[9]), c[10], c[11], c[12], c[13], c[14]);
    return {c[1], c[1] == 0x94 ? Be32(c + 2) : 0};
}

// 2 chips x 8 blocks (6 usable) x 32 pages unless a test sets another geometry. The drive
// answers from `bad` (verdict 0, EF 94 refused) or `verdict`, `failAt` (the nth command,
// counted from 1, fails) and `pageValue` (per-page replies).
class RecordingScanTest : public prodtest::ThreadTest {
protected:
    void SetUp() override
    {
        ThreadTest::SetUp();
        gauge.SetMaxValue(400);
        Geometry(2, 8, 6, 32);
        answer = [this](const RecordedCall& call) { return Answer(call); };
    }
    void Geometry(uint32_t chips, uint32_t blocks, uint32_t usable, uint32_t pages)
    {
        SetGeometry(chips, blocks, usable, pages);
        thread->iEccThreshold = 4;
    }
    ScriptedAnswer Answer(const RecordedCall& call)
    {
        const uint32_t block = Be32(call.cdb.data() + 2);
        if (++count == failAt)
            return {{}, false};
        if (call.opcode() != 0x93)
            return {{uint8_t(call.opcode() == 0x94 && bad.count(block) ? 0 : 1)}, true};
        std::vector<uint8_t> reply(call.length, 0xFF);
        reply[0] = 1;
        if (!call.cdb[14])
            reply[1] = verdict ? verdict(block, call.cdb[11]) : (bad.count(block) ? 0 : 0xFF);
        else if (pageValue)
            for (uint32_t p = 1; p < call.length; ++p)
                reply[p] = pageValue(block, p - 1);
        return {reply, true};
    }
    // The commands sent from the `from`-th call on.
    std::vector<ScanCommand> Commands(size_t from = 0) const
    {
        std::vector<ScanCommand> out;
        for (const auto& c : drive.transport->calls())
            out.push_back(Decode(c.cdb.data()));
        return {out.begin() + long(from), out.end()};
    }
    std::vector<uint8_t> Table() const
    {
        return {thread->pBlockTable.get(), thread->pBlockTable.get() + thread->iBlockTableEntries};
    }
    // The usable blocks in scan order.
    std::vector<uint32_t> Usable() const
    {
        std::vector<uint32_t> out;
        for (uint32_t c = 0; c < thread->iChipCount; ++c)
            for (uint32_t b = 0; b < thread->iUsableBlocksPerChip; ++b)
                out.push_back(c * thread->iBlocksPerChip + b);
        return out;
    }
    std::vector<uint8_t> ExpectedTable(const std::set<uint32_t>& badBlocks) const
    {
        std::vector<uint8_t> table(thread->iBlockTableEntries, 0);
        for (uint32_t a : Usable())
            table[a] = badBlocks.count(a) ? 0 : 0xFF;
        return table;
    }

    std::set<uint32_t> bad = {2, 9}; // running indexes 2 and 7 of the usual 12
    std::function<uint8_t(uint32_t block, uint8_t operation)> verdict;
    std::function<uint8_t(uint32_t block, uint32_t page)> pageValue;
    uint32_t count = 0, failAt = 0;
};

constexpr uint8_t kSkip = 3;
constexpr uint8_t kEcc = 4;
constexpr uint16_t kP = 0x1234;

BlankingSettings Level(uint32_t level, uint32_t readTimes = 0, bool fast = false)
{
    BlankingSettings s;
    s.scanLevel = level;
    s.pattern = 0xABCD0000u | kP; // only the low 16 bits count
    s.pageSkip = kSkip;
    s.readTimes = readTimes;
    s.fastCheck = fast;
    return s;
}

std::vector<ScanCommand> operator+(std::vector<ScanCommand> a, const std::vector<ScanCommand>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

using Blanking = RecordingScanTest;

TEST_F(Blanking, NoGoodBlockStopsWhenThePagesPassTheLevelsLimit)
{
    // 49024 / 64 = 766: Level 1 stops after block 767; the other levels (16000 / 64 = 250)
    // after block 251 of the pass with the limit. Level 7, the override or one good block
    // keep the scan going. A pass that only writes sees no good block: what it wrote must
    // read back good later, and a block read good before pass 4 of Level 3 counts no more.
    // 1024 blocks (1000 usable) of 64 pages, every block bad unless a row says otherwise.
    Geometry(1, 1024, 1000, 64);
    enum Reads { AllBad, WrittenGood, FirstReadGood };
    const struct {
        const char* name;
        BlankingSettings settings;
        size_t scans;
        int result = 0, override = 0, good = -1;
        Reads reads = AllBad;
    } cases[] = {
        {"Level 1", Level(0), 768},
        {"Level 2: all marked in pass 1, skipped in pass 2", Level(1), 1000},
        {"Level 2: written good, read bad", Level(1), 1000 + 252, 0, 0, -1, WrittenGood},
        {"Level 3: stops in pass 2", Level(2), 1000 + 252},
        {"Level 3: read good in pass 2, bad in pass 4", Level(2), 1000 + 1000 + 252, 0, 0, -1, FirstReadGood},
        {"Level 4", Level(3), 1000},
        {"Level 4: written good, read bad", Level(3), 1000 + 252, 0, 0, -1, WrittenGood},
        {"Level 5: first step only", Level(4), 252},
        {"Level 6: pass A and B run whole", Level(5, 0), 1000 + 1000 + 252},
        {"Level 6 read twice", Level(5, 2), 252},
        {"Level 7", Level(6), 2000, 1},
        {"override", Level(0), 1000, 1, 1},
        {"one good block", Level(0), 1000, 1, 0, 700},
        {"Level 3: one good block, seen again in pass 4", Level(2), 3000, 1, 0, 100},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t before = CallsOf(0xEF, 0x93).size();
        thread->bBlocksPerChipOverride = c.override;
        std::map<uint32_t, int> reads;
        verdict = [&](uint32_t block, uint8_t operation) -> uint8_t {
            if (c.reads == WrittenGood)
                return operation == 2 ? 0xFF : 0;
            if (c.reads == FirstReadGood)
                return operation == 1 && ++reads[block] == 1 ? 0xFF : 0;
            return int(block) == c.good ? 0xFF : 0;
        };
        status.SetCaption("");
        EXPECT_EQ(BlankingCheck(*thread, 5, 305, c.settings), c.result);
        EXPECT_EQ(CallsOf(0xEF, 0x93).size() - before, c.scans);
        EXPECT_EQ(status.Caption() == "Too many bad block", !c.result);
        EXPECT_EQ(c.result && Table()[c.good < 0 ? 700 : c.good] == 0xFF, c.good >= 0);
    }
}


// The last text and gauge are those of block 10; a finished check jumps the gauge to the end
// of its range. The failure texts name the check only where they should.
TEST_F(Blanking, TextsGaugeAndBlinkingPerLevel)
{
    const struct { const char* name; BlankingSettings settings; uint32_t failAt; const char* text; int gauge; } cases[] = {
        {"Level 5", Level(4), 0, "Blanking Check 10/12 Bad: 2", 305},
        {"Level 5, failing on the last block", Level(4), 22, "Blanking Checkfail", 5 + 300 * 10 / 12},
        // Pass 1 reaches 5 + (300 x 10 / 4) / 12 = 67 at block 10; pass 2 starts there.
        {"Level 2, pass 2", Level(1), 22, "Blanking Check(2)10/12 Bad: 2", 67 + 62},
        {"Level 3", Level(2), 0, "Blanking Check(4)2/12", 305},
        {"Level 5, first step", Level(4), 1, "Blanking Checkfail", 5},
        {"Level 1", Level(0), 3, "Blanking Checkfail", -1},
        {"Level 6, first pattern", Level(5), 1, "Blanking Check Setup...", -1},
        {"Level 6, second pattern", Level(5), 2, "Blanking Checkfail", -1},
        {"Level 6, pass B", Level(5), 12 + 10 + 1, "Blanking Check10/12 Bad: 2", -1},
        {"Level 2, pass 1", Level(1), 1, "Blanking Check Setup...", -1},
        {"Level 3, pass 1", Level(2), 1, "Blanking Check Setup...", -1},
        {"Level 3, pass 2", Level(2), 13, "Blanking Check(1) 10/12 Bad: 0", -1},
        {"Level 3, pass 4", Level(2), 12 + 12 + 2 + 1, "Blanking Check(3)2/12", -1},
        {"Level 4, pass 1", Level(3), 1, "Blanking Check Setup...", -1},
        {"Level 7, pass 1", Level(6), 1, "Blanking Check Setup...", -1},
        {"Level 7, pass 2", Level(6), 13, "Blanking Check(1) 10/12 Bad: 0", -1},
        // Level 6 counts bad blocks anew in its last pass, and in each read pass.
        {"Level 6", Level(5), 0, "Blanking Check10/12 Bad: 2", 305},
        {"Level 6 read twice", Level(5, 2), 0, "Blanking Check(2)10/12 Bad: 2", 305},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        count = 0;
        failAt = c.failAt;
        status.SetCaption("");
        EXPECT_EQ(BlankingCheck(*thread, 5, 305, c.settings), c.failAt ? 0 : 1);
        EXPECT_EQ(status.Caption(), c.text);
        if (c.gauge >= 0) {
            EXPECT_EQ(gauge.Progress(), c.gauge);
        }
    }
    // Three blinks (blocks 0, 5, 10) leave the colour red; a level outside the list resets
    // it and scans nothing.
    failAt = 0;
    thread->SetStatusColor(toolkit::clBlue);
    ASSERT_EQ(BlankingCheck(*thread, 5, 305, Level(4)), 1);
    EXPECT_EQ(status.Font()->Color(), toolkit::clRed);
    const size_t before = drive.transport->callCount();
    MarkAllGood();
    ASSERT_EQ(BlankingCheck(*thread, 7, 99, Level(7)), 1);
    EXPECT_EQ(Table(), std::vector<uint8_t>(16, 0));
    EXPECT_EQ(drive.transport->callCount(), before);
    EXPECT_EQ(status.Caption(), "Blanking Check Setup...");
    EXPECT_EQ(status.Font()->Color(), toolkit::clBtnText);
    EXPECT_EQ(gauge.Progress(), 99);

    // Level 3's erase pass shows bad over total and blinks every third block besides every
    // fifth: after its first text (block 0) at blocks 3, 5, 6, 9 and 10, and as pass 4 begins.
    std::vector<std::string> shown;
    status.AddObserver([&](toolkit::TControl& c, toolkit::Prop what) {
        if (c.Caption().rfind("Blanking Check(3)", 0) == 0)
            shown.push_back(what == toolkit::Prop::FontColor ? "blink" : c.Caption());
    });
    ASSERT_EQ(BlankingCheck(*thread, 5, 305, Level(2)), 1);
    EXPECT_EQ(shown, (std::vector<std::string>{"Blanking Check(3)2/12", "blink", "blink", "blink", "blink", "blink", "blink"}));
}

// A table that does not match the geometry, or more page bytes than a scan reply holds.
TEST_F(Blanking, UnsoundGeometryOrTableIsRefusedUnscanned)
{
    const std::function<void()> breakIt[] = {
        [this] { thread->FreeBlockTable(); },
        [this] { thread->iBlocksPerChip = 16; },
        [this] { thread->iPagesPerBlock = 1024; },
    };
    for (const auto& f : breakIt) {
        Geometry(2, 8, 6, 32);
        f();
        status.SetCaption("");
        EXPECT_EQ(BlankingCheck(*thread, 5, 305, Level(0)), 0);
        EXPECT_EQ(status.Caption(), "Blanking Checkfail");
    }
    EXPECT_EQ(drive.transport->callCount(), 0u);
}

TEST_F(Blanking, EveryLevelSendsExactlyItsPasses)
{
    // Levels 1, 3 and 4 draw one pattern per block from the generator seeded with the clock
    // (compared as 0 below). Levels 3 and 4 shuffle the pairs of block and pattern: Level 3
    // writes the blocks in the shuffled order, Level 4 in address order with shuffled patterns.
    enum Random { None, Drawn, Shuffled };
    platform::FakeClock clock;
    clock.advance(4711);
    ScanRandomSeed(4711);
    std::vector<uint16_t> drawn(Usable().size());
    for (uint16_t& d : drawn)
        d = uint16_t(ScanRandom());
    // One scan per usable block (none for a bad one where skipBad); two patterns per block,
    // the second only where the first passed.
    const auto pass = [this](uint16_t pattern, uint8_t mode, uint8_t op, bool skipBad = false) {
        std::vector<ScanCommand> out;
        for (uint32_t a : Usable())
            if (!skipBad || !bad.count(a))
                out.push_back(Scan(a, pattern, mode, op, kSkip, kEcc));
        return out;
    };
    const auto twice = [&](uint16_t first, uint16_t second) {
        std::vector<ScanCommand> out;
        for (uint32_t a : Usable()) {
            out.push_back(Scan(a, first, 2, 3, kSkip, kEcc));
            if (!bad.count(a))
                out.push_back(Scan(a, second, 2, 3, kSkip, kEcc));
        }
        return out;
    };
    const auto passA = twice(kP, uint16_t(~kP));
    const struct { const char* name; uint32_t level, readTimes; std::vector<ScanCommand> expected; Random random = None; } cases[] = {
        {"Level 1", 0, 0, pass(0, 1, 3), Drawn},
        {"Level 2", 1, 0, pass(0xAA55, 2, 2) + pass(0xAA55, 2, 1, true)},
        {"Level 3", 2, 0, pass(0, 1, 2) + pass(0, 1, 1) + std::vector{Check(2), Check(9)} + pass(0, 1, 1), Drawn},
        {"Level 4", 3, 0, pass(0, 1, 2) + pass(0, 1, 1, true), Shuffled},
        {"Level 5", 4, 0, twice(0x55AA, 0xAA55)},
        {"Level 6 write and verify", 5, 0, passA + pass(0, 2, 2) + pass(0, 2, 1)},
        {"Level 6 read once", 5, 1, pass(kP, 1, 1)},
        {"Level 6 read twice", 5, 2, pass(kP, 1, 1) + pass(kP, 1, 1)},
        {"Level 6 read three times", 5, 3, pass(kP, 2, 1) + pass(kP, 2, 1) + pass(kP, 2, 1)},
        {"Level 6 read times above 3", 5, 4, passA + pass(0, 2, 2)},
        {"Level 7", 6, 0, pass(0xAA55, 4, 2) + pass(0xAA55, 4, 1)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t before = drive.transport->callCount();
        platform::SetClock(&clock);
        EXPECT_EQ(BlankingCheck(*thread, 5, 305, Level(c.level, c.readTimes)), 1);
        platform::SetClock(nullptr);
        auto sent = Commands(before);
        if (c.random) {
            std::map<uint32_t, uint16_t> patternOf;
            for (ScanCommand& s : sent)
                if (s.opcode == 0x93) {
                    EXPECT_EQ(patternOf.emplace(s.block, s.pattern).first->second, s.pattern) << s;
                    s.pattern = 0;
                }
            std::vector<uint16_t> byAddress;
            for (uint32_t a : Usable())
                byAddress.push_back(patternOf[a]);
            EXPECT_EQ(byAddress == drawn, c.random == Drawn);
            const auto writes = sent.begin() + long(std::min(sent.size(), drawn.size()));
            const auto byBlock = [](const ScanCommand& x, const ScanCommand& y) { return x.block < y.block; };
            EXPECT_EQ(std::is_sorted(sent.begin(), writes, byBlock), c.level != 2);
            std::sort(sent.begin(), writes, byBlock);
        }
        EXPECT_EQ(sent, c.expected);
        EXPECT_EQ(Table(), ExpectedTable(bad));
        EXPECT_EQ(gauge.Progress(), 305);
    }
}

// The clear-flash scan (EF 94 per block) names the first page mode when a page scan is on.
TEST_F(Blanking, ClearFlashScanNamesThePageModeOfAPageScan)
{
    for (bool pageScan : {false, true}) {
        window.pageScan = pageScan;
        ASSERT_EQ(ScanBadBlocks(*thread, 5, 305), 1);
        EXPECT_EQ(status.Caption(), pageScan ? "Specific mode 1 10/12 Bad: 2" : "Blanking Check 10/12 Bad: 2");
    }
}

// Fast check: only addresses below 256 are page-scanned; the rest get one EF 94 (Level 3:
// checked in pass 2, failed ones again in pass 3, all good in pass 4). Level 6 has none.
TEST_F(Blanking, FastCheckScansBelow256AndChecksTheRest)
{
    Geometry(1, 512, 300, 32);
    bad = {3, 256, 270};
    const std::set<uint32_t> all = bad;
    const struct { uint32_t level, readTimes; size_t scans, checks280, checks270; std::set<uint32_t> bad; } cases[] = {
        {0, 0, 0, 1, 1, all}, {1, 0, 0, 1, 1, all}, {3, 0, 0, 1, 1, all}, {4, 0, 0, 1, 1, all},
        {6, 0, 0, 1, 1, all}, {2, 0, 0, 1, 2, {3}}, {5, 1, 44, 0, 0, all}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.level);
        const size_t before = drive.transport->callCount();
        ASSERT_EQ(BlankingCheck(*thread, 5, 305, Level(c.level, c.readTimes, true)), 1);
        const auto sent = Commands(before);
        const auto count = [&](auto pred) { return size_t(std::count_if(sent.begin(), sent.end(), pred)); };
        EXPECT_EQ(count([](const ScanCommand& c) { return c.opcode == 0x93 && c.block >= 256; }), c.scans);
        EXPECT_EQ(count([](const ScanCommand& c) { return c == Check(280); }), c.checks280);
        EXPECT_EQ(count([](const ScanCommand& c) { return c == Check(270); }), c.checks270);
        EXPECT_EQ(Table(), ExpectedTable(c.bad));
    }
}

// Page modes and the special scan.

std::string ReadLog(const std::string& path)
{
    std::string text;
    EXPECT_TRUE(platform::ReadWholeFile(path, text)) << path;
    return text;
}

std::string Hex(const char* format, unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::vector<uint8_t> Pattern(uint32_t mode, uint32_t pages)
{
    std::vector<uint8_t> table(pages);
    FillPattern(table.data(), mode, int32_t(pages));
    return table;
}

TEST(PageMode, PageTestAndChoice)
{
    // 255 - the ECC byte = the page's bit errors; only a used page (0xFF) counts.
    const struct { uint8_t table, ecc; int32_t pages; uint32_t threshold; int pass; } cases[] = {
        {0xFF, 250, 1, 4, 0}, {0x00, 250, 1, 4, 1}, {0xFE, 250, 1, 4, 1}, {0xFF, 251, 1, 4, 1},
        {0xFF, 0, 0, 4, 1},   {0xFF, 0, -3, 4, 1},  {0xFF, 0, 1, 255, 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PageEccPass(&c.table, &c.ecc, c.pages, c.threshold), c.pass)
            << int(c.table) << " " << int(c.ecc) << " " << c.pages << " " << c.threshold;
    const uint8_t table[4] = {0xFF, 0x00, 0xFF, 0xFF};
    const uint8_t row[4] = {255, 0, 255, 240};
    EXPECT_EQ(PageEccPass(table, row, 3, 4), 1); // page 3 lies past the count
    EXPECT_EQ(PageEccPass(table, row, 4, 4), 0);

    // The first strict maximum wins.
    const uint32_t counts[4][7] = {{}, {1024, 0, 1024}, {512, 512, 512, 512, 512, 512, 513}, {0, 0, 0, 0, 0, 7, 7}};
    const int chosen[4] = {-1, 0, 6, 5};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(ChoosePageMode(counts[i]), chosen[i]) << i;
}

using PageModes = RecordingScanTest;

TEST_F(PageModes, OnlyA0xFFByteInsideTheBlockMarksAUsedPage)
{
    std::fill(thread->PageTable, thread->PageTable + 64, uint8_t(0));
    thread->PageTable[0] = thread->PageTable[5] = thread->PageTable[32] = 0xFF; // 32: past the block
    thread->PageTable[1] = 0xFE;
    thread->PageTable[2] = 0x01;
    // From each page: whether it is used, and the next used page (none: the page stays).
    const uint32_t cases[][3] = {{0, 1, 5}, {1, 0, 5}, {4, 0, 5}, {5, 1, 5}, {32, 0, 32}};
    for (const auto& [from, used, next] : cases) {
        uint32_t page = from;
        EXPECT_EQ(IsPageUsed(*thread, from), int(used)) << from;
        EXPECT_EQ(NextUsedPage(*thread, page), next != from ? 1 : 0) << from;
        EXPECT_EQ(page, next) << from;
    }
}

// One random block in each sixteenth of the flash is read under every table, All Pages
// first. A table scores its passing samples x 32 pages / 2; All Pages keeps all 32 pages
// and scores them x its passing samples.
TEST_F(PageModes, DetectionReadsSixteenSamplesUnderEachTableAndLogsThem)
{
    Geometry(1, 512, 400, 32);
    thread->bLogBiTable = 1;
    thread->iSlot = 3;
    const uint8_t row[1] = {0xFF};
    ASSERT_TRUE(platform::MakeDirs(dir.file("log")));
    EXPECT_EQ(WriteModeEccLog(*thread, 1, 3, 5, 0, row, 1), 1); // sets the last mode: 5
    std::filesystem::create_symlink("/dev/full", dir.file("log/9_ModeEcc.txt"));
    EXPECT_EQ(WriteModeEccLog(*thread, 1, 9, 5, 0, row, 1), 0); // the disk is full
    platform::FakeClock clock;
    clock.advance(99);
    ScanRandomSeed(99);
    std::vector<uint32_t> samples;
    for (uint32_t i = 0; i < 16; ++i)
        samples.push_back(uint32_t(ScanRandom()) % 32 + i * 32);
    // Odd pages with 10 bit errors in the blocks below weakBelow.
    const struct { uint32_t weakBelow; int mode; } cases[] = {
        {0, 6},   // 32 x 16 against 16 x 32 / 2
        {320, 2}, // 10 samples weak: 32 x 6 against even pages' 16 x 32 / 2
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        pageValue = [&](uint32_t block, uint32_t p) -> uint8_t { return block < c.weakBelow && p % 2 ? 0xF5 : 0xFF; };
        const size_t before = drive.transport->callCount();
        platform::SetClock(&clock);
        EXPECT_EQ(DetectPageMode(*thread), c.mode);
        platform::SetClock(nullptr);
        EXPECT_EQ(status.Caption(), "Mode Detection");
        const auto calls = drive.transport->calls();
        ASSERT_EQ(calls.size() - before, 7u * 17u);
        std::string log;
        for (int pass = 0; pass < 7; ++pass) {
            const int mode = (pass + 6) % 7;
            EXPECT_EQ(calls[before + size_t(pass) * 17].data, Pattern(uint32_t(mode), 32));
            log += "Mode " + production::DefaultPageModeName(mode) + "\r\n" + std::string(44, '=') + "\r\n";
            for (uint32_t i = 0; i < 16; ++i) {
                const ScanCommand read = Decode(calls[before + size_t(pass) * 17 + 1 + i].cdb.data());
                EXPECT_EQ(read, Scan(samples[i], read.pattern, 1, 3, 0, 4, 1));
                log += Hex("%04u:", samples[i]);
                for (uint32_t p = 0; p < 32; ++p)
                    log += Hex(" %02X", pageValue(samples[i], p));
                log += "\r\n";
            }
        }
        EXPECT_EQ(ReadLog(dir.file("log/3_ModeEcc.txt")), log);
    }
}

BlankingSettings Special(uint32_t level, uint32_t pageMode, uint32_t readTimes = 0, bool fast = false)
{
    BlankingSettings s;
    s.scanLevel = level, s.specialScan = true, s.pageMode = pageMode, s.pageSkip = 1;
    s.pattern = 0x00F0, s.readTimes = readTimes, s.fastCheck = fast;
    return s;
}

TEST_F(PageModes, SpecialScanSetupAndReadFailuresStopAndReleaseTheTable)
{
    const struct { BlankingSettings settings; uint32_t chips, blocks, failAt; const char* text; size_t sent; int gauge = 0; } cases[] = {
        {Special(0, 8), 2, 8, 0, "Mode Detectionfail", 0},
        {Special(0, 7), 1, 15, 0, "Mode Detectionfail", 0}, // detection needs 16 blocks to sample
        {Special(0, 3), 2, 8, 1, "Send Pagetable fail", 1},
        // Pass 1 reaches 5 + (300 x 10 / 2) / 12 = 130 at block 10; pass 2 fails after block 5.
        {Special(1, 2), 2, 8, 1 + 12 + 11, "Blanking Checkfail", 24, 130 + 62},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        Geometry(c.chips, c.blocks, c.blocks * 3 / 4, 32);
        count = 0;
        failAt = c.failAt;
        const size_t before = drive.transport->callCount();
        EXPECT_EQ(BlankingCheck(*thread, 5, 305, c.settings), 0);
        EXPECT_EQ(status.Caption(), c.text);
        EXPECT_EQ(drive.transport->callCount() - before, c.sent);
        EXPECT_EQ(thread->pPageEccTable, nullptr);
        EXPECT_EQ(gauge.Progress(), c.gauge);
    }
}

// Every page of every block is read under the mode's table, past the stop limit of 64-page
// blocks with no good verdict. Page 5 of blocks 3 and 258 has 5 bit errors (threshold 4):
// the text counts page-test failures (Level 2 also the blocks its first pass marked), the
// closing analysis alone decides the table; fast rows from 256 on read 0xFF.
TEST_F(PageModes, SpecialScanReadsPerPageAndTheClosingAnalysisDecides)
{
    Geometry(1, 300, 260, 64);
    bad = {7};
    pageValue = [](uint32_t b, uint32_t p) -> uint8_t { return (b == 3 || b == 258) && p == 5 ? 250 : 0xFF; };
    thread->bLogBiTable = 1;
    thread->iSlot = 3;
    thread->sFlashTypeName = "K9F1G08";
    const struct { uint32_t level, mode, readTimes; bool fast; size_t plain, perPage; ScanCommand last; const char* text; std::set<uint32_t> bad; } cases[] = {
        // Detected (7): All Pages keeps every page; 7 x 16 sample reads come first.
        {0, 7, 0, true, 0, 112 + 256, Scan(255, 0, 1, 3, 1, 4, 1), "All Pages 255/260 Bad: ?", {3}},
        {1, 3, 0, false, 260, 260, Scan(259, 0xAA55, 2, 1, 1, 4, 1), "Odd pages 255/260 Bad: 2", {3, 258}},
        {2, 0, 0, false, 260, 260, Scan(259, 0, 1, 1, 1, 4, 1), "Specific mode 1 255/260 Bad: 0", {}}, // page 5 unused
        {4, 3, 0, false, 0, 518, Scan(259, 0xAA55, 2, 3, 1, 4, 1), "Odd pages 255/260 Bad: 1", {3, 258}},
        {5, 4, 1, false, 0, 260, Scan(259, 0xFF0F, 2, 1, 1, 4, 1), "First Half 255/260 Bad: 1", {3, 258}},
        {5, 4, 0, false, 779, 260, Scan(259, 0, 2, 1, 1, 4, 1), "First Half 255/260 Bad: 1", {3, 258}},
        {6, 1, 0, false, 260, 260, Scan(259, 0xAA55, 4, 1, 1, 4, 1), "Specific mode 2 255/260 Bad: 1", {3, 258}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.level);
        const size_t before = drive.transport->callCount();
        ASSERT_EQ(BlankingCheck(*thread, 5, 305, Special(c.level, c.mode, c.readTimes, c.fast)), 1);
        const auto sent = Commands(before);
        EXPECT_EQ(sent.front(), ScanCommand{0x9B});
        EXPECT_EQ(drive.transport->calls()[before].data, Pattern(std::min(c.mode, 6u), 64));
        size_t reads[2] = {};
        for (const ScanCommand& x : sent)
            reads[x.perPage & 1] += x.opcode == 0x93;
        EXPECT_EQ(std::make_pair(reads[0], reads[1]), std::make_pair(c.plain, c.perPage));
        ScanCommand last = sent.back();
        last.pattern = c.last.pattern ? last.pattern : 0; // Levels 1 and 3: random
        EXPECT_EQ(last, c.last);
        EXPECT_EQ(status.Caption(), c.text);
        EXPECT_EQ(Table(), ExpectedTable(c.bad));
        EXPECT_EQ(thread->pPageEccTable, nullptr);
        EXPECT_EQ(thread->pPageMatrix, nullptr);
    }
    // The last run's page table, and the page bytes of the first chip's blocks.
    const std::string head = "====Flash Type: K9F1G08==========================\r\n";
    std::string table = head + "=========page table ========\r\n", ecc = head + "=========page ECC table ========\r\n";
    for (uint32_t p = 0; p < 64; ++p)
        table += (p && p % 8 == 0 ? "\r\n" : "") + Hex("0x%02X ", Pattern(1, 64)[p]);
    for (uint32_t b = 0; b < 300; ++b) {
        ecc += Hex("%04u: ", b);
        for (uint32_t p = 0; p < 64; ++p)
            ecc += Hex("%02X ", b < 260 ? pageValue(b, p) : 0);
        ecc += "\r\n";
    }
    EXPECT_EQ(ReadLog(dir.file("log/3_page_tab.txt")), table + "\r\nValid Page  32\r\n");
    EXPECT_EQ(ReadLog(dir.file("log/3_Ecc_Tab.txt")), ecc);
    WriteEccTableLog(*thread, "3_Ecc_Tab.txt"); // the table is gone: the heading alone
    EXPECT_EQ(ReadLog(dir.file("log/3_Ecc_Tab.txt")), head + "=========page ECC table ========\r\n");

    // All Pages keeps the best 120 pages of a larger block and judges the blocks on those.
    Geometry(2, 8, 6, 128);
    pageValue = [](uint32_t, uint32_t p) -> uint8_t { return p == 127 ? 0 : 0xFF; };
    ASSERT_EQ(BlankingCheck(*thread, 5, 305, Special(4, 6)), 1);
    EXPECT_EQ(std::count(thread->PageTable, thread->PageTable + 128, 0xFF), 120);
    EXPECT_EQ(thread->PageTable[127], 0);
    EXPECT_EQ(Table(), ExpectedTable({}));
}

} // namespace
