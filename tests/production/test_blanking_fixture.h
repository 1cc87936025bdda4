#pragma once
// Shared by the blanking-check tests: page scans (EF 93) and block checks (EF 94) as the
// device received them, and a recording drive answering from a small model of the flash.
#include "ProductionFixture.h"

#include "production/Blanking.h"

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

} // namespace blanktest
