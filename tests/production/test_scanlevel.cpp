// Every scan level: the exact page scans and block checks it sends, and the block table it
// leaves, on a recording drive and on the simulated flash.
#include "test_blanking_fixture.h"

#include "production/ScanLevel.h"
#include "sim/Profiles.h"

#include <algorithm>
#include <map>

using namespace blanktest;

namespace {

constexpr uint8_t kSkip = 3;
constexpr uint8_t kEcc = 4;
constexpr uint16_t kP = 0x1234;

BlankingSettings Level(uint32_t level, uint32_t readTimes = 0)
{
    BlankingSettings s;
    s.scanLevel = level;
    s.pattern = 0xABCD0000u | kP; // only the low 16 bits count
    s.pageSkip = kSkip;
    s.readTimes = readTimes;
    return s;
}

class ScanLevelCommands : public RecordingScanTest {
protected:
    void SetUp() override
    {
        RecordingScanTest::SetUp();
        bad = {2, 9};
    }
    std::vector<ScanCommand> Each(const std::function<void(uint32_t, std::vector<ScanCommand>&)>& f)
    {
        std::vector<ScanCommand> out;
        for (uint32_t a : Usable())
            f(a, out);
        return out;
    }
    bool IsBad(uint32_t a) const { return bad.count(a) != 0; }
};

struct FixedLevelCase {
    const char* name;
    uint32_t level;
    uint32_t readTimes;
};

TEST_F(ScanLevelCommands, FixedPatternLevelsSendExactlyTheirPasses)
{
    const auto pass = [this](uint16_t pattern, uint8_t dataMode, uint8_t op, bool skipBad) {
        return Each([=, this](uint32_t a, std::vector<ScanCommand>& out) {
            if (!(skipBad && IsBad(a)))
                out.push_back(Scan(a, pattern, dataMode, op, kSkip, kEcc));
        });
    };
    const auto join = [](std::vector<std::vector<ScanCommand>> parts) {
        std::vector<ScanCommand> all;
        for (auto& p : parts)
            all.insert(all.end(), p.begin(), p.end());
        return all;
    };
    const uint16_t notP = static_cast<uint16_t>(~kP);
    const auto passA = Each([&](uint32_t a, std::vector<ScanCommand>& out) {
        out.push_back(Scan(a, kP, 2, 3, kSkip, kEcc));
        if (!IsBad(a))
            out.push_back(Scan(a, notP, 2, 3, kSkip, kEcc));
    });
    const auto level5 = Each([&](uint32_t a, std::vector<ScanCommand>& out) {
        out.push_back(Scan(a, 0x55AA, 2, 3, kSkip, kEcc));
        if (!IsBad(a))
            out.push_back(Scan(a, 0xAA55, 2, 3, kSkip, kEcc));
    });

    const struct {
        FixedLevelCase c;
        std::vector<ScanCommand> expected;
    } cases[] = {
        {{"Level 2", 1, 0}, join({pass(0xAA55, 2, 2, false), pass(0xAA55, 2, 1, true)})},
        {{"Level 5", 4, 0}, level5},
        {{"Level 6 write and verify", 5, 0},
         join({passA, pass(0, 2, 2, false), pass(0, 2, 1, false)})},
        {{"Level 6 read once", 5, 1}, pass(kP, 1, 1, false)},
        {{"Level 6 read twice", 5, 2}, join({pass(kP, 1, 1, false), pass(kP, 1, 1, false)})},
        {{"Level 6 read three times", 5, 3},
         join({pass(kP, 2, 1, false), pass(kP, 2, 1, false), pass(kP, 2, 1, false)})},
        {{"Level 6 read times above 3", 5, 4}, join({passA, pass(0, 2, 2, false)})},
        {{"Level 7", 6, 0}, join({pass(0xAA55, 4, 2, false), pass(0xAA55, 4, 1, false)})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.c.name);
        count = 0;
        drive.transport->setResponder([this](const testsupport::RecordedCall& call) {
            return Answer(call);
        });
        const size_t before = drive.transport->callCount();
        ASSERT_EQ(BlankingCheck(*thread, 5, 305, Level(c.c.level, c.c.readTimes)), 1);
        auto all = Commands();
        const std::vector<ScanCommand> sent(all.begin() + static_cast<long>(before), all.end());
        EXPECT_EQ(sent, c.expected);
        EXPECT_EQ(Table(), ExpectedTable(bad));
        EXPECT_EQ(gauge.Progress(), 305);
    }
}

TEST_F(ScanLevelCommands, Level1SendsOneRandomWriteAndVerifyPerBlock)
{
    ASSERT_EQ(BlankingCheck(*thread, 5, 305, Level(0)), 1);
    const auto sent = Commands();
    ASSERT_EQ(sent.size(), Usable().size());
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].block, Usable()[i]);
        EXPECT_EQ(Scan(sent[i].block, sent[i].pattern, 1, 3, kSkip, kEcc), sent[i]);
        EXPECT_LT(sent[i].pattern, 32768); // the generator's range
    }
    EXPECT_EQ(Table(), ExpectedTable(bad));
}

TEST_F(ScanLevelCommands, Level3WritesShuffledThenVerifiesErasesAndRereads)
{
    ASSERT_EQ(BlankingCheck(*thread, 5, 305, Level(2)), 1);
    const auto sent = Commands();
    const auto usable = Usable();
    const size_t n = usable.size();
    ASSERT_EQ(sent.size(), 3 * n + bad.size());

    // Pass 1: every block once, in some order, written (1,2) with its own pattern.
    std::map<uint32_t, uint16_t> patternOf;
    for (size_t i = 0; i < n; ++i) {
        EXPECT_EQ(Scan(sent[i].block, sent[i].pattern, 1, 2, kSkip, kEcc), sent[i]);
        EXPECT_LT(sent[i].pattern, 32768);
        patternOf[sent[i].block] = sent[i].pattern;
    }
    EXPECT_EQ(patternOf.size(), n);
    // Pass 2 in address order with each block's pattern; pass 3 erases the bad ones; pass 4
    // reads every block again.
    for (size_t i = 0; i < n; ++i)
        EXPECT_EQ(sent[n + i], Scan(usable[i], patternOf[usable[i]], 1, 1, kSkip, kEcc));
    EXPECT_EQ(sent[2 * n], Check(2));
    EXPECT_EQ(sent[2 * n + 1], Check(9));
    for (size_t i = 0; i < n; ++i)
        EXPECT_EQ(sent[2 * n + 2 + i], Scan(usable[i], patternOf[usable[i]], 1, 1, kSkip, kEcc));
    EXPECT_EQ(Table(), ExpectedTable(bad));
}

TEST_F(ScanLevelCommands, Level3BlockGoodAgainInItsLastPassIsGood)
{
    // Block 4 reads bad once (pass 2), then good: the table keeps it good.
    int reads4 = 0;
    verdict = [&](uint32_t block, uint8_t op) -> uint8_t {
        if (bad.count(block))
            return 0;
        if (block == 4 && op == 1 && ++reads4 == 1)
            return 0x80;
        return 0xFF;
    };
    ASSERT_EQ(BlankingCheck(*thread, 5, 305, Level(2)), 1);
    EXPECT_EQ(Table(), ExpectedTable(bad));
    EXPECT_EQ(Commands()[2 * 12], Check(2)); // the bad ones are erased in address order
    EXPECT_EQ(Commands()[2 * 12 + 1], Check(4));
}

TEST_F(ScanLevelCommands, Level4WritesAndVerifiesEachBlockWithOnePattern)
{
    ASSERT_EQ(BlankingCheck(*thread, 5, 305, Level(3)), 1);
    const auto sent = Commands();
    const auto usable = Usable();
    const size_t n = usable.size();
    ASSERT_EQ(sent.size(), 2 * n - bad.size());
    std::map<uint32_t, uint16_t> patternOf;
    for (size_t i = 0; i < n; ++i) {
        EXPECT_EQ(sent[i], Scan(usable[i], sent[i].pattern, 1, 2, kSkip, kEcc));
        EXPECT_LT(sent[i].pattern, 32768);
        patternOf[usable[i]] = sent[i].pattern;
    }
    size_t k = n;
    for (uint32_t a : usable) {
        if (bad.count(a))
            continue;
        EXPECT_EQ(sent[k++], Scan(a, patternOf[a], 1, 1, kSkip, kEcc));
    }
    EXPECT_EQ(Table(), ExpectedTable(bad));
}

TEST_F(ScanLevelCommands, LevelOutsideTheListScansNothing)
{
    for (uint32_t level : {7u, 100u, 0xFFFFFFFFu}) {
        std::memset(thread->pBlockTable.get(), 0xFF, thread->iBlockTableEntries);
        EXPECT_EQ(BlankingCheck(*thread, 5, 305, Level(level)), 1);
        EXPECT_EQ(Table(), std::vector<uint8_t>(16, 0));
    }
    EXPECT_TRUE(Commands().empty());
    EXPECT_EQ(gauge.Progress(), 305);
}

// ---- fast check: only addresses below 256 are page-scanned ----

class FastCheckCommands : public RecordingScanTest {
protected:
    void SetUp() override
    {
        RecordingScanTest::SetUp();
        Geometry(1, 512, 300, 32);
        bad = {3, 256, 270};
    }
    BlankingSettings Fast(uint32_t level)
    {
        BlankingSettings s = Level(level);
        s.fastCheck = true;
        return s;
    }
    size_t ScansFrom256() const
    {
        const auto sent = Commands();
        return static_cast<size_t>(std::count_if(sent.begin(), sent.end(), [](const ScanCommand& c) {
            return c.opcode == 0x93 && c.block >= 256;
        }));
    }
    size_t ChecksOf(uint32_t block) const
    {
        const auto sent = Commands();
        return static_cast<size_t>(std::count(sent.begin(), sent.end(), Check(block)));
    }
};

TEST_F(FastCheckCommands, SingleAndTwoPassLevelsCheckHighBlocksWithEf94Once)
{
    for (uint32_t level : {0u, 1u, 3u, 4u, 6u}) {
        SCOPED_TRACE(level);
        const size_t before = drive.transport->callCount();
        ASSERT_EQ(BlankingCheck(*thread, 5, 305, Fast(level)), 1);
        const auto all = Commands();
        const std::vector<ScanCommand> sent(all.begin() + static_cast<long>(before), all.end());
        size_t scans = 0;
        for (const auto& c : sent) {
            if (c.opcode == 0x93) {
                EXPECT_LT(c.block, 256u);
                ++scans;
            }
        }
        for (uint32_t a = 256; a < 300; ++a)
            EXPECT_EQ(std::count(sent.begin(), sent.end(), Check(a)), 1) << a;
        EXPECT_GT(scans, 255u);
        EXPECT_EQ(Table(), ExpectedTable(bad));
    }
}

TEST_F(FastCheckCommands, Level3SetsHighBlocksGoodInItsLastPass)
{
    ASSERT_EQ(BlankingCheck(*thread, 5, 305, Fast(2)), 1);
    EXPECT_EQ(ScansFrom256(), 0u);
    // Pass 2 checked them (270 failed), pass 3 erased the failed ones again, pass 4 called
    // every one of them good.
    EXPECT_EQ(ChecksOf(280), 1u);
    EXPECT_EQ(ChecksOf(270), 2u);
    EXPECT_EQ(Table(), ExpectedTable({3}));
}

TEST_F(FastCheckCommands, Level6HasNoFastCheck)
{
    BlankingSettings s = Fast(5);
    s.readTimes = 1;
    ASSERT_EQ(BlankingCheck(*thread, 5, 305, s), 1);
    EXPECT_EQ(ScansFrom256(), 44u);
    EXPECT_EQ(ChecksOf(280), 0u);
}

// ---- the simulated flash ----

class SimLevels : public SimScanTest {
protected:
    static sim::FlashProfile Profile()
    {
        sim::FlashProfile p = SmallNand();
        p.factoryBadBlocks = {5, 300, 517};
        p.eraseFailBlocks = {40};
        // Block 7 fails only when it holds 0xAA55, block 11 and 600 whenever they hold
        // anything else; block 20 shows bit errors within the threshold.
        p.pageFaults = {
            {7, 4, 10, sim::PageFault::When::PatternIs, 0xAA55},
            {11, -1, 10, sim::PageFault::When::PatternIsNot, 0xAA55},
            {600, 0, 10, sim::PageFault::When::PatternIsNot, 0xAA55},
            {20, 0, 4, sim::PageFault::When::Always, 0},
        };
        return p;
    }
    std::vector<uint8_t> Expected(const std::set<uint32_t>& badBlocks) const
    {
        std::vector<uint8_t> table(1024, 0);
        for (uint32_t c = 0; c < 2; ++c)
            for (uint32_t b = 0; b < 400; ++b)
                table[c * 512 + b] = badBlocks.count(c * 512 + b) ? 0 : 0xFF;
        return table;
    }
    // Good (0xFF) or bad (0): a judged bad block keeps the device's verdict byte.
    std::vector<uint8_t> Table() const
    {
        std::vector<uint8_t> table(thread->pBlockTable.get(), thread->pBlockTable.get() + 1024);
        for (auto& entry : table)
            entry = entry == 0xFF ? 0xFF : 0;
        return table;
    }
};

TEST_F(SimLevels, EveryLevelFindsTheBadBlocksItsPatternsReveal)
{
    const std::set<uint32_t> broken = {5, 300, 517, 40};
    auto with = [&](std::initializer_list<uint32_t> more) {
        std::set<uint32_t> s = broken;
        s.insert(more);
        return s;
    };
    const struct {
        const char* name;
        BlankingSettings settings;
        std::set<uint32_t> bad;
    } cases[] = {
        {"Level 1, random patterns", Level(0), with({11, 600})},
        {"Level 2, 0xAA55", Level(1), with({7})},
        {"Level 3, random patterns", Level(2), with({11, 600})},
        {"Level 4, random patterns", Level(3), with({11, 600})},
        {"Level 5, 0x55AA then 0xAA55", Level(4), with({7, 11, 600})},
        {"Level 6, P, ~P, 0", Level(5, 0), with({11, 600})},
        {"Level 7, 0xAA55", Level(6), with({7})},
    };
    Plug(Profile());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(BlankingCheck(*thread, 5, 305, c.settings), 1) << status.Caption();
        EXPECT_EQ(Table(), Expected(c.bad));
    }
    // The device's verdict stays in the entry: the worst page read, 255 - 10 bit errors.
    ASSERT_EQ(BlankingCheck(*thread, 5, 305, Level(0)), 1);
    EXPECT_EQ(thread->pBlockTable[11], 0xF5);
    EXPECT_EQ(thread->pBlockTable[20], 0xFF); // 4 bit errors are within the threshold
}

TEST_F(SimLevels, PageSkipPassesOverPagesTheDeviceDoesNotRead)
{
    // With page skip 3 only every fourth page is read: a fault on page 5 goes unseen.
    sim::FlashProfile p = SmallNand();
    p.pageFaults = {{9, 5, 10, sim::PageFault::When::Always, 0}};
    Plug(p);
    ASSERT_EQ(BlankingCheck(*thread, 5, 305, Level(1)), 1);
    EXPECT_EQ(Table(), Expected({}));
    BlankingSettings noSkip = Level(1);
    noSkip.pageSkip = 0;
    ASSERT_EQ(BlankingCheck(*thread, 5, 305, noSkip), 1);
    EXPECT_EQ(Table(), Expected({9}));
}

TEST_F(SimLevels, Level6ReadOnlyOnBlankFlashGivesUpAtTheLimit)
{
    // Read times 1 writes nothing: on flash never written every block reads bad, and with
    // 32 pages a block the check gives up after block 501 (501 x 32 > 16000).
    Plug(Profile());
    EXPECT_EQ(BlankingCheck(*thread, 5, 305, Level(5, 1)), 0);
    EXPECT_EQ(status.Caption(), "Too many bad block");
    const auto sent = Commands();
    ASSERT_EQ(sent.size(), 502u);
    for (const auto& c : sent)
        EXPECT_EQ(c, Scan(c.block, kP, 1, 1, kSkip, kEcc));
    EXPECT_EQ(sent.back().block, 512u + 101u);
}

TEST_F(SimLevels, FastCheckPageScansOnlyTheFirst256Addresses)
{
    Plug(Profile());
    BlankingSettings s = Level(0);
    s.fastCheck = true;
    ASSERT_EQ(BlankingCheck(*thread, 5, 305, s), 1);
    for (const auto& c : Commands())
        if (c.opcode == 0x93)
            EXPECT_LT(c.block, 256u);
    // Block 600's pattern fault goes unseen; factory-bad blocks fail their EF 94.
    EXPECT_EQ(Table(), Expected({5, 300, 517, 40, 11}));
}

} // namespace
