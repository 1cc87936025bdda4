// The hidden disk's data areas: the signed file area, a raw disk image, and the eject.
#include "production/DataAreas.h"

#include "device/Commands.h"
#include "platform/ByteOrder.h"
#include "platform/ProgramDir.h"
#include "production/DataAreasIo.h"
#include "production/WindowLink.h"
#include "production/ppthread.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits>

namespace dataareas {

namespace {

// A list file that gets sectors of the signed area.
struct AreaFile {
    uint32_t index = 0;
    std::string path;
    uint32_t size = 0;
    uint32_t firstSector = 0;
};

} // namespace

int WriteSignedFileArea(ProductThread& thread, const std::vector<std::string>& hideFiles)
{
    uint32_t lastLba = 0, sectorSize = 0;
    if (!cmd_bReadCapacity(thread.hDevice, &lastLba, &sectorSize) || lastLba == 0 ||
        sectorSize == 0)
        return 0;
    // The header needs 512 bytes, and a piece is at most 1024 bytes.
    if (sectorSize < kHeaderSize || sectorSize > kPieceBufferSize)
        return 0;
    if (hideFiles.size() > std::numeric_limits<uint32_t>::max())
        return 0;

    // Lay the files out first: a file that would not fit the disk or the 32-bit size field
    // fails the run before anything is written.
    std::vector<AreaFile> files;
    uint64_t sector = 1;
    const uint64_t sectors = uint64_t(lastLba) + 1;
    for (uint32_t i = 0; i < hideFiles.size() && i < kMaxEntries; ++i) {
        if (!IsExistingFile(hideFiles[i]))
            continue;
        BinaryFile probe(hideFiles[i], "rb");
        auto size = probe.size();
        if (!size || *size > std::numeric_limits<uint32_t>::max())
            return 0;
        const uint64_t used = (*size + sectorSize - 1) / sectorSize;
        if (sector + used > sectors)
            return 0;
        files.push_back({i, hideFiles[i], uint32_t(*size), uint32_t(sector)});
        sector += used;
    }

    uint8_t header[kPieceBufferSize] = {};
    std::memcpy(header, kSignature, sizeof kSignature);
    platform::PutLe32(header + 12, uint32_t(hideFiles.size()));

    // A short last piece goes out as a whole sector; the rest of the buffer still holds
    // the previous piece's bytes.
    uint8_t piece[kPieceBufferSize] = {};
    for (const AreaFile& file : files) {
        uint8_t* entry = header + 16 + 16 * file.index;
        platform::PutLe32(entry, file.index);
        platform::PutLe32(entry + 4, file.firstSector);
        platform::PutLe32(entry + 8, file.size);

        BinaryFile in(file.path, "rb");
        auto size = in.size();
        if (!in.isOpen() || size != uint64_t(file.size))
            return 0; // gone or changed since it was measured
        uint32_t lba = file.firstSector;
        uint64_t sent = 0;
        for (;;) {
            size_t n = std::fread(piece, 1, sectorSize, in.get());
            if (std::ferror(in.get()))
                return 0;
            if (n == 0)
                break;
            sent += n;
            if (sent > file.size || !cmd_bWrite10(thread.hDevice, piece, sectorSize, lba, 1))
                return 0;
            ++lba;
        }
        if (sent != file.size)
            return 0;
    }
    return cmd_bWrite10(thread.hDevice, header, sectorSize, 0, 1) ? 1 : 0;
}

} // namespace dataareas

using namespace dataareas;

int64_t OpenImageFile(ProductThread& thread, const std::string& path)
{
    int64_t size = -1;
    if (!path.empty()) {
        // Opened for reading and writing, as the image is the operator's own file.
        int fd = ::open(platform::ProgramPath(path).c_str(), O_RDWR);
        if (fd >= 0) {
            struct stat st;
            if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0)
                size = int64_t(st.st_size);
            ::close(fd);
        }
    }
    thread.iImageFileSize = uint64_t(size);
    return size;
}

int WriteImageToDisk(ProductThread& thread, const std::string&, const std::string& path,
                     uint32_t first, uint32_t last)
{
    if (thread.pGauge)
        thread.pGauge->SetProgress(int(first));
    BinaryFile image(path, "rb");
    if (!image.isOpen())
        return 0;

    uint8_t boot[16];
    if (!image.readAt(0, boot, sizeof boot))
        return 0;
    const uint32_t imageSector = platform::GetLe16(boot + 11);
    uint16_t sectorsPerChunk = 0;
    if (imageSector == 512 && thread.iSectorSize == 512)
        sectorsPerChunk = 64;
    else if (imageSector == 1024 && thread.iSectorSize == 1024)
        sectorsPerChunk = 32;
    else
        return 0;

    // The chunk count comes from the size measured when the image was opened; a file that
    // changed since then would be written short or padded with stale bytes.
    const uint64_t fileSize = thread.iImageFileSize;
    if (image.size() != fileSize || fileSize == uint64_t(-1))
        return 0;
    const uint64_t chunks = (fileSize + kImageChunkSize - 1) / kImageChunkSize;

    static_assert(kImageChunkSize % 1024 == 0);
    std::vector<uint8_t> buffer(kImageChunkSize, 0);
    if (fseeko(image.get(), 0, SEEK_SET) != 0)
        return 0;
    const uint64_t gaugeDivisor = fileSize / kImageChunkSize;
    uint64_t lba = 0;
    for (uint64_t i = 0; i < chunks; ++i) {
        // A short last read leaves the rest of the buffer as it was.
        size_t n = std::fread(buffer.data(), 1, kImageChunkSize, image.get());
        if (std::ferror(image.get()) || n == 0 || (n < kImageChunkSize && i + 1 < chunks))
            return 0;
        if (!cmd_bWrite10(thread.hDevice, buffer.data(), thread.iSectorSize, uint32_t(lba),
                          sectorsPerChunk))
            return 0;
        thread.SetStatus("iSectorUsed:" + std::to_string(i));
        thread.SetStatusColor(toolkit::clRed);
        lba += sectorsPerChunk;
        // An image of a single chunk has no range to divide: it fills the gauge at once.
        int64_t position = gaugeDivisor == 0
                               ? int64_t(last)
                               : int64_t(first) + (int64_t(last) - int64_t(first)) *
                                                      int64_t(i) / int64_t(gaugeDivisor);
        if (thread.pGauge)
            thread.pGauge->SetProgress(int(position));
    }
    return 1;
}

int WriteSignedFileArea(ProductThread& thread, uint32_t, uint32_t)
{
    return dataareas::WriteSignedFileArea(thread, production::Window().HideFileList());
}

int EjectDevice(ProductThread&, HANDLE handle)
{
    return cmd_bStopUnit(handle) ? 1 : 0;
}
