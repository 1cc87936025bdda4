// The image file byte for byte: header, volume entries, record order (chunk-table order,
// ascending within a chunk) and offsets; saving clears the presence marks.
#include <gtest/gtest.h>

#include <filesystem>

#include "image/ImageFile.h"
#include "platform/AtomicFile.h"
#include "support/TempDir.h"

namespace {

using image::RamDisk;

std::string Le32(uint32_t v) { return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }

void Write(RamDisk& store, uint32_t sector, uint8_t value) {
    ASSERT_TRUE(store.WriteSector(sector, std::vector<uint8_t>(store.sectorSize(), value).data()));
}

std::string ReadAll(const std::string& path) {
    std::string bytes;
    platform::ReadWholeFile(path, bytes);
    return bytes;
}

TEST(ImageFile, HeaderRecordsAndOffsetsByteForByte) {
    testsupport::TempDir tmp;
    const std::string path = tmp.file("x.IMG");
    RamDisk v0(2048, 16);  // 4 sectors of 512 per chunk
    ASSERT_TRUE(v0.Init(512));
    // Rows in the order first touched (9..12, 5..8, then row 0): the file follows them.
    for (auto [sector, value] : {std::pair{9u, 0xA9}, {5u, 0xA5}, {1u, 0xA1}, {6u, 0xA6}})
        Write(v0, sector, uint8_t(value));
    std::vector<uint8_t> scratch(512);
    ASSERT_TRUE(v0.ReadSector(3, scratch.data()));  // read, so saved as zeros
    std::string error;
    ASSERT_TRUE(image::SaveImageFile(v0, path, 0, 128, &error)) << error;
    EXPECT_FALSE(v0.initialised());
    for (uint32_t r = 0; r < v0.chunkCount(); ++r)
        for (uint32_t i = 0; i < v0.sectorsPerChunk(); ++i)
            ASSERT_EQ(v0.chunk(r).present[i], 0) << r << "/" << i;

    RamDisk v1(4096, 16);
    ASSERT_TRUE(v1.Init(1024));
    Write(v1, 7, 0xB7);
    Write(v1, 0, 0xB0);
    ASSERT_TRUE(image::SaveImageFile(v1, path, 1, 128, &error)) << error;

    const uint32_t offset1 = 512 + 5 * (4 + 512);
    std::string expected = "61X5 IMG" + std::string(4, '\0') + Le32(128) + Le32(512) + Le32(512) + Le32(5) +
                           Le32(0) + Le32(1024) + Le32(offset1) + Le32(2);
    expected.resize(512, '\0');
    for (auto [n, v] : {std::pair{1u, 0xA1}, {3u, 0x00}, {9u, 0xA9}, {5u, 0xA5}, {6u, 0xA6}})
        expected += Le32(n) + std::string(512, char(v));
    ASSERT_EQ(expected.size(), offset1);
    for (auto [n, v] : {std::pair{0u, 0xB0}, {7u, 0xB7}})
        expected += Le32(n) + std::string(1024, char(v));
    EXPECT_EQ(ReadAll(path), expected);
}

TEST(ImageFile, EmptyVolumeReplacesTheFileAndFailuresStillEndTheVolume) {
    testsupport::TempDir tmp;
    const std::string path = tmp.file("e.IMG");
    tmp.write("e.IMG", std::string(5000, 'x'));
    RamDisk store(2048, 4);
    ASSERT_TRUE(store.Init(512));
    ASSERT_TRUE(image::SaveImageFile(store, path, 0, 256));
    EXPECT_EQ(ReadAll(path), ("61X5 IMG" + std::string(4, '\0') + Le32(256) + Le32(512) + Le32(512))
                                 .append(512 - 24, '\0'));
    EXPECT_FALSE(image::SaveImageFile(store, path, 0, 256)) << "the store is no longer initialised";

    ASSERT_TRUE(store.Init(512));
    Write(store, 2, 1);
    std::string error;
    EXPECT_FALSE(image::SaveImageFile(store, path, 2, 256, &error));
    EXPECT_NE(error, "");
    // Volume 1 needs the file volume 0 created: fails, but still clears and ends.
    ASSERT_TRUE(store.Init(512));
    Write(store, 2, 1);
    EXPECT_FALSE(image::SaveImageFile(store, tmp.file("missing.IMG"), 1, 128));
    EXPECT_FALSE(store.initialised());
    EXPECT_EQ(store.chunk(0).present[2], 0);
    EXPECT_EQ(store.chunkCount(), 1u) << "chunks stay until released";
    // A write the disk refuses fails the save, even when it only shows at the final flush.
    ASSERT_TRUE(store.Init(512));
    Write(store, 1, 7);
    EXPECT_FALSE(image::SaveImageFile(store, "/dev/full", 0, 128, &error));
}

// The volume entry holds the first record's offset in 32 bits: volume 1 cannot start past
// 4 GiB, and nothing is appended when it would.
TEST(ImageFile, SecondVolumePastFourGiBIsRefused) {
    testsupport::TempDir tmp;
    const std::string path = tmp.file("big.IMG");
    RamDisk v0(2048, 4), v1(4096, 4);
    ASSERT_TRUE(v0.Init(512));
    ASSERT_TRUE(image::SaveImageFile(v0, path, 0, 8192));
    std::filesystem::resize_file(path, (4ull << 30) + 512);
    ASSERT_TRUE(v1.Init(1024));
    Write(v1, 0, 1);
    std::string error;
    EXPECT_FALSE(image::SaveImageFile(v1, path, 1, 8192, &error));
    EXPECT_NE(error.find("4 GiB"), std::string::npos) << error;
    EXPECT_EQ(std::filesystem::file_size(path), (4ull << 30) + 512);
}

} // namespace
