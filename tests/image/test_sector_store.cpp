// The sparse sector store: where chunks start and end, which row serves a sector, absent
// sectors, the row limit, and a lookup that stays fast with many rows.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "image/RamDisk.h"

namespace {

using image::RamDisk;
using Bytes = std::vector<uint8_t>;

TEST(RamDisk, InitReleaseAndChunkSize) {
    RamDisk store;
    ASSERT_TRUE(store.Init(512));
    EXPECT_TRUE(store.Init(1024));
    EXPECT_EQ(store.sectorSize(), 512u) << "a second Init keeps the first sector size";
    EXPECT_EQ(store.sectorsPerChunk(), 16384u);
    ASSERT_TRUE(store.WriteSector(40, Bytes(512, 1).data()));
    store.Release();
    EXPECT_FALSE(store.initialised());
    EXPECT_EQ(store.chunkCount(), 0u);
    EXPECT_FALSE(store.WriteSector(0, Bytes(512).data()));
    ASSERT_TRUE(store.Init(1024));
    EXPECT_EQ(store.sectorsPerChunk(), 8192u);
    EXPECT_FALSE(RamDisk(1000, 4).Init(512)) << "sectors must divide the chunk";
}

TEST(RamDisk, ChunksStartWhereFirstTouchedAndEndBeforeLaterRanges) {
    RamDisk store;  // 16384 sectors of 512 bytes per chunk
    ASSERT_TRUE(store.Init(512));
    const Bytes data(512, 0x11);
    for (uint32_t s : {16384u, 100000u, 90000u, 85000u})
        ASSERT_TRUE(store.WriteSector(s, data.data()));
    const std::pair<uint32_t, uint32_t> ranges[] = {
        {0, 16383}, {16384, 32767}, {100000, 116383}, {90000, 99999}, {85000, 99999}};
    ASSERT_EQ(store.chunkCount(), 5u);
    for (uint32_t r = 0; r < 5; ++r)
        EXPECT_EQ(std::make_pair(store.chunk(r).first, store.chunk(r).last), ranges[r]) << r;
    // The earlier row keeps serving its sectors; the later one only those before it.
    const uint32_t located[][3] = {{95000, 3, 5000}, {89999, 4, 4999}, {116383, 2, 16383}};
    for (auto [sector, row, index] : located) {
        uint32_t gotRow, gotIndex;
        ASSERT_TRUE(store.Locate(sector, gotRow, gotIndex));
        EXPECT_EQ(gotRow, row) << sector;
        EXPECT_EQ(gotIndex, index) << sector;
    }
    EXPECT_EQ(store.chunkCount(), 5u) << "locating served sectors adds nothing";
}

TEST(RamDisk, AbsentSectorsReadAsZerosAndBecomePresent) {
    RamDisk store(4096, 8);
    ASSERT_TRUE(store.Init(512));
    Bytes out(1024, 0xEE);
    ASSERT_TRUE(store.ReadSectors(7, 2, out.data()));  // crosses into a second chunk
    EXPECT_EQ(out, Bytes(1024, 0));
    ASSERT_EQ(store.chunkCount(), 2u);
    EXPECT_EQ(store.chunk(1).first, 8u);
    EXPECT_EQ(store.chunk(0).present[7] + store.chunk(1).present[0], 2);
    EXPECT_EQ(store.chunk(0).present[6], 0);
    Bytes in(1536), back(1536);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = uint8_t(i * 7);
    ASSERT_TRUE(store.WriteSectors(6, 3, in.data()));
    ASSERT_TRUE(store.ReadSectors(6, 3, back.data()));
    EXPECT_EQ(back, in);
}

TEST(RamDisk, RowLimitFailsTheAccessAndKeepsEarlierSectors) {
    RamDisk store(2048, 2);  // 4 sectors per chunk, two rows
    ASSERT_TRUE(store.Init(512));
    const Bytes in(512 * 6, 0x5A);
    EXPECT_FALSE(store.WriteSectors(2, 7, in.data()));  // sector 8 needs a third row
    EXPECT_EQ(store.chunkCount(), 2u);
    Bytes out(512);
    ASSERT_TRUE(store.ReadSector(7, out.data()));
    EXPECT_EQ(out, Bytes(512, 0x5A));
    EXPECT_FALSE(store.ReadSector(100, out.data()));

    RamDisk table(512);  // 1024 rows unless told otherwise
    ASSERT_TRUE(table.Init(512));
    for (uint32_t s = 1; s < 1024; ++s)
        ASSERT_TRUE(table.WriteSector(s, in.data())) << s;
    EXPECT_FALSE(table.WriteSector(1024, in.data()));
    EXPECT_FALSE(table.ReadSector(5000, out.data()));
    EXPECT_EQ(table.chunkCount(), 1024u);
}

TEST(RamDisk, LastChunkEndsAtTheLastSectorNumber) {
    RamDisk store(4096, 4);
    ASSERT_TRUE(store.Init(512));
    const Bytes data(1024, 1);
    ASSERT_TRUE(store.WriteSector(0xFFFFFFFDu, data.data()));
    EXPECT_EQ(store.chunk(1).last, 0xFFFFFFFFu);
    ASSERT_TRUE(store.WriteSector(0xFFFFFFFFu, data.data()));
    EXPECT_EQ(store.chunkCount(), 2u);
    EXPECT_FALSE(store.WriteSectors(0xFFFFFFFFu, 2, data.data()));
}

// Rows kept from a save with 1024-byte sectors serve 512-byte sectors afterwards: each
// needs a presence map twice as long.
TEST(RamDisk, RowsKeptFromLargerSectorsServeSmallerOnes) {
    RamDisk store(8192, 4);
    ASSERT_TRUE(store.Init(1024));
    ASSERT_TRUE(store.WriteSector(20, Bytes(1024, 3).data()));
    store.EndInitialised();  // as a save leaves it
    ASSERT_TRUE(store.Init(512));
    EXPECT_EQ(store.sectorsPerChunk(), 16u);
    const Bytes small(512, 4);
    ASSERT_TRUE(store.WriteSector(15, small.data()));
    ASSERT_TRUE(store.WriteSector(40, small.data()));
    EXPECT_EQ(store.chunk(1).first, 40u);
    EXPECT_EQ(store.chunk(0).present[15], 1);
    Bytes out(512);
    ASSERT_TRUE(store.ReadSector(41, out.data()));
    EXPECT_EQ(out, Bytes(512, 0)) << "a reused row reads as zeros where nothing was written";
}

// Rows touched in an order that defeats a "last row found" shortcut: walking every row
// for every sector would take minutes here.
TEST(RamDisk, LookupDoesNotWalkEveryRow) {
    constexpr uint32_t kRows = 40000;
    RamDisk store(512, kRows);  // one row per sector
    ASSERT_TRUE(store.Init(512));
    const Bytes sector(512);
    const auto start = std::chrono::steady_clock::now();
    for (uint32_t i = 1; i < kRows; ++i)
        ASSERT_TRUE(store.WriteSector(i * 3, sector.data()));
    uint32_t x = 12345, row, index;
    for (int n = 0; n < 400000; ++n) {
        x = x * 1103515245u + 12345u;
        const uint32_t s = ((x >> 8) % (kRows - 1) + 1) * 3;
        ASSERT_TRUE(store.Locate(s, row, index));
        ASSERT_EQ(row, s / 3);
    }
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 5.0);
    EXPECT_EQ(store.chunkCount(), kRows);
}

} // namespace
