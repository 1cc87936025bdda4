// The user and hidden disks of the simulated controller, checked with the real FAT tools.
#include "RawCommands.h"
#include "sim/FreshVolume.h"

#include "support/FatCheck.h"

#include <unistd.h>

using namespace simtest;

namespace {

bool fsckClean(const std::string& path) { return testsupport::CheckFat(path).clean; }

class SimDisks : public LoadedDevice {
protected:
    bool startDisk() { return In(dev, Cdb({0xEF, 0x73}), 2, 30).status(); }
    bool hiddenDisk() { return In(dev, Cdb({0xEF, 0x92}), 1).status(); }
    // A configuration record and a bitmap with blocks 0-799 good.
    void writeRecord(uint8_t systemUnits, uint8_t ratio)
    {
        Bytes rec(2048, 0), bits(2048, 0);
        std::copy_n("6205", 4, rec.begin());
        rec[161] = systemUnits, rec[162] = ratio;
        std::fill_n(bits.begin(), 100, 0xFF);
        ASSERT_TRUE(CheckBlock(dev, 0) && WritePage(dev, 0, rec) && WritePage(dev, 1, bits));
    }
    uint64_t sectors() // READ CAPACITY: last block, block length 512
    {
        Reply r = In(dev, Cdb({0x25}), 8);
        EXPECT_TRUE(r.ok && Slice(r.data, 4, 8) == (Bytes{0, 0, 2, 0}));
        return (uint64_t(r[0]) << 24 | r[1] << 16 | r[2] << 8 | r[3]) + 1;
    }
};

TEST_F(SimDisks, RequestsPastTheDiskOrWhileStoppedFailAndTheRecordSizesBothDisks)
{
    EXPECT_FALSE(In(dev, Cdb({0x25}), 8).ok || Read10(dev, 0, 1).ok) << "no disk before EF 73";
    EXPECT_FALSE(hiddenDisk()) << "the user disk comes first";
    ASSERT_TRUE(startDisk());
    const uint32_t n = uint32_t(sectors());
    EXPECT_TRUE(Read10(dev, n - 1, 1).ok);
    EXPECT_FALSE(Read10(dev, n - 1, 2).ok) << "past the end";
    EXPECT_FALSE(In(dev, Cdb({0x28}, 10).u16(7, 2), 512).ok) << "length mismatch";
    EXPECT_TRUE(In(dev, Cdb({0x1B}), 0).ok);
    EXPECT_FALSE(Read10(dev, 0, 1).ok) << "stopped: not ready";
    EXPECT_TRUE(In(dev, Cdb({0x1B}).set(4, 0x01), 0).ok && Read10(dev, 0, 1).ok);

    // 800 good blocks, half the pages, 1 unit of system area, 25/256 hidden.
    writeRecord(1, 25);
    Bytes half(64, 0);
    std::fill_n(half.begin(), 32, 0xFF);
    ASSERT_TRUE(Out(dev, Cdb({0xEE, 0x9B}), half) && startDisk());
    const uint64_t data = 800ull * 32 * 2048 - (4u << 20);
    EXPECT_EQ(sectors(), (data - data * 25 / 256) / 512);
    ASSERT_TRUE(hiddenDisk());
    EXPECT_EQ(sectors(), data * 25 / 256 / 512);
    ASSERT_TRUE(In(dev, Cdb({0xEF, 0x81}), 0).ok);
    EXPECT_EQ(dev.currentDisk(), SimulatedDevice::Disk::User) << "a reset brings the user disk back";

    // A whole-disk ratio leaves a small public part, which the device formats itself.
    ASSERT_TRUE(UploadLoader(dev, SampleLoader()));
    writeRecord(1, 255);
    ASSERT_TRUE(startDisk());
    EXPECT_EQ(sectors(), (4u << 20) / 512);
    EXPECT_TRUE(fsckClean(dev.userDiskPath()));
}

// The FAT type follows from the cluster count as the FAT tools count it.
TEST(SimFreshVolume, SmallDisksPassTheChecker)
{
    const struct { uint64_t sectors; uint32_t sectorSize; const char* type; } cases[] = {
        {128, 512, "FAT12"}, {4096, 512, "FAT12"}, {8192, 512, "FAT16"}, {16384, 1024, "FAT16"}, {65536 + 77, 512, "FAT16"}};
    testsupport::TempDir dir;
    const std::string path = dir.file("v.img");
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.sectors) + " x " + std::to_string(c.sectorSize));
        dir.write("v.img", "");
        ASSERT_EQ(truncate(path.c_str(), off_t(c.sectors * c.sectorSize)), 0);
        ASSERT_TRUE(sim::WriteFreshFatVolume(path, c.sectors, c.sectorSize, 0x12345678));
        EXPECT_TRUE(fsckClean(path));
        EXPECT_EQ(dir.read("v.img").substr(54, 5), c.type);
    }
    // Too small to hold a FAT, the root folder and one cluster; odd sector sizes; no folder.
    EXPECT_FALSE(sim::WriteFreshFatVolume(path, 4, 512, 1) || sim::WriteFreshFatVolume(path, 8192, 520, 1) ||
                 sim::WriteFreshFatVolume(dir.file("missing/v.img"), 8192, 512, 1));
}

} // namespace
