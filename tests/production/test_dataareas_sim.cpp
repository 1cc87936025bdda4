// The data areas against the simulated controller: the SPI read-back of what the program
// and prefer streams left in the SPI flash, the saved flash image, and the image on a disk.
#include "ProductionFixture.h"

#include "device/Commands.h"
#include "device/Stream.h"
#include "production/DataAreas.h"
#include "sim/Profiles.h"
#include "sim/StationKit.h"
#include "support/SimStation.h"
#include "ui/LangStrings.h"

#include <cstring>
#include <fstream>
#include <sstream>

using namespace prodtest;

namespace {

std::string Bytes(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = char((i * 7 + (i >> 8) * 13 + seed * 101) & 0xFF);
    return s;
}

std::string ReadFile(const std::string& path, uint64_t offset = 0, size_t length = SIZE_MAX)
{
    std::ifstream in(path, std::ios::binary);
    in.seekg(std::streamoff(offset));
    std::ostringstream out;
    out << in.rdbuf();
    std::string s = out.str();
    return s.substr(0, std::min(length, s.size()));
}

class DataAreasSimTest : public ::testing::Test, protected PanelControls {
protected:
    void SetUp() override { production::SetWindowLink(&window); }
    void TearDown() override
    {
        if (thread)
            platform::CloseDrive(thread->hDevice);
        production::SetWindowLink(nullptr);
    }

    // A device in loader state and a thread with a handle on it.
    void Plug(const sim::FlashProfile& profile)
    {
        device = station.bus().plug(profile);
        const char letter = station.bus().letterOf(device);
        const auto size = FileSizeOf(station.file(sim::kKitLoader));
        ASSERT_TRUE(size.has_value());
        ASSERT_TRUE(UploadFirmware(letter, uint32_t(*size), sim::kKitLoader));
        thread = std::make_unique<ProductThread>(letter, 0, &status, &gauge, &image, "", &textF,
                                                 &textP);
        thread->hDevice = platform::OpenDrive(letter);
        thread->iSectorSize = 512;
    }
    // Program and prefer streams as the sequence sends them; the SPI device places them.
    void WriteSpiAreas(size_t programSize, size_t preferSize)
    {
        program = Bytes(programSize, 1);
        prefer = Bytes(preferSize, 2);
        std::ofstream(station.file("p.bin"), std::ios::binary) << program;
        std::ofstream(station.file("pref.dat"), std::ios::binary) << prefer;
        for (const char* f : {"p.bin", "pref.dat"}) {
            ASSERT_TRUE(SendWriteSetup(thread->hDevice, f));
            ASSERT_TRUE(SendProgramFile(thread->hDevice, f));
            ASSERT_TRUE(SendWriteEnd(thread->hDevice));
        }
        thread->sProgramFile = "p.bin";
    }

    testsupport::SimStation station;
    FakeWindow window;
    std::shared_ptr<sim::SimulatedDevice> device;
    std::unique_ptr<ProductThread> thread;
    std::string program, prefer;
};

TEST_F(DataAreasSimTest, SpiReadBackCoversProgramAreaAndPreferAndCompares)
{
    Plug(sim::SpiNor4M());
    WriteSpiAreas(100000, 4096);
    device->clearLog();
    ASSERT_EQ(DumpSpiProgramArea(*thread, "p.bin", "0_Read_buffer.bin", "pref.dat"), 1)
        << status.Caption();
    // R = 131072: 196608 + 4096 bytes are 784 units, read 8 at a time.
    EXPECT_EQ(device->countOf(0xEF9D), 98u);
    auto log = device->commandLog();
    for (size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(Be32(log[i].cdb.data() + 2), uint32_t(i * 8) << 16 | 8) << i;
        EXPECT_EQ(log[i].length, 2048u);
    }
    const std::string dump = ReadFile(station.file("log/0_Read_buffer.bin"));
    ASSERT_EQ(dump.size(), 98u * 2048);
    const auto flash = device->spiFlash(0, 98 * 2048);
    EXPECT_EQ(dump, std::string(flash.begin(), flash.end()));

    EXPECT_EQ(CompareSpiDump(*thread, "ignored", "0_Read_buffer.bin", "pref.dat"), 1)
        << status.Caption();
}

TEST_F(DataAreasSimTest, SpiCompareFindsEachComparedRange)
{
    Plug(sim::SpiNor4M());
    WriteSpiAreas(100000, 4096);
    ASSERT_EQ(DumpSpiProgramArea(*thread, "p.bin", "1_Read_buffer.bin", "pref.dat"), 1);
    const std::string good = ReadFile(station.file("log/1_Read_buffer.bin"));
    const std::string mismatch = "Check Data " + FailMsg.get();
    // Dump offsets inside the three compared ranges, and one outside all of them.
    struct Case {
        size_t offset;
        bool equal;
    } cases[] = {{0, false},         {3, false},          {4, true},
                 {65536, false},     {65536 + 34463, false}, {65536 + 34464, true},
                 {196608, false},    {196608 + 2047, false}, {196608 + 2048, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.offset);
        std::string bad = good;
        bad[c.offset] = char(bad[c.offset] ^ 0x5A);
        std::ofstream(station.file("log/1_Read_buffer.bin"), std::ios::binary) << bad;
        status.SetCaption("");
        EXPECT_EQ(CompareSpiDump(*thread, "", "1_Read_buffer.bin", "pref.dat"), c.equal ? 1 : 0);
        if (!c.equal) {
            EXPECT_EQ(status.Caption(), mismatch);
            EXPECT_EQ(status.Font()->Color(), toolkit::clRed);
        }
    }
    // A dump cut short compares as different, never past its end.
    std::ofstream(station.file("log/1_Read_buffer.bin"), std::ios::binary) << good.substr(0, 70000);
    EXPECT_EQ(CompareSpiDump(*thread, "", "1_Read_buffer.bin", "pref.dat"), 0);
}

TEST_F(DataAreasSimTest, SpiCompareRefusesAShortProgramAndMissingFiles)
{
    Plug(sim::SpiNor4M());
    WriteSpiAreas(60000, 3000); // a program shorter than 64 KiB
    ASSERT_EQ(DumpSpiProgramArea(*thread, "p.bin", "0_Read_buffer.bin", "pref.dat"), 1);
    EXPECT_EQ(CompareSpiDump(*thread, "", "0_Read_buffer.bin", "pref.dat"), 0);
    EXPECT_EQ(status.Caption(), "Check Data " + FailMsg.get());

    EXPECT_EQ(CompareSpiDump(*thread, "", "9_Read_buffer.bin", "pref.dat"), 0);
    EXPECT_EQ(status.Caption(), "Open file fail!");
    thread->sProgramFile = "none.bin";
    EXPECT_EQ(CompareSpiDump(*thread, "", "0_Read_buffer.bin", "pref.dat"), 0);
    EXPECT_EQ(status.Caption(), "Open program file fail!");
    thread->sProgramFile = "p.bin";
    EXPECT_EQ(CompareSpiDump(*thread, "", "0_Read_buffer.bin", "none.dat"), 0);
    EXPECT_EQ(status.Caption(), "Open perfer file fail!");

    device->clearLog();
    EXPECT_EQ(DumpSpiProgramArea(*thread, "none.bin", "0_Read_buffer.bin", "pref.dat"), 0);
    EXPECT_EQ(status.Caption(), "Open program file fail!");
    EXPECT_EQ(DumpSpiProgramArea(*thread, "p.bin", "0_Read_buffer.bin", "none.dat"), 0);
    EXPECT_EQ(status.Caption(), "Open perfer file fail!");
    EXPECT_EQ(device->countOf(0xEF9D), 0u);
}

TEST_F(DataAreasSimTest, SpiReadErrorFailsAndKeepsThePreviousFile)
{
    Plug(sim::SpiNor4M());
    WriteSpiAreas(100000, 4096);
    ASSERT_EQ(DumpSpiFlash(*thread, ".\\NorImage.bin"), 1);
    // R + 128 KiB = 262144 bytes: 1024 units in 128 reads.
    EXPECT_EQ(device->countOf(0xEF9D), 128u);
    const std::string saved = ReadFile(station.file("NorImage.bin"));
    ASSERT_EQ(saved.size(), 262144u);
    const auto flash = device->spiFlash(0, 262144);
    EXPECT_EQ(saved, std::string(flash.begin(), flash.end()));

    device->failCommand(0xEF9D, 50, sim::FaultKind::Transport);
    EXPECT_EQ(DumpSpiFlash(*thread, ".\\NorImage.bin"), 0);
    EXPECT_EQ(status.Caption(), "SPI read error!");
    EXPECT_EQ(ReadFile(station.file("NorImage.bin")), saved);

    device->failCommand(0xEF9D, 1, sim::FaultKind::Transport);
    EXPECT_EQ(DumpSpiProgramArea(*thread, "p.bin", "0_Read_buffer.bin", "pref.dat"), 0);
    EXPECT_EQ(status.Caption(), "SPI read error!");

    thread->sProgramFile = "none.bin";
    EXPECT_EQ(DumpSpiFlash(*thread, ".\\NorImage.bin"), 0);
    EXPECT_EQ(status.Caption(), "Open file fail!");
}

TEST_F(DataAreasSimTest, SpiAreaBeyondTheReadIndexIsRefusedWithoutReading)
{
    Plug(sim::SpiNor4M());
    // 16 MiB of program: R + 64 KiB is past what a 16-bit unit index can address.
    std::ofstream(station.file("huge.bin"), std::ios::binary) << std::string(16 << 20, '\x11');
    std::ofstream(station.file("pref.dat"), std::ios::binary) << std::string(100, '\x22');
    thread->sProgramFile = "huge.bin";
    device->clearLog();
    EXPECT_EQ(DumpSpiProgramArea(*thread, "huge.bin", "0_Read_buffer.bin", "pref.dat"), 0);
    EXPECT_EQ(DumpSpiFlash(*thread, ".\\NorImage.bin"), 0);
    EXPECT_EQ(status.Caption(), "SPI read error!");
    EXPECT_EQ(device->countOf(0xEF9D), 0u);
}

TEST_F(DataAreasSimTest, ImageLandsOnTheDiskFromLbaZero)
{
    Plug(sim::Nand128M());
    ASSERT_TRUE(StartDisk(thread->hDevice));
    std::string img = Bytes((1 << 20) + 1, 9);
    img[11] = 0x00;
    img[12] = 0x02; // 512 bytes per sector
    std::ofstream(station.file("hidden.img"), std::ios::binary) << img;
    ASSERT_EQ(OpenImageFile(*thread, "hidden.img"), int64_t(img.size()));
    ASSERT_EQ(WriteImageToDisk(*thread, "E", "hidden.img", 90, 98), 1);
    EXPECT_EQ(device->countOf(0x2A), 33u);
    EXPECT_EQ(ReadFile(device->currentDiskPath(), 0, img.size()), img);
    EXPECT_EQ(gauge.Progress(), 98);

    ASSERT_EQ(EjectDevice(*thread, thread->hDevice), 1);
    EXPECT_EQ(device->countOf(0x1B), 1u);
}

} // namespace
