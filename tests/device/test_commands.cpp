#include "device/Commands.h"
#include "platform/DriveMap.h"
#include "support/RecordingTransport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <vector>

using platform::Direction;
using testsupport::RecordedCall;
using testsupport::RecordingTransport;
using testsupport::ScriptedAnswer;

namespace {

constexpr char kLetter = 'T';

enum class Form { Transfer, Status, ReplyByte, ModelMatch, AlwaysOne };

std::array<uint8_t, 16> block(std::initializer_list<uint8_t> bytes)
{
    std::array<uint8_t, 16> b{};
    std::copy(bytes.begin(), bytes.end(), b.begin());
    return b;
}

// Big enough for the largest data phase of the table (READ(10) of 3 x 2048 and WRITE(10) of
// 64 x 512 bytes).
uint8_t g_data[65536];

struct Row {
    const char* name;
    std::function<int(HANDLE)> call; // by-letter rows ignore the handle and use kLetter
    std::array<uint8_t, 16> cdb;
    int cdbLength;
    Direction direction;
    uint32_t length;
    uint32_t timeout;
    Form form;
    bool byLetter = false;
};

void PrintTo(const Row& row, std::ostream* os)
{
    *os << row.name;
}

const std::vector<Row>& commandTable()
{
    static uint8_t out[1024];
    static uint32_t u1, u2;
    static const std::vector<Row> rows = {
        {"ReadFlashIdByDrive", [](HANDLE) { return cmd_bReadFlashIdByDrive(kLetter, out); },
         block({0xEF, 0x70}), 6, Direction::In, 5, 12, Form::Transfer, true},
        {"ReadFlashId", [](HANDLE h) { return cmd_bReadFlashId(h, out); },
         block({0xEF, 0x70}), 6, Direction::In, 5, 12, Form::Transfer},
        {"ReadPages",
         [](HANDLE h) { return cmd_bReadPages(h, 0x01020304, 1, 0xAA55, 2, 3, 5, 0x30, out, 1, 128); },
         block({0xEF, 0x93, 0x01, 0x02, 0x03, 0x04, 0x00, 0x01, 0xAA, 0x55, 0x02, 0x03, 0x05, 0x30, 0x01, 0x00}),
         16, Direction::In, 129, 30, Form::Status},
        {"CheckBlock", [](HANDLE h) { return cmd_bCheckBlock(h, 0x0A0B0C0D, 1); },
         block({0xEF, 0x94, 0x0A, 0x0B, 0x0C, 0x0D, 0x00, 0x01}), 10, Direction::In, 1, 12, Form::Status},
        {"WritePage", [](HANDLE h) { return cmd_bWritePage(h, 0x11223344, g_data, 2048, 0x5A); },
         block({0xEE, 0x95, 0x11, 0x22, 0x33, 0x44, 0x00, 0x01, 0x5A}), 10, Direction::Out, 2048, 10,
         Form::Transfer},
        {"ReadPage", [](HANDLE h) { return cmd_bReadPage(h, 0x11223344, 0x0203, g_data, 4096, 0x07); },
         block({0xEF, 0x96, 0x11, 0x22, 0x33, 0x44, 0x02, 0x03, 0x07}), 10, Direction::In, 4096, 12,
         Form::Transfer},
        {"FsmInit", [](HANDLE h) { return cmd_bFsmInit(h); }, block({0xEF, 0x97}), 6, Direction::In, 1,
         10, Form::Transfer},
        {"ReadCapacity", [](HANDLE h) { return cmd_bReadCapacity(h, &u1, &u2); }, block({0x25}), 6,
         Direction::In, 8, 12, Form::Transfer},
        {"IsChipModeByDrive", [](HANDLE) { return cmd_bIsChipModeByDrive(kLetter); },
         block({0xEF, 0x82}), 6, Direction::In, 4, 12, Form::ModelMatch, true},
        // No data, yet marked data-in like every buffered request.
        {"ResetByDrive", [](HANDLE) { return cmd_bResetByDrive(kLetter); }, block({0xEF, 0x81}), 6,
         Direction::In, 0, 12, Form::Transfer, true},
        {"Inquiry", [](HANDLE) { return cmd_bInquiry(kLetter); }, block({0x12}), 6, Direction::In, 36,
         12, Form::AlwaysOne, true},
        {"FwUploadBegin", [](HANDLE h) { return cmd_bFwUploadBegin(h, 0x00012345); },
         block({0xEF, 0x77, 0x00, 0x01, 0x23, 0x45}), 6, Direction::In, 1, 12, Form::Transfer},
        {"FwUploadChunk", [](HANDLE h) { return cmd_bFwUploadChunk(h, g_data, 2048); },
         block({0xEE, 0x78}), 6, Direction::Out, 2048, 12, Form::Transfer},
        {"FwUploadChecksum", [](HANDLE h) { return cmd_bFwUploadChecksum(h, 0x0126); },
         block({0xEF, 0x79, 0x01, 0x26}), 6, Direction::In, 1, 12, Form::Transfer},
        {"SetSysAreaSize", [](HANDLE h) { return cmd_bSetSysAreaSize(h, 7); },
         block({0xEF, 0x83, 0x07}), 6, Direction::In, 1, 12, Form::Transfer},
        {"Cmd91", [](HANDLE h) { return cmd_bCmd91(h, 0x42); }, block({0xEF, 0x91, 0x42}), 6,
         Direction::In, 1, 12, Form::Status},
        {"GetChipCount", [](HANDLE h) { return int(cmd_GetChipCount(h)); }, block({0xEF, 0x84}), 6,
         Direction::In, 1, 12, Form::ReplyByte},
        {"WriteCfgData", [](HANDLE h) { return cmd_bWriteCfgData(h, g_data, 2048); },
         block({0xEE, 0x71}), 6, Direction::Out, 2048, 12, Form::Transfer},
        {"BadBlockCheck", [](HANDLE h) { return cmd_bBadBlockCheck(h); }, block({0xEF, 0x72}), 6,
         Direction::In, 1, 300, Form::Status},
        {"Cmd8E", [](HANDLE h) { return cmd_bCmd8E(h, 0x43); }, block({0xEF, 0x8E, 0x43}), 6,
         Direction::In, 1, 12, Form::Status},
        {"WriteSetup", [](HANDLE h) { return cmd_bWriteSetup(h, 0xDEADBEEF); },
         block({0xEF, 0x7A, 0xDE, 0xAD, 0xBE, 0xEF}), 6, Direction::In, 1, 12, Form::Status},
        {"WriteData", [](HANDLE h) { return cmd_bWriteData(h, g_data, 8192); }, block({0xEE, 0x7B}),
         6, Direction::Out, 8192, 60, Form::Transfer},
        {"WriteEnd", [](HANDLE h) { return cmd_bWriteEnd(h); }, block({0xEF, 0x7C}), 6,
         Direction::In, 1, 12, Form::Status},
        {"FwParityCheck", [](HANDLE h) { return cmd_bFwParityCheck(h); }, block({0xEF, 0x87}), 6,
         Direction::In, 2, 12, Form::Status},
        {"SetFlashModuleNo", [](HANDLE h) { return cmd_bSetFlashModuleNo(h, 9); },
         block({0xEF, 0x8D, 0x09}), 6, Direction::In, 1, 12, Form::Status},
        {"StartDisk", [](HANDLE h) { return cmd_bStartDisk(h); }, block({0xEF, 0x73}), 6,
         Direction::In, 2, 30, Form::Status},
        {"ChangeToHiddenDisk", [](HANDLE h) { return cmd_bChangeToHiddenDisk(h); },
         block({0xEF, 0x92}), 6, Direction::In, 1, 12, Form::Status},
        {"ReadBlockBitmap", [](HANDLE h) { return cmd_bReadBlockBitmap(h, g_data, 0x2000); },
         block({0xEF, 0x98, 0x00, 0x00, 0x20, 0x00}), 10, Direction::In, 0x2000, 30, Form::Transfer},
        {"IsChipMode", [](HANDLE h) { return cmd_bIsChipMode(h); }, block({0xEF, 0x85}), 6,
         Direction::In, 4, 12, Form::ModelMatch},
        {"GetB0", [](HANDLE h) { return cmd_bGetB0(h, out); }, block({0xEF, 0xB0}), 6, Direction::In,
         1, 12, Form::Transfer},
        {"Get8B", [](HANDLE h) { return cmd_bGet8B(h, out); }, block({0xEF, 0x8B}), 6, Direction::In,
         1, 12, Form::Transfer},
        {"Cmd8F", [](HANDLE h) { return cmd_bCmd8F(h, 0x44); }, block({0xEF, 0x8F, 0x44}), 6,
         Direction::In, 1, 12, Form::Status},
        {"Read99", [](HANDLE h) { return cmd_bRead99(h, g_data); }, block({0xEF, 0x99}), 10,
         Direction::In, 512, 10, Form::Transfer},
        {"GetPortNumber", [](HANDLE h) { return int(cmd_GetPortNumber(h)); }, block({0xEF, 0x9A}), 6,
         Direction::In, 1, 12, Form::ReplyByte},
        {"WritePatternBuffer", [](HANDLE h) { return cmd_bWritePatternBuffer(h, g_data, 256); },
         block({0xEE, 0x9B}), 6, Direction::Out, 256, 10, Form::Transfer},
        {"ReadInfoSector", [](HANDLE h) { return cmd_bReadInfoSector(h, g_data); },
         block({0xEF, 0x80}), 10, Direction::In, 512, 10, Form::Transfer},
        {"Get9C", [](HANDLE h) { return int(cmd_Get9C(h)); }, block({0xEF, 0x9C}), 6, Direction::In,
         1, 12, Form::ReplyByte},
        {"ReadArea", [](HANDLE h) { return cmd_bReadArea(h, 0x0102, 8, g_data); },
         block({0xEF, 0x9D, 0x01, 0x02, 0x00, 0x08}), 6, Direction::In, 2048, 10, Form::Transfer},
        {"WriteArea", [](HANDLE h) { return cmd_bWriteArea(h, 0x0304, 2, g_data); },
         block({0xEE, 0x9E, 0x03, 0x04, 0x00, 0x02}), 6, Direction::Out, 512, 10, Form::Transfer},
        {"Write10", [](HANDLE h) { return cmd_bWrite10(h, g_data, 512, 0x00ABCDEF, 64); },
         block({0x2A, 0x00, 0x00, 0xAB, 0xCD, 0xEF, 0x00, 0x00, 0x40, 0x00}), 10, Direction::Out,
         32768, 12, Form::Transfer},
        {"Read10", [](HANDLE h) { return cmd_bRead10(h, g_data, 2048, 0x10, 3); },
         block({0x28, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x03, 0x00}), 10, Direction::In,
         6144, 12, Form::Transfer},
        {"StopUnit", [](HANDLE h) { return cmd_bStopUnit(h); }, block({0x1B}), 6, Direction::In, 0,
         12, Form::Transfer},
    };
    return rows;
}

// A recording device bound to kLetter and opened as a handle, for one test.
class CommandTest : public ::testing::Test {
protected:
    // Runs a call against a fresh script: one answer, then the recorded calls.
    int run(const std::function<int(HANDLE)>& call, ScriptedAnswer answer)
    {
        transport->push(std::move(answer));
        return call(handle);
    }

    testsupport::RecordingDrive drive{kLetter};
    const std::shared_ptr<RecordingTransport>& transport = drive.transport;
    const HANDLE handle = drive.handle;
};

class CommandTableTest : public CommandTest, public ::testing::WithParamInterface<Row> {};

TEST_P(CommandTableTest, SendsItsExactRequestOnce)
{
    const Row& row = GetParam();
    long usersBefore = transport.use_count();
    run(row.call, {{0x01}, true});
    auto calls = transport->calls();
    ASSERT_EQ(calls.size(), 1u);
    const RecordedCall& c = calls[0];
    EXPECT_EQ(c.cdb, row.cdb);
    EXPECT_EQ(c.cdbLength, row.cdbLength);
    EXPECT_EQ(c.direction, row.direction);
    EXPECT_EQ(c.length, row.length);
    EXPECT_EQ(c.timeoutSeconds, row.timeout);
    EXPECT_EQ(c.bufferGiven, row.length > 0);
    if (row.direction == Direction::Out) {
        EXPECT_EQ(c.data, std::vector<uint8_t>(g_data, g_data + row.length));
    }
    // By-letter commands close the drive they opened.
    EXPECT_EQ(transport.use_count(), usersBefore);
}

TEST_P(CommandTableTest, FormsItsResultFromTransferAndReply)
{
    const Row& row = GetParam();
    switch (row.form) {
    case Form::Transfer:
        EXPECT_EQ(run(row.call, {{0x00}, true}), 1);
        EXPECT_EQ(run(row.call, {{0x01}, false}), 0);
        break;
    case Form::Status:
        // Only bit 0 of the status byte counts, and only after a good transfer.
        EXPECT_NE(run(row.call, {{0x01}, true}), 0);
        EXPECT_NE(run(row.call, {{0xFF}, true}), 0);
        EXPECT_EQ(run(row.call, {{0x00}, true}), 0);
        EXPECT_EQ(run(row.call, {{0xFE}, true}), 0);
        EXPECT_EQ(run(row.call, {{0x01}, false}), 0);
        break;
    case Form::ReplyByte:
        EXPECT_EQ(run(row.call, {{0x02}, true}), 2);
        EXPECT_EQ(run(row.call, {{0xFE}, true}), 0xFE);
        EXPECT_EQ(run(row.call, {{0x02}, false}), 0);
        break;
    case Form::ModelMatch:
        EXPECT_EQ(run(row.call, {{'6', '2', '0', '5'}, true}), 1);
        EXPECT_EQ(run(row.call, {{'6', '2', '0', '6'}, true}), 0);
        EXPECT_EQ(run(row.call, {{'6', '2', '0'}, true}), 0);
        // A failed transfer leaves a zeroed reply, whatever the backend wrote.
        EXPECT_EQ(run(row.call, {{'6', '2', '0', '5'}, false}), 0);
        break;
    case Form::AlwaysOne:
        EXPECT_EQ(run(row.call, {{0x00}, true}), 1);
        EXPECT_EQ(run(row.call, {{0x00}, false}), 1);
        break;
    }
}

TEST_P(CommandTableTest, GivesZeroWithoutADevice)
{
    const Row& row = GetParam();
    if (row.byLetter) {
        platform::DriveMap::global().release(kLetter);
        EXPECT_EQ(row.call(INVALID_HANDLE_VALUE), 0);
        // A letter whose device no longer opens (gone, no permission).
        platform::DriveMap::global().bind(
            kLetter, platform::DriveBinding{[] { return std::shared_ptr<platform::ScsiTransport>(); },
                                            {}, "gone"});
        EXPECT_EQ(row.call(INVALID_HANDLE_VALUE), 0);
    } else {
        EXPECT_EQ(row.call(INVALID_HANDLE_VALUE), 0);
    }
    EXPECT_EQ(transport->callCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(EveryCommand, CommandTableTest, ::testing::ValuesIn(commandTable()),
                         [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

TEST_F(CommandTest, DirectReadsLandInTheCallersBuffer)
{
    const std::vector<std::function<int(uint8_t*)>> reads = {
        [this](uint8_t* b) { return cmd_bReadInfoSector(handle, b); },
        [this](uint8_t* b) { return cmd_bRead99(handle, b); },
        [this](uint8_t* b) { return cmd_bReadBlockBitmap(handle, b, 1024); },
        [this](uint8_t* b) { return cmd_bReadArea(handle, 0, 8, b); },
        [this](uint8_t* b) { return cmd_bReadPage(handle, 0, 1, b, 2048, 0); },
        [this](uint8_t* b) { return cmd_bRead10(handle, b, 512, 0, 1); },
    };
    for (size_t i = 0; i < reads.size(); ++i) {
        std::vector<uint8_t> buffer(2048, 0);
        transport->push({{0xA5, 0x5A, 0x3C}, true});
        EXPECT_EQ(reads[i](buffer.data()), 1) << i;
        EXPECT_THAT(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 4),
                    ::testing::ElementsAre(0xA5, 0x5A, 0x3C, 0x00))
            << i;
    }
}

TEST_F(CommandTest, FlashIdIsStoredReversedAlsoAfterAFailedTransfer)
{
    uint8_t id[5];
    const std::vector<uint8_t> reply = {0x01, 0x02, 0x03, 0x04, 0x05};

    transport->push({reply, true});
    EXPECT_EQ(cmd_bReadFlashId(handle, id), 1);
    EXPECT_THAT(id, ::testing::ElementsAre(0x05, 0x04, 0x03, 0x02, 0x01));

    transport->push({reply, true});
    std::fill(id, id + 5, 0xEE);
    EXPECT_EQ(cmd_bReadFlashIdByDrive(kLetter, id), 1);
    EXPECT_THAT(id, ::testing::ElementsAre(0x05, 0x04, 0x03, 0x02, 0x01));

    transport->push({reply, false});
    std::fill(id, id + 5, 0xEE);
    EXPECT_EQ(cmd_bReadFlashId(handle, id), 0);
    EXPECT_THAT(id, ::testing::Each(0));

    transport->push({reply, false});
    std::fill(id, id + 5, 0xEE);
    EXPECT_EQ(cmd_bReadFlashIdByDrive(kLetter, id), 0);
    EXPECT_THAT(id, ::testing::Each(0));
}

TEST_F(CommandTest, FlashIdIsLeftAloneWhenNothingOpens)
{
    uint8_t id[5] = {9, 9, 9, 9, 9};
    EXPECT_EQ(cmd_bReadFlashId(INVALID_HANDLE_VALUE, id), 0);
    platform::DriveMap::global().release(kLetter);
    EXPECT_EQ(cmd_bReadFlashIdByDrive(kLetter, id), 0);
    EXPECT_THAT(id, ::testing::Each(9));
}

TEST_F(CommandTest, ReadCapacityStoresBigEndianValuesAndZerosAfterFailure)
{
    uint32_t lastLba = 1, blockLength = 1;
    transport->push({{0x00, 0x01, 0xE3, 0xFF, 0x00, 0x00, 0x02, 0x00}, true});
    EXPECT_EQ(cmd_bReadCapacity(handle, &lastLba, &blockLength), 1);
    EXPECT_EQ(lastLba, 0x0001E3FFu);
    EXPECT_EQ(blockLength, 512u);

    transport->push({{0x00, 0x01, 0xE3, 0xFF, 0x00, 0x00, 0x02, 0x00}, false});
    EXPECT_EQ(cmd_bReadCapacity(handle, &lastLba, &blockLength), 0);
    EXPECT_EQ(lastLba, 0u);
    EXPECT_EQ(blockLength, 0u);
}

TEST_F(CommandTest, InquiryCountsEveryDriveThatOpens)
{
    transport->push({{}, false});
    EXPECT_EQ(cmd_bInquiry(kLetter), 1);
    EXPECT_EQ(transport->calls().at(0).cdb[4], 0) << "allocation length stays 0";
    EXPECT_EQ(transport->calls().at(0).length, 36u);
    platform::DriveMap::global().release(kLetter);
    EXPECT_EQ(cmd_bInquiry(kLetter), 0);
    EXPECT_EQ(transport->callCount(), 1u);
}

TEST_F(CommandTest, SingleByteOutputsAreZeroAfterAFailedTransfer)
{
    uint8_t out = 0x77;
    transport->push({{0x5A}, true});
    EXPECT_EQ(cmd_bGet8B(handle, &out), 1);
    EXPECT_EQ(out, 0x5A);
    transport->push({{0x5A}, false});
    EXPECT_EQ(cmd_bGet8B(handle, &out), 0);
    EXPECT_EQ(out, 0);
    out = 0x77;
    EXPECT_EQ(cmd_bGetB0(INVALID_HANDLE_VALUE, &out), 0);
    EXPECT_EQ(out, 0);
}

TEST_F(CommandTest, ChipCountIsTheReplyByteItself)
{
    transport->push({{2}, true});
    EXPECT_EQ(cmd_GetChipCount(handle), 2);
    transport->push({{2}, false});
    EXPECT_EQ(cmd_GetChipCount(handle), 0);
}

struct ScanCase {
    int perPage;
    uint32_t count;
    uint32_t pagesPerBlock;
    uint32_t moved;
};

class ScanTest : public CommandTest, public ::testing::WithParamInterface<ScanCase> {};

TEST_P(ScanTest, MovesStatusPlusResultsAndCopiesResultsOnlyOnSuccess)
{
    const ScanCase& sc = GetParam();
    const uint32_t copied = sc.moved - 1;
    std::vector<uint8_t> reply(sc.moved);
    reply[0] = 0x01;
    for (uint32_t i = 1; i < sc.moved; ++i)
        reply[i] = static_cast<uint8_t>(i);

    std::vector<uint8_t> out(copied + 1, 0xCC);
    transport->push({reply, true});
    EXPECT_EQ(cmd_bReadPages(handle, 7, sc.count, 0, 1, 3, 0, 0, out.data(), sc.perPage,
                             sc.pagesPerBlock),
              1);
    EXPECT_EQ(transport->calls().back().length, sc.moved);
    for (uint32_t i = 0; i < copied; ++i)
        ASSERT_EQ(out[i], static_cast<uint8_t>(i + 1)) << i;
    EXPECT_EQ(out[copied], 0xCC) << "nothing written past the results";

    // A failing status or transfer leaves out untouched.
    std::fill(out.begin(), out.end(), 0xCC);
    reply[0] = 0xFE;
    transport->push({reply, true});
    reply[0] = 0x01;
    transport->push({reply, false});
    EXPECT_EQ(cmd_bReadPages(handle, 7, sc.count, 0, 1, 3, 0, 0, out.data(), sc.perPage,
                             sc.pagesPerBlock),
              0);
    EXPECT_EQ(cmd_bReadPages(handle, 7, sc.count, 0, 1, 3, 0, 0, out.data(), sc.perPage,
                             sc.pagesPerBlock),
              0);
    EXPECT_THAT(out, ::testing::Each(0xCC));
}

INSTANTIATE_TEST_SUITE_P(Lengths, ScanTest,
                         ::testing::Values(ScanCase{1, 1, 128, 129}, ScanCase{0, 1, 128, 2},
                                           ScanCase{1, 1, 512, 513}, ScanCase{1, 1, 1023, 1024},
                                           ScanCase{0, 16, 256, 17}));

TEST_F(CommandTest, ScanRefusesRepliesLargerThanItsBuffer)
{
    uint8_t out[2048];
    EXPECT_EQ(cmd_bReadPages(handle, 0, 1, 0, 1, 3, 0, 0, out, 1, 1024), 0);
    EXPECT_EQ(cmd_bReadPages(handle, 0, 1024, 0, 1, 3, 0, 0, out, 0, 128), 0);
    EXPECT_EQ(cmd_bReadPages(handle, 0, 0xFFFFFFFF, 0, 1, 3, 0, 0, out, 0, 128), 0);
    EXPECT_EQ(transport->callCount(), 0u);
}

TEST_F(CommandTest, TransfersNeverOverflowTheirLength)
{
    // 65535 sectors of 128 KiB would wrap a 32-bit length.
    EXPECT_EQ(cmd_bWrite10(handle, g_data, 0x20000, 0, 0xFFFF), 0);
    EXPECT_EQ(cmd_bWriteData(handle, nullptr, 16), 0) << "no buffer for announced data";
    EXPECT_EQ(transport->callCount(), 0u);
}

TEST_F(CommandTest, SetSysAreaSizeReportsOnStandardOutput)
{
    transport->push({{0}, true});
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(cmd_bSetSysAreaSize(handle, 4), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "SUB_SCSI_OP_SET_SYS_AREA_SIZE = 131\nunit = 4\n");
}

} // namespace
