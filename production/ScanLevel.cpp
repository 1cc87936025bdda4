// The seven scan levels of the blanking check, each a fixed list of passes.
#include "production/ScanLevel.h"

#include "device/Commands.h"
#include "platform/Clock.h"
#include "production/SpecialScan.h"
#include "production/WindowLink.h"
#include "production/ppthread.h"
#include "text/LangStrings.h"
#include "text/MessageCatalogue.h"

#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace {

// With no good block seen, a pass that has covered more pages than this gives up.
constexpr uint64_t kLevel1GiveUpPages = 49024;
constexpr uint64_t kGiveUpPages = 16000;

constexpr uint16_t kPatternAA55 = 0xAA55;
constexpr uint16_t kPattern55AA = 0x55AA;

thread_local uint32_t t_randomState = 1;

// How one pass shows itself and when it gives up.
struct PassStyle {
    const char* label = "";
    uint64_t giveUpPages = 0;   // 0: no stop rule
    bool badOverTotal = false;  // text shows "bad/total" instead of "n/total Bad: bad"
    bool blinkEveryThird = false;
};

enum class Outcome { Next, Failed };

class LevelRunner {
public:
    explicit LevelRunner(BlankingRun& run)
        : run_(run), t_(run.thread), special_(run.settings.specialScan),
          fast_(run.settings.fastCheck)
    {
    }

    bool Run(uint32_t level)
    {
        switch (level) {
        case 0: return Level1();
        case 1: return Level2();
        case 2: return Level3();
        case 3: return Level4();
        case 4: return Level5();
        case 5: return Level6();
        case 6: return Level7();
        default: return true; // no level: nothing scanned
        }
    }

private:
    uint32_t Usable() const { return t_.iUsableBlocksPerChip; }
    // The address of the n-th scanned block: chip x blocks per chip + block.
    uint32_t AddressOf(uint32_t n) const
    {
        return n / Usable() * t_.iBlocksPerChip + n % Usable();
    }
    bool FastSkips(uint32_t address) const { return fast_ && address >= kFastCheckFirstBlock; }
    uint8_t& Entry(uint32_t address) { return t_.pBlockTable[address]; }

    // One page scan with a verdict byte; the byte lands in the block's entry only when the
    // device answered.
    bool ReadVerdict(uint32_t address, uint16_t pattern, uint8_t dataMode, uint8_t operation)
    {
        return cmd_bReadPages(t_.hDevice, address, 1, pattern, dataMode, operation,
                              static_cast<uint8_t>(run_.settings.pageSkip),
                              static_cast<uint8_t>(t_.iEccThreshold), &Entry(address), 0,
                              t_.iPagesPerBlock) != 0;
    }
    void Judge(uint32_t address)
    {
        if (Entry(address) == 0xFF)
            run_.goodSeen = true;
        else
            ++run_.bad;
    }
    // The fast check's block test.
    void CheckBlock(uint32_t address)
    {
        if (cmd_bCheckBlock(t_.hDevice, address, 1)) {
            Entry(address) = 0xFF;
            run_.goodSeen = true;
        } else {
            Entry(address) = 0;
            ++run_.bad;
        }
    }
    // The fast check where a pass applies it in both branches: the special scan takes the
    // block's pages as free of bit errors, the ordinary scan tests the block with EF 94.
    Outcome FastTest(uint32_t address)
    {
        if (special_)
            SpecialScanSkipRow(run_, address);
        else
            CheckBlock(address);
        return Outcome::Next;
    }
    Outcome FailWithText()
    {
        t_.SetStatus(RealBlankingCheckStr.get() + FailMsg.get());
        return Outcome::Failed;
    }
    // A special-branch read; its failure always names the check.
    Outcome Special(uint32_t address, uint16_t pattern, uint8_t dataMode, uint8_t operation)
    {
        if (SpecialScanRead(run_, address, pattern, dataMode, operation) < 0)
            return FailWithText();
        return Outcome::Next;
    }

    void Blink()
    {
        t_.SetStatusColor(t_.StatusColor() == toolkit::clBtnText ? toolkit::clRed
                                                                 : toolkit::clBtnText);
    }
    int GaugePosition() const { return t_.pGauge ? t_.pGauge->Progress() : int(t_.iStep); }

    void ShowProgress(uint32_t n, const PassStyle& style)
    {
        if (style.blinkEveryThird && n % 3 == 0)
            Blink();
        if (n % 5 != 0)
            return;
        Blink();
        const int range = run_.stepTo - run_.stepFrom;
        const int index = static_cast<int>(n);
        const int total = static_cast<int>(run_.total);
        int step;
        if (singlePass_)
            step = run_.stepFrom + range * index / total;
        else
            step = run_.gaugeBase + (range * index / (special_ ? 2 : 4)) / total;
        t_.SetStep(static_cast<uint32_t>(step < 0 ? 0 : step));

        const std::string bad = std::to_string(run_.bad);
        const std::string count = std::to_string(n) + "/" + std::to_string(run_.total);
        if (style.badOverTotal) {
            t_.SetStatus(RealBlankingCheckStr.get() + style.label + bad + "/"
                         + std::to_string(run_.total));
        } else if (special_) {
            const std::string name =
                production::Window().PageModeName(run_.pageMode, t_.iLanguageIndex);
            t_.SetStatus(name + " " + count + " Bad" + (run_.pageMode == 6 ? ": ?" : ": " + bad));
        } else {
            t_.SetStatus(RealBlankingCheckStr.get() + style.label + count + " "
                         + MessageCatalogue(kRowBad, t_.iLanguageIndex) + ": " + bad);
        }
    }

    // "Too many bad block": nothing good yet after this many pages of the pass.
    bool GivesUp(uint32_t n, const PassStyle& style) const
    {
        return style.giveUpPages != 0 && !special_ && !t_.bBlocksPerChipOverride
               && !run_.goodSeen && uint64_t(n) * t_.iPagesPerBlock > style.giveUpPages;
    }

    // Visits every scanned block once in address order (n = 0 .. total - 1).
    bool Pass(const PassStyle& style, const std::function<Outcome(uint32_t, uint32_t)>& body)
    {
        run_.gaugeBase = firstPass_ ? run_.stepFrom : GaugePosition();
        firstPass_ = false;
        for (uint32_t n = 0; n < run_.total; ++n) {
            if (body(n, AddressOf(n)) == Outcome::Failed)
                return false;
            if (GivesUp(n, style)) {
                t_.SetStatus(MessageCatalogue(kRowTooManyBadBlocks, t_.iLanguageIndex));
                return false;
            }
            ShowProgress(n, style);
            if (processMessages_)
                production::Window().ProcessMessages();
        }
        return true;
    }

    // Levels 3 and 4: one random pattern per scanned block, in a shuffled table.
    struct RandomEntry {
        uint32_t address;
        uint32_t pattern;
    };
    std::vector<RandomEntry> RandomTable()
    {
        std::vector<RandomEntry> table(run_.total);
        for (uint32_t k = 0; k < run_.total; ++k)
            table[k] = {AddressOf(k), static_cast<uint32_t>(ScanRandom())};
        for (uint32_t k = 0; k < run_.total; ++k)
            std::swap(table[k], table[static_cast<uint32_t>(ScanRandom()) % run_.total]);
        return table;
    }

    bool Level1()
    {
        ScanRandomSeedFromClock();
        singlePass_ = true;
        processMessages_ = true;
        return Pass({" ", kLevel1GiveUpPages}, [&](uint32_t, uint32_t address) {
            const uint16_t pattern = static_cast<uint16_t>(ScanRandom());
            if (FastSkips(address))
                return FastTest(address);
            if (special_)
                return Special(address, pattern, 1, 3);
            if (!ReadVerdict(address, pattern, 1, 3))
                return FailWithText();
            Judge(address);
            return Outcome::Next;
        });
    }

    // Levels 2 and 4's first pass: written, a bad block marked and set to 0.
    Outcome WriteAndMark(uint32_t n, uint32_t address, uint16_t pattern, uint8_t dataMode,
                         std::vector<uint8_t>& marks)
    {
        if (FastSkips(address)) {
            CheckBlock(address);
            return Outcome::Next;
        }
        if (!ReadVerdict(address, pattern, dataMode, 2))
            return Outcome::Failed;
        if (Entry(address) != 0xFF) {
            ++run_.bad;
            marks[n] = 1;
            Entry(address) = 0;
        }
        return Outcome::Next;
    }
    // Levels 2 and 4's second pass: verify what the first pass wrote.
    Outcome VerifyMarked(uint32_t n, uint32_t address, uint16_t pattern, uint8_t dataMode,
                         const std::vector<uint8_t>& marks)
    {
        if (special_)
            return Special(address, pattern, dataMode, 1);
        if (marks[n] || FastSkips(address))
            return Outcome::Next;
        if (!ReadVerdict(address, pattern, dataMode, 1))
            return Outcome::Failed;
        Judge(address);
        return Outcome::Next;
    }

    bool Level2()
    {
        std::vector<uint8_t> marks(run_.total, 0);
        if (!Pass({"(1) "}, [&](uint32_t n, uint32_t address) {
                return WriteAndMark(n, address, kPatternAA55, 2, marks);
            }))
            return false;
        return Pass({"(2)", kGiveUpPages}, [&](uint32_t n, uint32_t address) {
            return VerifyMarked(n, address, kPatternAA55, 2, marks);
        });
    }

    bool Level3()
    {
        ScanRandomSeedFromClock();
        const std::vector<RandomEntry> table = RandomTable();
        std::vector<uint16_t> patternOf(run_.total, 0);
        for (const RandomEntry& entry : table) {
            const uint32_t chip = entry.address / t_.iBlocksPerChip;
            patternOf[chip * Usable() + entry.address % t_.iBlocksPerChip] =
                static_cast<uint16_t>(entry.pattern);
        }

        // Writes in the shuffled order.
        if (!Pass({"(1) "}, [&](uint32_t k, uint32_t) {
                const RandomEntry& entry = table[k];
                if (FastSkips(entry.address))
                    return Outcome::Next;
                return ReadVerdict(entry.address, static_cast<uint16_t>(entry.pattern), 1, 2)
                           ? Outcome::Next
                           : Outcome::Failed;
            }))
            return false;
        if (!Pass({"(2)", kGiveUpPages}, [&](uint32_t n, uint32_t address) {
                if (FastSkips(address))
                    return FastTest(address);
                if (special_)
                    return Special(address, patternOf[n], 1, 1);
                if (!ReadVerdict(address, patternOf[n], 1, 1))
                    return Outcome::Failed;
                Judge(address);
                return Outcome::Next;
            }))
            return false;
        if (special_)
            return true;

        // Erase what read bad, then read every block once more.
        PassStyle erase{"(3)"};
        erase.badOverTotal = true;
        erase.blinkEveryThird = true;
        if (!Pass(erase, [&](uint32_t, uint32_t address) {
                if (Entry(address) != 0xFF)
                    (void)cmd_bCheckBlock(t_.hDevice, address, 1);
                return Outcome::Next;
            }))
            return false;
        run_.goodSeen = false;
        PassStyle reread{"(4)", kGiveUpPages};
        reread.badOverTotal = true;
        return Pass(reread, [&](uint32_t n, uint32_t address) {
            if (FastSkips(address)) {
                Entry(address) = 0xFF;
                return Outcome::Next;
            }
            const uint8_t before = Entry(address);
            if (!ReadVerdict(address, patternOf[n], 1, 1))
                return Outcome::Failed;
            if (before == 0xFF && Entry(address) != 0xFF)
                ++run_.bad;
            if (Entry(address) == 0xFF)
                run_.goodSeen = true;
            return Outcome::Next;
        });
    }

    bool Level4()
    {
        ScanRandomSeedFromClock();
        const std::vector<RandomEntry> table = RandomTable();
        std::vector<uint8_t> marks(run_.total, 0);
        auto patternOf = [&table](uint32_t n) { return static_cast<uint16_t>(table[n].pattern); };
        if (!Pass({"(1) "}, [&](uint32_t n, uint32_t address) {
                return WriteAndMark(n, address, patternOf(n), 1, marks);
            }))
            return false;
        return Pass({"(2)", kGiveUpPages}, [&](uint32_t n, uint32_t address) {
            return VerifyMarked(n, address, patternOf(n), 1, marks);
        });
    }

    bool Level5()
    {
        singlePass_ = true;
        return Pass({" ", kGiveUpPages}, [&](uint32_t, uint32_t address) {
            if (FastSkips(address))
                return FastTest(address);
            if (special_) {
                const int first = SpecialScanRead(run_, address, kPattern55AA, 2, 3);
                if (first < 0)
                    return FailWithText();
                if (first == 0)
                    return Outcome::Next;
                return Special(address, kPatternAA55, 2, 3);
            }
            if (!ReadVerdict(address, kPattern55AA, 2, 3))
                return FailWithText();
            if (Entry(address) != 0xFF) {
                ++run_.bad;
                return Outcome::Next;
            }
            if (!ReadVerdict(address, kPatternAA55, 2, 3))
                return FailWithText();
            Judge(address);
            return Outcome::Next;
        });
    }

    bool Level6()
    {
        const uint16_t p = static_cast<uint16_t>(run_.settings.pattern & 0xFFFF);
        const uint16_t notP = static_cast<uint16_t>(~p);
        const uint32_t readTimes = run_.settings.readTimes;

        if (readTimes >= 1 && readTimes <= 3) {
            const std::string label = "(" + std::to_string(readTimes) + ")";
            const uint8_t dataMode = readTimes == 3 ? 2 : 1;
            for (uint32_t pass = 0; pass < readTimes; ++pass) {
                run_.bad = 0;
                if (!Pass({label.c_str(), kGiveUpPages}, [&](uint32_t, uint32_t address) {
                        if (special_)
                            return Special(address, notP, 2, 1);
                        if (!ReadVerdict(address, p, dataMode, 1))
                            return Outcome::Failed;
                        Judge(address);
                        return Outcome::Next;
                    }))
                    return false;
            }
            return true;
        }

        // Write P and its complement, then 0, and verify 0.
        if (!Pass({}, [&](uint32_t, uint32_t address) {
                if (!ReadVerdict(address, p, 2, 3))
                    return Outcome::Failed;
                Judge(address);
                if (Entry(address) != 0xFF)
                    return Outcome::Next;
                if (!ReadVerdict(address, notP, 2, 3))
                    return FailWithText();
                Judge(address);
                return Outcome::Next;
            }))
            return false;
        if (!Pass({}, [&](uint32_t, uint32_t address) {
                return ReadVerdict(address, 0, 2, 2) ? Outcome::Next : Outcome::Failed;
            }))
            return false;
        if (readTimes != 0)
            return true;
        run_.bad = 0;
        return Pass({"", kGiveUpPages}, [&](uint32_t, uint32_t address) {
            if (special_)
                return Special(address, 0, 2, 1);
            if (!ReadVerdict(address, 0, 2, 1))
                return Outcome::Failed;
            Judge(address);
            return Outcome::Next;
        });
    }

    // Level 7 has no stop rule. Blocks past the fast-check limit are checked with EF 94 as in
    // the other levels, rather than written off unread.
    bool Level7()
    {
        std::vector<uint8_t> checked(run_.total, 0);
        if (!Pass({"(1) "}, [&](uint32_t n, uint32_t address) {
                if (FastSkips(address)) {
                    CheckBlock(address);
                    checked[n] = 1;
                    return Outcome::Next;
                }
                return ReadVerdict(address, kPatternAA55, 4, 2) ? Outcome::Next : Outcome::Failed;
            }))
            return false;
        return Pass({"(2)"}, [&](uint32_t n, uint32_t address) {
            if (special_)
                return Special(address, kPatternAA55, 4, 1);
            if (checked[n])
                return Outcome::Next;
            if (!ReadVerdict(address, kPatternAA55, 4, 1))
                return Outcome::Failed;
            if (Entry(address) != 0xFF)
                ++run_.bad;
            return Outcome::Next;
        });
    }

    BlankingRun& run_;
    ProductThread& t_;
    const bool special_;
    const bool fast_;
    bool singlePass_ = false;
    bool firstPass_ = true;
    bool processMessages_ = false;
};

} // namespace

bool RunScanLevel(BlankingRun& run)
{
    if (run.total == 0 || run.thread.iUsableBlocksPerChip == 0)
        return true;
    return LevelRunner(run).Run(run.settings.scanLevel);
}

void ScanRandomSeed(uint32_t seed)
{
    t_randomState = seed;
}

void ScanRandomSeedFromClock()
{
    ScanRandomSeed(static_cast<uint32_t>(platform::CurrentClock().nowMs()));
}

int ScanRandom()
{
    // The runtime's linear congruential generator: 15 bits per number.
    t_randomState = t_randomState * 214013u + 2531011u;
    return static_cast<int>((t_randomState >> 16) & 0x7FFF);
}
