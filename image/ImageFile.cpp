// The image file's header and sector records.
#include "image/ImageFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "platform/ByteOrder.h"
#include "platform/FileIo.h"

namespace image {
namespace {

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
    struct Guard {
        RamDisk& s;
        ~Guard() {
            ClearMarks(s);
            s.DropBacking();
        }
    } guard{store};

    if (volumeIndex >= kImageVolumeCount)
        return Fail(error, "volume index " + std::to_string(volumeIndex) + " has no header entry");
    if (!store.initialised())
        return Fail(error, "the sector store holds no volume");
    if (progress)
        progress();
    std::string why;
    if (!store.FinishRecords(&why))
        return Fail(error, why);
    if (progress)
        progress();

    const bool inPlace = !store.backingPath().empty() && store.backingPath() == path;
    const int flags = O_RDWR | O_CLOEXEC | (volumeIndex == 0 && !inPlace ? O_CREAT | O_TRUNC : 0);
    struct Fd {
        int fd;
        ~Fd() {
            if (fd >= 0)
                ::close(fd);
        }
    } f{::open(path.c_str(), flags, 0666)};
    if (f.fd < 0)
        return Fail(error, "cannot open " + path + ": " + std::strerror(errno));

    uint64_t firstOffset = kImageHeaderSize;
    if (inPlace) {
        firstOffset = store.recordsOffset();
        if (volumeIndex == 0 ? firstOffset != kImageHeaderSize : firstOffset < kImageHeaderSize)
            return Fail(error, "the records of volume " + std::to_string(volumeIndex) + " do not follow the " +
                                   (volumeIndex == 0 ? "header" : "records before them") + " in " + path);
    } else if (volumeIndex != 0) {
        const off_t end = ::lseek(f.fd, 0, SEEK_END);
        if (end < off_t(kImageHeaderSize))
            return Fail(error, path + " holds no image header");
        firstOffset = uint64_t(end);
    }
    // The header stores the offset in 32 bits.
    if (firstOffset > 0xFFFFFFFFu)
        return Fail(error, "the image file passes 4 GiB before volume " + std::to_string(volumeIndex) +
                               "; its offset cannot be stored");

    const uint32_t records = store.recordCount();
    uint8_t entry[12];
    platform::PutLe32(entry, store.sectorSize());
    platform::PutLe32(entry + 4, uint32_t(firstOffset));
    platform::PutLe32(entry + 8, records);
    const off_t entryOffset = off_t(kImageVolumeEntryOffset + kImageVolumeEntryStride * volumeIndex);
    if (volumeIndex == 0) {
        uint8_t header[kImageHeaderSize] = {};
        std::memcpy(header, kImageMagic, sizeof kImageMagic);
        platform::PutLe32(header + kImageDiskSizeOffset, diskSizeMB);
        std::memcpy(header + entryOffset, entry, sizeof entry);
        if (!platform::WriteFullyAt(f.fd, header, sizeof header, 0))
            return Fail(error, "cannot write the image header to " + path + ": " + std::strerror(errno));
    }
    if (!inPlace) {
        if (!store.CopyRecordsTo(f.fd, firstOffset, &why))
            return Fail(error, "cannot write sector records to " + path + ": " + why);
    } else if (::ftruncate(f.fd, off_t(firstOffset + uint64_t(records) * (store.sectorSize() + 4))) != 0) {
        return Fail(error, "cannot cut " + path + " after its records: " + std::strerror(errno));
    }
    if (volumeIndex != 0 && !platform::WriteFullyAt(f.fd, entry, sizeof entry, entryOffset))
        return Fail(error, "cannot write the volume entry to " + path + ": " + std::strerror(errno));
    const int fd = f.fd;
    f.fd = -1;
    if (::close(fd) != 0 || (inPlace && !store.DropBacking(&why)))
        return Fail(error, "cannot finish writing " + path + ": " + std::strerror(errno));
    return true;
}

} // namespace image
