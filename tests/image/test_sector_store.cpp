// The sparse sector store (its bounds, rows kept between volumes, a cache far smaller than
// the volume) and the image file it is saved into.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <numeric>
#include <unistd.h>
#include <vector>

#include "image/ImageFile.h"
#include "image/RamDisk.h"
#include "support/TempDir.h"

namespace {

using image::RamDisk;
using Bytes = std::vector<uint8_t>;

std::string Le32(uint32_t v) { return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }

void Write(RamDisk& store, uint32_t sector, uint8_t value) {
    ASSERT_TRUE(store.WriteSector(sector, std::vector<uint8_t>(store.sectorSize(), value).data()));
}

TEST(ImageFile, EmptyVolumeFailuresThatStillEndTheVolumeAndVolumeOnePastFourGiB) {
    testsupport::TempDir tmp;
    const std::string path = tmp.file("e.IMG");
    tmp.write("e.IMG", std::string(5000, 'x'));
    RamDisk store(512, 4);  // a chunk of one sector
    ASSERT_TRUE(store.Init(512));
    ASSERT_TRUE(image::SaveImageFile(store, path, 0, 256));
    EXPECT_EQ(tmp.read("e.IMG"), ("61X5 IMG" + std::string(4, '\0') + Le32(256) + Le32(512) + Le32(512))
                                 .append(512 - 24, '\0'));
    EXPECT_FALSE(image::SaveImageFile(store, path, 0, 256)) << "the store is no longer initialised";

    ASSERT_TRUE(store.Init(512));
    EXPECT_FALSE(image::SaveImageFile(store, path, 2, 256)) << "no volume 2";
    ASSERT_TRUE(store.Init(512));
    EXPECT_TRUE(image::SaveImageFile(store, path, 1, 256)) << "volume 1 after a header alone";
    // Volume 1 needs the file volume 0 created: fails, but still clears and ends.
    ASSERT_TRUE(store.Init(512));
    Write(store, 2, 1);
    EXPECT_FALSE(image::SaveImageFile(store, tmp.file("missing.IMG"), 1, 128));
    EXPECT_TRUE(!store.initialised() && store.chunk(1).present[0] == 0) << "sector 2's mark cleared";
    // A write the disk refuses fails the save, even when it only shows at the final flush.
    ASSERT_TRUE(store.Init(512));
    Write(store, 1, 7);
    EXPECT_FALSE(image::SaveImageFile(store, "/dev/full", 0, 128));

    // The volume entry holds the first record's offset in 32 bits: volume 1 cannot start
    // past 4 GiB, and nothing is appended when it would.
    RamDisk v1(4096, 4);
    ASSERT_TRUE(store.Init(512));
    ASSERT_TRUE(image::SaveImageFile(store, path, 0, 8192));
    std::filesystem::resize_file(path, (4ull << 30) + 512);
    ASSERT_TRUE(v1.Init(1024));
    Write(v1, 0, 1);
    std::string error;
    EXPECT_FALSE(image::SaveImageFile(v1, path, 1, 8192, &error));
    EXPECT_NE(error.find("4 GiB"), std::string::npos) << error;
    EXPECT_EQ(std::filesystem::file_size(path), (4ull << 30) + 512);
}

// Single sectors written and read anywhere, long runs after everything and inside what
// exists; each read gives what was written, zeros where nothing was.
void Scripted(RamDisk& store, uint32_t seed) {
    const uint32_t size = store.sectorSize();
    std::map<uint32_t, Bytes> model;
    uint32_t x = seed, end = 0;
    auto next = [&x](uint32_t n) { return ((x = x * 1103515245u + 12345u) >> 8 & 0xFFFFFF) % n; };
    for (int op = 0; op < 400; ++op) {
        const uint32_t kind = next(10);
        const uint32_t first = kind == 9 ? end : next(3000);
        const uint32_t count = kind >= 8 ? 130 + next(200) : 1;
        if (kind < 3) {
            Bytes out(size, 0xEE);
            ASSERT_TRUE(store.ReadSector(first, out.data()));
            Bytes& held = model[first];
            if (held.empty())
                held.assign(size, 0);
            ASSERT_EQ(out, held) << first;
            continue;
        }
        Bytes in(size_t(count) * size);
        for (auto& b : in)
            b = uint8_t(next(256));
        ASSERT_TRUE(store.WriteSectors(first, count, in.data()));
        for (uint32_t i = 0; i < count; ++i)
            model[first + i].assign(in.begin() + size_t(i) * size, in.begin() + size_t(i + 1) * size);
        end = std::max(end, first + count);
    }
    // Then the first 20000 sectors once more in a scrambled order: their records span several
    // of the windows they are put in order by.
    std::vector<uint32_t> order(20000);
    std::iota(order.begin(), order.end(), 0u);
    for (uint32_t i = uint32_t(order.size()) - 1; i > 0; --i)
        std::swap(order[i], order[next(i + 1)]);
    for (uint32_t s : order)
        ASSERT_TRUE(store.WriteSector(s, Bytes(size, uint8_t(s * 7 + seed)).data()));
}

// The same volumes saved by copying (a cache that holds them whole; the whole builds judge
// such files) and in place (a cache of a few sectors, so nearly every sector goes to the
// file and back; for volume 0 the file is descriptor 0, standard input being closed). The
// rows kept from volume 0 need presence maps twice as long for volume 1's smaller sectors.
TEST(ImageFile, RecordsWrittenIntoTheFileItselfEqualCopiedOnes) {
    testsupport::TempDir tmp;
    const std::string copied = tmp.file("copied.IMG"), inPlace = tmp.file("inplace.IMG");
    RamDisk whole(64 * 1024, 4096);
    RamDisk small(64 * 1024, 4096, 4 * 516);
    tmp.write("inplace.IMG", "");
    tmp.write("other.IMG", "");
    for (uint32_t v = 0; v < 2; ++v) {
        SCOPED_TRACE(v);
        const uint64_t offset = std::filesystem::file_size(inPlace);
        const int input = v == 0 ? ::dup(0) : -1;
        if (v == 0)
            ::close(0);
        std::string error;
        ASSERT_TRUE(small.BackWith(inPlace, std::max<uint64_t>(offset, 512), &error)) << error;
        ASSERT_TRUE(whole.BackWith(tmp.file("other.IMG"), 512, &error)) << error;
        for (RamDisk* store : {&whole, &small}) {
            ASSERT_TRUE(store->Init(v == 0 ? 1024 : 512));
            Scripted(*store, 7 + v);
        }
        ASSERT_TRUE(image::SaveImageFile(whole, copied, v, 128, &error)) << error;
        ASSERT_TRUE(image::SaveImageFile(small, inPlace, v, 128, &error)) << error;
        EXPECT_EQ(small.backingPath(), "") << "a save drops the backing";
        if (v == 0) {
            ::dup2(input, 0);
            ::close(input);
        }
        EXPECT_TRUE(tmp.read("copied.IMG") == tmp.read("inplace.IMG"));
    }
    // A backing is set between volumes, for offsets the header can hold.
    ASSERT_TRUE(whole.Init(512));
    EXPECT_FALSE(whole.BackWith(inPlace, 512));
    whole.EndInitialised();
    std::string error;
    EXPECT_FALSE(whole.BackWith(inPlace, 1ull << 32, &error));
    EXPECT_NE(error.find("4 GiB"), std::string::npos) << error;
}

} // namespace
