// Flash description files and flash/flash.ini (input: the record, "\n--\n", the ini; the
// last byte stands for the chip count the device reports): the file is chosen by the ID
// it holds, the type name is never empty, and a record that loads gives geometry the
// tables can hold.
#include "FuzzSupport.h"

#include "device/Stream.h"
#include "production/FlashRecord.h"
#include "production/ppthread.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Folder();
    const std::string_view input = fuzz::Bytes(data, size);
    const size_t mark = std::min(input.find("\n--\n"), input.size());
    const std::string_view record = input.substr(0, mark), ini = input.substr(std::min(mark + 4, input.size()));
    const std::string path = fuzz::Put("flash/a.txt", record);
    fuzz::Put("flash/flash.ini", ini);

    ProductThread thread('D', 0, nullptr, nullptr, nullptr, "", nullptr, nullptr);
    thread.iChipCount = size ? data[size - 1] : 1;
    const uint64_t id = ReadFileBigEndianValue(5, path);
    FUZZ_CHECK(id < (uint64_t{1} << 40));
    const std::string chosen = FindFlashRecordFile(thread, uint32_t(id), uint32_t(id >> 32), thread.iChipCount);
    FUZZ_CHECK(chosen == (id ? "a.txt" : kDefaultRecordName));
    FUZZ_CHECK(!thread.sFlashTypeName.empty());
    FUZZ_CHECK(!ReadRecordName(".\\flash\\a.txt").empty());

    if (LoadFlashRecord(thread, path)) {
        FUZZ_CHECK(record.size() >= FlashRecord::kMinFileBytes);
        FUZZ_CHECK(GeometryIsSound(thread));
        FUZZ_CHECK(thread.AllocateBlockTable());
        FUZZ_CHECK(thread.iBlockTableEntries == thread.iChipCount * thread.iBlocksPerChip);
        thread.pBlockTable[thread.iBlockTableEntries - 1] = 0xFF;
    }
    return 0;
}
