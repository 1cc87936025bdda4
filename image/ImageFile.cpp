#include "image/ImageFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/ByteOrder.h"

namespace image {
namespace {

struct FileCloser {
    void operator()(FILE* f) const {
        if (f)
            std::fclose(f);
    }
};

void ClearMarks(RamDisk& store) {
    for (uint32_t r = 0; r < store.chunkCount(); ++r) {
        RamDiskChunk& c = store.chunk(r);
        if (c.present)
            std::memset(c.present.get(), 0, store.sectorsPerChunk());
    }
    store.EndInitialised();
}

bool Fail(std::string* error, const std::string& text) {
    if (error)
        *error = text;
    return false;
}

} // namespace

bool SaveImageFile(RamDisk& store, const std::string& path, uint32_t volumeIndex,
                   uint32_t diskSizeMB, std::string* error, const std::function<void()>& progress) {
    struct MarksGuard {
        RamDisk& s;
        ~MarksGuard() { ClearMarks(s); }
    } guard{store};

    if (volumeIndex >= kImageVolumeCount)
        return Fail(error, "volume index " + std::to_string(volumeIndex) + " has no header entry");
    if (!store.initialised())
        return Fail(error, "the sector store holds no volume");

    std::vector<char> buffer(1u << 20);  // outlives the stream that uses it
    std::unique_ptr<FILE, FileCloser> f(std::fopen(path.c_str(), volumeIndex == 0 ? "w+b" : "r+b"));
    if (!f)
        return Fail(error, "cannot open " + path + ": " + std::strerror(errno));
    std::setvbuf(f.get(), buffer.data(), _IOFBF, buffer.size());

    uint64_t firstOffset;
    if (volumeIndex == 0) {
        uint8_t header[kImageHeaderSize] = {};
        std::memcpy(header, kImageMagic, sizeof kImageMagic);
        platform::PutLe32(header + kImageDiskSizeOffset, diskSizeMB);
        if (std::fwrite(header, 1, sizeof header, f.get()) != sizeof header)
            return Fail(error, "cannot write the image header to " + path);
        firstOffset = kImageHeaderSize;
    } else {
        if (fseeko(f.get(), 0, SEEK_END) != 0)
            return Fail(error, "cannot seek in " + path);
        const off_t end = ftello(f.get());
        if (end < off_t(kImageHeaderSize))
            return Fail(error, path + " holds no image header");
        firstOffset = uint64_t(end);
    }
    // The header stores the offset in 32 bits.
    if (firstOffset > 0xFFFFFFFFu)
        return Fail(error, "the image file passes 4 GiB before volume " +
                               std::to_string(volumeIndex) + "; its offset cannot be stored");

    const uint32_t sectorSize = store.sectorSize();
    uint32_t records = 0;
    for (uint32_t r = 0; r < store.chunkCount(); ++r) {
        if (progress)
            progress();
        RamDiskChunk& c = store.chunk(r);
        for (uint32_t i = 0; i < store.sectorsPerChunk(); ++i) {
            if (!c.present[i])
                continue;
            uint8_t number[4];
            platform::PutLe32(number, c.first + i);
            if (std::fwrite(number, 1, 4, f.get()) != 4 ||
                std::fwrite(c.data.get() + size_t(i) * sectorSize, 1, sectorSize, f.get()) != sectorSize)
                return Fail(error, "cannot write sector records to " + path + ": " + std::strerror(errno));
            ++records;
        }
    }

    uint8_t entry[12];
    platform::PutLe32(entry, sectorSize);
    platform::PutLe32(entry + 4, uint32_t(firstOffset));
    platform::PutLe32(entry + 8, records);
    if (fseeko(f.get(), kImageVolumeEntryOffset + kImageVolumeEntryStride * volumeIndex, SEEK_SET) != 0 ||
        std::fwrite(entry, 1, sizeof entry, f.get()) != sizeof entry)
        return Fail(error, "cannot write the volume entry to " + path);
    FILE* raw = f.release();
    const bool flushed = std::fflush(raw) == 0;
    const bool closed = std::fclose(raw) == 0;
    if (!flushed || !closed)
        return Fail(error, "cannot finish writing " + path + ": " + std::strerror(errno));
    return true;
}

} // namespace image
