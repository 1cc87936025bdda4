// The sparse sector store: chunks start at the first sector touched outside every range,
// end before a later-starting range, the earliest row serves a sector, absent sectors
// read as zeros and become present, and the row limit makes reads and writes fail.
#include <gtest/gtest.h>

#include <vector>

#include "image/SectorStore.h"

namespace {

using image::SectorStore;

std::vector<uint8_t> Filled(uint32_t size, uint8_t value) { return std::vector<uint8_t>(size, value); }

TEST(SectorStore, SecondInitKeepsTheFirstSectorSize) {
    SectorStore store;
    ASSERT_TRUE(store.Init(512));
    EXPECT_TRUE(store.Init(1024));
    EXPECT_EQ(store.sectorSize(), 512u);
    EXPECT_EQ(store.sectorsPerChunk(), 16384u);
    EXPECT_EQ(store.chunkCount(), 1u);
    store.Release();
    ASSERT_TRUE(store.Init(1024));
    EXPECT_EQ(store.sectorsPerChunk(), 8192u);
}

TEST(SectorStore, ChunksStartWhereFirstTouchedAndEndBeforeLaterRanges) {
    SectorStore store;  // 8 MiB chunks: 16384 sectors of 512 bytes
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

TEST(SectorStore, AbsentSectorsReadAsZerosAndBecomePresent) {
    SectorStore store(4096, 8);
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

TEST(SectorStore, RowLimitFailsTheAccessAndKeepsEarlierSectors) {
    SectorStore store(2048, 2);  // 4 sectors per chunk, two rows
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
}

TEST(SectorStore, LastChunkEndsAtTheLastSectorNumber) {
    SectorStore store(4096, 4);
    ASSERT_TRUE(store.Init(512));
    const auto data = Filled(512, 1);
    ASSERT_TRUE(store.WriteSector(0xFFFFFFFDu, data.data()));
    EXPECT_EQ(store.chunk(1).last, 0xFFFFFFFFu);
    ASSERT_TRUE(store.WriteSector(0xFFFFFFFFu, data.data()));
    EXPECT_EQ(store.chunkCount(), 2u);
    EXPECT_FALSE(store.WriteSectors(0xFFFFFFFFu, 2, std::vector<uint8_t>(1024).data()));
}

TEST(SectorStore, ReleaseEmptiesTheStore) {
    SectorStore store(4096, 4);
    ASSERT_TRUE(store.Init(512));
    const auto data = Filled(512, 1);
    ASSERT_TRUE(store.WriteSector(40, data.data()));
    store.Release();
    EXPECT_FALSE(store.initialised());
    EXPECT_EQ(store.chunkCount(), 0u);
    EXPECT_FALSE(store.WriteSector(0, data.data()));
    EXPECT_FALSE(SectorStore(1000, 4).Init(512)) << "sectors must divide the chunk";
}

} // namespace
