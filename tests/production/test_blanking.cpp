// The blanking check's frame: the stop rule, progress and status texts, the blinking, the
// failure texts and the settings it reads.
#include "test_blanking_fixture.h"

#include <map>

using namespace blanktest;

namespace {

BlankingSettings Level(uint32_t level, uint32_t readTimes = 0)
{
    BlankingSettings s;
    s.scanLevel = level;
    s.readTimes = readTimes;
    s.pattern = 0x1234;
    return s;
}

// 1024 blocks (1000 usable) of 64 pages, every block bad unless a row says otherwise.
class StopRule : public RecordingScanTest {
protected:
    void SetUp() override
    {
        RecordingScanTest::SetUp();
        Geometry(1, 1024, 1000, 64);
    }
    size_t Scans() const { return CallsOf(0xEF, 0x93).size(); }
};

TEST_F(StopRule, NoGoodBlockStopsWhenThePagesPassTheLevelsLimit)
{
    // 49024 / 64 = 766: Level 1 stops after block 767; the other levels (16000 / 64 = 250)
    // after block 251 of the pass with the limit. Level 7, the override or one good block
    // keep the scan going. A pass that only writes sees no good block: what it wrote must
    // read back good later, and a block read good before pass 4 of Level 3 counts no more.
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
        const size_t before = Scans();
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
        EXPECT_EQ(Scans() - before, c.scans);
        if (!c.result) {
            EXPECT_EQ(status.Caption(), "Too many bad block");
        } else {
            std::vector<uint8_t> expected(1024, 0);
            if (c.good >= 0)
                expected[size_t(c.good)] = 0xFF;
            EXPECT_EQ(Table(), expected);
        }
    }
}

class Progress : public RecordingScanTest {
protected:
    void SetUp() override
    {
        RecordingScanTest::SetUp();
        bad = {2, 9}; // running indexes 2 and 7 of 12
    }
};

// Twelve blocks: the last text and gauge are those of block 10; a finished check jumps the
// gauge to the end of its range. The failure texts name the check only where they should.
TEST_F(Progress, TextsAndGaugePerLevel)
{
    const struct { const char* name; BlankingSettings settings; uint32_t failAt; const char* text; int gauge; } cases[] = {
        {"Level 5", Level(4), 0, "Blanking Check 10/12 Bad: 2", 305},
        {"Level 5, failing on the last block", Level(4), 22, "Blanking Checkfail", 5 + 300 * 10 / 12},
        // Pass 1 reaches 5 + (300 x 10 / 4) / 12 = 67 at block 10; pass 2 starts there.
        {"Level 2, pass 2", Level(1), 22, "Blanking Check(2)10/12 Bad: 2", 67 + 62},
        {"Level 3", Level(2), 0, "Blanking Check(4)2/12", 305},
        {"Level 1", Level(0), 3, "Blanking Checkfail", -1},
        {"Level 5, first step", Level(4), 1, "Blanking Checkfail", -1},
        {"Level 6, first pattern", Level(5), 1, "Blanking Check Setup...", -1},
        {"Level 6, second pattern", Level(5), 2, "Blanking Checkfail", -1},
        {"Level 6, pass B", Level(5), 12 + 10 + 1, "Blanking Check10/12 Bad: 2", -1},
        {"Level 2, pass 1", Level(1), 1, "Blanking Check Setup...", -1},
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
    // Three blinks (blocks 0, 5, 10) leave the colour red; a level outside the list resets it.
    failAt = 0;
    thread->SetStatusColor(toolkit::clBlue);
    ASSERT_EQ(BlankingCheck(*thread, 5, 305, Level(4)), 1);
    EXPECT_EQ(status.Font()->Color(), toolkit::clRed);
    ASSERT_EQ(BlankingCheck(*thread, 7, 99, Level(9)), 1);
    EXPECT_EQ(status.Caption(), "Blanking Check Setup...");
    EXPECT_EQ(status.Font()->Color(), toolkit::clBtnText);
    EXPECT_EQ(gauge.Progress(), 99);
}

// Level 3's erase pass shows bad over total, and blinks every third block besides every fifth:
// after its first text (block 0) at blocks 3, 5, 6, 9 and 10, and as pass 4 begins.
TEST_F(Progress, Level3ErasePassShowsBadOverTotalBlinkingEveryThirdBlock)
{
    std::vector<std::string> shown;
    status.AddObserver([&](toolkit::TControl& c, toolkit::Prop what) {
        if (c.Caption().rfind("Blanking Check(3)", 0) == 0)
            shown.push_back(what == toolkit::Prop::FontColor ? "blink" : c.Caption());
    });
    ASSERT_EQ(BlankingCheck(*thread, 5, 305, Level(2)), 1);
    EXPECT_EQ(shown, (std::vector<std::string>{"Blanking Check(3)2/12", "blink", "blink", "blink", "blink", "blink", "blink"}));
}

TEST_F(Progress, FastCheckRefusalIsABadBlockAndUnsoundGeometryIsRefused)
{
    Geometry(1, 512, 260, 32);
    bad = {257};
    BlankingSettings s = Level(0);
    s.fastCheck = true;
    ASSERT_EQ(BlankingCheck(*thread, 5, 305, s), 1);
    EXPECT_EQ(status.Caption(), "Blanking Check 255/260 Bad: 0");
    EXPECT_EQ(thread->pBlockTable[257], 0);
    EXPECT_EQ(thread->pBlockTable[258], 0xFF);

    thread->FreeBlockTable();
    const size_t before = drive.transport->callCount();
    EXPECT_EQ(BlankingCheck(*thread, 5, 305, Level(0)), 0);
    EXPECT_EQ(status.Caption(), "Blanking Checkfail");
    Geometry(2, 8, 6, 32);
    thread->iPagesPerBlock = 1024; // more page bytes than a scan reply holds
    EXPECT_EQ(BlankingCheck(*thread, 5, 305, Level(0)), 0);
    EXPECT_EQ(drive.transport->callCount(), before);
}

} // namespace
