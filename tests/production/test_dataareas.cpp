// The data areas against a recording device: the exact commands of the image writing, the
// signed file area, the SPI hidden files and the SPI read-back, and their refusals.
#include "ProductionFixture.h"

#include "platform/Clock.h"
#include "production/DataAreas.h"
#include "support/RecordingTransport.h"
#include "ui/LangStrings.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <filesystem>
#include <fstream>

using namespace prodtest;
using testsupport::RecordedCall;
using testsupport::ScriptedAnswer;

namespace {

uint32_t Le32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Bytes 0..n-1 of a made-up file: a pattern that differs from piece to piece.
std::string Pattern(size_t n, unsigned seed = 1)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = char((i * 131 + i / 512 * 7 + seed * 17) & 0xFF);
    return s;
}

size_t OpenFileCount()
{
    return size_t(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                std::filesystem::directory_iterator()));
}

class DataAreasTest : public ThreadTest {
protected:
    void SetUp() override
    {
        ThreadTest::SetUp();
        platform::SetClock(&clock);
        thread->hDevice = drive.handle;
        thread->iSectorSize = 512;
        drive.transport->setCallLimit(100000);
        drive.transport->setResponder([this](const RecordedCall& c) { return Answer(c); });
    }
    void TearDown() override
    {
        platform::SetClock(nullptr);
        ThreadTest::TearDown();
    }

    // A disk of `sectors` sectors of `sectorSize` bytes; vendor status commands succeed.
    ScriptedAnswer Answer(const RecordedCall& c)
    {
        const uint16_t code = c.cdb[0] == 0xEF || c.cdb[0] == 0xEE ? uint16_t(c.cdb[0] << 8 | c.cdb[1])
                                                                   : c.cdb[0];
        ScriptedAnswer a;
        a.success = !failCodes.count(code) || failCodes[code]-- != 1;
        if (code == 0x25) {
            uint32_t last = sectors - 1;
            a.reply = {uint8_t(last >> 24), uint8_t(last >> 16), uint8_t(last >> 8), uint8_t(last),
                       uint8_t(sectorSize >> 24), uint8_t(sectorSize >> 16),
                       uint8_t(sectorSize >> 8), uint8_t(sectorSize)};
            a.success = a.success && capacityAnswers;
        } else if (code == 0xEF7A || code == 0xEF7C) {
            a.reply = {0x01};
        }
        return a;
    }
    std::vector<RecordedCall> CallsOf(uint8_t byte0, uint8_t byte1 = 0) const
    {
        std::vector<RecordedCall> out;
        for (auto& c : drive.transport->calls())
            if (c.cdb[0] == byte0 && (byte1 == 0 || c.cdb[1] == byte1))
                out.push_back(c);
        return out;
    }
    // Fails the nth next command with this code (0x2A, 0xEF7A, ...).
    void FailNth(uint16_t code, int nth) { failCodes[code] = nth; }

    platform::FakeClock clock;
    testsupport::RecordingDrive drive{'R'};
    uint32_t sectors = 1 << 20;
    uint32_t sectorSize = 512;
    bool capacityAnswers = true;
    std::map<uint16_t, int> failCodes;
};

// ---------------------------------------------------------------- image file

// An image whose boot sector says `bytesPerSector`.
std::string Image(size_t size, uint16_t bytesPerSector)
{
    std::string s = Pattern(size, 3);
    if (size >= 13) {
        s[11] = char(bytesPerSector & 0xFF);
        s[12] = char(bytesPerSector >> 8);
    }
    return s;
}

TEST_F(DataAreasTest, ImageSizeIsMeasuredAndStoredOrMinusOne)
{
    dir.write("img/a.img", std::string(70000, 'x'));
    EXPECT_EQ(OpenImageFile(*thread, dir.file("img/a.img")), 70000);
    EXPECT_EQ(thread->iImageFileSize, 70000u);
    EXPECT_EQ(OpenImageFile(*thread, dir.file("img/missing.img")), -1);
    EXPECT_EQ(thread->iImageFileSize, uint64_t(-1));
    EXPECT_EQ(OpenImageFile(*thread, dir.file("img")), -1) << "a folder is no image";
    EXPECT_EQ(OpenImageFile(*thread, ""), -1);
    EXPECT_TRUE(drive.transport->calls().empty());
}

struct ImageCase {
    size_t size;
    uint16_t sector;
    uint32_t chunks;
    uint16_t sectorsPerChunk;
    int lastGauge; // first 90, last 98
};

class ImageChunks : public DataAreasTest, public ::testing::WithParamInterface<ImageCase> {};

TEST_P(ImageChunks, WrittenIn32KiBChunksAtConsecutiveLbas)
{
    const ImageCase& p = GetParam();
    thread->iSectorSize = p.sector;
    sectorSize = p.sector;
    const std::string bytes = Image(p.size, p.sector);
    dir.write("disk.img", bytes);
    ASSERT_EQ(OpenImageFile(*thread, dir.file("disk.img")), int64_t(p.size));
    const size_t files = OpenFileCount();
    ASSERT_EQ(WriteImageToDisk(*thread, "R", dir.file("disk.img"), 90, 98), 1);
    EXPECT_EQ(OpenFileCount(), files);

    auto writes = CallsOf(0x2A);
    ASSERT_EQ(writes.size(), p.chunks);
    std::string last(32768, '\0');
    for (uint32_t i = 0; i < p.chunks; ++i) {
        const auto& w = writes[i];
        EXPECT_EQ(w.cdbLength, 10);
        EXPECT_EQ(Be32(w.cdb.data() + 2), i * p.sectorsPerChunk) << i;
        EXPECT_EQ(w.cdb[7] << 8 | w.cdb[8], p.sectorsPerChunk);
        ASSERT_EQ(w.data.size(), 32768u);
        const size_t from = size_t(i) * 32768;
        const size_t n = std::min<size_t>(32768, p.size - from);
        // A short last chunk keeps the previous chunk's bytes behind the image's end.
        std::memcpy(last.data(), bytes.data() + from, n);
        EXPECT_EQ(std::memcmp(w.data.data(), last.data(), 32768), 0) << "chunk " << i;
    }
    EXPECT_EQ(status.Caption(), "iSectorUsed:" + std::to_string(p.chunks - 1));
    EXPECT_EQ(status.Font()->Color(), toolkit::clRed);
    EXPECT_EQ(gauge.Progress(), p.lastGauge);
    // The disk's size is asked once, before anything is written.
    auto calls = drive.transport->calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls[0].cdb[0], 0x25);
    EXPECT_EQ(calls.size(), p.chunks + 1);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ImageChunks,
    ::testing::Values(ImageCase{1 << 20, 512, 32, 64, 90 + 8 * 31 / 32},  // exactly 1 MiB
                      ImageCase{(1 << 20) + 1, 512, 33, 64, 98},          // one byte more
                      ImageCase{(1 << 20) + 40000, 1024, 34, 32, 98},     // 1024-byte sectors
                      ImageCase{5000, 512, 1, 64, 98}));                  // under one chunk

TEST_F(DataAreasTest, ImageRefusedWithoutWriting)
{
    struct Case {
        const char* what;
        std::string bytes;
        uint32_t deviceSector;
    } cases[] = {
        {"512-byte image on a 1024-byte device", Image(65536, 512), 1024},
        {"1024-byte image on a 512-byte device", Image(65536, 1024), 512},
        {"2048-byte sectors", Image(65536, 2048), 2048},
        {"shorter than a boot sector", Image(12, 512), 512},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        thread->iSectorSize = c.deviceSector;
        dir.write("x.img", c.bytes);
        ASSERT_EQ(OpenImageFile(*thread, dir.file("x.img")), int64_t(c.bytes.size()));
        const size_t files = OpenFileCount();
        EXPECT_EQ(WriteImageToDisk(*thread, "R", dir.file("x.img"), 90, 98), 0);
        EXPECT_EQ(OpenFileCount(), files) << "the image is closed";
        EXPECT_TRUE(CallsOf(0x2A).empty());
        EXPECT_EQ(gauge.Progress(), 90);
    }
    EXPECT_EQ(WriteImageToDisk(*thread, "R", dir.file("none.img"), 90, 98), 0);
}

TEST_F(DataAreasTest, ImageLargerThanTheDiskIsRefusedBeforeWriting)
{
    sectors = 2048; // 1 MiB
    dir.write("big.img", Image((1 << 20) + 1, 512));
    OpenImageFile(*thread, dir.file("big.img"));
    EXPECT_EQ(WriteImageToDisk(*thread, "R", dir.file("big.img"), 90, 98), 0);
    EXPECT_TRUE(CallsOf(0x2A).empty());
    EXPECT_EQ(status.Caption(), "Hidden disk too small!");

    dir.write("fits.img", Image(1 << 20, 512));
    OpenImageFile(*thread, dir.file("fits.img"));
    EXPECT_EQ(WriteImageToDisk(*thread, "R", dir.file("fits.img"), 90, 98), 1);

    capacityAnswers = false;
    EXPECT_EQ(WriteImageToDisk(*thread, "R", dir.file("fits.img"), 90, 98), 0);
}

TEST_F(DataAreasTest, ImageChangedSinceMeasuredIsRefused)
{
    dir.write("c.img", Image(100000, 512));
    OpenImageFile(*thread, dir.file("c.img"));
    dir.write("c.img", Image(60000, 512));
    EXPECT_EQ(WriteImageToDisk(*thread, "R", dir.file("c.img"), 90, 98), 0);
    EXPECT_TRUE(CallsOf(0x2A).empty());
}

TEST_F(DataAreasTest, ImageWriteFailureEndsTheLoop)
{
    dir.write("f.img", Image(10 * 32768, 512));
    OpenImageFile(*thread, dir.file("f.img"));
    FailNth(0x2A, 4);
    const size_t files = OpenFileCount();
    EXPECT_EQ(WriteImageToDisk(*thread, "R", dir.file("f.img"), 90, 98), 0);
    EXPECT_EQ(CallsOf(0x2A).size(), 4u);
    EXPECT_EQ(status.Caption(), "iSectorUsed:2");
    EXPECT_EQ(OpenFileCount(), files);
}

TEST_F(DataAreasTest, EjectSendsStopUnit)
{
    EXPECT_EQ(EjectDevice(*thread, drive.handle), 1);
    auto calls = drive.transport->calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].cdb[0], 0x1B);
    EXPECT_EQ(calls[0].cdbLength, 6);
    EXPECT_EQ(calls[0].cdb[4], 0) << "start and eject bits clear";
    FailNth(0x1B, 1);
    EXPECT_EQ(EjectDevice(*thread, drive.handle), 0);
    EXPECT_EQ(EjectDevice(*thread, INVALID_HANDLE_VALUE), 0);
}

// ---------------------------------------------------------------- signed file area

TEST_F(DataAreasTest, SignedAreaFilesFollowTheHeaderSectorBySector)
{
    const std::string a = Pattern(1000, 5);
    dir.write("h/a.bin", a);
    dir.write("h/b.bin", "");
    ASSERT_EQ(dataareas::WriteSignedFileArea(*thread, {dir.file("h/a.bin"), dir.file("h/b.bin")}), 1);

    auto calls = drive.transport->calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].cdb[0], 0x25);
    auto writes = CallsOf(0x2A);
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(Be32(writes[0].cdb.data() + 2), 1u);
    EXPECT_EQ(Be32(writes[1].cdb.data() + 2), 2u);
    EXPECT_EQ(Be32(writes[2].cdb.data() + 2), 0u) << "the header goes last";
    for (auto& w : writes) {
        EXPECT_EQ(w.cdb[7] << 8 | w.cdb[8], 1);
        EXPECT_EQ(w.data.size(), 512u);
    }
    EXPECT_EQ(std::memcmp(writes[0].data.data(), a.data(), 512), 0);
    // The short piece: 488 new bytes, then what the previous piece left in the buffer.
    EXPECT_EQ(std::memcmp(writes[1].data.data(), a.data() + 512, 488), 0);
    EXPECT_EQ(std::memcmp(writes[1].data.data() + 488, a.data() + 488, 24), 0);

    const uint8_t* h = writes[2].data.data();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(h), 12), "KOV6125X2947");
    EXPECT_EQ(Le32(h + 12), 2u);
    const uint32_t want[2][4] = {{0, 1, 1000, 0}, {1, 3, 0, 0}};
    for (int e = 0; e < 2; ++e)
        for (int f = 0; f < 4; ++f)
            EXPECT_EQ(Le32(h + 16 + 16 * e + 4 * f), want[e][f]) << e << "," << f;
    EXPECT_TRUE(std::all_of(h + 48, h + 512, [](uint8_t b) { return b == 0; }));
}

TEST_F(DataAreasTest, SignedAreaOfFortyEntriesFillsOnlyTheFirst31)
{
    std::vector<std::string> list;
    for (int i = 0; i < 40; ++i) {
        const std::string name = "h/" + std::to_string(i) + ".dat";
        if (i != 7) // one file of the list is missing
            dir.write(name, Pattern(100 + i, i));
        list.push_back(dir.file(name));
    }
    ASSERT_EQ(dataareas::WriteSignedFileArea(*thread, list), 1);
    auto writes = CallsOf(0x2A);
    ASSERT_EQ(writes.size(), 30u + 1u) << "30 files of one sector and the header";
    const uint8_t* h = writes.back().data.data();
    EXPECT_EQ(Le32(h + 12), 40u);
    uint32_t sector = 1;
    for (uint32_t i = 0; i < 31; ++i) {
        const uint8_t* e = h + 16 + 16 * i;
        if (i == 7) {
            EXPECT_TRUE(std::all_of(e, e + 16, [](uint8_t b) { return b == 0; }));
            continue;
        }
        EXPECT_EQ(Le32(e), i);
        EXPECT_EQ(Le32(e + 4), sector);
        EXPECT_EQ(Le32(e + 8), 100 + i);
        EXPECT_EQ(Le32(e + 12), 0u);
        ++sector;
    }
    EXPECT_EQ(Be32(writes[29].cdb.data() + 2), 30u) << "file 30 is the last one written";
}

TEST_F(DataAreasTest, SignedAreaHeaderSectorOf1024BytesIsPadded)
{
    sectorSize = 1024;
    dir.write("h/a.bin", Pattern(3000));
    ASSERT_EQ(dataareas::WriteSignedFileArea(*thread, {dir.file("h/a.bin")}), 1);
    auto writes = CallsOf(0x2A);
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(writes.back().data.size(), 1024u);
    EXPECT_TRUE(std::all_of(writes.back().data.begin() + 32, writes.back().data.end(),
                            [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(Le32(writes.back().data.data() + 16 + 8), 3000u);
}

TEST_F(DataAreasTest, SignedAreaRefusals)
{
    dir.write("h/a.bin", Pattern(5000));
    const std::vector<std::string> list{dir.file("h/a.bin")};
    struct Case {
        const char* what;
        uint32_t sectors, sectorSize;
        bool capacity;
    } cases[] = {
        {"capacity unread", 1000, 512, false},
        {"last block 0", 1, 512, true},
        {"block length 0", 1000, 0, true},
        {"sectors above the 1024-byte piece buffer", 1000, 2048, true},
        {"sectors below the 512-byte header", 1000, 256, true},
        {"the file does not fit behind the header", 10, 512, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sectors = c.sectors;
        sectorSize = c.sectorSize;
        capacityAnswers = c.capacity;
        EXPECT_EQ(dataareas::WriteSignedFileArea(*thread, list), 0);
        EXPECT_TRUE(CallsOf(0x2A).empty());
    }
    sectors = 11; // header + 10 sectors: exactly enough
    sectorSize = 512;
    capacityAnswers = true;
    EXPECT_EQ(dataareas::WriteSignedFileArea(*thread, list), 1);
}

// The entry's size and the SPI stream's announced size are 32-bit: larger files are refused
// before anything is sent, not written with a wrapped size.
TEST_F(DataAreasTest, FilesBeyondThe32BitSizeFieldsAreRefused)
{
    dir.write("h/big.wav", "");
    std::filesystem::resize_file(dir.file("h/big.wav"), (uint64_t(1) << 32) - 2048 + 1);
    EXPECT_EQ(dataareas::WriteSpiHiddenFiles(*thread, {dir.file("h/big.wav")}), 0);
    EXPECT_EQ(status.Caption(), "SPI hidden files write " + FailMsg.get());
    std::filesystem::resize_file(dir.file("h/big.wav"), uint64_t(1) << 32);
    EXPECT_EQ(dataareas::WriteSignedFileArea(*thread, {dir.file("h/big.wav")}), 0);
    EXPECT_TRUE(CallsOf(0x2A).empty());
    EXPECT_TRUE(CallsOf(0xEF).empty());
    EXPECT_TRUE(CallsOf(0xEE).empty());
}

TEST_F(DataAreasTest, SignedAreaWriteFailureStopsBeforeTheHeader)
{
    dir.write("h/a.bin", Pattern(2000));
    FailNth(0x2A, 2);
    const size_t files = OpenFileCount();
    EXPECT_EQ(dataareas::WriteSignedFileArea(*thread, {dir.file("h/a.bin")}), 0);
    auto writes = CallsOf(0x2A);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_NE(Be32(writes.back().cdb.data() + 2), 0u);
    EXPECT_EQ(OpenFileCount(), files);
}

// ---------------------------------------------------------------- SPI hidden files

TEST_F(DataAreasTest, SpiHiddenFilesEachBehindAn8KiBHeader)
{
    const std::string wav = Pattern(20000, 1), mp3 = Pattern(16384, 2);
    dir.write("s/one.WAV", wav);
    dir.write("s/two.mp3", mp3);
    dir.write("s/three.txt", "text");
    ASSERT_EQ(dataareas::WriteSpiHiddenFiles(
                  *thread, {dir.file("s/one.WAV"), dir.file("s/two.mp3"), dir.file("s/three.txt")}),
              1);
    EXPECT_EQ(clock.sleptMs(), 300u) << "100 ms before each entry";
    EXPECT_EQ(status.Caption(), "SPI hidden files write  2");
    EXPECT_EQ(status.Font()->Color(), toolkit::clBtnText);

    // Per file: EF 7A (size + 2048), EE 7B header, EE 7B pieces, EF 7C.
    struct Want {
        const std::string* bytes;
        uint8_t type;
        std::vector<uint32_t> pieces;
    } want[] = {{&wav, 0xC3, {8192, 8192, 8192, 3616}}, {&mp3, 0x84, {8192, 8192, 8192, 0}}};
    auto calls = drive.transport->calls();
    size_t k = 0;
    for (const auto& w : want) {
        ASSERT_LT(k, calls.size());
        EXPECT_EQ(calls[k].cdb[0], 0xEF);
        EXPECT_EQ(calls[k].cdb[1], 0x7A);
        EXPECT_EQ(Be32(calls[k].cdb.data() + 2), w.bytes->size() + 2048);
        ++k;
        std::string sent;
        for (size_t p = 0; p < w.pieces.size(); ++p, ++k) {
            ASSERT_LT(k, calls.size());
            EXPECT_EQ(calls[k].cdb[1], 0x7B);
            EXPECT_EQ(calls[k].length, w.pieces[p]) << "piece " << p;
            if (p == 0) {
                const auto& h = calls[k].data;
                ASSERT_EQ(h.size(), 8192u);
                EXPECT_EQ(std::string(h.begin(), h.begin() + 4), "6105");
                EXPECT_EQ(h[4], w.type);
                EXPECT_EQ(Be32(h.data() + 5), w.bytes->size());
                EXPECT_TRUE(std::all_of(h.begin() + 9, h.end(), [](uint8_t b) { return b == 0; }));
            } else {
                sent.append(calls[k].data.begin(), calls[k].data.end());
            }
        }
        EXPECT_EQ(sent, *w.bytes);
        ASSERT_LT(k, calls.size());
        EXPECT_EQ(calls[k].cdb[1], 0x7C);
        ++k;
    }
    EXPECT_EQ(k, calls.size()) << "the .txt entry sends nothing";
}

TEST_F(DataAreasTest, SpiHeaderTypes)
{
    uint8_t h[8192];
    struct Case {
        uint32_t index;
        const char* name;
        bool ok;
        uint8_t type;
    } cases[] = {
        {0, "a.wav", true, 0xC3},  {1, "b.MP3", true, 0x84},     {2, "c.Wma", true, 0xC5},
        {60, "d.mp3", true, 0x80 | 63}, {61, "e.mp3", true, 0x80}, {0, "f.txt", false, 0},
        {0, "dir.wav/noext", false, 0}, {0, "mp3", false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        h[4] = 0;
        EXPECT_EQ(dataareas::MakeSpiHeader(c.index, c.name, 77, h), c.ok);
        EXPECT_EQ(h[4], c.type);
    }
}

TEST_F(DataAreasTest, SpiHiddenFileFailuresStopTheList)
{
    dir.write("s/a.wav", Pattern(9000));
    dir.write("s/b.wav", Pattern(9000));
    const std::vector<std::string> list{dir.file("s/missing.wav"), dir.file("s/a.wav"),
                                        dir.file("s/b.wav")};
    const std::string failed = "SPI hidden files write " + FailMsg.get();
    struct Case {
        const char* what;
        uint16_t code;
        int nth;
        size_t calls; // commands sent until the failure
    } cases[] = {
        {"set-up", 0xEF7A, 1, 1},
        {"header", 0xEE7B, 1, 2},
        {"a piece", 0xEE7B, 3, 4},
        {"end", 0xEF7C, 1, 5},
        {"second file's set-up", 0xEF7A, 2, 6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const size_t before = drive.transport->callCount();
        FailNth(c.code, c.nth);
        const size_t files = OpenFileCount();
        EXPECT_EQ(dataareas::WriteSpiHiddenFiles(*thread, list), 0);
        EXPECT_EQ(drive.transport->callCount() - before, c.calls);
        EXPECT_EQ(status.Caption(), failed);
        EXPECT_EQ(status.Font()->Color(), toolkit::clRed);
        EXPECT_EQ(OpenFileCount(), files);
        failCodes.clear();
    }
}

} // namespace
