#include "ProductionFixture.h"

#include "device/Stream.h"
#include "production/FlashRecord.h"
#include "sim/StationKit.h"
#include "text/LangStrings.h"

#include <cstring>

namespace prodtest {

std::string MakeRecord(const RecordFields& f)
{
    std::string r(FlashRecord::kSize, '\0');
    std::memcpy(r.data(), "6205", 4);
    r[FlashRecord::kSectorSizeLog2] = char(f.sectorLog2);
    r[FlashRecord::kPageSizeLog2] = char(f.pageLog2);
    r[FlashRecord::kPagesPerBlockLog2] = char(f.pagesLog2);
    r[FlashRecord::kBlocksPerChipLog2] = char(f.blocksLog2);
    r[FlashRecord::kWriteParameter] = char(f.writeParameter);
    r[FlashRecord::kBitmapPages] = char(f.bitmapPages);
    for (int i = 0; i < 5; ++i)
        r[FlashRecord::kFlashId + i] = char(f.flashId[i]);
    r[FlashRecord::kUsableBlocks] = char(f.usableBlocks >> 8);
    r[FlashRecord::kUsableBlocks + 1] = char(f.usableBlocks & 0xFF);
    r[FlashRecord::kFirmwareFlag] = char(f.firmwareFlag);
    return r;
}

void ThreadTest::SetUp()
{
    InitLanguageStrings(); // built-in texts whatever an earlier test loaded
    platform::SetProgramDir(dir.path());
    production::SetWindowLink(&window);
    thread = std::make_unique<ProductThread>('E', 0, &status, &gauge, &image, "", &textF, &textP);
    thread->hDevice = drive.handle;
    drive.transport->setCallLimit(200000);
    drive.transport->setResponder([this](const RecordedCall& c) {
        return answer ? answer(c) : ScriptedAnswer{{0x01}, true};
    });
}

void ThreadTest::TearDown()
{
    thread.reset();
    production::SetWindowLink(nullptr);
}

void ThreadTest::SetGeometry(uint32_t chips, uint32_t blocksPerChip, uint32_t usable,
                             uint32_t pagesPerBlock, uint32_t pageSize)
{
    thread->iChipCount = chips;
    thread->iBlocksPerChip = blocksPerChip;
    thread->iUsableBlocksPerChip = usable;
    thread->iPagesPerBlock = pagesPerBlock;
    thread->iPageSize = pageSize;
    thread->iSectorSize = 512;
    thread->AllocateBlockTable();
}

void ThreadTest::MarkAllGood()
{
    std::memset(thread->pBlockTable.get(), 0xFF, thread->iBlockTableEntries);
}

std::vector<RecordedCall> ThreadTest::CallsOf(uint8_t byte0, uint8_t byte1) const
{
    std::vector<RecordedCall> out;
    for (auto& c : drive.transport->calls())
        if (c.cdb[0] == byte0 && (byte1 == 0 || c.cdb[1] == byte1))
            out.push_back(c);
    return out;
}

void SimThreadTest::SetUp()
{
    InitLanguageStrings();
    production::SetWindowLink(&window);
    gauge.SetMaxValue(400);
}

void SimThreadTest::TearDown()
{
    for (auto& t : threads)
        platform::CloseDrive(t->hDevice);
    threads.clear();
    production::SetWindowLink(nullptr);
}

ProductThread& SimThreadTest::Plug(const sim::FlashProfile& profile, bool withGeometry)
{
    device = station.bus().plug(profile);
    letter = station.bus().letterOf(device);
    const auto size = FileSizeOf(station.file(sim::kKitLoader));
    EXPECT_TRUE(size.has_value());
    EXPECT_TRUE(UploadFirmware(letter, uint32_t(size.value_or(0)), sim::kKitLoader));
    ProductThread& t = NewThread();
    t.iSectorSize = profile.sectorSize;
    if (withGeometry) {
        t.iChipCount = profile.chips;
        t.iBlocksPerChip = profile.blocksPerChip;
        t.iUsableBlocksPerChip = profile.usableBlocksPerChip;
        t.iPagesPerBlock = profile.pagesPerBlock;
        t.iPageSize = profile.pageSize;
        t.iEccThreshold = 4;
        t.sFlashTypeName = profile.name;
        EXPECT_TRUE(t.AllocateBlockTable());
    }
    return t;
}

ProductThread& SimThreadTest::NewThread()
{
    threads.push_back(
        std::make_unique<ProductThread>(letter, 3, &status, &gauge, &image, "", &textF, &textP));
    threads.back()->hDevice = platform::OpenDrive(letter);
    thread = threads.back().get();
    return *thread;
}

} // namespace prodtest
