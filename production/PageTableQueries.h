#pragma once
// Queries on the thread's page table (one byte per page of a block, 0xFF = the page is
// used). Only the first pages-per-block bytes count.
#include <cstdint>

class ProductThread;

// 1 when the page's byte is 0xFF, else 0 (also for a page outside the block).
int IsPageUsed(const ProductThread& thread, uint32_t page);
// Looks after `page` (up to pages per block - 1) for a used page: found, `page` becomes it
// and the result is 1; none, 0 and `page` unchanged.
int NextUsedPage(const ProductThread& thread, uint32_t& page);
