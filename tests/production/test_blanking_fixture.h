#pragma once
// Shared by the blanking-check tests: a thread on a recording drive that answers page
// scans and block checks from a small model of the flash, and a thread on a simulated
// device with the kit's loader running.
#include "ProductionFixture.h"

#include "device/Commands.h"
#include "device/Stream.h"
#include "production/Blanking.h"
#include "sim/StationKit.h"
#include "support/RecordingTransport.h"
#include "support/SimStation.h"

#include <cstring>
#include <set>
#include <tuple>
#include <vector>

namespace blanktest {

// The fields of one page scan (EF 93) or block check (EF 94) as the device received them.
struct ScanCommand {
    uint8_t opcode = 0; // 0x93, 0x94 or 0x9B
    uint32_t block = 0;
    uint16_t pattern = 0;
    uint8_t dataMode = 0;
    uint8_t operation = 0;
    uint8_t pageSkip = 0;
    uint8_t ecc = 0;
    uint8_t perPage = 0;

    bool operator==(const ScanCommand& o) const
    {
        return std::tie(opcode, block, pattern, dataMode, operation, pageSkip, ecc, perPage)
               == std::tie(o.opcode, o.block, o.pattern, o.dataMode, o.operation, o.pageSkip,
                           o.ecc, o.perPage);
    }
};

inline std::ostream& operator<<(std::ostream& os, const ScanCommand& c)
{
    return os << std::hex << "{" << int(c.opcode) << " blk " << std::dec << c.block << " pat "
              << std::hex << c.pattern << std::dec << " mode " << int(c.dataMode) << ","
              << int(c.operation) << " skip " << int(c.pageSkip) << " ecc " << int(c.ecc)
              << " pp " << int(c.perPage) << "}";
}

inline ScanCommand Scan(uint32_t block, uint16_t pattern, uint8_t dataMode, uint8_t operation,
                        uint8_t skip, uint8_t ecc, uint8_t perPage = 0)
{
    return {0x93, block, pattern, dataMode, operation, skip, ecc, perPage};
}
inline ScanCommand Check(uint32_t block)
{
    return {0x94, block};
}

inline std::vector<ScanCommand> Decode(const std::vector<testsupport::RecordedCall>& calls)
{
    std::vector<ScanCommand> out;
    for (const auto& call : calls) {
        const uint8_t* c = call.cdb.data();
        ScanCommand s;
        s.opcode = c[1];
        s.block = prodtest::Be32(c + 2);
        if (s.opcode == 0x93) {
            s.pattern = static_cast<uint16_t>(c[8] << 8 | c[9]);
            s.dataMode = c[10];
            s.operation = c[11];
            s.pageSkip = c[12];
            s.ecc = c[13];
            s.perPage = c[14];
        } else if (s.opcode != 0x94) {
            s.block = 0;
        }
        out.push_back(s);
    }
    return out;
}

// A thread of 2 chips x 8 blocks (6 usable) x 32 pages on a recording drive unless a test
// sets another geometry. The drive answers from `bad` (verdict 0 and EF 94 refused),
// `failAt` (the nth command, counted from 1, fails) and `pageValue` (per-page replies).
class RecordingScanTest : public prodtest::ThreadTest {
protected:
    void SetUp() override
    {
        ThreadTest::SetUp();
        gauge.SetMaxValue(400);
        thread->hDevice = drive.handle;
        Geometry(2, 8, 6, 32);
        drive.transport->setCallLimit(200000);
        drive.transport->setResponder([this](const testsupport::RecordedCall& call) {
            return Answer(call);
        });
    }
    void TearDown() override
    {
        thread->hDevice = INVALID_HANDLE_VALUE;
        ThreadTest::TearDown();
    }
    void Geometry(uint32_t chips, uint32_t blocks, uint32_t usable, uint32_t pages)
    {
        SetGeometry(chips, blocks, usable, pages);
        thread->iEccThreshold = 4;
    }

    testsupport::ScriptedAnswer Answer(const testsupport::RecordedCall& call)
    {
        ++count;
        const uint32_t block = prodtest::Be32(call.cdb.data() + 2);
        if (count == failAt)
            return {{}, false};
        switch (call.opcode()) {
        case 0x93: {
            std::vector<uint8_t> reply(call.length, 0);
            reply[0] = 1;
            if (call.cdb[14]) {
                for (uint32_t p = 1; p < call.length; ++p)
                    reply[p] = pageValue(block, p - 1, call.cdb[11]);
            } else {
                reply[1] = verdict ? verdict(block, call.cdb[11])
                                   : (bad.count(block) ? 0x00 : 0xFF);
            }
            return {reply, true};
        }
        case 0x94:
            return {{static_cast<uint8_t>(bad.count(block) ? 0 : 1)}, true};
        default:
            return {{1}, true};
        }
    }

    std::vector<ScanCommand> Commands() const { return Decode(drive.transport->calls()); }
    std::vector<uint8_t> Table() const
    {
        return {thread->pBlockTable.get(), thread->pBlockTable.get() + thread->iBlockTableEntries};
    }
    // The addresses of the usable blocks in scan order.
    std::vector<uint32_t> Usable() const
    {
        std::vector<uint32_t> out;
        for (uint32_t c = 0; c < thread->iChipCount; ++c)
            for (uint32_t b = 0; b < thread->iUsableBlocksPerChip; ++b)
                out.push_back(c * thread->iBlocksPerChip + b);
        return out;
    }
    // The table the scan should leave: usable blocks good unless bad, the rest 0.
    std::vector<uint8_t> ExpectedTable(const std::set<uint32_t>& badBlocks) const
    {
        std::vector<uint8_t> table(thread->iBlockTableEntries, 0);
        for (uint32_t a : Usable())
            table[a] = badBlocks.count(a) ? 0 : 0xFF;
        return table;
    }

    testsupport::RecordingDrive drive{'R'};
    std::set<uint32_t> bad;
    std::function<uint8_t(uint32_t block, uint8_t operation)> verdict;
    std::function<uint8_t(uint32_t block, uint32_t page, uint8_t operation)> pageValue =
        [](uint32_t, uint32_t, uint8_t) -> uint8_t { return 0xFF; };
    uint32_t count = 0;
    uint32_t failAt = 0;
};

// A thread on a simulated device whose loader runs, with the profile's geometry.
class SimScanTest : public ::testing::Test, protected prodtest::PanelControls {
protected:
    void SetUp() override
    {
        production::SetWindowLink(&window);
        gauge.SetMaxValue(400);
    }
    void TearDown() override
    {
        if (thread)
            platform::CloseDrive(thread->hDevice);
        thread.reset();
        production::SetWindowLink(nullptr);
    }
    ProductThread& Plug(const sim::FlashProfile& profile)
    {
        device = station.bus().plug(profile);
        const char letter = station.bus().letterOf(device);
        const auto size = FileSizeOf(station.file(sim::kKitLoader));
        EXPECT_TRUE(size.has_value());
        EXPECT_TRUE(UploadFirmware(letter, static_cast<uint32_t>(size.value_or(0)), sim::kKitLoader));
        thread = std::make_unique<ProductThread>(letter, 3, &status, &gauge, &image, "", &textF,
                                                 &textP);
        thread->hDevice = platform::OpenDrive(letter);
        thread->iChipCount = profile.chips;
        thread->iBlocksPerChip = profile.blocksPerChip;
        thread->iUsableBlocksPerChip = profile.usableBlocksPerChip;
        thread->iPagesPerBlock = profile.pagesPerBlock;
        thread->iPageSize = profile.pageSize;
        thread->iSectorSize = profile.sectorSize;
        thread->iEccThreshold = 4;
        thread->sFlashTypeName = profile.name;
        EXPECT_TRUE(thread->AllocateBlockTable());
        return *thread;
    }
    // Scan commands the device received, in order.
    std::vector<ScanCommand> Commands() const
    {
        std::vector<ScanCommand> out;
        for (const auto& logged : device->commandLog()) {
            if (logged.code != 0xEF93 && logged.code != 0xEF94 && logged.code != 0xEE9B)
                continue;
            testsupport::RecordedCall call;
            call.cdb = logged.cdb;
            out.push_back(Decode({call}).front());
        }
        return out;
    }

    testsupport::SimStation station;
    prodtest::FakeWindow window;
    std::shared_ptr<sim::SimulatedDevice> device;
    std::unique_ptr<ProductThread> thread;
};

// A small NAND: 2 chips x 512 blocks (400 usable) x 32 pages, so that blocks from address
// 256 on exist in both chips.
inline sim::FlashProfile SmallNand()
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

} // namespace blanktest
