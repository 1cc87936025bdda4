// The data areas against a recording device: the image's chunks and the signed file area's
// layout; the SPI read-back's compare ranges on the simulated controller; the FAT flag and
// disk size of a capacity.
#include "ProductionFixture.h"

#include "device/Stream.h"
#include "platform/AtomicFile.h"
#include "platform/ByteOrder.h"
#include "production/DataAreas.h"
#include "production/DataAreasIo.h"
#include "production/DrivePrep.h"
#include "sim/Profiles.h"
#include "text/LangStrings.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

using namespace prodtest;

namespace {

// Bytes of a made-up file: a pattern that differs from piece to piece.
std::string Pattern(size_t n, unsigned seed = 1)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = char((i * 131 + i / 512 * 7 + seed * 17) & 0xFF);
    return s;
}

size_t OpenFileCount()
{
    return size_t(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

bool AllZero(const uint8_t* from, const uint8_t* to) { return std::all_of(from, to, [](uint8_t b) { return !b; }); }

// A disk of `sectors` sectors of `sectorSize` bytes.
class DataAreasTest : public ThreadTest {
protected:
    void SetUp() override
    {
        ThreadTest::SetUp();
        thread->iSectorSize = 512;
        answer = [this](const RecordedCall& c) {
            if (c.cdb[0] != 0x25)
                return ScriptedAnswer{};
            const uint32_t last = sectors - 1;
            return ScriptedAnswer{{uint8_t(last >> 24), uint8_t(last >> 16), uint8_t(last >> 8), uint8_t(last),
                                   uint8_t(sectorSize >> 24), uint8_t(sectorSize >> 16), uint8_t(sectorSize >> 8),
                                   uint8_t(sectorSize)},
                                  true};
        };
    }
    int64_t Measure(const std::string& name, const std::string& bytes)
    {
        dir.write(name, bytes);
        return OpenImageFile(*thread, dir.file(name));
    }
    int WriteImage(const std::string& name) { return WriteImageToDisk(*thread, "R", dir.file(name), 90, 98); }

    uint32_t sectors = 1 << 20, sectorSize = 512;
};

TEST_F(DataAreasTest, ImageWrittenIn32KiBChunksAtConsecutiveLbas)
{
    const struct { size_t size; uint16_t sector; uint32_t chunks, sectorsPerChunk; int lastGauge; } cases[] = {
        {(1 << 20) + 1, 1024, 33, 32, 98}, // one byte over 1 MiB: a 33rd chunk
        {20000, 512, 1, 64, 98},           // a single short chunk fills the gauge
    };
    for (const auto& p : cases) {
        SCOPED_TRACE(p.size);
        thread->iSectorSize = sectorSize = p.sector;
        std::string bytes = Pattern(p.size, 3);
        bytes[11] = char(p.sector & 0xFF); // the boot sector's bytes per sector
        bytes[12] = char(p.sector >> 8);
        ASSERT_EQ(Measure("disk.img", bytes), int64_t(p.size));
        const size_t files = OpenFileCount(), before = drive.transport->callCount();
        ASSERT_EQ(WriteImage("disk.img"), 1);
        EXPECT_EQ(OpenFileCount(), files);
        const auto calls = drive.transport->calls();
        ASSERT_EQ(calls.size() - before, p.chunks) << "nothing but the image's writes";
        std::string last(32768, '\0');
        for (uint32_t i = 0; i < p.chunks; ++i) {
            const auto& w = calls[before + i];
            EXPECT_EQ(w.cdb[0] << 8 | w.cdbLength, 0x2A0A);
            EXPECT_EQ(Be32(w.cdb.data() + 2), i * p.sectorsPerChunk) << i;
            EXPECT_EQ(uint32_t(w.cdb[7] << 8 | w.cdb[8]), p.sectorsPerChunk);
            // A short last chunk keeps the previous chunk's bytes behind the image's end.
            const size_t from = size_t(i) * 32768;
            std::memcpy(last.data(), bytes.data() + from, std::min<size_t>(32768, p.size - from));
            EXPECT_EQ(w.data, std::vector<uint8_t>(last.begin(), last.end())) << "chunk " << i;
        }
        EXPECT_EQ(status.Caption(), "iSectorUsed:" + std::to_string(p.chunks - 1));
        EXPECT_EQ(gauge.Progress(), p.lastGauge);
    }
    // An image that changed since it was measured is not written.
    std::string grown = Pattern(40000, 3);
    grown[11] = 0, grown[12] = 2;
    dir.write("disk.img", grown);
    EXPECT_EQ(WriteImage("disk.img"), 0);
    EXPECT_EQ(CallsOf(0x2A).size(), 34u);
}

// A read reaches only what a file holds: none from a file that did not open, none past its
// end, none at an offset the seek cannot take.
TEST_F(DataAreasTest, ReadsStayInsideAFileThatOpened)
{
    uint8_t byte = 0;
    dataareas::BinaryFile missing(dir.file("none.bin"), "rb");
    EXPECT_FALSE(missing.readAt(0, &byte, 1));
    dir.write("one.bin", "x");
    dataareas::BinaryFile one(dir.file("one.bin"), "rb");
    EXPECT_TRUE(one.readAt(0, &byte, 1));
    EXPECT_FALSE(one.readAt(1, &byte, 1));
    EXPECT_FALSE(one.readAt(uint64_t(1) << 63, &byte, 1));
}

TEST_F(DataAreasTest, SignedAreaFilesFollowTheHeaderSectorBySector)
{
    const std::string a = Pattern(1000, 5);
    dir.write("h/a.bin", a);
    dir.write("h/b.bin", "");
    ASSERT_EQ(dataareas::WriteSignedFileArea(*thread, {dir.file("h/a.bin"), dir.file("h/b.bin")}), 1);
    ASSERT_EQ(drive.transport->callCount(), 4u);
    const auto writes = CallsOf(0x2A);
    ASSERT_EQ(writes.size(), 3u);
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(Be32(writes[i].cdb.data() + 2), (i + 1) % 3) << "the header goes last";
        EXPECT_EQ(writes[i].cdb[7] << 8 | writes[i].cdb[8], 1);
        ASSERT_EQ(writes[i].data.size(), 512u);
    }
    EXPECT_EQ(std::memcmp(writes[0].data.data(), a.data(), 512), 0);
    // The short piece: 488 new bytes, then what the previous piece left in the buffer.
    EXPECT_EQ(std::memcmp(writes[1].data.data(), a.data() + 512, 488), 0);
    EXPECT_EQ(std::memcmp(writes[1].data.data() + 488, a.data() + 488, 24), 0);

    const uint8_t* h = writes[2].data.data();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(h), 12), "KOV6125X2947");
    EXPECT_EQ(platform::GetLe32(h + 12), 2u);
    const uint32_t want[8] = {0, 1, 1000, 0, 1, 3, 0, 0};
    for (int f = 0; f < 8; ++f)
        EXPECT_EQ(platform::GetLe32(h + 16 + 4 * f), want[f]) << f;
    EXPECT_TRUE(AllZero(h + 48, h + 512));
    // The header needs 512 bytes and a piece holds at most 1024; a disk without a last block has no room.
    for (uint32_t size : {256u, 1025u, 1024u}) {
        sectorSize = size;
        EXPECT_EQ(dataareas::WriteSignedFileArea(*thread, {dir.file("h/a.bin")}), size == 1024 ? 1 : 0) << size;
    }
    sectors = 1;
    EXPECT_EQ(dataareas::WriteSignedFileArea(*thread, {}), 0);
}

// The header sector holds 31 entries: a longer list writes those (a missing file keeps
// its entry empty) and counts them all.
TEST_F(DataAreasTest, SignedAreaOfFortyEntriesFillsOnlyTheFirst31)
{
    std::vector<std::string> list;
    for (int i = 0; i < 40; ++i) {
        list.push_back(dir.file("h/" + std::to_string(i) + ".dat"));
        if (i != 7)
            dir.write("h/" + std::to_string(i) + ".dat", Pattern(100 + i, i));
    }
    ASSERT_EQ(dataareas::WriteSignedFileArea(*thread, list), 1);
    const auto writes = CallsOf(0x2A);
    ASSERT_EQ(writes.size(), 30u + 1u) << "30 files of one sector and the header";
    const uint8_t* h = writes.back().data.data();
    EXPECT_EQ(platform::GetLe32(h + 12), 40u);
    for (uint32_t i = 0, sector = 1; i < 31; ++i) {
        const uint32_t want[4] = {i, i == 7 ? 0 : sector++, 100 + i, 0};
        for (int f = 0; f < 4; ++f)
            EXPECT_EQ(platform::GetLe32(h + 16 + 16 * i + 4 * f), i == 7 ? 0 : want[f]) << i << "," << f;
    }
}

// The hidden-file header and the signed-area table hold 32-bit sizes: larger files are
// refused before anything goes to the device.
TEST_F(DataAreasTest, FilesBeyondThe32BitSizeFieldsAreRefused)
{
    dir.write("h/big.wav", "");
    std::filesystem::resize_file(dir.file("h/big.wav"), (uint64_t(1) << 32) - 2048 + 1);
    EXPECT_EQ(dataareas::WriteSpiHiddenFiles(*thread, {dir.file("h/big.wav")}), 0);
    EXPECT_EQ(status.Caption(), "SPI hidden files write " + FailMsg.get());
    std::filesystem::resize_file(dir.file("h/big.wav"), uint64_t(1) << 32);
    EXPECT_EQ(dataareas::WriteSignedFileArea(*thread, {dir.file("h/big.wav")}), 0);
    EXPECT_TRUE(CallsOf(0x2A).empty() && CallsOf(0xEF).empty() && CallsOf(0xEE).empty());
}

// The SPI read-back on the simulator: what the program and prefer streams left in the flash
// is read back and compared, byte ranges exact.
class SpiSimTest : public SimThreadTest {
protected:
    // A SPI device holding a program and a prefer file as the sequence sends them.
    void PlugWith(size_t programSize, size_t preferSize)
    {
        Plug(sim::SpiNor4M());
        Write("p.bin", Pattern(programSize, 1));
        Write("pref.dat", Pattern(preferSize, 2));
        for (const char* f : {"p.bin", "pref.dat"})
            ASSERT_TRUE(SendWriteSetup(thread->hDevice, f) && SendProgramFile(thread->hDevice, f, *FileSizeOf(f)) &&
                        SendWriteEnd(thread->hDevice));
        thread->sProgramFile = "p.bin";
        device->clearLog();
    }
    void Write(const std::string& name, const std::string& bytes)
    {
        ASSERT_TRUE(platform::WriteFileAtomic(station.file(name), bytes));
    }
};

// 16 MiB of program: the area past it lies beyond what a 16-bit unit index addresses.
TEST_F(SpiSimTest, AreaBeyondTheReadIndexIsRefusedWithoutReading)
{
    PlugWith(10, 100);
    Write("huge.bin", std::string(16 << 20, '\x11'));
    thread->sProgramFile = "huge.bin";
    EXPECT_EQ(DumpSpiProgramArea(*thread, "huge.bin", "0_Read_buffer.bin", "pref.dat"), 0);
    EXPECT_EQ(status.Caption(), "SPI read error!");
    EXPECT_EQ(device->countOf(0xEF9D), 0u);
}

TEST_F(SpiSimTest, ReadBackCoversProgramAreaAndPreferAndCompares)
{
    PlugWith(100000, 4096);
    ASSERT_EQ(DumpSpiProgramArea(*thread, "p.bin", "1_Read_buffer.bin", "pref.dat"), 1) << status.Caption();
    // R = 131072: 196608 + 4096 bytes are 784 units, read 8 at a time.
    const auto log = device->commandLog();
    ASSERT_EQ(log.size(), 98u);
    EXPECT_EQ(Be32(log[97].cdb.data() + 2), uint32_t(97 * 8) << 16 | 8);
    std::string good;
    ASSERT_TRUE(platform::ReadWholeFile(station.file("log/1_Read_buffer.bin"), good));
    const auto flash = device->spiFlash(0, 98 * 2048);
    EXPECT_EQ(good, std::string(flash.begin(), flash.end()));
    EXPECT_EQ(CompareSpiDump(*thread, "ignored", "1_Read_buffer.bin", "pref.dat"), 1) << status.Caption();

    // Dump offsets inside the three compared ranges, and outside all of them.
    const std::pair<size_t, bool> cases[] = {{3, false}, {4, true}, {65536 + 34463, false}, {65536 + 34464, true},
                                             {196608 + 2047, false}, {196608 + 2048, true}};
    for (const auto& [offset, equal] : cases) {
        std::string bad = good;
        bad[offset] = char(bad[offset] ^ 0x5A);
        Write("log/1_Read_buffer.bin", bad);
        status.SetCaption("");
        EXPECT_EQ(CompareSpiDump(*thread, "", "1_Read_buffer.bin", "pref.dat"), equal ? 1 : 0) << offset;
        EXPECT_EQ(status.Caption(), equal ? "" : "Check Data " + FailMsg.get()) << offset;
    }
}

TEST_F(SpiSimTest, ProgramOfExactly64KiBComparesItsHeadAndPrefer)
{
    PlugWith(65536, 3000);
    ASSERT_EQ(DumpSpiProgramArea(*thread, "p.bin", "0_Read_buffer.bin", "pref.dat"), 1);
    EXPECT_EQ(CompareSpiDump(*thread, "", "0_Read_buffer.bin", "pref.dat"), 1) << status.Caption();
    // A dump that cannot take its name fails and leaves no partial file behind.
    std::filesystem::create_directories(station.file("log/2_Read_buffer.bin/in_the_way"));
    EXPECT_EQ(DumpSpiProgramArea(*thread, "p.bin", "2_Read_buffer.bin", "pref.dat"), 0);
    EXPECT_FALSE(std::filesystem::exists(station.file("log/2_Read_buffer.bin.part")));
}

constexpr uint64_t kMiB = 1u << 20;

TEST(DrivePrep, FatFlagAndDiskSizeFollowTheCapacity)
{
    const struct {
        uint64_t bytes; // last LBA x block length
        uint32_t blockLength, flag;
        int32_t mb;
    } cases[] = {
        {64 * kMiB, 2048, 255, 64}, {128 * kMiB, 2048, kFatFlagFat16, 128}, // 255: the format runner's large clusters
        {512 * kMiB, 512, kFatFlagFat16, 512},        {513 * kMiB, 512, kFatFlagFat32, 513},
        {4608 * kMiB, 512, kFatFlagFat32, 4608},      // 4.5 GB, not wrapped
        {8256 * kMiB, 2048, kFatFlagFat32, 8256},     // wraps to 64 MB in 32 bits
        {250 * kMiB, 256, kFatFlagFat16, 0},          // blocks below 512 bytes count as 0 units
    };
    for (const auto& c : cases) {
        const uint32_t lastLba = uint32_t(c.bytes / c.blockLength);
        EXPECT_EQ(FatFlagForCapacity(lastLba, c.blockLength), c.flag) << c.bytes / kMiB << " MB / " << c.blockLength;
        EXPECT_EQ(DiskSizeMBForCapacity(lastLba, c.blockLength), c.mb) << c.bytes / kMiB << " MB / " << c.blockLength;
    }
    EXPECT_EQ(FatFlagForCapacity(0, 2048), 0u);
    EXPECT_EQ(FatFlagForCapacity(32768, 0), 0u);
    EXPECT_EQ(DiskSizeMBForCapacity(0xFFFFFFFFu, 4096), int32_t((8ull * 0xFFFFFFFFu) >> 11)) << "16 TiB, no wrap";
}

} // namespace
