// The user and hidden disks of the simulated controller, checked with the real FAT tools.
#include "RawCommands.h"
#include "sim/FreshVolume.h"
#include "sim/Profiles.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace simtest;
using sim::SimulatedDevice;

namespace {

struct ToolResult {
    int status = -1;
    std::string output;
};

// Runs a FAT tool (dosfstools lives in sbin, which a user's PATH may lack).
ToolResult tool(const std::string& args)
{
    std::string command = "PATH=/usr/sbin:/sbin:$PATH MTOOLS_SKIP_CHECK=1 " + args + " 2>&1";
    ToolResult r;
    FILE* p = popen(command.c_str(), "r");
    if (!p)
        return r;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        r.output.append(buf, n);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

Bytes record(uint8_t systemUnits, uint8_t ratio)
{
    Bytes r(2048, 0);
    r[0] = '6'; r[1] = '2'; r[2] = '0'; r[3] = '5';
    r[161] = systemUnits;
    r[162] = ratio;
    return r;
}

class SimDisks : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(UploadLoader(dev, SampleLoader())); }
    bool startDisk() { return In(dev, Cdb({0xEF, 0x73}, 6), 2, 30).status(); }
    bool hiddenDisk() { return In(dev, Cdb({0xEF, 0x92}, 6), 1).status(); }
    void writeRecord(uint8_t systemUnits, uint8_t ratio)
    {
        ASSERT_TRUE(CheckBlock(dev, 0));
        ASSERT_TRUE(WritePage(dev, 0, record(systemUnits, ratio)));
        Bytes bitmap(2048, 0);
        for (int i = 0; i < 100; ++i) // blocks 0-799 good
            bitmap[i] = 0xFF;
        ASSERT_TRUE(WritePage(dev, 1, bitmap));
    }
    uint64_t sectors()
    {
        uint32_t last = 0, length = 0;
        EXPECT_TRUE(ReadCapacity(dev, last, length));
        EXPECT_EQ(length, 512u);
        return uint64_t(last) + 1;
    }

    testsupport::TempDir dir;
    SimulatedDevice dev{sim::Nand128M(), dir.path(), "d0"};
};

TEST_F(SimDisks, NoDiskBeforeStart)
{
    uint32_t last = 1, length = 1;
    EXPECT_FALSE(ReadCapacity(dev, last, length));
    EXPECT_EQ(last, 0u);
    EXPECT_FALSE(Read10(dev, 0, 1).ok);
    EXPECT_EQ(dev.currentDiskPath(), "");
    EXPECT_FALSE(hiddenDisk()); // the user disk comes first
}

TEST_F(SimDisks, UserDiskIsSizedFromGoodBlocksPagesAndSystemArea)
{
    ASSERT_TRUE(startDisk());
    // Factory table: 1000 usable blocks, 2 bad; 64 pages of 2048 bytes; 4 MiB system area.
    EXPECT_EQ(sectors(), (998ull * 64 * 2048 - (4u << 20)) / 512);
    EXPECT_EQ(dev.currentDisk(), SimulatedDevice::Disk::User);
    struct stat st {};
    ASSERT_EQ(stat(dev.userDiskPath().c_str(), &st), 0);
    EXPECT_EQ(uint64_t(st.st_size), sectors() * 512);
    EXPECT_LT(uint64_t(st.st_blocks) * 512, 1u << 20); // sparse

    // With a written record: 800 good blocks, 2 units of system area, a quarter hidden.
    writeRecord(2, 64);
    Bytes half(64, 0);
    std::fill(half.begin(), half.begin() + 32, 0xFF);
    ASSERT_TRUE(SendPageTable(dev, half));
    ASSERT_TRUE(startDisk());
    uint64_t data = 800ull * 32 * 2048 - (8u << 20);
    EXPECT_EQ(sectors(), (data - data * 64 / 256) / 512);
}

TEST_F(SimDisks, ReadAndWriteSectors)
{
    ASSERT_TRUE(startDisk());
    Bytes data = Pattern(512 * 64, 3);
    ASSERT_TRUE(Write10(dev, 100, data));
    EXPECT_EQ(Read10(dev, 100, 64).data, data);
    EXPECT_EQ(Read10(dev, 0, 1).data, Bytes(512, 0));
    const uint64_t n = sectors();
    EXPECT_FALSE(Read10(dev, uint32_t(n - 1), 2).ok); // past the end
    EXPECT_TRUE(Read10(dev, uint32_t(n - 1), 1).ok);
    EXPECT_FALSE(In(dev, Cdb({0x28}, 10).u32(2, 0).u16(7, 2), 512).ok); // length mismatch
    // Stop makes the unit not ready until it is started again.
    EXPECT_TRUE(NoData(dev, Cdb({0x1B}, 6)));
    EXPECT_FALSE(Read10(dev, 0, 1).ok);
    EXPECT_TRUE(NoData(dev, Cdb({0x1B}, 6).set(4, 0x01)));
    EXPECT_TRUE(Read10(dev, 0, 1).ok);
}

TEST_F(SimDisks, FatToolsWorkOnTheDiskFiles)
{
    ASSERT_TRUE(startDisk());
    const std::string user = dev.userDiskPath();
    ToolResult r = tool("mkfs.fat -F 16 -n SIMDISK '" + user + "'");
    ASSERT_EQ(r.status, 0) << r.output;
    r = tool("fsck.fat -n '" + user + "'");
    EXPECT_EQ(r.status, 0) << r.output;

    // The device sees what the tool wrote: the boot sector signature.
    Reply boot = Read10(dev, 0, 1);
    ASSERT_TRUE(boot.ok);
    EXPECT_EQ(boot[510], 0x55);
    EXPECT_EQ(boot[511], 0xAA);

    dir.write("hello.txt", "hello from the station\n");
    r = tool("mcopy -i '" + user + "' '" + dir.file("hello.txt") + "' ::/HELLO.TXT");
    ASSERT_EQ(r.status, 0) << r.output;
    r = tool("mtype -i '" + user + "' ::/HELLO.TXT");
    EXPECT_EQ(r.output, "hello from the station\n");
    r = tool("mlabel -s -i '" + user + "' ::");
    EXPECT_NE(r.output.find("SIMDISK"), std::string::npos) << r.output;
    EXPECT_EQ(tool("fsck.fat -n '" + user + "'").status, 0);
}

TEST_F(SimDisks, HiddenDiskFromTheRecordsRatio)
{
    ASSERT_TRUE(startDisk());
    EXPECT_FALSE(hiddenDisk()); // ratio 0: no hidden disk
    writeRecord(1, 25);         // 10 %
    ASSERT_TRUE(startDisk());
    const uint64_t userSectors = sectors();
    ASSERT_TRUE(hiddenDisk());
    EXPECT_EQ(dev.currentDisk(), SimulatedDevice::Disk::Hidden);
    EXPECT_EQ(dev.currentDiskPath(), dev.hiddenDiskPath());
    uint64_t data = 800ull * 64 * 2048 - (4u << 20);
    EXPECT_EQ(sectors(), data * 25 / 256 / 512);
    EXPECT_EQ(userSectors, (data - data * 25 / 256) / 512);

    ToolResult r = tool("mkfs.fat -F 16 -n HIDDEN '" + dev.hiddenDiskPath() + "'");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(tool("fsck.fat -n '" + dev.hiddenDiskPath() + "'").status, 0);
    // The user disk was not touched.
    EXPECT_NE(tool("fsck.fat -n '" + dev.userDiskPath() + "'").status, 0);
    // A reset brings the user disk back.
    ASSERT_TRUE(NoData(dev, Cdb({0xEF, 0x81}, 6)));
    EXPECT_EQ(dev.currentDisk(), SimulatedDevice::Disk::User);
}

TEST_F(SimDisks, WholeDiskHiddenLeavesASmallPublicPart)
{
    writeRecord(1, 255);
    ASSERT_TRUE(startDisk());
    EXPECT_EQ(sectors(), (4u << 20) / 512);
    // Too small for the tool to format: the device formatted it, so only its label is set.
    const std::string user = dev.userDiskPath();
    ToolResult r = tool("fsck.fat -n '" + user + "'");
    EXPECT_EQ(r.status, 0) << r.output;
    r = tool("mlabel -i '" + user + "' ::PUBLIC");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(tool("mlabel -s -i '" + user + "' ::").output.find("PUBLIC"), std::string::npos);
    ASSERT_TRUE(hiddenDisk());
    EXPECT_EQ(sectors(), (800ull * 64 * 2048 - (4u << 20) - (4u << 20)) / 512);
    EXPECT_NE(tool("fsck.fat -n '" + dev.hiddenDiskPath() + "'").status, 0); // large: blank

    // Started again at the same size, the disk keeps what is on it.
    ASSERT_TRUE(NoData(dev, Cdb({0xEF, 0x81}, 6)));
    ASSERT_TRUE(UploadLoader(dev, SampleLoader()));
    ASSERT_TRUE(startDisk());
    EXPECT_NE(tool("mlabel -s -i '" + user + "' ::").output.find("PUBLIC"), std::string::npos);
}

// The volume the device lays down on a small new disk, for the sizes and sector sizes it
// meets; the FAT type follows from the cluster count as the FAT tools count it.
TEST(SimFreshVolume, SmallDisksPassTheChecker)
{
    struct Case {
        uint64_t sectors;
        uint32_t sectorSize;
        const char* type;
    } cases[] = {
        {128, 512, "FAT12"},           // 64 KiB
        {4096, 512, "FAT12"},          // 2 MiB
        {8192, 512, "FAT16"},          // 4 MiB: 1-sector clusters are too many for FAT12
        {32768, 512, "FAT16"},         // 16 MiB
        {65536, 512, "FAT16"},         // 32 MiB, the largest disk the tool leaves alone
        {16384, 1024, "FAT16"},        // 16 MiB of 1024-byte sectors
        {65536 + 77, 512, "FAT16"},    // a size that is no multiple of a track
    };
    testsupport::TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.sectors) + " x " + std::to_string(c.sectorSize));
        const std::string path = dir.file("v.img");
        std::remove(path.c_str());
        dir.write("v.img", "");
        ASSERT_EQ(truncate(path.c_str(), off_t(c.sectors * c.sectorSize)), 0);
        ASSERT_TRUE(sim::WriteFreshFatVolume(path, c.sectors, c.sectorSize, 0x12345678));
        ToolResult r = tool("fsck.fat -n -v '" + path + "'");
        EXPECT_EQ(r.status, 0) << r.output;
        Bytes boot(64);
        FILE* f = std::fopen(path.c_str(), "rb");
        ASSERT_TRUE(f);
        ASSERT_EQ(std::fread(boot.data(), 1, boot.size(), f), boot.size());
        std::fclose(f);
        EXPECT_EQ(std::string(boot.begin() + 54, boot.begin() + 59), c.type);
        r = tool("minfo -i '" + path + "' ::");
        EXPECT_EQ(r.status, 0) << r.output;
    }
    // Too small to hold a FAT, the root folder and one cluster; odd sector sizes.
    EXPECT_FALSE(sim::WriteFreshFatVolume(dir.file("v.img"), 4, 512, 1));
    EXPECT_FALSE(sim::WriteFreshFatVolume(dir.file("v.img"), 8192, 520, 1));
    EXPECT_FALSE(sim::WriteFreshFatVolume(dir.file("missing/v.img"), 8192, 512, 1));
}

} // namespace
