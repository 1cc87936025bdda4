// The device commands and the file streams, on a transport that records every request.
#include "device/Commands.h"
#include "device/Stream.h"
#include "platform/DriveMap.h"
#include "platform/ProgramDir.h"
#include "support/RecordingTransport.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <functional>
#include <vector>

using platform::Direction;
using testsupport::RecordedCall;
using testsupport::ScriptedAnswer;
using ::testing::Each;
using ::testing::ElementsAre;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr char kLetter = 'T';
constexpr Direction In = Direction::In, Out = Direction::Out;
enum Form { Transfer, Status, Reply, Model, AlwaysOne };

uint8_t g_data[65536]; // the largest data phase of the table: WRITE(10) of 64 x 512 bytes
uint8_t g_out[1024];
uint32_t g_u1, g_u2;

struct Row {
    const char* name;
    std::function<int(HANDLE)> call; // by-letter rows ignore the handle and use kLetter
    std::array<uint8_t, 16> cdb;
    int cdbLength;
    Direction direction;
    uint32_t length, timeout;
    Form form;
    bool byLetter = false;
};
void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

#define H(expr) [](HANDLE h) { return int(expr); }
#define L(expr) [](HANDLE) { return int(expr); }
// clang-format off
const std::vector<Row> kCommands = {
    {"ReadFlashIdByDrive", L(cmd_bReadFlashIdByDrive(kLetter, g_out)), {0xEF, 0x70}, 6, In, 5, 12, Transfer, true},
    {"ReadFlashId", H(cmd_bReadFlashId(h, g_out)), {0xEF, 0x70}, 6, In, 5, 12, Transfer},
    {"ReadPages", H(cmd_bReadPages(h, 0x01020304, 1, 0xAA55, 2, 3, 5, 0x30, g_out, 1, 128)), {0xEF, 0x93, 1, 2, 3, 4, 0, 1, 0xAA, 0x55, 2, 3, 5, 0x30, 1, 0}, 16, In, 129, 30, Status},
    {"CheckBlock", H(cmd_bCheckBlock(h, 0x0A0B0C0D, 1)), {0xEF, 0x94, 10, 11, 12, 13, 0, 1}, 10, In, 1, 12, Status},
    {"WritePage", H(cmd_bWritePage(h, 0x11223344, g_data, 2048, 0x5A)), {0xEE, 0x95, 0x11, 0x22, 0x33, 0x44, 0, 1, 0x5A}, 10, Out, 2048, 10, Transfer},
    {"ReadPage", H(cmd_bReadPage(h, 0x11223344, 0x0203, g_data, 4096, 7)), {0xEF, 0x96, 0x11, 0x22, 0x33, 0x44, 2, 3, 7}, 10, In, 4096, 12, Transfer},
    {"FsmInit", H(cmd_bFsmInit(h)), {0xEF, 0x97}, 6, In, 1, 10, Transfer},
    {"ReadCapacity", H(cmd_bReadCapacity(h, &g_u1, &g_u2)), {0x25}, 6, In, 8, 12, Transfer},
    {"IsChipModeByDrive", L(cmd_bIsChipModeByDrive(kLetter)), {0xEF, 0x82}, 6, In, 4, 12, Model, true},
    {"ResetByDrive", L(cmd_bResetByDrive(kLetter)), {0xEF, 0x81}, 6, In, 0, 12, Transfer, true}, // no data, still data-in
    {"Inquiry", L(cmd_bInquiry(kLetter)), {0x12}, 6, In, 36, 12, AlwaysOne, true},
    {"FwUploadBegin", H(cmd_bFwUploadBegin(h, 0x12345)), {0xEF, 0x77, 0, 1, 0x23, 0x45}, 6, In, 1, 12, Transfer},
    {"FwUploadChunk", H(cmd_bFwUploadChunk(h, g_data, 2048)), {0xEE, 0x78}, 6, Out, 2048, 12, Transfer},
    {"FwUploadChecksum", H(cmd_bFwUploadChecksum(h, 0x0126)), {0xEF, 0x79, 1, 0x26}, 6, In, 1, 12, Transfer},
    {"SetSysAreaSize", H(cmd_bSetSysAreaSize(h, 7)), {0xEF, 0x83, 7}, 6, In, 1, 12, Transfer},
    {"Cmd91", H(cmd_bCmd91(h, 0x42)), {0xEF, 0x91, 0x42}, 6, In, 1, 12, Status},
    {"GetChipCount", H(cmd_GetChipCount(h)), {0xEF, 0x84}, 6, In, 1, 12, Reply},
    {"WriteCfgData", H(cmd_bWriteCfgData(h, g_data, 2048)), {0xEE, 0x71}, 6, Out, 2048, 12, Transfer},
    {"BadBlockCheck", H(cmd_bBadBlockCheck(h)), {0xEF, 0x72}, 6, In, 1, 300, Status},
    {"Cmd8E", H(cmd_bCmd8E(h, 0x43)), {0xEF, 0x8E, 0x43}, 6, In, 1, 12, Status},
    {"WriteSetup", H(cmd_bWriteSetup(h, 0xDEADBEEF)), {0xEF, 0x7A, 0xDE, 0xAD, 0xBE, 0xEF}, 6, In, 1, 12, Status},
    {"WriteData", H(cmd_bWriteData(h, g_data, 8192)), {0xEE, 0x7B}, 6, Out, 8192, 60, Transfer},
    {"WriteEnd", H(cmd_bWriteEnd(h)), {0xEF, 0x7C}, 6, In, 1, 12, Status},
    {"FwParityCheck", H(cmd_bFwParityCheck(h)), {0xEF, 0x87}, 6, In, 2, 12, Status},
    {"SetFlashModuleNo", H(cmd_bSetFlashModuleNo(h, 9)), {0xEF, 0x8D, 9}, 6, In, 1, 12, Status},
    {"StartDisk", H(cmd_bStartDisk(h)), {0xEF, 0x73}, 6, In, 2, 30, Status},
    {"ChangeToHiddenDisk", H(cmd_bChangeToHiddenDisk(h)), {0xEF, 0x92}, 6, In, 1, 12, Status},
    {"ReadBlockBitmap", H(cmd_bReadBlockBitmap(h, g_data, 0x2000)), {0xEF, 0x98, 0, 0, 0x20, 0}, 10, In, 0x2000, 30, Transfer},
    {"IsChipMode", H(cmd_bIsChipMode(h)), {0xEF, 0x85}, 6, In, 4, 12, Model},
    {"GetB0", H(cmd_bGetB0(h, g_out)), {0xEF, 0xB0}, 6, In, 1, 12, Transfer},
    {"Get8B", H(cmd_bGet8B(h, g_out)), {0xEF, 0x8B}, 6, In, 1, 12, Transfer},
    {"Cmd8F", H(cmd_bCmd8F(h, 0x44)), {0xEF, 0x8F, 0x44}, 6, In, 1, 12, Status},
    {"Read99", H(cmd_bRead99(h, g_data)), {0xEF, 0x99}, 10, In, 512, 10, Transfer},
    {"GetPortNumber", H(cmd_GetPortNumber(h)), {0xEF, 0x9A}, 6, In, 1, 12, Reply},
    {"WritePatternBuffer", H(cmd_bWritePatternBuffer(h, g_data, 256)), {0xEE, 0x9B}, 6, Out, 256, 10, Transfer},
    {"ReadInfoSector", H(cmd_bReadInfoSector(h, g_data)), {0xEF, 0x80}, 10, In, 512, 10, Transfer},
    {"Get9C", H(cmd_Get9C(h)), {0xEF, 0x9C}, 6, In, 1, 12, Reply},
    {"ReadArea", H(cmd_bReadArea(h, 0x0102, 8, g_data)), {0xEF, 0x9D, 1, 2, 0, 8}, 6, In, 2048, 10, Transfer},
    {"WriteArea", H(cmd_bWriteArea(h, 0x0304, 2, g_data)), {0xEE, 0x9E, 3, 4, 0, 2}, 6, Out, 512, 10, Transfer},
    {"Write10", H(cmd_bWrite10(h, g_data, 512, 0xABCDEF, 64)), {0x2A, 0, 0, 0xAB, 0xCD, 0xEF, 0, 0, 0x40, 0}, 10, Out, 32768, 12, Transfer},
    {"Read10", H(cmd_bRead10(h, g_data, 2048, 0x10, 3)), {0x28, 0, 0, 0, 0, 0x10, 0, 0, 3, 0}, 10, In, 6144, 12, Transfer},
    {"StopUnit", H(cmd_bStopUnit(h)), {0x1B}, 6, In, 0, 12, Transfer},
};
// clang-format on
#undef H
#undef L

class CommandTest : public ::testing::Test {
protected:
    int run(const std::function<int(HANDLE)>& call, ScriptedAnswer answer)
    {
        transport->push(std::move(answer));
        return call(handle);
    }
    testsupport::RecordingDrive drive{kLetter};
    const std::shared_ptr<testsupport::RecordingTransport>& transport = drive.transport;
    const HANDLE handle = drive.handle;
};

class CommandTableTest : public CommandTest, public ::testing::WithParamInterface<Row> {};

TEST_P(CommandTableTest, SendsItsExactRequestAndFormsItsResultOrZeroWithoutADevice)
{
    const Row& row = GetParam();
    long usersBefore = transport.use_count();
    run(row.call, {{0x01}, true});
    ASSERT_EQ(transport->callCount(), 1u);
    const auto c = transport->calls()[0];
    EXPECT_EQ(c.cdb, row.cdb);
    EXPECT_EQ(std::tuple(c.cdbLength, c.direction, c.length, c.timeoutSeconds, c.bufferGiven),
              std::tuple(row.cdbLength, row.direction, row.length, row.timeout, row.length > 0)) << "length, direction, data, timeout, buffer";
    if (row.direction == Out) {
        EXPECT_EQ(c.data, std::vector<uint8_t>(g_data, g_data + row.length));
    }
    EXPECT_EQ(transport.use_count(), usersBefore) << "by-letter commands close the drive they opened";

    // The result per reply and transfer outcome (-1: any nonzero); only bit 0 of a status byte counts.
    using Expect = std::tuple<std::vector<uint8_t>, bool, int>;
    const std::vector<Expect> expects[] = {
        /* Transfer */ {{{0x00}, true, 1}, {{0x01}, false, 0}},
        /* Status */ {{{0x01}, true, -1}, {{0xFF}, true, -1}, {{0x00}, true, 0}, {{0xFE}, true, 0}, {{0x01}, false, 0}},
        /* Reply */ {{{0x02}, true, 2}, {{0xFE}, true, 0xFE}, {{0x02}, false, 0}},
        /* Model */ {{{'6', '2', '0', '5'}, true, 1}, {{'6', '2', '0', '6'}, true, 0}, {{'6', '2', '0'}, true, 0},
                     {{'6', '2', '0', '5'}, false, 0}},
        /* AlwaysOne */ {{{0x00}, true, 1}, {{0x00}, false, 1}},
    };
    for (const auto& [reply, ok, result] : expects[row.form]) {
        const int got = run(row.call, {reply, ok});
        EXPECT_EQ(result < 0 ? got != 0 : got == result, true) << int(reply[0]) << (ok ? " ok: " : " failed: ") << got;
    }

    // Without a device nothing is sent and the result is 0.
    const size_t sent = transport->callCount();
    if (row.byLetter) {
        platform::DriveMap::global().release(kLetter);
        EXPECT_EQ(row.call(INVALID_HANDLE_VALUE), 0);
        // A letter whose device no longer opens (gone, no permission).
        platform::DriveMap::global().bind(kLetter, {[] { return std::shared_ptr<platform::ScsiTransport>(); }, {}, ""});
    }
    EXPECT_EQ(row.call(INVALID_HANDLE_VALUE), 0);
    EXPECT_EQ(transport->callCount(), sent);
}

INSTANTIATE_TEST_SUITE_P(EveryCommand, CommandTableTest, ::testing::ValuesIn(kCommands),
                         [](const auto& info) { return std::string(info.param.name); });

// Data read straight into the caller's buffers: the whole-run tests.
TEST_F(CommandTest, RepliesLandInTheCallersOutputsAndFailuresZeroThem)
{
    for (bool ok : {true, false}) {
        uint32_t lastLba = 1, blockLength = 1;
        transport->push({{0x00, 0x01, 0xE3, 0xFF, 0x00, 0x00, 0x02, 0x00}, ok});
        EXPECT_EQ(cmd_bReadCapacity(handle, &lastLba, &blockLength), ok ? 1 : 0);
        EXPECT_EQ(std::pair(lastLba, blockLength), ok ? std::pair(0x0001E3FFu, 512u) : std::pair(0u, 0u));
    }

    ::testing::internal::CaptureStdout();
    cmd_bSetSysAreaSize(handle, 7);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "SUB_SCSI_OP_SET_SYS_AREA_SIZE = 131\nunit = 7\n");

    uint8_t out = 0x77;
    transport->push({{0x5A}, false});
    EXPECT_EQ(cmd_bGet8B(handle, &out), 0);
    EXPECT_EQ(out, 0);
}

TEST_F(CommandTest, FlashIdIsStoredReversedAlsoAfterAFailedTransfer)
{
    for (int run = 0; run < 4; ++run) { // by handle, by letter; succeeding, failing
        Bytes id(5, 0xEE);
        transport->push({{1, 2, 3, 4, 5}, run < 2});
        EXPECT_EQ(run % 2 ? cmd_bReadFlashIdByDrive(kLetter, id.data()) : cmd_bReadFlashId(handle, id.data()), run < 2 ? 1 : 0);
        EXPECT_EQ(id, run < 2 ? Bytes({5, 4, 3, 2, 1}) : Bytes(5, 0));
    }
}

// EF 93 moves the status byte and the results (one per page, or count of them); only a
// success copies them, and never past their number.
TEST_F(CommandTest, ScanResultsAreCopiedOnlyOnSuccess)
{
    for (auto [perPage, count, pagesPerBlock] : {std::tuple{1, 1u, 1023u}, {0, 3u, 128u}}) {
        const uint32_t results = perPage ? pagesPerBlock : count;
        Bytes reply(results + 1), out(results + 1, 0xCC);
        for (uint32_t i = 0; i <= results; ++i)
            reply[i] = uint8_t(i ? i : 0x01);
        auto scan = [&] { return cmd_bReadPages(handle, 7, count, 0, 1, 3, 0, 0, out.data(), perPage, pagesPerBlock); };
        transport->push({reply, true});
        EXPECT_EQ(scan(), 1);
        EXPECT_EQ(transport->calls().back().length, results + 1);
        EXPECT_EQ(Bytes(out.begin(), out.end() - 1), Bytes(reply.begin() + 1, reply.end()));
        EXPECT_EQ(out.back(), 0xCC) << "nothing written past the results";
        std::fill(out.begin(), out.end(), 0xCC);
        transport->push({Bytes{0xFE} , true}), transport->push({reply, false});
        EXPECT_EQ(scan() + scan(), 0);
        EXPECT_THAT(out, Each(0xCC)) << "a failing status or transfer leaves the output untouched";
    }
}

TEST_F(CommandTest, LengthsPastTheBufferAreRefusedUnsent)
{
    uint8_t out[2048];
    EXPECT_EQ(cmd_bReadPages(handle, 0, 1, 0, 1, 3, 0, 0, out, 1, 1024), 0);
    EXPECT_EQ(cmd_bReadPages(handle, 0, 1024, 0, 1, 3, 0, 0, out, 0, 128), 0);
    EXPECT_EQ(cmd_bReadPages(handle, 0, 0xFFFFFFFF, 0, 1, 3, 0, 0, out, 0, 128), 0);
    EXPECT_EQ(cmd_bWrite10(handle, g_data, 0x20000, 0, 0xFFFF), 0) << "would wrap a 32-bit length";
    EXPECT_EQ(cmd_bWriteData(handle, nullptr, 16), 0) << "no buffer for announced data";
    EXPECT_EQ(transport->callCount(), 0u);
}

// ---- whole files in pieces, and the flash id of a description file ----

std::string bytesOf(size_t n, int seed = 0)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 7 + seed) & 0xFF);
    return s;
}

Bytes head(const RecordedCall& c, size_t n) { return {c.cdb.begin(), c.cdb.begin() + n}; }

class StreamTest : public CommandTest {
protected:
    void SetUp() override
    {
        platform::SetProgramDir(dir.path());
        transport->setFallback({{0x01}, true});
        transport->setCallLimit(1000); // a stream that never ends fails instead of hanging
    }
    testsupport::TempDir dir;
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
    transport->push({{}, true}), transport->push({{}, false});
    EXPECT_FALSE(GetParam().send(handle, dir.file("file.bin")));
    EXPECT_EQ(transport->callCount(), 2u);

    std::filesystem::create_directories(dir.file("folder")); // opens, but every read fails
    EXPECT_FALSE(GetParam().send(handle, "missing.bin") || GetParam().send(handle, "folder"));
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
            ASSERT_TRUE(SendWriteSetup(fresh.handle, "misc\\grows.dat", &announced) && announced == row.before);
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

    // Sparse files past 2 GiB; one past 32 bits would be announced as 0 bytes.
    for (auto [name, size] : {std::pair{"big/max.iso", 0xFFFFFFFFull}, {"big/4g.iso", 0x100000000ull}})
        dir.write(name, ""), std::filesystem::resize_file(dir.file(name), size);
    EXPECT_TRUE(SendWriteSetup(handle, "big\\max.iso"));
    EXPECT_THAT(head(transport->calls().at(1), 6), ElementsAre(0xEF, 0x7A, 0xFF, 0xFF, 0xFF, 0xFF));
    std::filesystem::create_directories(dir.file("folder"));
    EXPECT_FALSE(FileSizeOf(dir.file("folder"))) << "a folder opens, but has no size";
    EXPECT_FALSE(SendWriteSetup(handle, "big\\4g.iso") || SendWriteSetup(handle, "misc\\nothing.dat") || SendWriteSetup(handle, "folder"));
    EXPECT_EQ(transport->callCount(), 2u);
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
        if (failing == 4) {
            EXPECT_THAT(head(t->calls()[0], 6), ElementsAre(0xEF, 0x77, 0x00, 0x00, 0x0B, 0xB8));
        }
    }
    EXPECT_FALSE(UploadFirmware('Q', 1, "misc\\FSM01.BIN")) << "no drive Q";

    // A loader as large as the loader RAM is taken; one byte more, or none, is not even announced.
    testsupport::RecordingDrive fresh{'U'};
    for (auto [size, problem] : {std::pair{kMaxLoaderSize, ""}, {0, "is empty"},
                                 {kMaxLoaderSize + 1, "holds 1048577 bytes, more than the 1048576 a loader may have"}}) {
        dir.write("misc/big.bin", ""), std::filesystem::resize_file(dir.file("misc/big.bin"), size);
        EXPECT_EQ(LoaderFileProblem("misc\\big.bin"), problem);
    }
    EXPECT_FALSE(UploadFirmware('U', 1, "misc\\big.bin") || UploadFirmware('U', 1, "misc\\none.bin") || fresh.transport->callCount());
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
    const struct { std::string record; int size; uint64_t value; } cases[] = {
        {recordWithId(512, {1, 2, 3, 4, 5}), 5, 0x0102030405ull}, {recordWithId(512, {1, 2, 3, 4, 5}), 4, 0x01020304ull},
        {recordWithId(512, {1, 2, 3, 4, 5}), 3, 0}, {recordWithId(512, {0x98, 2, 3, 4, 5}), 5, 0x9802030405ull},
        {recordWithId(512, {0x98, 2, 3, 4, 5}), 4, 0xFFFFFFFF98020304ull}, // sign-extended
        {recordWithId(157, {0xAB, 0xCD}), 5, 0xABCD000000ull}, // the id's bytes past the end count as 0
        {std::string(127, '\x11'), 5, 0},
    };
    for (const auto& c : cases) {
        dir.write("flash/a.txt", c.record);
        EXPECT_EQ(ReadFileBigEndianValue(c.size, "flash\\a.txt"), c.value) << c.record.size() << " bytes, " << c.size;
    }
    EXPECT_EQ(ReadFileBigEndianValue(5, "flash\\none.txt"), 0u);
}

} // namespace
