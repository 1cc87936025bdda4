// Volume geometry and the FAT: every offered size formatted as mkfs.fat formats it, and
// cluster chains as the directory code expects.
#include <gtest/gtest.h>

#include <fstream>
#include <future>

#include "image/FatLayout.h"
#include "image/FatVolume.h"
#include "support/ImageTestTools.h"
#include "support/TempDir.h"

namespace {

using image::FatLayout;
using image::FatType;
using Bytes = std::vector<uint8_t>;

uint32_t U16(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
uint32_t U32(const uint8_t* p) { return U16(p) | U16(p + 2) << 16; }
uint32_t Sectors(uint32_t mb, uint32_t sectorSize) { return uint32_t((uint64_t(mb) << 20) / sectorSize); }

// The cluster size is ours to choose: the same in bytes for both sector sizes, at least a sector.
TEST(FatLayout, ClusterSizesAndRefusedSizes) {
    const uint32_t cases[][3] = {{15, 512, 2},    {16, 512, 4},     {127, 512, 4},   {128, 512, 8},  {255, 512, 8},
                                 {256, 512, 16},  {511, 512, 16},   {512, 512, 32},  {1023, 512, 32}, {1024, 512, 64},
                                 {2016, 512, 64}, {2048, 512, 32},  {128, 1024, 4},  {2048, 1024, 16}, {8192, 1024, 16},
                                 {32, 4096, 1}};
    for (auto [mb, sectorSize, sectorsPerCluster] : cases) {
        FatLayout l;
        ASSERT_TRUE(image::ComputeFatLayout(Sectors(mb, sectorSize), sectorSize, l)) << mb;
        EXPECT_EQ(l.sectorsPerCluster, sectorsPerCluster) << mb << " MB/" << sectorSize;
    }
    const std::tuple<uint32_t, uint32_t, const char*> refused[] = {
        {8233, 512, "too small for FAT16"},  // 4084 clusters: FAT12's
        {262144, 768, "sector size"}, {262144, 256, "sector size"}, {262144, 8192, "sector size"},
        {33, 512, "no sound"}, {35, 512, "no sound"}};  // the FATs reach or pass the end
    for (auto [sectors, sectorSize, needle] : refused) {
        FatLayout l;
        std::string error;
        EXPECT_FALSE(image::ComputeFatLayout(sectors, sectorSize, l, &error)) << sectors;
        EXPECT_NE(error.find(needle), std::string::npos) << sectors << ": " << error;
    }
    // Every reader tells the type by the cluster count alone: 4085 is FAT16's least, 65525 FAT32's.
    for (auto [sectors, type, clusters] : {std::tuple{8235u, FatType::Fat16, 4085u}, {4194081u, FatType::Fat16, 65524u},
                                           {4194145u, FatType::Fat32, 131002u}}) {
        image::RamDisk store(1 << 20, 64);
        image::FatVolume volume(store);
        ASSERT_TRUE(volume.CreateVolume(sectors, 512)) << sectors;
        EXPECT_TRUE(volume.type == type && volume.clusterCount == clusters) << sectors << ": " << volume.clusterCount;
    }
    image::RamDisk odd(1000, 4);  // cannot hold 512-byte sectors
    std::string error;
    EXPECT_FALSE(image::FatVolume(odd).CreateVolume(Sectors(128, 512), 512, &error));
    EXPECT_NE(error.find("sector store"), std::string::npos) << error;
}

// Every offered size (128 .. 8192 MB in steps of 32), both sector sizes: mkfs.fat forced to
// our parameters gets our FAT size and data start and writes our boot sector (FAT32: FSInfo
// and backup too) and FAT starts, but for what is ours to choose. Our volume is made twice,
// as an image's second is, over a busy FAT.
TEST(FatLayout, EqualsMkfsForEveryOfferedSize) {
    testsupport::TempDir tmp;
    auto check = [&](uint32_t mb, uint32_t s) -> std::string {
        const std::string where = std::to_string(mb) + " MB/" + std::to_string(s) + ": ";
        FatLayout l, l512;
        if (!image::ComputeFatLayout(Sectors(mb, s), s, l) || !image::ComputeFatLayout(Sectors(mb, 512), 512, l512))
            return where + "no layout\n";
        const bool fat32 = l.type == FatType::Fat32;
        const std::string file = tmp.file(std::to_string(mb) + "_" + std::to_string(s) + ".raw");
        std::vector<std::string> argv = {"mkfs.fat", "-F", fat32 ? "32" : "16", "-S", std::to_string(s), "-s",
                                         std::to_string(l.sectorsPerCluster), "-R", std::to_string(l.reservedSectors),
                                         "-f", "2", "-a", "-h", "0", "-M", "0xF8", "-r", "512", "-C", file,
                                         std::to_string(uint64_t(mb) * 1024)};
        const imagetest::ToolRun r = imagetest::Run(argv);
        if (r.exitCode != 0)
            return where + "mkfs.fat failed: " + r.output + "\n";
        std::ifstream raw(file, std::ios::binary);
        auto sector = [&](uint32_t n) {
            Bytes b(s);
            raw.seekg(std::streamoff(n) * s).read(reinterpret_cast<char*>(b.data()), s);
            return b;
        };
        const Bytes b = sector(0);
        const uint32_t total = U16(&b[19]) ? U16(&b[19]) : U32(&b[32]);
        const uint32_t fatSize = U16(&b[22]) ? U16(&b[22]) : U32(&b[36]);
        const uint32_t dataStart = U16(&b[14]) + b[16] * fatSize + U16(&b[17]) * 32 / s;
        std::string diff;
        if (fatSize != l.fatSize || dataStart != l.dataStart || (total - dataStart) / l.sectorsPerCluster != l.clusterCount)
            diff += "mkfs.fat: FAT " + std::to_string(fatSize) + ", data " + std::to_string(dataStart) + "; ";
        if (l.type != (mb < 2048 ? FatType::Fat16 : FatType::Fat32) || l.sectorsPerCluster * s != l512.sectorsPerCluster * 512)
            diff += "type or cluster bytes; ";
        image::RamDisk store(1 << 20, 64);
        image::FatVolume volume(store);
        uint32_t used, freeCount = 0;
        if (!volume.CreateVolume(Sectors(mb, s), s) || !volume.AllocCluster(used) || !volume.CreateVolume(Sectors(mb, s), s) ||
            !volume.CountFreeClusters(freeCount) || freeCount != l.clusterCount - fat32 || volume.type != l.type ||
            volume.clusterCount != l.clusterCount || volume.dataStart != l.dataStart || volume.rootCluster != 2u * fat32)
            diff += "mounts differently; ";
        const size_t serial = fat32 ? 67 : 39, code = fat32 ? 90 : 62;
        auto oursToChoose = [&](uint32_t n, size_t i) {
            if (n == 0 || n == 6)
                return i < 11 || (i >= 24 && i < 28) || (i >= serial && i < serial + 4) || (i >= code && i < 510);
            return n == 1 ? i >= 492 && i < 496 : i == 7;  // FSInfo's next-free hint, FAT entry 1's top bits
        };
        for (uint32_t n : {0u, 1u, 6u, l.reservedSectors, l.reservedSectors + l.fatSize}) {
            if ((n == 1 || n == 6) && !fat32)
                continue;
            Bytes ours(s);
            store.ReadSector(n, ours.data());
            const Bytes theirs = sector(n);
            for (size_t i = 0; i < s; ++i)
                if (!oursToChoose(n, i) && ours[i] != theirs[i]) {
                    diff += "sector " + std::to_string(n) + " byte " + std::to_string(i) + "; ";
                    break;
                }
        }
        std::remove(file.c_str());
        return diff.empty() ? "" : where + diff + "\n";
    };
    std::vector<std::future<std::string>> workers;
    for (uint32_t w = 0; w < 4; ++w)
        workers.push_back(std::async(std::launch::async, [&, w] {
            std::string out;
            for (uint32_t mb = 128 + 32 * w; mb <= 8192; mb += 128)
                out += check(mb, 512) + check(mb, 1024);
            return out;
        }));
    std::string failures;
    for (auto& f : workers)
        failures += f.get();
    EXPECT_EQ(failures, "");
}

TEST(FatVolume, ChainsInBothFatsTheLastClusterAndTheJump) {
    image::RamDisk store(64 * 1024, 1u << 16);
    image::FatVolume volume(store);
    ASSERT_TRUE(volume.CreateVolume(Sectors(128, 512), 512));
    uint32_t a, b, c, next;
    ASSERT_TRUE(volume.AllocCluster(a) && volume.AllocCluster(b) && volume.AllocCluster(c) && volume.SetEntry(a, c));
    EXPECT_EQ(std::vector<uint32_t>({a, b, c}), std::vector<uint32_t>({2, 3, 4}));
    EXPECT_TRUE(volume.NextCluster(next = a) == 0 && next == c);
    Bytes fat2(512);
    ASSERT_TRUE(store.ReadSector(volume.fatStart + volume.fatSize, fat2.data()));
    EXPECT_EQ(U16(&fat2[4]) + (U16(&fat2[8]) << 16), c + (0xFFF8u << 16)) << "the second FAT holds the chain";
    volume.nextFreeHint = volume.clusterCount + 1;
    EXPECT_TRUE(volume.AllocCluster(c) && c == volume.clusterCount + 1) << "the last cluster is used";
    EXPECT_FALSE(volume.AllocCluster(c));
    EXPECT_EQ(volume.errorCode, image::kFatErrNoCluster);
    ASSERT_TRUE(store.ReadSector(0, fat2.data()));
    fat2[2] = 0x91;  // a jump without its NOP
    ASSERT_TRUE(store.WriteSector(0, fat2.data()));
    EXPECT_FALSE(volume.ParseBootSector(0) || volume.mounted());
}

} // namespace
