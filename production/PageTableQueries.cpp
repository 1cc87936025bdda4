// Queries on the thread's page table.
#include "production/PageTableQueries.h"

#include "production/ppthread.h"

#include <algorithm>

namespace {

uint32_t PageCount(const ProductThread& thread)
{
    return std::min(thread.iPagesPerBlock, kThreadBufferSize);
}

} // namespace

int IsPageUsed(const ProductThread& thread, uint32_t page)
{
    return page < PageCount(thread) && thread.PageTable[page] == 0xFF ? 1 : 0;
}

int NextUsedPage(const ProductThread& thread, uint32_t& page)
{
    for (uint32_t p = page + 1; p < PageCount(thread); ++p) {
        if (thread.PageTable[p] == 0xFF) {
            page = p;
            return 1;
        }
    }
    return 0;
}
