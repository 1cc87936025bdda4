// Every scan level: the exact page scans and block checks it sends, and the block table it
// leaves, on a recording drive and on the simulated flash.
#include "test_blanking_fixture.h"

#include "platform/Clock.h"
#include "production/ScanLevel.h"

#include <algorithm>
#include <map>
#include <set>

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

class ScanLevelCommands : public RecordingScanTest {
protected:
    void SetUp() override
    {
        RecordingScanTest::SetUp();
        bad = {2, 9};
    }
    // One command per usable block from f (none where it returns no opcode).
    std::vector<ScanCommand> Pass(const std::function<ScanCommand(uint32_t)>& f) const
    {
        std::vector<ScanCommand> out;
        for (uint32_t a : Usable())
            if (ScanCommand c = f(a); c.opcode)
                out.push_back(c);
        return out;
    }
    // Runs a level whose patterns are random: every scan of `first` passes (dataMode 1,
    // operation 2) carries a pattern below 32768; returns each block's pattern.
    std::map<uint32_t, uint16_t> Patterns(const std::vector<ScanCommand>& sent, size_t n) const
    {
        std::map<uint32_t, uint16_t> out;
        for (size_t i = 0; i < n; ++i) {
            EXPECT_EQ(Scan(sent[i].block, sent[i].pattern, 1, 2, kSkip, kEcc), sent[i]) << i;
            EXPECT_LT(sent[i].pattern, 32768);
            out[sent[i].block] = sent[i].pattern;
        }
        return out;
    }
};

TEST_F(ScanLevelCommands, FixedPatternLevelsSendExactlyTheirPasses)
{
    const auto pass = [this](uint16_t pattern, uint8_t mode, uint8_t op, bool skipBad = false) {
        return Pass([=, this](uint32_t a) {
            return skipBad && bad.count(a) ? ScanCommand{} : Scan(a, pattern, mode, op, kSkip, kEcc);
        });
    };
    const auto join = [](std::vector<std::vector<ScanCommand>> parts) {
        std::vector<ScanCommand> all;
        for (auto& p : parts)
            all.insert(all.end(), p.begin(), p.end());
        return all;
    };
    // Two patterns per block, the second only where the first passed.
    const auto pair = [&](uint16_t first, uint16_t second) {
        std::vector<ScanCommand> out;
        for (uint32_t a : Usable()) {
            out.push_back(Scan(a, first, 2, 3, kSkip, kEcc));
            if (!bad.count(a))
                out.push_back(Scan(a, second, 2, 3, kSkip, kEcc));
        }
        return out;
    };
    const auto passA = pair(kP, uint16_t(~kP));
    const struct { const char* name; uint32_t level, readTimes; std::vector<ScanCommand> expected; } cases[] = {
        {"Level 2", 1, 0, join({pass(0xAA55, 2, 2), pass(0xAA55, 2, 1, true)})},
        {"Level 5", 4, 0, pair(0x55AA, 0xAA55)},
        {"Level 6 write and verify", 5, 0, join({passA, pass(0, 2, 2), pass(0, 2, 1)})},
        {"Level 6 read once", 5, 1, pass(kP, 1, 1)},
        {"Level 6 read twice", 5, 2, join({pass(kP, 1, 1), pass(kP, 1, 1)})},
        {"Level 6 read three times", 5, 3, join({pass(kP, 2, 1), pass(kP, 2, 1), pass(kP, 2, 1)})},
        {"Level 6 read times above 3", 5, 4, join({passA, pass(0, 2, 2)})},
        {"Level 7", 6, 0, join({pass(0xAA55, 4, 2), pass(0xAA55, 4, 1)})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t before = drive.transport->callCount();
        ASSERT_EQ(BlankingCheck(*thread, 5, 305, Level(c.level, c.readTimes)), 1);
        EXPECT_EQ(Since(before), c.expected);
        EXPECT_EQ(Table(), ExpectedTable(bad));
        EXPECT_EQ(gauge.Progress(), 305);
    }
}

TEST_F(ScanLevelCommands, Level1SendsOneRandomWriteAndVerifyPerBlock)
{
    // A bad block's entry keeps the device's verdict byte.
    verdict = [](uint32_t block, uint8_t) -> uint8_t { return block == 2 ? 0xF5 : block == 9 ? 0 : 0xFF; };
    ASSERT_EQ(BlankingCheck(*thread, 5, 305, Level(0)), 1);
    const auto sent = Commands();
    ASSERT_EQ(sent.size(), Usable().size());
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(Scan(Usable()[i], sent[i].pattern, 1, 3, kSkip, kEcc), sent[i]);
        EXPECT_LT(sent[i].pattern, 32768);
    }
    auto expected = ExpectedTable(bad);
    expected[2] = 0xF5;
    EXPECT_EQ(Table(), expected);
}

TEST_F(ScanLevelCommands, Level3WritesShuffledThenVerifiesErasesAndRereads)
{
    // Pass 1: every block once, in some order; pass 2 in address order with each block's
    // pattern; pass 3 erases the bad ones; pass 4 reads every block again and decides:
    // block 4, bad once in pass 2, is erased in address order and ends good.
    int reads4 = 0;
    verdict = [&](uint32_t block, uint8_t op) -> uint8_t {
        return bad.count(block) || (block == 4 && op == 1 && ++reads4 == 1) ? 0 : 0xFF;
    };
    ASSERT_EQ(BlankingCheck(*thread, 5, 305, Level(2)), 1);
    const auto sent = Commands();
    const auto usable = Usable();
    const size_t n = usable.size();
    ASSERT_EQ(sent.size(), 3 * n + 3);
    auto patternOf = Patterns(sent, n);
    EXPECT_EQ(patternOf.size(), n);
    std::vector<uint32_t> written;
    for (size_t i = 0; i < n; ++i)
        written.push_back(sent[i].block);
    EXPECT_NE(written, usable) << "the writes go in shuffled order";
    std::vector<ScanCommand> rest;
    for (uint32_t a : usable)
        rest.push_back(Scan(a, patternOf[a], 1, 1, kSkip, kEcc));
    rest.insert(rest.end(), {Check(2), Check(4), Check(9)});
    for (uint32_t a : usable)
        rest.push_back(Scan(a, patternOf[a], 1, 1, kSkip, kEcc));
    EXPECT_EQ(std::vector<ScanCommand>(sent.begin() + long(n), sent.end()), rest);
    EXPECT_EQ(Table(), ExpectedTable(bad));
}

TEST_F(ScanLevelCommands, Level4WritesAndVerifiesEachBlockWithOnePattern)
{
    platform::FakeClock clock; // the random patterns are seeded from it
    clock.advance(4711);
    platform::SetClock(&clock);
    ASSERT_EQ(BlankingCheck(*thread, 5, 305, Level(3)), 1);
    platform::SetClock(nullptr);
    const auto sent = Commands();
    const size_t n = Usable().size();
    ASSERT_EQ(sent.size(), 2 * n - bad.size());
    auto patternOf = Patterns(sent, n);
    // The generator's first n numbers, shuffled over the blocks.
    ScanRandomSeed(4711);
    std::vector<uint16_t> drawn, used;
    for (size_t i = 0; i < n; ++i) {
        drawn.push_back(uint16_t(ScanRandom()));
        used.push_back(sent[i].pattern);
        EXPECT_EQ(sent[i].block, Usable()[i]);
    }
    EXPECT_NE(used, drawn);
    std::sort(drawn.begin(), drawn.end());
    std::sort(used.begin(), used.end());
    EXPECT_EQ(used, drawn);
    const auto verify = Pass([&](uint32_t a) {
        return bad.count(a) ? ScanCommand{} : Scan(a, patternOf[a], 1, 1, kSkip, kEcc);
    });
    EXPECT_EQ(std::vector<ScanCommand>(sent.begin() + long(n), sent.end()), verify);
    EXPECT_EQ(Table(), ExpectedTable(bad));
}

TEST_F(ScanLevelCommands, LevelOutsideTheListScansNothing)
{
    for (uint32_t level : {7u, 0xFFFFFFFFu}) {
        MarkAllGood();
        EXPECT_EQ(BlankingCheck(*thread, 5, 305, Level(level)), 1);
        EXPECT_EQ(Table(), std::vector<uint8_t>(16, 0));
    }
    EXPECT_TRUE(Commands().empty());
    EXPECT_EQ(gauge.Progress(), 305);
}

// Fast check: only addresses below 256 are page-scanned; the rest get one EF 94 (Level 3:
// checked in pass 2, failed ones again in pass 3, all good in pass 4). Level 6 has none.
TEST_F(ScanLevelCommands, FastCheckScansBelow256AndChecksTheRest)
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
        const auto sent = Since(before);
        const auto count = [&](auto pred) { return size_t(std::count_if(sent.begin(), sent.end(), pred)); };
        EXPECT_EQ(count([](const ScanCommand& c) { return c.opcode == 0x93 && c.block >= 256; }), c.scans);
        EXPECT_EQ(count([](const ScanCommand& c) { return c == Check(280); }), c.checks280);
        EXPECT_EQ(count([](const ScanCommand& c) { return c == Check(270); }), c.checks270);
        EXPECT_EQ(Table(), ExpectedTable(c.bad));
    }
}

} // namespace
