// Volume geometry and the FAT operations: the layout for every size the image dialog
// offers equals what mkfs.fat writes when forced to the same parameters; format, mount
// and the cluster-chain operations behave as the directory code expects.
#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <thread>

#include "ImageTestTools.h"
#include "image/FatLayout.h"
#include "image/FatVolume.h"
#include "support/TempDir.h"

namespace {

using image::FatLayout;
using image::FatType;

uint32_t U16(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
uint32_t U32(const uint8_t* p) { return U16(p) | U16(p + 2) << 16; }

struct LayoutCase {
    uint32_t mb, sectorSize;
    FatType type;
    uint32_t sectorsPerCluster, fatSize, dataStart, clusterCount;
};

TEST(FatLayout, KnownSizes) {
    const LayoutCase cases[] = {
        {128, 512, FatType::Fat16, 8, 128, 289, 32731},
        {128, 1024, FatType::Fat16, 4, 64, 145, 32731},
        {2016, 512, FatType::Fat16, 64, 252, 537, 64503},
        {4096, 512, FatType::Fat32, 32, 2048, 4128, 262015},
        {8192, 1024, FatType::Fat32, 16, 2047, 4126, 524030},
        // 2048 MB would reach 65527 clusters as FAT16: it is laid out as FAT32.
        {2048, 512, FatType::Fat32, 32, 1024, 2080, 131007},
        {2048, 1024, FatType::Fat32, 16, 512, 1056, 131006},
    };
    for (const LayoutCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.mb) + " MB, " + std::to_string(c.sectorSize));
        FatLayout l;
        ASSERT_TRUE(image::ComputeFatLayout(uint32_t((uint64_t(c.mb) << 20) / c.sectorSize), c.sectorSize, l));
        EXPECT_EQ(l.type, c.type);
        EXPECT_EQ(l.sectorsPerCluster, c.sectorsPerCluster);
        EXPECT_EQ(l.fatSize, c.fatSize);
        EXPECT_EQ(l.dataStart, c.dataStart);
        EXPECT_EQ(l.clusterCount, c.clusterCount);
        // Both volumes of an image get the same cluster size in bytes.
        FatLayout other;
        ASSERT_TRUE(image::ComputeFatLayout(uint32_t((uint64_t(c.mb) << 20) / 512), 512, other));
        EXPECT_EQ(other.sectorsPerCluster * 512, l.sectorsPerCluster * c.sectorSize);
    }
}

TEST(FatLayout, RefusesSizesWithoutSoundLayout) {
    FatLayout l;
    std::string error;
    EXPECT_FALSE(image::ComputeFatLayout(4096, 512, l, &error));  // 2 MB: FAT12 territory
    EXPECT_NE(error, "");
    EXPECT_FALSE(image::ComputeFatLayout(262144, 768, l, &error));
}

// mkfs.fat forced to our parameters must arrive at the same FAT size, data start and
// cluster count for every offered size (128 .. 8192 MB in steps of 32) and both sector
// sizes. mkfs.fat writes only metadata into a sparse file, so this stays fast.
TEST(FatLayout, EqualsMkfsForEveryOfferedSize) {
    testsupport::TempDir tmp;
    struct Job {
        uint32_t mb, sectorSize;
    };
    std::vector<Job> jobs;
    for (uint32_t mb = 128; mb <= 8192; mb += 32)
        for (uint32_t s : {512u, 1024u})
            jobs.push_back({mb, s});

    auto check = [&](const Job& j) -> std::string {
        const std::string where = std::to_string(j.mb) + " MB/" + std::to_string(j.sectorSize) + ": ";
        FatLayout l;
        const uint32_t sectors = uint32_t((uint64_t(j.mb) << 20) / j.sectorSize);
        if (!image::ComputeFatLayout(sectors, j.sectorSize, l))
            return where + "no layout\n";
        const std::string file = tmp.file(std::to_string(j.mb) + "_" + std::to_string(j.sectorSize) + ".raw");
        std::vector<std::string> argv = {"mkfs.fat", "-F", l.type == FatType::Fat32 ? "32" : "16",
                                         "-S", std::to_string(j.sectorSize), "-s", std::to_string(l.sectorsPerCluster),
                                         "-R", std::to_string(l.reservedSectors), "-f", "2", "-a", "-h", "0",
                                         "-M", "0xF8", "-C", file, std::to_string(uint64_t(j.mb) * 1024)};
        if (l.type == FatType::Fat16) {
            argv.insert(argv.end() - 3, "-r");
            argv.insert(argv.end() - 3, "512");
        }
        const imagetest::ToolRun r = imagetest::Run(argv);
        if (r.exitCode != 0)
            return where + "mkfs.fat failed: " + r.output + "\n";
        uint8_t b[1024] = {};
        FILE* f = std::fopen(file.c_str(), "rb");
        const size_t got = f ? std::fread(b, 1, sizeof b, f) : 0;
        if (f)
            std::fclose(f);
        std::remove(file.c_str());
        if (got != sizeof b)
            return where + "cannot read the boot sector\n";
        const uint32_t bps = U16(b + 11), spc = b[13], reserved = U16(b + 14), fats = b[16], root = U16(b + 17);
        const uint32_t total = U16(b + 19) ? U16(b + 19) : U32(b + 32);
        const uint32_t fatSize = U16(b + 22) ? U16(b + 22) : U32(b + 36);
        const uint32_t dataStart = reserved + fats * fatSize + root * 32 / bps;
        const uint32_t clusters = (total - dataStart) / spc;
        std::string diff;
        if (bps != j.sectorSize || spc != l.sectorsPerCluster || total != l.totalSectors)
            diff += "parameters differ; ";
        if (fatSize != l.fatSize)
            diff += "FAT size " + std::to_string(fatSize) + " vs " + std::to_string(l.fatSize) + "; ";
        if (dataStart != l.dataStart)
            diff += "data start " + std::to_string(dataStart) + " vs " + std::to_string(l.dataStart) + "; ";
        if (clusters != l.clusterCount)
            diff += "clusters " + std::to_string(clusters) + " vs " + std::to_string(l.clusterCount) + "; ";
        return diff.empty() ? "" : where + diff + "\n";
    };

    const unsigned workers = 4;
    std::vector<std::future<std::string>> futures;
    for (unsigned w = 0; w < workers; ++w)
        futures.push_back(std::async(std::launch::async, [&, w] {
            std::string out;
            for (size_t i = w; i < jobs.size(); i += workers)
                out += check(jobs[i]);
            return out;
        }));
    std::string failures;
    for (auto& f : futures)
        failures += f.get();
    EXPECT_EQ(failures, "");
}

class FatVolumeTest : public ::testing::Test {
protected:
    image::RamDisk store{64 * 1024, 1u << 16};
    image::FatVolume volume{store};
    std::vector<uint8_t> sector = std::vector<uint8_t>(4096);

    void Create(uint32_t mb, uint32_t sectorSize) {
        std::string error;
        ASSERT_TRUE(volume.CreateVolume(uint32_t((uint64_t(mb) << 20) / sectorSize), sectorSize, &error)) << error;
    }
};

TEST_F(FatVolumeTest, Fat16BootSectorAndFirstEntries) {
    Create(128, 1024);
    ASSERT_TRUE(store.ReadSector(0, sector.data()));
    EXPECT_EQ(0, std::memcmp(sector.data(), "\xEB\x00\x90KOV61x5\0", 11));
    EXPECT_EQ(U16(&sector[11]), 1024u);
    EXPECT_EQ(sector[13], 4);
    EXPECT_EQ(U16(&sector[14]), 1u);
    EXPECT_EQ(sector[16], 2);
    EXPECT_EQ(U16(&sector[17]), 512u);
    EXPECT_EQ(sector[21], 0xF8);
    EXPECT_EQ(U16(&sector[22]), 64u);
    EXPECT_EQ(U32(&sector[32]), 131072u);
    EXPECT_EQ(sector[38], 0x29);
    EXPECT_EQ(0, std::memcmp(&sector[43], "NO NAME    FAT16   ", 19));
    EXPECT_EQ(sector[90], 0xFF);
    EXPECT_EQ(sector[509], 0xFF);
    EXPECT_EQ(sector[510], 0x55);
    EXPECT_EQ(sector[511], 0xAA);
    for (uint32_t i = 512; i < 1024; ++i)
        ASSERT_EQ(sector[i], 0) << i;
    EXPECT_EQ(volume.type, FatType::Fat16);
    EXPECT_EQ(volume.dataStart, 145u);
    EXPECT_EQ(volume.clusterCount, 32731u);
    // Entry 0 the media byte, entry 1 all ones; in both FATs.
    for (uint32_t fat = 0; fat < 2; ++fat) {
        ASSERT_TRUE(store.ReadSector(1 + fat * 64, sector.data()));
        EXPECT_EQ(U32(&sector[0]), 0xFFFFFFF8u);
        EXPECT_EQ(U32(&sector[4]), 0u);
    }
    uint32_t c;
    ASSERT_TRUE(volume.AllocCluster(c));
    EXPECT_EQ(c, 2u);
}

TEST_F(FatVolumeTest, Fat32RootFsInfoAndBackup) {
    Create(4096, 512);
    EXPECT_EQ(volume.type, FatType::Fat32);
    EXPECT_EQ(volume.rootCluster, 2u);
    EXPECT_EQ(volume.fatSize, 2048u);
    uint32_t c = 2;
    EXPECT_EQ(volume.NextCluster(c), 2);  // the root is one cluster long
    c = 3;
    EXPECT_EQ(volume.NextCluster(c), 1);
    const uint32_t storedChunks = store.chunkCount();
    for (uint32_t outside : {0u, 1u, volume.clusterCount + 2, 0x0FFFFFF0u}) {
        c = outside;
        EXPECT_EQ(volume.NextCluster(c), 3) << outside;
    }
    EXPECT_EQ(store.chunkCount(), storedChunks) << "nothing read past the FAT";
    ASSERT_TRUE(volume.AllocCluster(c));
    EXPECT_EQ(c, 3u);
    std::vector<uint8_t> boot(512), backup(512);
    ASSERT_TRUE(store.ReadSector(0, boot.data()));
    ASSERT_TRUE(store.ReadSector(6, backup.data()));
    EXPECT_EQ(boot, backup);
    EXPECT_EQ(U16(&boot[48]), 1u);
    EXPECT_EQ(U16(&boot[50]), 6u);
    EXPECT_EQ(0, std::memcmp(&boot[82], "FAT32   ", 8));
    ASSERT_TRUE(volume.Flush());
    ASSERT_TRUE(store.ReadSector(1, sector.data()));
    EXPECT_EQ(U32(&sector[0]), 0x41615252u);
    EXPECT_EQ(U32(&sector[484]), 0x61417272u);
    EXPECT_EQ(U32(&sector[488]), 262015u - 2);  // the root and cluster 3 are used
    EXPECT_EQ(U32(&sector[508]), 0xAA550000u);
}

TEST_F(FatVolumeTest, ChainsGoToBothFatsAndFreeingLowersTheHint) {
    Create(256, 512);
    uint32_t a, b, c;
    ASSERT_TRUE(volume.AllocCluster(a));
    ASSERT_TRUE(volume.AllocCluster(b));
    ASSERT_TRUE(volume.AllocCluster(c));
    EXPECT_EQ(a, 2u);
    EXPECT_EQ(b, 3u);
    EXPECT_EQ(c, 4u);
    ASSERT_TRUE(volume.SetEntry(a, c));
    uint32_t next = a;
    EXPECT_EQ(volume.NextCluster(next), 0);
    EXPECT_EQ(next, c);
    // The second FAT holds the same entries.
    ASSERT_TRUE(store.ReadSector(volume.fatStart + volume.fatSize, sector.data()));
    EXPECT_EQ(U16(&sector[4]), c);
    EXPECT_EQ(U16(&sector[8]), 0xFFF8u);
    ASSERT_TRUE(volume.FreeChain(a));
    next = a;
    EXPECT_EQ(volume.NextCluster(next), 1);
    next = c;
    EXPECT_EQ(volume.NextCluster(next), 1);
    EXPECT_EQ(volume.nextFreeHint, c) << "the second cluster of the chain lowers the hint";
    ASSERT_TRUE(volume.AllocCluster(next));
    EXPECT_EQ(next, c) << "the hint sits on a free cluster again";
    ASSERT_TRUE(store.ReadSector(volume.fatStart + volume.fatSize, sector.data()));
    EXPECT_EQ(U16(&sector[4]), 0u);
}

TEST_F(FatVolumeTest, AllocationStopsAtTheLastCluster) {
    Create(128, 512);
    volume.nextFreeHint = volume.clusterCount + 1;
    uint32_t c;
    ASSERT_TRUE(volume.AllocCluster(c));
    EXPECT_EQ(c, volume.clusterCount + 1);
    EXPECT_FALSE(volume.AllocCluster(c));
    EXPECT_EQ(volume.errorCode, image::kFatErrNoCluster);
}

TEST_F(FatVolumeTest, MountRejectsAJumpWithoutNop) {
    Create(128, 512);
    ASSERT_TRUE(store.ReadSector(0, sector.data()));
    sector[2] = 0x91;
    ASSERT_TRUE(store.WriteSector(0, sector.data()));
    EXPECT_FALSE(volume.ParseBootSector(0));
    EXPECT_FALSE(volume.mounted());
}

} // namespace

namespace {

void Put16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    Put16(b, at, v);
    Put16(b, at + 2, v >> 16);
}

// The boot sector and the first sector of each FAT, byte for byte, built here from the
// field table: every byte not listed is zero. On top of the table, the extended boot
// record (drive 0x80, signature 0x29, a serial, the label) lets tools read the label.
TEST(FatFormat, BootSectorAndFatStartByteForByte) {
    struct Case {
        uint32_t mb, s;
        bool fat32;
        uint32_t spc, fatSize;
    };
    for (const Case c : {Case{128, 512, false, 8, 128}, Case{128, 1024, false, 4, 64},
                         Case{4096, 512, true, 32, 2048}, Case{8192, 1024, true, 16, 2047}}) {
        SCOPED_TRACE(std::to_string(c.mb) + " MB/" + std::to_string(c.s));
        image::RamDisk store(1 << 20, 1024);
        image::FatVolume volume(store);
        const uint32_t total = uint32_t((uint64_t(c.mb) << 20) / c.s);
        ASSERT_TRUE(volume.CreateVolume(total, c.s));
        std::vector<uint8_t> got(c.s), want(c.s, 0);
        ASSERT_TRUE(store.ReadSector(0, got.data()));

        const uint8_t jump[] = {0xEB, 0x00, 0x90, 'K', 'O', 'V', '6', '1', 'x', '5', 0};
        std::copy(std::begin(jump), std::end(jump), want.begin());
        Put16(want, 11, c.s);
        want[13] = uint8_t(c.spc);
        Put16(want, 14, c.fat32 ? 32 : 1);
        want[16] = 2;
        Put16(want, 17, c.fat32 ? 0 : 512);
        want[21] = 0xF8;
        Put32(want, 32, total);
        const size_t ext = c.fat32 ? 64 : 36;
        if (c.fat32) {
            Put32(want, 36, c.fatSize);
            Put32(want, 44, 2);
            Put16(want, 48, 1);
            Put16(want, 50, 6);
            std::memcpy(&want[82], "FAT32   ", 8);
        } else {
            Put16(want, 22, c.fatSize);
            std::memcpy(&want[54], "FAT16   ", 8);
        }
        want[ext] = 0x80;
        want[ext + 2] = 0x29;
        std::copy(got.begin() + ext + 3, got.begin() + ext + 7, want.begin() + ext + 3);  // serial
        std::memcpy(&want[ext + 7], "NO NAME    ", 11);
        std::fill(want.begin() + 90, want.begin() + 510, 0xFF);
        want[510] = 0x55;
        want[511] = 0xAA;
        EXPECT_EQ(got, want);
        if (c.fat32) {
            std::vector<uint8_t> backup(c.s);
            ASSERT_TRUE(store.ReadSector(6, backup.data()));
            EXPECT_EQ(backup, want) << "the backup boot sector the boot sector announces";
        }

        // First FAT sector: entry 0 the media byte; FAT16 entry 1 all ones; FAT32 entry 1
        // all ones and the root cluster 2 one cluster long.
        std::vector<uint8_t> fatWant(c.s, 0);
        const std::vector<uint8_t> start =
            c.fat32 ? std::vector<uint8_t>{0xF8, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF, 0xF8, 0xFF, 0xFF, 0x0F}
                    : std::vector<uint8_t>{0xF8, 0xFF, 0xFF, 0xFF};
        std::copy(start.begin(), start.end(), fatWant.begin());
        const uint32_t reserved = c.fat32 ? 32 : 1;
        for (uint32_t fat = 0; fat < 2; ++fat) {
            ASSERT_TRUE(store.ReadSector(reserved + fat * c.fatSize, got.data()));
            EXPECT_EQ(got, fatWant) << "FAT " << fat;
        }
        // Every cluster is free but the FAT32 root.
        uint32_t freeCount = 0;
        ASSERT_TRUE(volume.CountFreeClusters(freeCount));
        EXPECT_EQ(freeCount, volume.clusterCount - (c.fat32 ? 1 : 0));
    }
}

// The formatter and the mount agree on every offered size: the mounted type and cluster
// count are the layout's, and the largest FAT16 size stays FAT16.
TEST(FatFormat, EveryOfferedSizeMountsAsLaidOut) {
    for (uint32_t mb = 128; mb <= 8192; mb += 32) {
        for (uint32_t s : {512u, 1024u}) {
            const uint32_t total = uint32_t((uint64_t(mb) << 20) / s);
            FatLayout l;
            ASSERT_TRUE(image::ComputeFatLayout(total, s, l)) << mb;
            image::RamDisk store(1 << 20, 64);
            image::FatVolume volume(store);
            ASSERT_TRUE(volume.CreateVolume(total, s)) << mb << " MB/" << s;
            ASSERT_EQ(volume.type, l.type) << mb << " MB/" << s;
            ASSERT_EQ(volume.clusterCount, l.clusterCount) << mb << " MB/" << s;
            ASSERT_EQ(volume.dataStart, l.dataStart) << mb << " MB/" << s;
            ASSERT_EQ(l.type, mb < 2048 ? FatType::Fat16 : FatType::Fat32) << mb << " MB/" << s;
        }
    }
}

} // namespace
