#include "ProductionFixture.h"

#include "production/FlashRecord.h"

#include <cstring>

namespace prodtest {

std::string MakeRecord(const RecordFields& fields)
{
    std::string r(FlashRecord::kSize, '\0');
    std::memcpy(r.data(), "6205", 4);
    r[FlashRecord::kSectorSizeLog2] = static_cast<char>(fields.sectorLog2);
    r[FlashRecord::kPageSizeLog2] = static_cast<char>(fields.pageLog2);
    r[FlashRecord::kPagesPerBlockLog2] = static_cast<char>(fields.pagesLog2);
    r[FlashRecord::kBlocksPerChipLog2] = static_cast<char>(fields.blocksLog2);
    r[FlashRecord::kWriteParameter] = static_cast<char>(fields.writeParameter);
    r[FlashRecord::kBitmapPages] = static_cast<char>(fields.bitmapPages);
    for (int i = 0; i < 5; ++i)
        r[FlashRecord::kFlashId + i] = static_cast<char>(fields.flashId[i]);
    r[FlashRecord::kSysAreaPagesPerBlock] = static_cast<char>(fields.sysAreaPages);
    r[FlashRecord::kUsableBlocks] = static_cast<char>(fields.usableBlocks >> 8);
    r[FlashRecord::kUsableBlocks + 1] = static_cast<char>(fields.usableBlocks & 0xFF);
    r[FlashRecord::kModuleNumber] = static_cast<char>(fields.moduleNumber);
    r[FlashRecord::kFirmwareFlag] = static_cast<char>(fields.firmwareFlag);
    std::memcpy(r.data() + FlashRecord::kName, fields.name.data(),
                std::min<size_t>(fields.name.size(), FlashRecord::kNameLength));
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
