// Whole files sent to the device in pieces, and the one-command wrappers.
#include "device/Stream.h"

#include "device/Commands.h"
#include "platform/ByteOrder.h"
#include "platform/ProgramDir.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <sys/stat.h>

namespace {

using PieceSender = int (*)(HANDLE, const uint8_t*, uint32_t);

struct File {
    std::FILE* f = nullptr;
    explicit File(const std::string& path) : f(std::fopen(platform::ProgramPath(path).c_str(), "rb")) {}
    ~File()
    {
        if (f)
            std::fclose(f);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
};

// Sends the file as pieces of up to 2048 bytes until a read reaches its end; a file whose
// length is a multiple of 2048 therefore ends with an empty piece, which the device expects.
bool streamFile(HANDLE handle, const std::string& path, PieceSender send)
{
    File file(path);
    if (!file.f)
        return false;
    uint8_t piece[kStreamPieceSize];
    while (!std::feof(file.f)) {
        size_t n = std::fread(piece, 1, sizeof piece, file.f);
        // A read error never sets end-of-file: without this the stream would go on forever.
        if (std::ferror(file.f))
            return false;
        if (!send(handle, piece, static_cast<uint32_t>(n)))
            return false;
    }
    return true;
}

// Sends exactly `announced` bytes of the file in pieces of up to 2048 bytes, with the empty
// closing piece when that size is a multiple of 2048. A file that no longer holds that many
// bytes, or holds more (it changed since its size was announced), stops the stream before
// its last piece: the device never gets more, or other, data than it was told of.
bool streamAnnounced(HANDLE handle, const std::string& path, uint32_t announced, PieceSender send)
{
    File file(path);
    if (!file.f)
        return false;
    uint8_t piece[kStreamPieceSize];
    uint32_t left = announced;
    for (;;) {
        const size_t want = std::min<size_t>(left, sizeof piece);
        const size_t n = std::fread(piece, 1, want, file.f);
        if (n != want || std::ferror(file.f))
            return false;
        left -= static_cast<uint32_t>(n);
        if (left == 0 && (std::fgetc(file.f) != EOF || std::ferror(file.f)))
            return false;
        if (!send(handle, piece, static_cast<uint32_t>(n)))
            return false;
        if (left == 0 && n < sizeof piece)
            return true;
    }
}

} // namespace

std::optional<uint64_t> FileSizeOf(const std::string& path)
{
    File file(path);
    struct stat st;
    // A folder opens too, but its end position is no size.
    if (!file.f || fstat(fileno(file.f), &st) != 0 || S_ISDIR(st.st_mode) ||
        fseeko(file.f, 0, SEEK_END) != 0)
        return std::nullopt;
    off_t end = ftello(file.f);
    if (end < 0)
        return std::nullopt;
    return static_cast<uint64_t>(end);
}

std::optional<uint16_t> FileByteSum(const std::string& path)
{
    auto size = FileSizeOf(path);
    if (!size)
        return std::nullopt;
    File file(path);
    if (!file.f)
        return std::nullopt;
    uint16_t sum = 0;
    uint8_t block[65536];
    for (uint64_t left = *size; left > 0;) {
        const size_t n = std::fread(block, 1, static_cast<size_t>(std::min<uint64_t>(left, sizeof block)), file.f);
        if (n == 0)
            return std::nullopt; // shrank or unreadable: a wrong sum would be worse than none
        for (size_t i = 0; i < n; ++i)
            sum = static_cast<uint16_t>(sum + block[i]);
        left -= n;
    }
    return sum;
}

bool SendFirmwareFile(HANDLE handle, const std::string& path)
{
    return streamFile(handle, path, cmd_bFwUploadChunk);
}

bool SendFileChecksum(HANDLE handle, const std::string& path)
{
    auto sum = FileByteSum(path);
    if (!sum)
        return false;
    return cmd_bFwUploadChecksum(handle, *sum) != 0;
}

bool SendFsmFile(HANDLE handle, const std::string& path)
{
    return streamFile(handle, path, cmd_bWriteCfgData);
}

bool SendWriteSetup(HANDLE handle, const std::string& path, uint32_t* announced)
{
    // A missing file would otherwise be announced as 0xFFFFFFFF bytes.
    auto size = FileSizeOf(path);
    if (!size || *size > std::numeric_limits<uint32_t>::max())
        return false;
    if (announced)
        *announced = static_cast<uint32_t>(*size);
    return cmd_bWriteSetup(handle, static_cast<uint32_t>(*size)) != 0;
}

bool SendProgramFile(HANDLE handle, const std::string& path, uint32_t announced)
{
    return streamAnnounced(handle, path, announced, cmd_bWriteData);
}

bool SendDataFile(HANDLE handle, const std::string& path, uint32_t announced)
{
    return streamAnnounced(handle, path, announced, cmd_bWriteData);
}

std::string LoaderFileProblem(const std::string& path)
{
    const auto size = FileSizeOf(path);
    if (!size)
        return "is missing or cannot be read";
    if (*size == 0)
        return "is empty";
    if (*size > kMaxLoaderSize)
        return "holds " + std::to_string(*size) + " bytes, more than the " + std::to_string(kMaxLoaderSize) +
               " a loader may have";
    return "";
}

bool UploadFirmware(char letter, uint32_t size, const std::string& path)
{
    // Nothing is announced for a loader file that cannot be used at all.
    if (!LoaderFileProblem(path).empty())
        return false;
    HANDLE handle = platform::OpenDrive(letter);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    bool ok = cmd_bFwUploadBegin(handle, size) != 0 && SendFirmwareFile(handle, path) &&
              SendFileChecksum(handle, path);
    platform::CloseDrive(handle);
    return ok;
}

bool SendWriteEnd(HANDLE handle)
{
    return cmd_bWriteEnd(handle) != 0;
}

bool StartDisk(HANDLE handle)
{
    return cmd_bStartDisk(handle) != 0;
}

bool CheckSpiBadBlocks(HANDLE handle)
{
    return cmd_bBadBlockCheck(handle) != 0;
}

int CheckFirmwareParity(HANDLE handle)
{
    return cmd_bFwParityCheck(handle);
}

bool ChangeToHiddenDisk(HANDLE handle)
{
    return cmd_bChangeToHiddenDisk(handle) != 0;
}

uint8_t ReadDeviceFlag(HANDLE handle)
{
    uint8_t flag = 0;
    if (!cmd_bGet8B(handle, &flag))
        return 0;
    return flag;
}

uint64_t ReadFileBigEndianValue(int width, const std::string& path)
{
    // Bytes past the file's end read as 0, so a file of fewer than 128 bytes gives 0.
    uint8_t record[256] = {};
    {
        File file(path);
        if (!file.f)
            return 0;
        (void)std::fread(record, 1, sizeof record, file.f);
    }
    const uint8_t* id = record + 155;
    if (width == 5) {
        uint64_t v = 0;
        for (int i = 0; i < 5; ++i)
            v = (v << 8) | id[i];
        return v;
    }
    if (width == 4) {
        uint32_t v = platform::GetBe32(id);
        return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(v)));
    }
    return 0;
}
