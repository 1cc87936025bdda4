// The sparse sector store: chunks start at the first sector touched outside every range,
// end before a later-starting range, the earliest row serves a sector, absent sectors
// read as zeros and become present, and the row limit makes reads and writes fail.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "image/RamDisk.h"

namespace {

using image::RamDisk;

std::vector<uint8_t> Filled(uint32_t size, uint8_t value) { return std::vector<uint8_t>(size, value); }

TEST(RamDisk, SecondInitKeepsTheFirstSectorSize) {
    RamDisk store;
    ASSERT_TRUE(store.Init(512));
    EXPECT_TRUE(store.Init(1024));
    EXPECT_EQ(store.sectorSize(), 512u);
    EXPECT_EQ(store.sectorsPerChunk(), 16384u);
    EXPECT_EQ(store.chunkCount(), 1u);
    store.Release();
    ASSERT_TRUE(store.Init(1024));
    EXPECT_EQ(store.sectorsPerChunk(), 8192u);
}

TEST(RamDisk, ChunksStartWhereFirstTouchedAndEndBeforeLaterRanges) {
    RamDisk store;  // 8 MiB chunks: 16384 sectors of 512 bytes
    ASSERT_TRUE(store.Init(512));
    const auto data = Filled(512, 0x11);
    ASSERT_TRUE(store.WriteSector(16384, data.data()));
    ASSERT_TRUE(store.WriteSector(100000, data.data()));
    ASSERT_EQ(store.chunkCount(), 3u);
    EXPECT_EQ(store.chunk(1).first, 16384u);
    EXPECT_EQ(store.chunk(1).last, 32767u);
    EXPECT_EQ(store.chunk(2).first, 100000u);
    EXPECT_EQ(store.chunk(2).last, 116383u);
    // Below an existing range: ends just before it.
    ASSERT_TRUE(store.WriteSector(90000, data.data()));
    EXPECT_EQ(store.chunk(3).first, 90000u);
    EXPECT_EQ(store.chunk(3).last, 99999u);
    // Its range would hold the clipped row [90000, 99999] whole: that row keeps serving
    // its sectors, the new row the ones before and (if any) after.
    ASSERT_TRUE(store.WriteSector(85000, data.data()));
    EXPECT_EQ(store.chunk(4).first, 85000u);
    EXPECT_EQ(store.chunk(4).last, 99999u);
    uint32_t row, index;
    ASSERT_TRUE(store.Locate(95000, row, index));
    EXPECT_EQ(row, 3u);
    EXPECT_EQ(index, 5000u);
    ASSERT_TRUE(store.Locate(89999, row, index));
    EXPECT_EQ(row, 4u);
    EXPECT_EQ(index, 4999u);
    ASSERT_TRUE(store.Locate(116383, row, index));
    EXPECT_EQ(row, 2u);
    EXPECT_EQ(store.chunkCount(), 5u) << "locating served sectors adds nothing";
}

TEST(RamDisk, AbsentSectorsReadAsZerosAndBecomePresent) {
    RamDisk store(4096, 8);
    ASSERT_TRUE(store.Init(512));
    std::vector<uint8_t> out = Filled(1024, 0xEE);
    ASSERT_TRUE(store.ReadSectors(7, 2, out.data()));  // crosses into a second chunk
    EXPECT_EQ(out, Filled(1024, 0));
    ASSERT_EQ(store.chunkCount(), 2u);
    EXPECT_EQ(store.chunk(0).present[7], 1);
    EXPECT_EQ(store.chunk(1).first, 8u);
    EXPECT_EQ(store.chunk(1).present[0], 1);
    EXPECT_EQ(store.chunk(0).present[6], 0);

    std::vector<uint8_t> in(1536);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = uint8_t(i * 7);
    ASSERT_TRUE(store.WriteSectors(6, 3, in.data()));
    std::vector<uint8_t> back(1536);
    ASSERT_TRUE(store.ReadSectors(6, 3, back.data()));
    EXPECT_EQ(back, in);
}

TEST(RamDisk, RowLimitFailsTheAccessAndKeepsEarlierSectors) {
    RamDisk store(2048, 2);  // 4 sectors per chunk, two rows
    ASSERT_TRUE(store.Init(512));
    std::vector<uint8_t> in(512 * 6, 0x5A);
    // Sectors 2..3 land in row 0, 4..7 in row 1; sector 8 needs a third row.
    EXPECT_FALSE(store.WriteSectors(2, 7, in.data()));
    EXPECT_EQ(store.chunkCount(), 2u);
    std::vector<uint8_t> out(512);
    ASSERT_TRUE(store.ReadSector(7, out.data()));
    EXPECT_EQ(out, Filled(512, 0x5A));
    EXPECT_FALSE(store.ReadSector(100, out.data()));
    EXPECT_FALSE(store.WriteSector(0xFFFFFFFFu, in.data()));

    // The table holds 1024 rows unless told otherwise.
    RamDisk table(512);
    ASSERT_TRUE(table.Init(512));
    for (uint32_t s = 1; s < 1024; ++s)
        ASSERT_TRUE(table.WriteSector(s, in.data())) << s;
    EXPECT_EQ(table.chunkCount(), 1024u);
    EXPECT_FALSE(table.WriteSector(1024, in.data()));
    EXPECT_FALSE(table.ReadSector(5000, out.data()));
    EXPECT_EQ(table.chunkCount(), 1024u);
}

TEST(RamDisk, LastChunkEndsAtTheLastSectorNumber) {
    RamDisk store(4096, 4);
    ASSERT_TRUE(store.Init(512));
    const auto data = Filled(512, 1);
    ASSERT_TRUE(store.WriteSector(0xFFFFFFFDu, data.data()));
    EXPECT_EQ(store.chunk(1).last, 0xFFFFFFFFu);
    ASSERT_TRUE(store.WriteSector(0xFFFFFFFFu, data.data()));
    EXPECT_EQ(store.chunkCount(), 2u);
    EXPECT_FALSE(store.WriteSectors(0xFFFFFFFFu, 2, std::vector<uint8_t>(1024).data()));
}

TEST(RamDisk, ReleaseEmptiesTheStore) {
    RamDisk store(4096, 4);
    ASSERT_TRUE(store.Init(512));
    const auto data = Filled(512, 1);
    ASSERT_TRUE(store.WriteSector(40, data.data()));
    store.Release();
    EXPECT_FALSE(store.initialised());
    EXPECT_EQ(store.chunkCount(), 0u);
    EXPECT_FALSE(store.WriteSector(0, data.data()));
    EXPECT_FALSE(RamDisk(1000, 4).Init(512)) << "sectors must divide the chunk";
}

} // namespace

namespace {

// A store saved (not released) for 1024-byte sectors keeps its rows; set up again for
// 512-byte sectors, each row needs a presence map twice as long.
TEST(RamDisk, RowsKeptFromLargerSectorsServeSmallerOnes) {
    RamDisk store(8192, 4);  // 8 sectors of 1024, or 16 of 512, per chunk
    ASSERT_TRUE(store.Init(1024));
    const auto big = Filled(1024, 3);
    ASSERT_TRUE(store.WriteSector(20, big.data()));
    store.EndInitialised();  // as a save leaves it
    ASSERT_TRUE(store.Init(512));
    EXPECT_EQ(store.sectorsPerChunk(), 16u);
    const auto small = Filled(512, 4);
    ASSERT_TRUE(store.WriteSector(15, small.data()));
    ASSERT_TRUE(store.WriteSector(40, small.data()));
    EXPECT_EQ(store.chunk(1).first, 40u);
    EXPECT_EQ(store.chunk(1).present[0], 1);
    EXPECT_EQ(store.chunk(0).present[15], 1);
    std::vector<uint8_t> out(512);
    ASSERT_TRUE(store.ReadSector(41, out.data()));
    EXPECT_EQ(out, Filled(512, 0)) << "a reused row reads as zeros where nothing was written";
}

// Many rows, touched in an order that defeats any "last row found" shortcut: a walk over
// every row for every sector would take minutes here, an index a fraction of a second.
TEST(RamDisk, LookupDoesNotWalkEveryRow) {
    constexpr uint32_t kRows = 40000;
    RamDisk store(512, kRows);  // one sector per chunk: one row per sector
    ASSERT_TRUE(store.Init(512));
    std::vector<uint8_t> sector(512);
    const auto start = std::chrono::steady_clock::now();
    for (uint32_t i = 1; i < kRows; ++i)
        ASSERT_TRUE(store.WriteSector(i * 3, sector.data()));
    ASSERT_EQ(store.chunkCount(), kRows);
    uint32_t x = 12345, row, index;
    for (int n = 0; n < 400000; ++n) {
        x = x * 1103515245u + 12345u;
        const uint32_t s = ((x >> 8) % (kRows - 1) + 1) * 3;
        ASSERT_TRUE(store.Locate(s, row, index));
        ASSERT_EQ(row, s / 3);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 5.0);
    EXPECT_EQ(store.chunkCount(), kRows) << "locating served sectors adds nothing";
}

} // namespace
