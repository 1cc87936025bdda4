// The SPI read-back against the simulated controller: what the program and prefer streams
// left in the SPI flash, the compare, and the saved flash image.
#include "ProductionFixture.h"

#include "device/Stream.h"
#include "platform/AtomicFile.h"
#include "production/DataAreas.h"
#include "sim/Profiles.h"
#include "text/LangStrings.h"

using namespace prodtest;

namespace {

std::string Bytes(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = char((i * 7 + (i >> 8) * 13 + seed * 101) & 0xFF);
    return s;
}

class SpiSimTest : public SimThreadTest {
protected:
    // A SPI device holding a program and a prefer file as the sequence sends them.
    void PlugWith(size_t programSize, size_t preferSize)
    {
        Plug(sim::SpiNor4M());
        Write("p.bin", Bytes(programSize, 1));
        Write("pref.dat", Bytes(preferSize, 2));
        for (const char* f : {"p.bin", "pref.dat"}) {
            ASSERT_TRUE(SendWriteSetup(thread->hDevice, f));
            ASSERT_TRUE(SendProgramFile(thread->hDevice, f));
            ASSERT_TRUE(SendWriteEnd(thread->hDevice));
        }
        thread->sProgramFile = "p.bin";
        device->clearLog();
    }
    void Write(const std::string& name, const std::string& bytes)
    {
        ASSERT_TRUE(platform::WriteFileAtomic(station.file(name), bytes));
    }
    std::string Read(const std::string& name)
    {
        std::string s;
        platform::ReadWholeFile(station.file(name), s);
        return s;
    }
    std::string Flash(uint32_t size)
    {
        const auto f = device->spiFlash(0, size);
        return {f.begin(), f.end()};
    }
};

TEST_F(SpiSimTest, ReadBackCoversProgramAreaAndPreferAndCompares)
{
    PlugWith(100000, 4096);
    ASSERT_EQ(DumpSpiProgramArea(*thread, "p.bin", "1_Read_buffer.bin", "pref.dat"), 1) << status.Caption();
    // R = 131072: 196608 + 4096 bytes are 784 units, read 8 at a time.
    const auto log = device->commandLog();
    ASSERT_EQ(log.size(), 98u);
    for (size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(log[i].code, 0xEF9D);
        EXPECT_EQ(Be32(log[i].cdb.data() + 2), uint32_t(i * 8) << 16 | 8) << i;
        EXPECT_EQ(log[i].length, 2048u);
    }
    const std::string good = Read("log/1_Read_buffer.bin");
    EXPECT_EQ(good, Flash(98 * 2048));
    EXPECT_EQ(CompareSpiDump(*thread, "ignored", "1_Read_buffer.bin", "pref.dat"), 1) << status.Caption();

    // Dump offsets inside the three compared ranges, and outside all of them.
    const std::pair<size_t, bool> cases[] = {
        {0, false},      {3, false},          {4, true},           {65536, false},         {65536 + 34463, false},
        {65536 + 34464, true}, {196608, false}, {196608 + 2047, false}, {196608 + 2048, true}};
    for (const auto& [offset, equal] : cases) {
        std::string bad = good;
        bad[offset] = char(bad[offset] ^ 0x5A);
        Write("log/1_Read_buffer.bin", bad);
        status.SetCaption("");
        EXPECT_EQ(CompareSpiDump(*thread, "", "1_Read_buffer.bin", "pref.dat"), equal ? 1 : 0) << offset;
        EXPECT_EQ(status.Caption(), equal ? "" : "Check Data " + FailMsg.get()) << offset;
    }
    // A dump cut short compares as different, never past its end.
    Write("log/1_Read_buffer.bin", good.substr(0, 70000));
    EXPECT_EQ(CompareSpiDump(*thread, "", "1_Read_buffer.bin", "pref.dat"), 0);
}

TEST_F(SpiSimTest, ShortProgramComparesDifferentAndAMissingPreferReadsNothing)
{
    PlugWith(60000, 3000); // a program shorter than 64 KiB
    ASSERT_EQ(DumpSpiProgramArea(*thread, "p.bin", "0_Read_buffer.bin", "pref.dat"), 1);
    EXPECT_EQ(CompareSpiDump(*thread, "", "0_Read_buffer.bin", "pref.dat"), 0);
    EXPECT_EQ(status.Caption(), "Check Data " + FailMsg.get());
    device->clearLog();
    EXPECT_EQ(DumpSpiProgramArea(*thread, "p.bin", "0_Read_buffer.bin", "none.dat"), 0);
    EXPECT_EQ(status.Caption(), "Open perfer file fail!");
    EXPECT_EQ(device->countOf(0xEF9D), 0u);
}

TEST_F(SpiSimTest, SavedImageAndAReadErrorThatKeepsThePreviousFile)
{
    PlugWith(100000, 4096);
    ASSERT_EQ(DumpSpiFlash(*thread, ".\\NorImage.bin"), 1);
    // R + 128 KiB = 262144 bytes: 1024 units in 128 reads.
    EXPECT_EQ(device->countOf(0xEF9D), 128u);
    const std::string saved = Read("NorImage.bin");
    EXPECT_EQ(saved, Flash(262144));

    device->failCommand(0xEF9D, 50, sim::FaultKind::Transport);
    EXPECT_EQ(DumpSpiFlash(*thread, ".\\NorImage.bin"), 0);
    EXPECT_EQ(status.Caption(), "SPI read error!");
    EXPECT_EQ(Read("NorImage.bin"), saved);
    device->failCommand(0xEF9D, 1, sim::FaultKind::Transport);
    EXPECT_EQ(DumpSpiProgramArea(*thread, "p.bin", "0_Read_buffer.bin", "pref.dat"), 0);
    EXPECT_EQ(status.Caption(), "SPI read error!");
    thread->sProgramFile = "none.bin";
    EXPECT_EQ(DumpSpiFlash(*thread, ".\\NorImage.bin"), 0);
    EXPECT_EQ(status.Caption(), "Open file fail!");
}

TEST_F(SpiSimTest, AreaBeyondTheReadIndexIsRefusedWithoutReading)
{
    // 16 MiB of program: R + 64 KiB is past what a 16-bit unit index can address.
    PlugWith(10, 100);
    Write("huge.bin", std::string(16 << 20, '\x11'));
    thread->sProgramFile = "huge.bin";
    EXPECT_EQ(DumpSpiProgramArea(*thread, "huge.bin", "0_Read_buffer.bin", "pref.dat"), 0);
    EXPECT_EQ(DumpSpiFlash(*thread, ".\\NorImage.bin"), 0);
    EXPECT_EQ(status.Caption(), "SPI read error!");
    EXPECT_EQ(device->countOf(0xEF9D), 0u);
}

} // namespace
