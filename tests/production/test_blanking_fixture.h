#pragma once
// Shared by the blanking-check tests: page scans (EF 93) and block checks (EF 94) as the
// device received them, a recording drive answering from a small model of the flash, and
// a small simulated NAND.
#include "ProductionFixture.h"

#include "production/Blanking.h"

#include <cstring>
#include <set>
#include <vector>

namespace blanktest {

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
    return os << "{" << std::hex << int(c.opcode) << std::dec << " blk " << c.block << " pat "
              << c.pattern << " " << int(c.dataMode) << "," << int(c.operation) << " skip "
              << int(c.pageSkip) << " ecc " << int(c.ecc) << " pp " << int(c.perPage) << "}";
}

inline ScanCommand Scan(uint32_t block, uint16_t pattern, uint8_t dataMode, uint8_t operation,
                        uint8_t skip, uint8_t ecc, uint8_t perPage = 0)
{
    return {0x93, block, pattern, dataMode, operation, skip, ecc, perPage};
}
inline ScanCommand Check(uint32_t block) { return {0x94, block}; }

inline ScanCommand Decode(const uint8_t* c)
{
    ScanCommand s{c[1], Be32(c + 2)};
    if (s.opcode == 0x93)
        s = Scan(s.block, uint16_t(c[8] << 8 | c[9]), c[10], c[11], c[12], c[13], c[14]);
    else if (s.opcode != 0x94)
        s.block = 0;
    return s;
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
        if (call.opcode() == 0x94)
            return {{uint8_t(bad.count(block) ? 0 : 1)}, true};
        if (call.opcode() != 0x93)
            return {{1}, true};
        std::vector<uint8_t> reply(call.length, 0);
        reply[0] = 1;
        if (call.cdb[14])
            for (uint32_t p = 1; p < call.length; ++p)
                reply[p] = pageValue ? pageValue(block, p - 1) : 0xFF;
        else
            reply[1] = verdict ? verdict(block, call.cdb[11]) : (bad.count(block) ? 0 : 0xFF);
        return {reply, true};
    }
    std::vector<ScanCommand> Commands() const
    {
        std::vector<ScanCommand> out;
        for (const auto& c : drive.transport->calls())
            out.push_back(Decode(c.cdb.data()));
        return out;
    }
    std::vector<ScanCommand> Since(size_t from) const
    {
        const auto all = Commands();
        return {all.begin() + long(from), all.end()};
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

    std::set<uint32_t> bad;
    std::function<uint8_t(uint32_t block, uint8_t operation)> verdict;
    std::function<uint8_t(uint32_t block, uint32_t page)> pageValue;
    uint32_t count = 0, failAt = 0;
};

// 2 chips x 512 blocks (400 usable) x 32 pages: blocks from 256 on exist in both chips.
class SimScanTest : public prodtest::SimThreadTest {
protected:
    static sim::FlashProfile SmallNand()
    {
        sim::FlashProfile p;
        p.name = "SCAN NAND";
        p.flashId = {0xEC, 0x75, 0x00, 0x00, 0x00};
        p.chips = 2;
        p.blocksPerChip = 512;
        p.usableBlocksPerChip = 400;
        p.pagesPerBlock = 32;
        p.pageSize = 2048;
        return p;
    }
    std::vector<ScanCommand> Commands() const
    {
        std::vector<ScanCommand> out;
        for (const auto& logged : device->commandLog())
            if (logged.code == 0xEF93 || logged.code == 0xEF94 || logged.code == 0xEE9B)
                out.push_back(Decode(logged.cdb.data()));
        return out;
    }
};

} // namespace blanktest
