// The blanking check: the stop rule, progress and status texts, the blinking, the geometry
// it refuses, and for every scan level the exact page scans (EF 93) and block checks (EF 94)
// it sends and the block table it leaves.
#include "test_blanking_fixture.h"

#include "platform/Clock.h"
#include "production/ScanLevel.h"

#include <algorithm>
#include <map>

using namespace blanktest;

namespace {

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
        EXPECT_EQ(c.result && Table()[700] == 0xFF, c.good == 700);
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

} // namespace
