// The device data areas on whole runs: an SPI device with hidden audio files, the read-back
// check and the saved flash image; a hidden disk filled as a signed file area.
#include "StationRun.h"

#include "sim/StationKit.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

using namespace e2e;

namespace {

std::string Bytes(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = char((i * 11 + (i >> 9) * 5 + seed * 29) & 0xFF);
    return s;
}

std::string ReadFile(const std::string& path, size_t length = SIZE_MAX)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str().substr(0, length);
}

bool InOrder(const std::vector<std::string>& all, const std::vector<std::string>& wanted)
{
    auto it = all.begin();
    for (const std::string& w : wanted) {
        it = std::find(it, all.end(), w);
        if (it == all.end())
            return false;
        ++it;
    }
    return true;
}

class DataAreasRun : public StationRun {};

TEST_F(DataAreasRun, SpiRunWritesHiddenFilesChecksTheReadBackAndSavesTheFlash)
{
    const std::string wav = Bytes(10000, 1);
    form->SpiFileList.Assign({MakeFile("audio/a.wav", wav), MakeFile("audio/notes.txt", "x")});
    form->chknor->SetChecked(true);
    form->SaveSpiImage = true;
    RecordPanel();
    auto device = Plug(sim::SpiNor4M());
    WaitForRuns();
    const auto captions = Captions();
    ASSERT_EQ(Status(0), "successful") << ::testing::PrintToString(captions);

    // Program, prefer, then the one audio file behind its 8 KiB header.
    const auto streams = device->streams();
    ASSERT_EQ(streams.size(), 3u);
    EXPECT_EQ(streams[2].announced, wav.size() + 2048);
    EXPECT_EQ(streams[2].received, 8192 + wav.size());
    EXPECT_EQ(streams[2].pieces, 3u);
    ASSERT_EQ(streams[2].data.size(), 8192 + wav.size());
    EXPECT_EQ(streams[2].data[4], 0xC3);
    EXPECT_EQ(std::string(streams[2].data.begin() + 8192, streams[2].data.end()), wav);

    EXPECT_TRUE(InOrder(captions, {"SPI hidden files write  0", "SPI hidden files write  1",
                                   "Start Disk", "Check Data ", "Save Flash Image",
                                   "successful"}));
    const auto steps = Steps();
    EXPECT_TRUE(std::find(steps.begin(), steps.end(), 78) != steps.end());
    EXPECT_TRUE(std::find(steps.begin(), steps.end(), 80) != steps.end());

    // The dump covers R + 64 KiB + the prefer data, in whole 2048-byte reads.
    const uint64_t program = std::filesystem::file_size(station->file(sim::kKitFirmware));
    const uint64_t prefer = std::filesystem::file_size(station->file(sim::kKitPrefer));
    const uint64_t r = (program + 65535) / 65536 * 65536;
    const uint64_t units = (r + 65536 + prefer) / 256;
    const std::string dump = ReadFile(station->file("log/0_Read_buffer.bin"));
    EXPECT_EQ(dump.size(), (units + 7) / 8 * 2048);
    const std::string saved = ReadFile(station->file("NorImage.bin"));
    ASSERT_EQ(saved.size(), r + 131072);
    const auto flash = device->spiFlash(0, uint32_t(saved.size()));
    EXPECT_EQ(saved, std::string(flash.begin(), flash.end()));
}

TEST_F(DataAreasRun, SpiReadErrorFailsTheReadBackCheck)
{
    form->chknor->SetChecked(true);
    form->SaveSpiImage = true;
    auto device = station->bus().plug(sim::SpiNor4M());
    device->failCommand(0xEF9D, 3, sim::FaultKind::Transport);
    Deliver();
    WaitForRuns();
    EXPECT_EQ(Status(0), "Check Data fail");
    EXPECT_EQ(Color(0), toolkit::clRed);
    EXPECT_FALSE(std::filesystem::exists(station->file("NorImage.bin")));
}

TEST_F(DataAreasRun, HiddenDiskWithoutFileSystemGetsTheSignedAreaAndIsStopped)
{
    const std::string a = Bytes(1000, 2), c = Bytes(600, 3);
    form->eDeviceFeature = 2;
    form->iHideDiskRatio = 50;
    form->bNonFileSystem = true;
    form->HideFileList.Assign(
        {MakeFile("h/a.bin", a), station->file("h/missing.bin"), MakeFile("h/c.bin", c)});
    RecordPanel();
    auto device = Plug(sim::Nand128M());
    WaitForRuns();
    ASSERT_EQ(Status(0), "successful") << ::testing::PrintToString(Captions());
    EXPECT_TRUE(InOrder(Captions(), {"Map Image file", "successful"}));
    EXPECT_EQ(device->countOf(0x1B), 1u) << "the unit is stopped at the end";

    const std::string hidden = ReadFile(device->hiddenDiskPath(), 5 * 512);
    ASSERT_EQ(hidden.size(), 5u * 512);
    EXPECT_EQ(hidden.substr(0, 12), "KOV6125X2947");
    EXPECT_EQ(hidden[12], 3);
    EXPECT_EQ(hidden.substr(512, a.size()), a);
    EXPECT_EQ(hidden.substr(3 * 512, c.size()), c);
    const auto* h = reinterpret_cast<const uint8_t*>(hidden.data());
    EXPECT_TRUE(std::all_of(h + 32, h + 48, [](uint8_t b) { return b == 0; }))
        << "the missing file's entry stays zero";
    EXPECT_EQ(h[48], 2);
    EXPECT_EQ(h[52], 3);
    EXPECT_EQ(h[56] | h[57] << 8, 600);
}

} // namespace
