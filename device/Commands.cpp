// The device commands: each builds its command block, sends it once and reads the result.
#include "device/Commands.h"

#include "platform/ByteOrder.h"
#include "platform/VendorCommands.h"
#include <cstdio>
#include <cstring>
#include <limits>

using platform::Direction;
using namespace platform::scsi;

namespace {

// Replies of buffered requests are small; bulk data moves through the caller's buffer.
constexpr uint32_t kBufferedReplySize = 512;

struct CommandBlock {
    uint8_t bytes[16] = {};
    int length = 6;

    CommandBlock(int cdbLength, uint8_t op0, uint8_t op1 = 0) : length(cdbLength)
    {
        bytes[0] = op0;
        bytes[1] = op1;
    }
    // Operands are big-endian.
    CommandBlock& u32At(int offset, uint32_t v)
    {
        platform::PutBe32(bytes + offset, v);
        return *this;
    }
    CommandBlock& u16At(int offset, uint16_t v)
    {
        platform::PutBe16(bytes + offset, v);
        return *this;
    }
    CommandBlock& u8At(int offset, uint8_t v)
    {
        bytes[offset] = v;
        return *this;
    }
};

bool send(HANDLE handle, const CommandBlock& cdb, Direction direction, uint8_t* buffer,
          uint32_t length, uint32_t timeoutSeconds)
{
    if (handle == INVALID_HANDLE_VALUE || !handle->transport)
        return false;
    if (length > 0 && buffer == nullptr)
        return false;
    return handle->transport->execute(cdb.bytes, cdb.length, direction,
                                      length > 0 ? buffer : nullptr, length, timeoutSeconds);
}

// A request whose reply lands in a zeroed buffer of our own. After a failed transfer the
// reply reads as all zeros whatever the backend left in it, so every result form gives 0.
struct Reply {
    uint8_t bytes[kBufferedReplySize] = {};
    bool ok = false;

    int transfer() const { return ok ? 1 : 0; }
    int status() const { return transfer() & bytes[0]; }
    uint8_t replyByte() const { return ok ? bytes[0] : 0; }
    int modelMatch() const { return std::memcmp(bytes, kChipModel, sizeof kChipModel) == 0 ? 1 : 0; }
};

Reply buffered(HANDLE handle, const CommandBlock& cdb, uint32_t replyLength,
               uint32_t timeoutSeconds)
{
    Reply reply;
    // Every buffered request is marked data-in, also those that move no data (reset, stop).
    reply.ok = send(handle, cdb, Direction::In, reply.bytes, replyLength, timeoutSeconds);
    if (!reply.ok)
        std::memset(reply.bytes, 0, sizeof reply.bytes);
    return reply;
}

int direct(HANDLE handle, const CommandBlock& cdb, Direction direction, const uint8_t* buffer,
           uint32_t length, uint32_t timeoutSeconds)
{
    // An out buffer is only read by the transport.
    return send(handle, cdb, direction, const_cast<uint8_t*>(buffer), length, timeoutSeconds)
               ? 1
               : 0;
}

// By-letter requests: the drive is closed before the reply is looked at.
template <typename Form>
int byLetter(char letter, const CommandBlock& cdb, uint32_t replyLength, Form form)
{
    HANDLE handle = platform::OpenDrive(letter);
    if (handle == INVALID_HANDLE_VALUE)
        return 0;
    Reply reply = buffered(handle, cdb, replyLength, 12);
    platform::CloseDrive(handle);
    return form(reply);
}

void storeFlashId(const Reply& reply, uint8_t* id)
{
    if (!id)
        return;
    // Reversed, so the id read as a little-endian number equals the reply read big-endian.
    for (int i = 0; i < 5; ++i)
        id[4 - i] = reply.bytes[i];
}

} // namespace

// ---- by drive letter ----

int cmd_bReadFlashIdByDrive(char letter, uint8_t* id)
{
    return byLetter(letter, CommandBlock(6, kVendorIn, vendor::kReadFlashId), 5, [id](const Reply& r) {
        storeFlashId(r, id);
        return r.transfer();
    });
}

int cmd_bIsChipModeByDrive(char letter)
{
    return byLetter(letter, CommandBlock(6, kVendorIn, vendor::kAskLoaderModel), 4,
                    [](const Reply& r) { return r.modelMatch(); });
}

int cmd_bResetByDrive(char letter)
{
    return byLetter(letter, CommandBlock(6, kVendorIn, vendor::kReset), 0,
                    [](const Reply& r) { return r.transfer(); });
}

int cmd_bInquiry(char letter)
{
    // Allocation length stays 0 in the block while 36 bytes are asked for; whatever the
    // drive answers, a drive that opens counts as present.
    return byLetter(letter, CommandBlock(6, kInquiry), 36, [](const Reply&) { return 1; });
}

// ---- flash identification and scanning ----

int cmd_bReadFlashId(HANDLE handle, uint8_t* id)
{
    if (handle == INVALID_HANDLE_VALUE)
        return 0;
    Reply reply = buffered(handle, CommandBlock(6, kVendorIn, vendor::kReadFlashId), 5, 12);
    storeFlashId(reply, id);
    return reply.transfer();
}

int cmd_bReadPages(HANDLE handle, uint32_t block, uint32_t count, uint16_t pattern,
                   uint8_t dataMode, uint8_t operation, uint8_t pageSkip, uint8_t eccThreshold,
                   uint8_t* out, int perPage, uint32_t pagesPerBlock)
{
    if (handle == INVALID_HANDLE_VALUE)
        return 0;
    uint64_t transferLength = (perPage ? uint64_t(pagesPerBlock) : uint64_t(count)) + 1;
    if (transferLength > kScanReplySize)
        return 0; // the reply would overrun the scan buffer
    CommandBlock cdb(16, kVendorIn, vendor::kScan);
    cdb.u32At(2, block)
        .u16At(6, static_cast<uint16_t>(count))
        .u16At(8, pattern)
        .u8At(10, dataMode)
        .u8At(11, operation)
        .u8At(12, pageSkip)
        .u8At(13, eccThreshold)
        .u8At(14, static_cast<uint8_t>(perPage));
    uint8_t reply[kScanReplySize] = {};
    bool ok = send(handle, cdb, Direction::In, reply, static_cast<uint32_t>(transferLength), 30);
    int result = (ok ? 1 : 0) & reply[0];
    if (result && out)
        std::memcpy(out, reply + 1, static_cast<size_t>(transferLength - 1));
    return result;
}

int cmd_bCheckBlock(HANDLE handle, uint32_t block, uint32_t count)
{
    CommandBlock cdb(10, kVendorIn, vendor::kCheckBlock);
    cdb.u32At(2, block).u16At(6, static_cast<uint16_t>(count));
    return buffered(handle, cdb, 1, 12).status();
}

int cmd_bWritePage(HANDLE handle, uint32_t page, const uint8_t* buffer, uint32_t length,
                   uint8_t mode)
{
    if (handle == INVALID_HANDLE_VALUE)
        return 0;
    CommandBlock cdb(10, kVendorOut, vendor::kWritePage);
    cdb.u32At(2, page).u8At(6, 0x00).u8At(7, 0x01).u8At(8, mode);
    return direct(handle, cdb, Direction::Out, buffer, length, 10);
}

int cmd_bReadPage(HANDLE handle, uint32_t page, uint16_t n, uint8_t* buffer, uint32_t length,
                  uint8_t mode)
{
    if (handle == INVALID_HANDLE_VALUE)
        return 0;
    CommandBlock cdb(10, kVendorIn, vendor::kReadPage);
    cdb.u32At(2, page).u16At(6, n).u8At(8, mode);
    return direct(handle, cdb, Direction::In, buffer, length, 12);
}

int cmd_bFsmInit(HANDLE handle)
{
    return buffered(handle, CommandBlock(6, kVendorIn, vendor::kFsmInit), 1, 10).transfer();
}

int cmd_bReadBlockBitmap(HANDLE handle, uint8_t* buffer, uint32_t length)
{
    if (handle == INVALID_HANDLE_VALUE)
        return 0;
    CommandBlock cdb(10, kVendorIn, vendor::kReadBlockBitmap);
    cdb.u32At(2, length);
    return direct(handle, cdb, Direction::In, buffer, length, 30);
}

int cmd_bWritePatternBuffer(HANDLE handle, const uint8_t* buffer, uint32_t length)
{
    if (handle == INVALID_HANDLE_VALUE)
        return 0;
    return direct(handle, CommandBlock(6, kVendorOut, vendor::kWritePageTable), Direction::Out, buffer, length, 10);
}

// ---- disk ----

int cmd_bReadCapacity(HANDLE handle, uint32_t* lastLba, uint32_t* blockLength)
{
    // READ CAPACITY in a 6-byte block: this is what the controller understands.
    Reply reply = buffered(handle, CommandBlock(6, kReadCapacity), 8, 12);
    if (lastLba)
        *lastLba = platform::GetBe32(reply.bytes);
    if (blockLength)
        *blockLength = platform::GetBe32(reply.bytes + 4);
    return reply.transfer();
}

namespace {
int readWrite10(HANDLE handle, uint8_t opcode, Direction direction, uint8_t* buffer,
                uint32_t sectorSize, uint32_t lba, uint16_t count)
{
    uint64_t length = uint64_t(sectorSize) * count;
    if (length > std::numeric_limits<uint32_t>::max())
        return 0;
    CommandBlock cdb(10, opcode, 0x00);
    cdb.u32At(2, lba).u8At(6, 0).u16At(7, count).u8At(9, 0);
    return direct(handle, cdb, direction, buffer, static_cast<uint32_t>(length), 12);
}
} // namespace

int cmd_bWrite10(HANDLE handle, const uint8_t* buffer, uint32_t sectorSize, uint32_t lba,
                 uint16_t count)
{
    return readWrite10(handle, kWrite10, Direction::Out, const_cast<uint8_t*>(buffer), sectorSize,
                       lba, count);
}

int cmd_bRead10(HANDLE handle, uint8_t* buffer, uint32_t sectorSize, uint32_t lba,
                uint16_t count)
{
    return readWrite10(handle, kRead10, Direction::In, buffer, sectorSize, lba, count);
}

int cmd_bStopUnit(HANDLE handle)
{
    return buffered(handle, CommandBlock(6, kStartStopUnit), 0, 12).transfer();
}

int cmd_bStartDisk(HANDLE handle)
{
    return buffered(handle, CommandBlock(6, kVendorIn, vendor::kStartDisk), 2, 30).status();
}

int cmd_bChangeToHiddenDisk(HANDLE handle)
{
    return buffered(handle, CommandBlock(6, kVendorIn, vendor::kHiddenDisk), 1, 12).status();
}

// ---- loader upload ----

int cmd_bFwUploadBegin(HANDLE handle, uint32_t size)
{
    CommandBlock cdb(6, kVendorIn, vendor::kUploadBegin);
    cdb.u32At(2, size);
    return buffered(handle, cdb, 1, 12).transfer();
}

int cmd_bFwUploadChunk(HANDLE handle, const uint8_t* buffer, uint32_t length)
{
    return direct(handle, CommandBlock(6, kVendorOut, vendor::kUploadChunk), Direction::Out, buffer, length, 12);
}

int cmd_bFwUploadChecksum(HANDLE handle, uint16_t sum)
{
    CommandBlock cdb(6, kVendorIn, vendor::kUploadChecksum);
    cdb.u16At(2, sum);
    return buffered(handle, cdb, 1, 12).transfer();
}

// ---- configuration, data streams, firmware ----

int cmd_bWriteCfgData(HANDLE handle, const uint8_t* buffer, uint32_t length)
{
    return direct(handle, CommandBlock(6, kVendorOut, vendor::kWriteDescription), Direction::Out, buffer, length, 12);
}

int cmd_bBadBlockCheck(HANDLE handle)
{
    return buffered(handle, CommandBlock(6, kVendorIn, vendor::kSpiBadBlockCheck), 1, 300).status();
}

int cmd_bWriteSetup(HANDLE handle, uint32_t size)
{
    CommandBlock cdb(6, kVendorIn, vendor::kStreamSetup);
    cdb.u32At(2, size);
    return buffered(handle, cdb, 1, 12).status();
}

int cmd_bWriteData(HANDLE handle, const uint8_t* buffer, uint32_t length)
{
    return direct(handle, CommandBlock(6, kVendorOut, vendor::kStreamData), Direction::Out, buffer, length, 60);
}

int cmd_bWriteEnd(HANDLE handle)
{
    return buffered(handle, CommandBlock(6, kVendorIn, vendor::kStreamEnd), 1, 12).status();
}

int cmd_bFwParityCheck(HANDLE handle)
{
    return buffered(handle, CommandBlock(6, kVendorIn, vendor::kParityCheck), 2, 12).status();
}

int cmd_bSetFlashModuleNo(HANDLE handle, uint8_t number)
{
    CommandBlock cdb(6, kVendorIn, vendor::kSetFlashModule);
    cdb.u8At(2, number);
    return buffered(handle, cdb, 1, 12).status();
}

int cmd_bReadInfoSector(HANDLE handle, uint8_t* buffer)
{
    if (handle == INVALID_HANDLE_VALUE)
        return 0;
    return direct(handle, CommandBlock(10, kVendorIn, vendor::kReadInfoSector), Direction::In, buffer, 512, 10);
}

int cmd_bRead99(HANDLE handle, uint8_t* buffer)
{
    if (handle == INVALID_HANDLE_VALUE)
        return 0;
    return direct(handle, CommandBlock(10, kVendorIn, vendor::kRead99), Direction::In, buffer, 512, 10);
}

int cmd_bReadArea(HANDLE handle, uint16_t index, uint16_t count, uint8_t* buffer)
{
    if (handle == INVALID_HANDLE_VALUE)
        return 0;
    CommandBlock cdb(6, kVendorIn, vendor::kReadSpiArea);
    cdb.u16At(2, index).u16At(4, count);
    return direct(handle, cdb, Direction::In, buffer, uint32_t(count) * 256, 10);
}

int cmd_bWriteArea(HANDLE handle, uint16_t index, uint16_t count, const uint8_t* buffer)
{
    if (handle == INVALID_HANDLE_VALUE)
        return 0;
    CommandBlock cdb(6, kVendorOut, vendor::kWriteSpiArea);
    cdb.u16At(2, index).u16At(4, count);
    return direct(handle, cdb, Direction::Out, buffer, uint32_t(count) * 256, 10);
}

// ---- single bytes and settings ----

uint8_t cmd_GetChipCount(HANDLE handle)
{
    return buffered(handle, CommandBlock(6, kVendorIn, vendor::kChipCount), 1, 12).replyByte();
}

uint8_t cmd_GetPortNumber(HANDLE handle)
{
    return buffered(handle, CommandBlock(6, kVendorIn, vendor::kPortNumber), 1, 12).replyByte();
}

uint8_t cmd_Get9C(HANDLE handle)
{
    return buffered(handle, CommandBlock(6, kVendorIn, vendor::kSpiSize), 1, 12).replyByte();
}

namespace {
int getByte(HANDLE handle, uint8_t opcode, uint8_t* out)
{
    if (out)
        *out = 0;
    Reply reply = buffered(handle, CommandBlock(6, kVendorIn, opcode), 1, 12);
    if (out)
        *out = reply.bytes[0];
    return reply.transfer();
}

int valueCommand(HANDLE handle, uint8_t opcode, uint8_t value)
{
    CommandBlock cdb(6, kVendorIn, opcode);
    cdb.u8At(2, value);
    return buffered(handle, cdb, 1, 12).status();
}
} // namespace

int cmd_bGetB0(HANDLE handle, uint8_t* out)
{
    return getByte(handle, vendor::kGetB0, out);
}

int cmd_bGet8B(HANDLE handle, uint8_t* out)
{
    return getByte(handle, vendor::kBondingId, out);
}

int cmd_bIsChipMode(HANDLE handle)
{
    return buffered(handle, CommandBlock(6, kVendorIn, vendor::kAskChipModel), 4, 12).modelMatch();
}

int cmd_bSetSysAreaSize(HANDLE handle, uint8_t unit)
{
    CommandBlock cdb(6, kVendorIn, vendor::kSetSysAreaSize);
    cdb.u8At(2, unit);
    int result = buffered(handle, cdb, 1, 12).transfer();
    std::printf("SUB_SCSI_OP_SET_SYS_AREA_SIZE = %d\n", vendor::kSetSysAreaSize);
    std::printf("unit = %d\n", unit);
    return result;
}

int cmd_bCmd91(HANDLE handle, uint8_t value)
{
    return valueCommand(handle, vendor::kSetValue91, value);
}

int cmd_bCmd8E(HANDLE handle, uint8_t value)
{
    return valueCommand(handle, vendor::kSetValue8E, value);
}

int cmd_bCmd8F(HANDLE handle, uint8_t value)
{
    return valueCommand(handle, vendor::kSetValue8F, value);
}
