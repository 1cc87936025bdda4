#include "ProductionFixture.h"

#include "production/FlashRecord.h"

#include <cstring>

namespace prodtest {

std::string MakeRecord(const RecordSpec& spec)
{
    std::string r(FlashRecord::kSize, '\0');
    std::memcpy(r.data(), "6205", 4);
    r[FlashRecord::kSectorSizeLog2] = static_cast<char>(spec.sectorLog2);
    r[FlashRecord::kPageSizeLog2] = static_cast<char>(spec.pageLog2);
    r[FlashRecord::kPagesPerBlockLog2] = static_cast<char>(spec.pagesLog2);
    r[FlashRecord::kBlocksPerChipLog2] = static_cast<char>(spec.blocksLog2);
    r[FlashRecord::kWriteParameter] = static_cast<char>(spec.writeParameter);
    r[FlashRecord::kBitmapPages] = static_cast<char>(spec.bitmapPages);
    for (int i = 0; i < 5; ++i)
        r[FlashRecord::kFlashId + i] = static_cast<char>(spec.flashId[i]);
    r[FlashRecord::kSysAreaPagesPerBlock] = static_cast<char>(spec.sysAreaPages);
    r[FlashRecord::kUsableBlocks] = static_cast<char>(spec.usableBlocks >> 8);
    r[FlashRecord::kUsableBlocks + 1] = static_cast<char>(spec.usableBlocks & 0xFF);
    r[FlashRecord::kModuleNumber] = static_cast<char>(spec.moduleNumber);
    r[FlashRecord::kFirmwareFlag] = static_cast<char>(spec.firmwareFlag);
    std::memcpy(r.data() + FlashRecord::kName, spec.name.data(),
                std::min<size_t>(spec.name.size(), FlashRecord::kNameLength));
    return r;
}

void ThreadTest::SetUp()
{
    platform::SetProgramDir(dir.path());
    production::SetWindowLink(&window);
    thread = std::make_unique<ProductThread>('E', 0, &status, &gauge, &image, "", &textF, &textP);
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

} // namespace prodtest
