#include "device/Commands.h"
#include "device/Stream.h"
#include "platform/ProgramDir.h"
#include "support/RecordingTransport.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

using platform::Direction;
using testsupport::RecordedCall;
using testsupport::RecordingTransport;
using testsupport::ScriptedAnswer;

namespace {

constexpr char kLetter = 'S';

std::string bytesOf(size_t n, int seed = 0)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 7 + seed) & 0xFF);
    return s;
}

class StreamTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::SetProgramDir(dir.path());
        transport->setFallback({{0x01}, true});
        transport->setCallLimit(1000); // a stream that never ends fails instead of hanging
    }

    std::vector<uint32_t> pieceLengths() const
    {
        std::vector<uint32_t> lengths;
        for (const auto& c : transport->calls())
            lengths.push_back(c.length);
        return lengths;
    }
    std::string sentBytes() const
    {
        std::string s;
        for (const auto& c : transport->calls())
            s.append(c.data.begin(), c.data.end());
        return s;
    }
    bool noHandleLeftOpen() const { return drive.noLetterHandleOpen(); }

    testsupport::TempDir dir;
    testsupport::RecordingDrive drive{kLetter};
    const std::shared_ptr<RecordingTransport>& transport = drive.transport;
    const HANDLE handle = drive.handle;
};

// ---- piece streams ----

struct Streamer {
    const char* name;
    bool (*send)(HANDLE, const std::string&);
    uint8_t op0, op1;
    uint32_t timeout;
};

void PrintTo(const Streamer& s, std::ostream* os)
{
    *os << s.name;
}

const Streamer kStreamers[] = {
    {"Firmware", SendFirmwareFile, 0xEE, 0x78, 12},
    {"Fsm", SendFsmFile, 0xEE, 0x71, 12},
    {"Program", SendProgramFile, 0xEE, 0x7B, 60},
    {"Data", SendDataFile, 0xEE, 0x7B, 60},
};

struct PieceCase {
    size_t fileSize;
    std::vector<uint32_t> pieces;
};

class PieceTest : public StreamTest,
                  public ::testing::WithParamInterface<std::tuple<Streamer, PieceCase>> {};

TEST_P(PieceTest, SendsTheFileIn2048BytePiecesEndingAtEndOfFile)
{
    const auto& [streamer, pc] = GetParam();
    std::string content = bytesOf(pc.fileSize);
    dir.write("flash/file.bin", content);
    EXPECT_TRUE(streamer.send(handle, "flash\\file.bin"));
    EXPECT_EQ(pieceLengths(), pc.pieces);
    EXPECT_EQ(sentBytes(), content);
    for (const RecordedCall& c : transport->calls()) {
        EXPECT_EQ(c.cdb[0], streamer.op0);
        EXPECT_EQ(c.cdb[1], streamer.op1);
        EXPECT_EQ(c.direction, Direction::Out);
        EXPECT_EQ(c.timeoutSeconds, streamer.timeout);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, PieceTest,
    ::testing::Combine(::testing::ValuesIn(kStreamers),
                       ::testing::Values(PieceCase{5000, {2048, 2048, 904}},
                                         PieceCase{4096, {2048, 2048, 0}},
                                         PieceCase{0, {0}}, PieceCase{1, {1}},
                                         PieceCase{2048, {2048, 0}})),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + "_" +
               std::to_string(std::get<1>(info.param).fileSize);
    });

class StreamFailureTest : public StreamTest, public ::testing::WithParamInterface<Streamer> {};

TEST_P(StreamFailureTest, StopsAtTheFirstFailingPiece)
{
    dir.write("file.bin", bytesOf(10000));
    transport->push({{}, true});
    transport->push({{}, false});
    EXPECT_FALSE(GetParam().send(handle, dir.file("file.bin")));
    EXPECT_EQ(transport->callCount(), 2u);
}

TEST_P(StreamFailureTest, FailsAtOnceForAFileThatDoesNotOpen)
{
    EXPECT_FALSE(GetParam().send(handle, "missing.bin"));
    EXPECT_EQ(transport->callCount(), 0u);
}

TEST_P(StreamFailureTest, EndsWithFailureOnAReadError)
{
    // A folder opens but every read fails: the stream must not send empty pieces forever.
    std::filesystem::create_directories(dir.file("folder"));
    EXPECT_FALSE(GetParam().send(handle, "folder"));
    EXPECT_EQ(transport->callCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Streams, StreamFailureTest, ::testing::ValuesIn(kStreamers),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- size announcement and byte sum ----

TEST_F(StreamTest, WriteSetupAnnouncesTheFileSize)
{
    dir.write("misc/prefer.dat", bytesOf(5000));
    EXPECT_TRUE(SendWriteSetup(handle, ".\\misc\\prefer.dat"));
    auto c = transport->calls().at(0);
    EXPECT_THAT(std::vector<uint8_t>(c.cdb.begin(), c.cdb.begin() + 6),
                ::testing::ElementsAre(0xEF, 0x7A, 0x00, 0x00, 0x13, 0x88));

    transport->push({{0xFE}, true});
    EXPECT_FALSE(SendWriteSetup(handle, ".\\misc\\prefer.dat")) << "status bit 0 clear";
}

TEST_F(StreamTest, WriteSetupNeverAnnouncesAFileThatCannotBeOpened)
{
    EXPECT_FALSE(SendWriteSetup(handle, "misc\\nothing.dat"));
    std::filesystem::create_directories(dir.file("misc/folder"));
    EXPECT_FALSE(SendWriteSetup(handle, "misc\\folder"));
    EXPECT_EQ(transport->callCount(), 0u);
}

TEST_F(StreamTest, WriteSetupAnnouncesSizesPast2GiBAndRefusesThosePast32Bits)
{
    // Sparse files: nothing is written to disk.
    dir.write("big/3g.iso", "");
    dir.write("big/4g.iso", "");
    std::filesystem::resize_file(dir.file("big/3g.iso"), 0xC0000000ull);
    std::filesystem::resize_file(dir.file("big/4g.iso"), 0x100000000ull);
    EXPECT_TRUE(SendWriteSetup(handle, "big\\3g.iso"));
    EXPECT_FALSE(SendWriteSetup(handle, "big\\4g.iso")) << "would be announced as 0 bytes";
    ASSERT_EQ(transport->callCount(), 1u);
    auto c = transport->calls().at(0);
    EXPECT_THAT(std::vector<uint8_t>(c.cdb.begin(), c.cdb.begin() + 6),
                ::testing::ElementsAre(0xEF, 0x7A, 0xC0, 0x00, 0x00, 0x00));
}

struct SumCase {
    std::string content;
    uint16_t sum;
};

class ChecksumTest : public StreamTest, public ::testing::WithParamInterface<SumCase> {};

TEST_P(ChecksumTest, SendsTheByteSumModulo65536)
{
    dir.write("f.bin", GetParam().content);
    EXPECT_EQ(FileByteSum(dir.file("f.bin")), GetParam().sum);
    EXPECT_TRUE(SendFileChecksum(handle, "f.bin"));
    auto c = transport->calls().at(0);
    EXPECT_EQ(c.cdb[0], 0xEF);
    EXPECT_EQ(c.cdb[1], 0x79);
    EXPECT_EQ(c.cdb[2], GetParam().sum >> 8);
    EXPECT_EQ(c.cdb[3], GetParam().sum & 0xFF);
}

INSTANTIATE_TEST_SUITE_P(Sums, ChecksumTest,
                         ::testing::Values(SumCase{"abc", 0x0126},
                                           SumCase{std::string(300, '\xFF'), 0x2AD4},
                                           SumCase{"", 0}));

TEST_F(StreamTest, ChecksumFollowsTheTransferResultOnly)
{
    dir.write("f.bin", "abc");
    transport->push({{0x00}, true});
    EXPECT_TRUE(SendFileChecksum(handle, "f.bin")) << "a transfer result, not a status";
    transport->push({{0x01}, false});
    EXPECT_FALSE(SendFileChecksum(handle, "f.bin"));
    EXPECT_FALSE(SendFileChecksum(handle, "none.bin"));
    std::filesystem::create_directories(dir.file("folder"));
    EXPECT_FALSE(SendFileChecksum(handle, "folder"));
    EXPECT_EQ(transport->callCount(), 2u) << "no sum is sent for a file that cannot be read";
}

// ---- loader upload ----

TEST_F(StreamTest, UploadFirmwareSendsSizePiecesAndSumThenCloses)
{
    dir.write("misc/FSM01.BIN", bytesOf(3000, 3));
    auto size = FileSizeOf("misc\\FSM01.BIN");
    ASSERT_EQ(size, 3000u);
    EXPECT_TRUE(UploadFirmware(kLetter, 3000, ".\\misc\\FSM01.BIN"));
    auto calls = transport->calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_THAT(std::vector<uint8_t>(calls[0].cdb.begin(), calls[0].cdb.begin() + 6),
                ::testing::ElementsAre(0xEF, 0x77, 0x00, 0x00, 0x0B, 0xB8));
    EXPECT_EQ(calls[1].opcode(), 0x78);
    EXPECT_EQ(calls[1].length, 2048u);
    EXPECT_EQ(calls[2].opcode(), 0x78);
    EXPECT_EQ(calls[2].length, 952u);
    EXPECT_EQ(calls[3].opcode(), 0x79);
    EXPECT_EQ(sentBytes(), bytesOf(3000, 3));
    uint16_t sum = *FileByteSum(dir.file("misc/FSM01.BIN"));
    EXPECT_EQ(calls[3].cdb[2], sum >> 8);
    EXPECT_EQ(calls[3].cdb[3], sum & 0xFF);
    EXPECT_TRUE(noHandleLeftOpen());
}

struct UploadFailure {
    const char* name;
    size_t failingCall; // 0-based index of the call that fails
    size_t callsMade;
};

class UploadFailureTest : public StreamTest, public ::testing::WithParamInterface<UploadFailure> {};

TEST_P(UploadFailureTest, StopsAtTheFailingStepAndClosesTheDrive)
{
    dir.write("misc/FSM01.BIN", bytesOf(3000));
    const size_t failing = GetParam().failingCall;
    transport->setResponder([this, failing](const RecordedCall&) {
        return ScriptedAnswer{{0x01}, transport->callCount() != failing};
    });
    EXPECT_FALSE(UploadFirmware(kLetter, 3000, "misc\\FSM01.BIN"));
    EXPECT_EQ(transport->callCount(), GetParam().callsMade);
    EXPECT_TRUE(noHandleLeftOpen());
}

INSTANTIATE_TEST_SUITE_P(Steps, UploadFailureTest,
                         ::testing::Values(UploadFailure{"Begin", 0, 1},
                                           UploadFailure{"FirstPiece", 1, 2},
                                           UploadFailure{"LastPiece", 2, 3},
                                           UploadFailure{"Checksum", 3, 4}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(StreamTest, UploadFirmwareSendsNothingWithoutDriveOrFile)
{
    dir.write("misc/FSM01.BIN", "x");
    EXPECT_FALSE(UploadFirmware('Q', 1, "misc\\FSM01.BIN"));
    EXPECT_FALSE(UploadFirmware(kLetter, 0xFFFFFFFF, "misc\\gone.BIN"));
    EXPECT_EQ(transport->callCount(), 0u);
    EXPECT_TRUE(noHandleLeftOpen());
}

// ---- one-line wrappers ----

struct Wrapper {
    const char* name;
    bool (*call)(HANDLE);
    uint8_t opcode;
};

class WrapperTest : public StreamTest, public ::testing::WithParamInterface<Wrapper> {};

TEST_P(WrapperTest, SucceedsOnlyWithStatusBitZeroSet)
{
    transport->push({{0x01}, true});
    transport->push({{0xFE}, true});
    transport->push({{0x01}, false});
    EXPECT_TRUE(GetParam().call(handle));
    EXPECT_FALSE(GetParam().call(handle));
    EXPECT_FALSE(GetParam().call(handle));
    EXPECT_EQ(transport->calls().at(0).opcode(), GetParam().opcode);
}

INSTANTIATE_TEST_SUITE_P(Commands, WrapperTest,
                         ::testing::Values(Wrapper{"WriteEnd", SendWriteEnd, 0x7C},
                                           Wrapper{"StartDisk", StartDisk, 0x73},
                                           Wrapper{"SpiBadBlocks", CheckSpiBadBlocks, 0x72},
                                           Wrapper{"HiddenDisk", ChangeToHiddenDisk, 0x92}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(StreamTest, ParityCheckAndDeviceFlag)
{
    transport->push({{0x03, 0x00}, true});
    EXPECT_EQ(CheckFirmwareParity(handle), 1);
    transport->push({{0x02, 0x00}, true});
    EXPECT_EQ(CheckFirmwareParity(handle), 0);

    transport->push({{0x5A}, true});
    EXPECT_EQ(ReadDeviceFlag(handle), 0x5A);
    transport->push({{0x5A}, false});
    EXPECT_EQ(ReadDeviceFlag(handle), 0) << "whatever the device would have answered";
    auto calls = transport->calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].opcode(), 0x87);
    EXPECT_EQ(calls[2].opcode(), 0x8B);
}

// ---- flash ID of a flash description file ----

std::string recordWithId(size_t size, std::initializer_list<uint8_t> id)
{
    std::string r = bytesOf(size, 1);
    size_t i = 155;
    for (uint8_t b : id)
        if (i < r.size())
            r[i++] = static_cast<char>(b);
    return r;
}

TEST_F(StreamTest, ReadsTheBigEndianFlashIdOfADescriptionFile)
{
    dir.write("flash/a.txt", recordWithId(512, {0x01, 0x02, 0x03, 0x04, 0x05}));
    EXPECT_EQ(ReadFileBigEndianValue(5, "flash\\a.txt"), 0x0102030405ull);
    EXPECT_EQ(ReadFileBigEndianValue(4, "flash\\a.txt"), 0x01020304ull);
    EXPECT_EQ(ReadFileBigEndianValue(3, "flash\\a.txt"), 0u);

    dir.write("flash/neg.txt", recordWithId(512, {0x98, 0x02, 0x03, 0x04, 0x05}));
    EXPECT_EQ(ReadFileBigEndianValue(4, "flash\\neg.txt"), 0xFFFFFFFF98020304ull) << "sign-extended";
    EXPECT_EQ(ReadFileBigEndianValue(5, "flash\\neg.txt"), 0x9802030405ull);
}

TEST_F(StreamTest, ShortOrMissingDescriptionFilesGiveZeroOrZeroPadding)
{
    dir.write("flash/short.txt", std::string(127, '\x11'));
    EXPECT_EQ(ReadFileBigEndianValue(5, "flash\\short.txt"), 0u);
    EXPECT_EQ(ReadFileBigEndianValue(5, "flash\\none.txt"), 0u);
    // 157 bytes: the id's last two bytes lie past the end and count as 0.
    dir.write("flash/cut.txt", recordWithId(157, {0xAB, 0xCD}));
    EXPECT_EQ(ReadFileBigEndianValue(5, "flash\\cut.txt"), 0xABCD000000ull);
    dir.write("flash/min.txt", std::string(128, '\x11'));
    EXPECT_EQ(ReadFileBigEndianValue(5, "flash\\min.txt"), 0u);
}

} // namespace
