#include "device/Commands.h"
#include "device/Stream.h"
#include "platform/ProgramDir.h"
#include "support/RecordingTransport.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

using platform::Direction;
using testsupport::RecordedCall;
using testsupport::ScriptedAnswer;
using ::testing::ElementsAre;

namespace {

constexpr char kLetter = 'S';

std::string bytesOf(size_t n, int seed = 0)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 7 + seed) & 0xFF);
    return s;
}

std::vector<uint8_t> head(const RecordedCall& c, size_t n) { return {c.cdb.begin(), c.cdb.begin() + n}; }

class StreamTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::SetProgramDir(dir.path());
        transport->setFallback({{0x01}, true});
        transport->setCallLimit(1000); // a stream that never ends fails instead of hanging
    }
    testsupport::TempDir dir;
    testsupport::RecordingDrive drive{kLetter};
    const std::shared_ptr<testsupport::RecordingTransport>& transport = drive.transport;
    const HANDLE handle = drive.handle;
};

struct Streamer { const char* name; bool (*send)(HANDLE, const std::string&); uint8_t op0, op1; uint32_t timeout; };
void PrintTo(const Streamer& s, std::ostream* os) { *os << s.name; }

// The data streams as the sequence drives them: with the size the set-up announced.
bool ProgramAsAnnounced(HANDLE h, const std::string& path) { return SendProgramFile(h, path, uint32_t(FileSizeOf(path).value_or(0))); }
bool DataAsAnnounced(HANDLE h, const std::string& path) { return SendDataFile(h, path, uint32_t(FileSizeOf(path).value_or(0))); }
const Streamer kStreamers[] = {{"Firmware", SendFirmwareFile, 0xEE, 0x78, 12}, {"Fsm", SendFsmFile, 0xEE, 0x71, 12},
                                {"Program", ProgramAsAnnounced, 0xEE, 0x7B, 60}, {"Data", DataAsAnnounced, 0xEE, 0x7B, 60}};

class PieceTest : public StreamTest, public ::testing::WithParamInterface<Streamer> {};

TEST_P(PieceTest, SendsTheFileIn2048BytePiecesEndingAtEndOfFile)
{
    const Streamer& s = GetParam();
    const std::pair<size_t, std::vector<uint32_t>> cases[] = {
        {5000, {2048, 2048, 904}}, {4096, {2048, 2048, 0}}, {0, {0}}, {2048, {2048, 0}}};
    for (const auto& [size, pieces] : cases) {
        SCOPED_TRACE(size);
        testsupport::RecordingDrive fresh{'R'};
        fresh.transport->setCallLimit(1000);
        dir.write("flash/file.bin", bytesOf(size, int(size)));
        EXPECT_TRUE(s.send(fresh.handle, "flash\\file.bin"));
        std::vector<uint32_t> lengths;
        std::string sent;
        for (const RecordedCall& c : fresh.transport->calls()) {
            lengths.push_back(c.length);
            sent.append(c.data.begin(), c.data.end());
            EXPECT_TRUE(head(c, 2) == std::vector<uint8_t>({s.op0, s.op1}) && c.direction == Direction::Out && c.timeoutSeconds == s.timeout);
        }
        EXPECT_EQ(lengths, pieces);
        EXPECT_EQ(sent, bytesOf(size, int(size)));
    }
}

TEST_P(PieceTest, FailsAtTheFirstFailingPieceAndNeverSendsEmptyPiecesForever)
{
    dir.write("file.bin", bytesOf(10000));
    transport->push({{}, true});
    transport->push({{}, false});
    EXPECT_FALSE(GetParam().send(handle, dir.file("file.bin")));
    EXPECT_EQ(transport->callCount(), 2u);

    EXPECT_FALSE(GetParam().send(handle, "missing.bin"));
    std::filesystem::create_directories(dir.file("folder")); // opens, but every read fails
    EXPECT_FALSE(GetParam().send(handle, "folder"));
    EXPECT_EQ(transport->callCount(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Streams, PieceTest, ::testing::ValuesIn(kStreamers),
                         [](const auto& info) { return std::string(info.param.name); });

// A file that changed between the set-up and the data never gets more, or fewer, bytes to the
// device than were announced: the stream stops before its last piece.
TEST_F(StreamTest, DataSendsExactlyTheAnnouncedBytesOrFails)
{
    const struct { const char* name; size_t before, after; bool ok; size_t sent; } rows[] = {
        {"unchanged", 8192, 8192, true, 8192}, {"grew", 8192, 78192, false, 6144},
        {"grew by a byte", 5000, 5001, false, 4096}, {"shrank", 98304, 5000, false, 4096},
        {"emptied", 100, 0, false, 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        for (auto send : {SendProgramFile, SendDataFile}) {
            testsupport::RecordingDrive fresh{'R'};
            fresh.transport->setFallback({{0x01}, true});
            dir.write("misc/grows.dat", bytesOf(row.before));
            uint32_t announced = 0;
            ASSERT_TRUE(SendWriteSetup(fresh.handle, "misc\\grows.dat", &announced));
            EXPECT_EQ(announced, row.before);
            dir.write("misc/grows.dat", bytesOf(row.after));
            EXPECT_EQ(send(fresh.handle, "misc\\grows.dat", announced), row.ok);
            size_t sent = 0;
            for (const RecordedCall& c : fresh.transport->calls())
                sent += head(c, 2) == std::vector<uint8_t>{0xEE, 0x7B} ? c.length : 0;
            EXPECT_EQ(sent, row.sent);
        }
    }
}

TEST_F(StreamTest, WriteSetupAnnouncesTheFileSizeAndNeverAnUnreadableFile)
{
    dir.write("misc/prefer.dat", bytesOf(5000));
    EXPECT_TRUE(SendWriteSetup(handle, ".\\misc\\prefer.dat"));
    EXPECT_THAT(head(transport->calls().at(0), 6), ElementsAre(0xEF, 0x7A, 0x00, 0x00, 0x13, 0x88));
    transport->push({{0xFE}, true});
    EXPECT_FALSE(SendWriteSetup(handle, ".\\misc\\prefer.dat")) << "status bit 0 clear";

    // Sparse files past 2 GiB; one past 32 bits would be announced as 0 bytes.
    for (auto [name, size] : {std::pair{"big/max.iso", 0xFFFFFFFFull}, {"big/4g.iso", 0x100000000ull}})
        dir.write(name, ""), std::filesystem::resize_file(dir.file(name), size);
    EXPECT_TRUE(SendWriteSetup(handle, "big\\max.iso"));
    EXPECT_THAT(head(transport->calls().at(2), 6), ElementsAre(0xEF, 0x7A, 0xFF, 0xFF, 0xFF, 0xFF));
    std::filesystem::create_directories(dir.file("folder"));
    EXPECT_FALSE(FileSizeOf(dir.file("folder"))) << "a folder opens, but has no size";
    EXPECT_FALSE(SendWriteSetup(handle, "big\\4g.iso") || SendWriteSetup(handle, "misc\\nothing.dat") || SendWriteSetup(handle, "folder"));
    EXPECT_EQ(transport->callCount(), 3u);
}

TEST_F(StreamTest, ChecksumSendsTheByteSumAndFollowsTheTransferResultOnly)
{
    const std::pair<std::string, uint16_t> sums[] = {{"abc", 0x0126}, {std::string(300, '\xFF'), 0x2AD4}, {"", 0},
        {std::string(200000, '\xFF') + "\x01", uint16_t(200000u * 255u + 1u)}}; // several read blocks
    for (const auto& [content, sum] : sums) {
        dir.write("f.bin", content);
        EXPECT_EQ(FileByteSum(dir.file("f.bin")), sum);
        transport->push({{0x00}, true}); // a transfer result, not a status
        EXPECT_TRUE(SendFileChecksum(handle, "f.bin"));
        EXPECT_THAT(head(transport->calls().back(), 4), ElementsAre(0xEF, 0x79, sum >> 8, sum & 0xFF));
    }
    transport->push({{0x01}, false});
    EXPECT_FALSE(SendFileChecksum(handle, "f.bin") || SendFileChecksum(handle, "none.bin"));
    EXPECT_EQ(transport->callCount(), 5u) << "no sum is sent for a file that cannot be read";
}

TEST_F(StreamTest, UploadFirmwareSendsSizePiecesAndSumOrStopsAtEachFailingStepAndAlwaysCloses)
{
    dir.write("misc/FSM01.BIN", bytesOf(3000, 3));
    for (size_t failing : {0, 1, 2, 3, 4}) { // begin, first piece, last piece, checksum; 4: none
        testsupport::RecordingDrive fresh{'U'};
        auto* t = fresh.transport.get();
        t->setResponder([t, failing](const RecordedCall&) { return ScriptedAnswer{{0x01}, t->callCount() != failing}; });
        EXPECT_EQ(UploadFirmware('U', 3000, ".\\misc\\FSM01.BIN"), failing == 4) << failing;
        EXPECT_EQ(t->callCount(), std::min<size_t>(failing + 1, 4));
        EXPECT_TRUE(fresh.noLetterHandleOpen());
        if (failing == 4)
            EXPECT_THAT(head(t->calls()[0], 6), ElementsAre(0xEF, 0x77, 0x00, 0x00, 0x0B, 0xB8));
    }
    EXPECT_FALSE(UploadFirmware('Q', 1, "misc\\FSM01.BIN")) << "no drive Q";

    // A loader as large as the loader RAM is taken; one byte more, or none, is not even announced.
    testsupport::RecordingDrive fresh{'U'};
    for (auto [size, problem] : {std::pair{kMaxLoaderSize, ""}, {0, "is empty"},
                                 {kMaxLoaderSize + 1, "holds 1048577 bytes, more than the 1048576 a loader may have"}}) {
        dir.write("misc/big.bin", ""), std::filesystem::resize_file(dir.file("misc/big.bin"), size);
        EXPECT_EQ(LoaderFileProblem("misc\\big.bin"), problem);
    }
    EXPECT_FALSE(UploadFirmware('U', 1, "misc\\big.bin") || UploadFirmware('U', 1, "misc\\none.bin"));
    EXPECT_EQ(fresh.transport->callCount(), 0u);
}

TEST_F(StreamTest, WrappersSucceedOnlyWithStatusBitZeroSet)
{
    const std::pair<std::function<int(HANDLE)>, uint8_t> wrappers[] = {{SendWriteEnd, 0x7C}, {StartDisk, 0x73},
        {CheckSpiBadBlocks, 0x72}, {ChangeToHiddenDisk, 0x92}, {CheckFirmwareParity, 0x87}};
    for (const auto& [call, opcode] : wrappers) {
        for (const ScriptedAnswer& a : {ScriptedAnswer{{0x03, 0}, true}, {{0xFE, 0}, true}, {{0x01, 0}, false}})
            transport->push(a);
        const int good = call(handle), clear = call(handle), failed = call(handle); // declarators run in order
        EXPECT_EQ(std::vector({good, clear, failed}), std::vector({1, 0, 0})) << std::hex << int(opcode);
    }
}

// A flash description record with the id at byte 155.
std::string recordWithId(size_t size, std::initializer_list<uint8_t> id)
{
    std::string r = bytesOf(size, 1);
    for (size_t i = 155; uint8_t b : id)
        if (i < r.size())
            r[i++] = static_cast<char>(b);
    return r;
}

TEST_F(StreamTest, ReadsTheBigEndianFlashIdOfADescriptionFile)
{
    struct Case { std::string record; int size; uint64_t value; };
    const Case cases[] = {
        {recordWithId(512, {1, 2, 3, 4, 5}), 5, 0x0102030405ull}, {recordWithId(512, {1, 2, 3, 4, 5}), 4, 0x01020304ull},
        {recordWithId(512, {1, 2, 3, 4, 5}), 3, 0}, {recordWithId(512, {0x98, 2, 3, 4, 5}), 5, 0x9802030405ull},
        {recordWithId(512, {0x98, 2, 3, 4, 5}), 4, 0xFFFFFFFF98020304ull}, // sign-extended
        {recordWithId(157, {0xAB, 0xCD}), 5, 0xABCD000000ull}, // the id's bytes past the end count as 0
        {std::string(127, '\x11'), 5, 0}, {std::string(128, '\x11'), 5, 0},
    };
    for (const auto& c : cases) {
        dir.write("flash/a.txt", c.record);
        EXPECT_EQ(ReadFileBigEndianValue(c.size, "flash\\a.txt"), c.value) << c.record.size() << " bytes, " << c.size;
    }
    EXPECT_EQ(ReadFileBigEndianValue(5, "flash\\none.txt"), 0u);
}

} // namespace
