// The user and hidden disks of the simulated controller, checked with the real FAT tools.
#include "RawCommands.h"
#include "sim/FreshVolume.h"

#include <cstdio>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace simtest;

namespace {

struct ToolResult {
    int status = -1;
    std::string output;
};

// dosfstools lives in sbin, which a user's PATH may lack.
ToolResult tool(const std::string& args)
{
    ToolResult r;
    FILE* p = popen(("PATH=/usr/sbin:/sbin:$PATH MTOOLS_SKIP_CHECK=1 " + args + " 2>&1").c_str(), "r");
    if (!p)
        return r;
    char buf[512];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;)
        r.output.append(buf, n);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

bool fsckClean(const std::string& path) { return tool("fsck.fat -n '" + path + "'").status == 0; }
std::string label(const std::string& path) { return tool("mlabel -s -i '" + path + "' ::").output; }

class SimDisks : public LoadedDevice {
protected:
    bool startDisk() { return In(dev, Cdb({0xEF, 0x73}), 2, 30).status(); }
    bool hiddenDisk() { return In(dev, Cdb({0xEF, 0x92}), 1).status(); }
    // A configuration record and a bitmap with blocks 0-799 good.
    void writeRecord(uint8_t systemUnits, uint8_t ratio)
    {
        Bytes rec(2048, 0), bits(2048, 0);
        std::copy_n("6205", 4, rec.begin());
        rec[161] = systemUnits;
        rec[162] = ratio;
        std::fill_n(bits.begin(), 100, 0xFF);
        ASSERT_TRUE(CheckBlock(dev, 0));
        ASSERT_TRUE(WritePage(dev, 0, rec));
        ASSERT_TRUE(WritePage(dev, 1, bits));
    }
    uint64_t sectors() // READ CAPACITY: last block, block length
    {
        Reply r = In(dev, Cdb({0x25}), 8);
        EXPECT_TRUE(r.ok && Slice(r.data, 4, 8) == (Bytes{0, 0, 2, 0}));
        return (uint64_t(r[0]) << 24 | r[1] << 16 | r[2] << 8 | r[3]) + 1;
    }
};

TEST_F(SimDisks, UserDiskIsSizedFromTheTablesAndServesSectorsAndTheFatTools)
{
    EXPECT_FALSE(In(dev, Cdb({0x25}), 8).ok); // no disk before EF 73
    EXPECT_FALSE(Read10(dev, 0, 1).ok);
    EXPECT_EQ(dev.currentDiskPath(), "");
    EXPECT_FALSE(hiddenDisk()); // the user disk comes first

    ASSERT_TRUE(startDisk());
    // Factory table: 1016 usable blocks, 2 bad; 64 pages of 2048 bytes; 4 MiB system area.
    EXPECT_EQ(sectors(), (1014ull * 64 * 2048 - (4u << 20)) / 512);
    EXPECT_EQ(dev.currentDisk(), SimulatedDevice::Disk::User);
    struct stat st {};
    ASSERT_EQ(stat(dev.userDiskPath().c_str(), &st), 0);
    EXPECT_EQ(uint64_t(st.st_size), sectors() * 512);
    EXPECT_LT(uint64_t(st.st_blocks) * 512, 1u << 20); // sparse

    Bytes data = Pattern(512 * 64, 3);
    ASSERT_TRUE(Write10(dev, 100, data));
    EXPECT_EQ(Read10(dev, 100, 64).data, data);
    EXPECT_EQ(Read10(dev, 0, 1).data, Bytes(512, 0));
    const uint32_t n = uint32_t(sectors());
    EXPECT_FALSE(Read10(dev, n - 1, 2).ok); // past the end
    EXPECT_TRUE(Read10(dev, n - 1, 1).ok);
    EXPECT_FALSE(In(dev, Cdb({0x28}, 10).u16(7, 2), 512).ok); // length mismatch
    EXPECT_TRUE(In(dev, Cdb({0x1B}), 0).ok);                    // stopped: not ready
    EXPECT_FALSE(Read10(dev, 0, 1).ok);
    EXPECT_TRUE(In(dev, Cdb({0x1B}).set(4, 0x01), 0).ok);
    EXPECT_TRUE(Read10(dev, 0, 1).ok);

    // mkfs.fat, fsck.fat and mtools work on the disk file; the device sees what they wrote.
    const std::string user = dev.userDiskPath();
    ToolResult r = tool("mkfs.fat -F 16 -n SIMDISK '" + user + "'");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(fsckClean(user));
    EXPECT_EQ(Slice(Read10(dev, 0, 1).data, 510, 512), (Bytes{0x55, 0xAA}));
    EXPECT_NE(label(user).find("SIMDISK"), std::string::npos);

    // With a record: 800 good blocks, half the pages, 2 units of system area, a quarter hidden.
    writeRecord(2, 64);
    Bytes half(64, 0);
    std::fill_n(half.begin(), 32, 0xFF);
    ASSERT_TRUE(Out(dev, Cdb({0xEE, 0x9B}), half));
    ASSERT_TRUE(startDisk());
    uint64_t rest = 800ull * 32 * 2048 - (8u << 20);
    EXPECT_EQ(sectors(), (rest - rest * 64 / 256) / 512);
}

TEST_F(SimDisks, HiddenDiskFromTheRecordsRatio)
{
    ASSERT_TRUE(startDisk());
    EXPECT_FALSE(hiddenDisk()); // ratio 0: no hidden disk
    writeRecord(1, 25);         // 10 %
    ASSERT_TRUE(startDisk());
    const uint64_t userSectors = sectors(), data = 800ull * 64 * 2048 - (4u << 20);
    ASSERT_TRUE(hiddenDisk());
    EXPECT_EQ(dev.currentDisk(), SimulatedDevice::Disk::Hidden);
    EXPECT_EQ(dev.currentDiskPath(), dev.hiddenDiskPath());
    EXPECT_EQ(sectors(), data * 25 / 256 / 512);
    EXPECT_EQ(userSectors, (data - data * 25 / 256) / 512);

    ToolResult r = tool("mkfs.fat -F 16 -n HIDDEN '" + dev.hiddenDiskPath() + "'");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(fsckClean(dev.hiddenDiskPath()));
    EXPECT_FALSE(fsckClean(dev.userDiskPath())); // not touched
    ASSERT_TRUE(In(dev, Cdb({0xEF, 0x81}), 0).ok); // a reset brings the user disk back
    EXPECT_EQ(dev.currentDisk(), SimulatedDevice::Disk::User);

    // A whole-disk ratio leaves a small public part.
    ASSERT_TRUE(UploadLoader(dev, SampleLoader()));
    writeRecord(1, 255);
    ASSERT_TRUE(startDisk());
    EXPECT_EQ(sectors(), (4u << 20) / 512);
    // Too small for the tool to format: the device formatted it, so only its label is set.
    const std::string user = dev.userDiskPath();
    EXPECT_TRUE(fsckClean(user));
    r = tool("mlabel -i '" + user + "' ::PUBLIC");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(label(user).find("PUBLIC"), std::string::npos);
    ASSERT_TRUE(hiddenDisk());
    EXPECT_EQ(sectors(), (800ull * 64 * 2048 - (8u << 20)) / 512);
    EXPECT_FALSE(fsckClean(dev.hiddenDiskPath())); // large: left blank
}

// The volume the device lays down on a small new disk; the FAT type follows from the
// cluster count as the FAT tools count it.
TEST(SimFreshVolume, SmallDisksPassTheChecker)
{
    const struct {
        uint64_t sectors;
        uint32_t sectorSize;
        const char* type;
    } cases[] = {
        {128, 512, "FAT12"},        // 64 KiB
        {4096, 512, "FAT12"},       // 2 MiB
        {8192, 512, "FAT16"},       // 4 MiB: 1-sector clusters are too many for FAT12
        {16384, 1024, "FAT16"},     // 16 MiB of 1024-byte sectors
        {65536 + 77, 512, "FAT16"}, // above 32 MiB, no multiple of a track
    };
    testsupport::TempDir dir;
    const std::string path = dir.file("v.img");
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.sectors) + " x " + std::to_string(c.sectorSize));
        dir.write("v.img", "");
        ASSERT_EQ(truncate(path.c_str(), off_t(c.sectors * c.sectorSize)), 0);
        ASSERT_TRUE(sim::WriteFreshFatVolume(path, c.sectors, c.sectorSize, 0x12345678));
        ToolResult r = tool("fsck.fat -n -v '" + path + "'");
        EXPECT_EQ(r.status, 0) << r.output;
        EXPECT_EQ(dir.read("v.img").substr(54, 5), c.type);
        r = tool("minfo -i '" + path + "' ::");
        EXPECT_EQ(r.status, 0) << r.output;
    }
    // Too small to hold a FAT, the root folder and one cluster; odd sector sizes; no folder.
    EXPECT_FALSE(sim::WriteFreshFatVolume(path, 4, 512, 1));
    EXPECT_FALSE(sim::WriteFreshFatVolume(path, 8192, 520, 1));
    EXPECT_FALSE(sim::WriteFreshFatVolume(dir.file("missing/v.img"), 8192, 512, 1));
}

} // namespace
