#include "device/Commands.h"
#include "platform/DriveMap.h"
#include "support/RecordingTransport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <vector>

using platform::Direction;
using testsupport::ScriptedAnswer;
using ::testing::Each;
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
    EXPECT_EQ(c.cdbLength, row.cdbLength);
    EXPECT_EQ(c.direction, row.direction);
    EXPECT_EQ(c.length, row.length);
    EXPECT_EQ(c.timeoutSeconds, row.timeout);
    EXPECT_EQ(c.bufferGiven, row.length > 0);
    if (row.direction == Out)
        EXPECT_EQ(c.data, std::vector<uint8_t>(g_data, g_data + row.length));
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
    uint32_t lastLba = 1, blockLength = 1;
    transport->push({{0x00, 0x01, 0xE3, 0xFF, 0x00, 0x00, 0x02, 0x00}, true});
    EXPECT_EQ(cmd_bReadCapacity(handle, &lastLba, &blockLength), 1);
    EXPECT_TRUE(lastLba == 0x0001E3FFu && blockLength == 512u) << lastLba << " " << blockLength;
    transport->push({{0x00, 0x01, 0xE3, 0xFF, 0x00, 0x00, 0x02, 0x00}, false});
    EXPECT_EQ(cmd_bReadCapacity(handle, &lastLba, &blockLength), 0);
    EXPECT_EQ(lastLba + blockLength, 0u);

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
    for (bool byLetter : {false, true})
        for (bool ok : {true, false}) {
            uint8_t id[5] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
            transport->push({{1, 2, 3, 4, 5}, ok});
            EXPECT_EQ(byLetter ? cmd_bReadFlashIdByDrive(kLetter, id) : cmd_bReadFlashId(handle, id), ok ? 1 : 0);
            EXPECT_EQ(std::vector<uint8_t>(id, id + 5), ok ? Bytes({5, 4, 3, 2, 1}) : Bytes(5, 0));
        }
}

struct ScanCase { int perPage; uint32_t count, pagesPerBlock, moved; };
class ScanTest : public CommandTest, public ::testing::WithParamInterface<ScanCase> {};

TEST_P(ScanTest, MovesStatusPlusResultsAndCopiesResultsOnlyOnSuccess)
{
    const ScanCase& sc = GetParam();
    const uint32_t copied = sc.moved - 1;
    std::vector<uint8_t> reply(sc.moved);
    for (uint32_t i = 0; i < sc.moved; ++i)
        reply[i] = static_cast<uint8_t>(i ? i : 0x01);
    std::vector<uint8_t> out(copied + 1, 0xCC);
    auto scan = [&] { return cmd_bReadPages(handle, 7, sc.count, 0, 1, 3, 0, 0, out.data(), sc.perPage, sc.pagesPerBlock); };

    transport->push({reply, true});
    EXPECT_EQ(scan(), 1);
    EXPECT_EQ(transport->calls().back().length, sc.moved);
    for (uint32_t i = 0; i < copied; ++i)
        ASSERT_EQ(out[i], static_cast<uint8_t>(i + 1)) << i;
    EXPECT_EQ(out[copied], 0xCC) << "nothing written past the results";

    std::fill(out.begin(), out.end(), 0xCC);
    reply[0] = 0xFE;
    transport->push({reply, true});
    reply[0] = 0x01;
    transport->push({reply, false});
    EXPECT_EQ(scan(), 0);
    EXPECT_EQ(scan(), 0);
    EXPECT_THAT(out, Each(0xCC)) << "a failing status or transfer leaves the output untouched";
}

INSTANTIATE_TEST_SUITE_P(Lengths, ScanTest,
                         ::testing::Values(ScanCase{1, 1, 128, 129}, ScanCase{0, 1, 128, 2}, ScanCase{1, 1, 1023, 1024}));

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

} // namespace
