// The image file, byte for byte: header, volume entries, record order (chunk-table
// order, ascending within a chunk) and offsets; saving clears the presence marks.
#include <gtest/gtest.h>

#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "image/ImageFile.h"
#include "platform/AtomicFile.h"
#include "support/TempDir.h"

namespace {

using image::RamDisk;

void Put32(std::string& s, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        s.push_back(char(v >> (8 * i)));
}

std::string Sector(uint32_t size, uint8_t value) { return std::string(size, char(value)); }

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
    // Rows in the order first touched: the file follows them, not the sector numbers.
    ASSERT_TRUE(v0.WriteSector(9, (const uint8_t*)Sector(512, 0xA9).data()));  // row 1: 9..12
    ASSERT_TRUE(v0.WriteSector(5, (const uint8_t*)Sector(512, 0xA5).data()));  // row 2: 5..8
    ASSERT_TRUE(v0.WriteSector(1, (const uint8_t*)Sector(512, 0xA1).data()));  // row 0
    ASSERT_TRUE(v0.WriteSector(6, (const uint8_t*)Sector(512, 0xA6).data()));  // row 2
    std::string scratch(512, 0);
    ASSERT_TRUE(v0.ReadSector(3, (uint8_t*)scratch.data()));                 // read: saved as zeros
    std::string error;
    ASSERT_TRUE(image::SaveImageFile(v0, path, 0, 128, &error)) << error;
    EXPECT_FALSE(v0.initialised());
    for (uint32_t r = 0; r < v0.chunkCount(); ++r)
        for (uint32_t i = 0; i < v0.sectorsPerChunk(); ++i)
            ASSERT_EQ(v0.chunk(r).present[i], 0) << r << "/" << i;

    RamDisk v1(4096, 16);
    ASSERT_TRUE(v1.Init(1024));
    ASSERT_TRUE(v1.WriteSector(7, (const uint8_t*)Sector(1024, 0xB7).data()));  // row 1: 7..10
    ASSERT_TRUE(v1.WriteSector(0, (const uint8_t*)Sector(1024, 0xB0).data()));
    ASSERT_TRUE(image::SaveImageFile(v1, path, 1, 128, &error)) << error;

    std::string header(512, '\0');
    std::memcpy(header.data(), "61X5 IMG", 9);
    std::string entries;
    Put32(entries, 128);
    Put32(entries, 512);
    Put32(entries, 512);
    Put32(entries, 5);
    Put32(entries, 0);
    const uint32_t offset1 = 512 + 5 * (4 + 512);
    Put32(entries, 1024);
    Put32(entries, offset1);
    Put32(entries, 2);
    header.replace(12, entries.size(), entries);

    std::string expected = header;
    for (auto [n, v] : {std::pair{1u, 0xA1}, {3u, 0x00}, {9u, 0xA9}, {5u, 0xA5}, {6u, 0xA6}}) {
        Put32(expected, n);
        expected += Sector(512, uint8_t(v));
    }
    ASSERT_EQ(expected.size(), offset1);
    for (auto [n, v] : {std::pair{0u, 0xB0}, {7u, 0xB7}}) {
        Put32(expected, n);
        expected += Sector(1024, uint8_t(v));
    }
    EXPECT_EQ(ReadAll(path), expected);
}

TEST(ImageFile, SavingClearsMarksAndEndsTheVolume) {
    testsupport::TempDir tmp;
    RamDisk store(2048, 4);
    ASSERT_TRUE(store.Init(512));
    ASSERT_TRUE(store.WriteSector(2, (const uint8_t*)Sector(512, 1).data()));
    // Volume 1 needs the file volume 0 created: fails, but still clears and ends.
    EXPECT_FALSE(image::SaveImageFile(store, tmp.file("missing.IMG"), 1, 128));
    EXPECT_FALSE(store.initialised());
    EXPECT_EQ(store.chunk(0).present[2], 0);
    EXPECT_EQ(store.chunkCount(), 1u) << "chunks stay until released";
}

TEST(ImageFile, EmptyVolumeAndReplacedFile) {
    testsupport::TempDir tmp;
    const std::string path = tmp.file("e.IMG");
    tmp.write("e.IMG", std::string(5000, 'x'));
    RamDisk store(2048, 4);
    ASSERT_TRUE(store.Init(512));
    ASSERT_TRUE(image::SaveImageFile(store, path, 0, 256));
    const std::string bytes = ReadAll(path);
    ASSERT_EQ(bytes.size(), 512u);
    EXPECT_EQ(uint8_t(bytes[12]), 0);
    EXPECT_EQ(uint8_t(bytes[13]), 1);  // 256 MB
    EXPECT_EQ(uint8_t(bytes[16]), 0);
    EXPECT_EQ(uint8_t(bytes[17]), 2);  // 512-byte sectors
    EXPECT_EQ(uint8_t(bytes[21]), 2);  // first record at 512
    EXPECT_EQ(bytes.substr(24, 4), std::string(4, '\0'));

    RamDisk other(2048, 4);
    ASSERT_TRUE(other.Init(512));
    std::string error;
    EXPECT_FALSE(image::SaveImageFile(other, path, 2, 256, &error));
    EXPECT_NE(error, "");
    EXPECT_FALSE(image::SaveImageFile(other, path, 0, 256)) << "the store is no longer initialised";
}

} // namespace

namespace {

// A write the disk refuses fails the save, even when it only shows at the final flush.
TEST(ImageFile, RefusedWritesFailTheSave) {
    RamDisk store(2048, 4);
    ASSERT_TRUE(store.Init(512));
    ASSERT_TRUE(store.WriteSector(1, (const uint8_t*)Sector(512, 7).data()));
    std::string error;
    EXPECT_FALSE(image::SaveImageFile(store, "/dev/full", 0, 128, &error));
    EXPECT_NE(error, "");
}

// The volume entry stores the first record's offset in 32 bits: volume 1 cannot start
// past 4 GiB, and nothing is appended when it would.
TEST(ImageFile, SecondVolumePastFourGiBIsRefused) {
    testsupport::TempDir tmp;
    const std::string path = tmp.file("big.IMG");
    RamDisk v0(2048, 4);
    ASSERT_TRUE(v0.Init(512));
    ASSERT_TRUE(image::SaveImageFile(v0, path, 0, 8192));
    ASSERT_EQ(::truncate(path.c_str(), off_t(4ull << 30) + 512), 0);
    RamDisk v1(4096, 4);
    ASSERT_TRUE(v1.Init(1024));
    ASSERT_TRUE(v1.WriteSector(0, (const uint8_t*)Sector(1024, 1).data()));
    std::string error;
    EXPECT_FALSE(image::SaveImageFile(v1, path, 1, 8192, &error));
    EXPECT_NE(error.find("4 GiB"), std::string::npos) << error;
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(uint64_t(st.st_size), (4ull << 30) + 512);
}

} // namespace
