#include "image/RamDisk.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "platform/ByteOrder.h"
#include "platform/FileIo.h"

namespace image {
namespace {

// Per-sector state in RamDiskChunk::where: absent, a record slot below kCached, or
// kCached | the cache entry holding it.
constexpr uint32_t kAbsent = 0xFFFFFFFFu;
constexpr uint32_t kCached = 0x80000000u;
constexpr uint32_t kUnplaced = 0xFFFFFFFFu;  // an entry whose sector has no slot yet
constexpr uint32_t kMaxSlots = kCached - 1;
constexpr uint32_t kMinCacheEntries = 4;
constexpr size_t kCopyBytes = 1u << 20;
constexpr uint64_t kReserveStep = 256ull << 20;
// Writes of at least this many sectors may go straight to the file (smaller ones, and
// everything read or written again, go through the cache).
constexpr uint32_t kDirectRun = 128;
constexpr uint32_t kDirectBatch = 512;  // records gathered for one write

bool IsCached(uint32_t where) { return where != kAbsent && (where & kCached); }

uint64_t Key(uint32_t row, uint32_t index) { return uint64_t(row) << 32 | index; }

// pwritev until every byte is written; the iovecs are used up on the way.
bool WriteAll(int fd, iovec* iov, int count, uint64_t offset) {
    while (count > 0) {
        const ssize_t n = ::pwritev(fd, iov, count, off_t(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        offset += uint64_t(n);
        size_t left = size_t(n);
        while (count > 0 && left >= iov->iov_len) {
            left -= iov->iov_len;
            ++iov;
            --count;
        }
        if (count > 0) {
            iov->iov_base = static_cast<uint8_t*>(iov->iov_base) + left;
            iov->iov_len -= left;
        }
    }
    return true;
}

} // namespace

RamDisk::RamDisk(uint32_t chunkBytes, uint32_t maxChunks, uint32_t cacheBytes)
    : chunkBytes_(chunkBytes), maxChunks_(maxChunks), cacheBytes_(cacheBytes) {}

RamDisk::~RamDisk() {
    if (fd_ >= 0)
        ::close(fd_);
}

bool RamDisk::Fail(const std::string& text) {
    error_ = text;
    return false;
}

bool RamDisk::Init(uint32_t sectorSize) {
    if (initialised_)
        return true;
    if (sectorSize == 0 || chunkBytes_ < sectorSize || chunkBytes_ % sectorSize != 0)
        return false;
    const uint32_t recordSize = sectorSize + 4;
    const size_t entries = std::max<size_t>(kMinCacheEntries, cacheBytes_ / recordSize);
    try {
        // Left uninitialised: memory is only committed for the entries in use.
        if (cacheSize_ < entries * recordSize) {
            cache_.reset(new uint8_t[entries * recordSize]);
            cacheSize_ = entries * recordSize;
        }
        entries_.assign(entries, Entry{});
        free_.resize(entries);
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (size_t i = 0; i < entries; ++i)
        free_[i] = uint32_t(entries - 1 - i);
    sectorSize_ = sectorSize;
    recordSize_ = recordSize;
    sectorsPerChunk_ = chunkBytes_ / sectorSize;
    chunkCount_ = 0;
    served_.clear();
    hitFirst_ = 1;
    hitEnd_ = 0;
    placed_ = 0;
    lastPlacedKey_ = 0;
    outOfOrder_ = false;
    waiting_.clear();
    maxWaitingKey_ = 0;
    directCount_ = 0;
    // A temporary file starts over with each volume.
    if (temporary_ && fd_ >= 0) {
        fileSize_ = 0;
        if (::ftruncate(fd_, 0) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    initialised_ = true;
    AddChunk(0);
    return true;
}

bool RamDisk::Find(uint32_t sector, uint32_t& row) const {
    if (sector >= hitFirst_ && sector <= hitEnd_) {
        row = hitRow_;
        return true;
    }
    auto it = served_.upper_bound(sector);
    if (it == served_.begin())
        return false;
    --it;
    if (sector > it->second.end)
        return false;
    hitFirst_ = it->first;
    hitEnd_ = it->second.end;
    hitRow_ = it->second.row;
    row = hitRow_;
    return true;
}

int RamDisk::AddChunk(uint32_t first) {
    uint32_t existing;
    if (chunkCount_ >= maxChunks_ || Find(first, existing))
        return -1;
    if (rows_.size() <= chunkCount_)
        rows_.resize(chunkCount_ + 1);
    Chunk& c = rows_[chunkCount_];
    // A row kept from a volume with larger sectors has maps too small for this one.
    if (!c.present || !c.where || c.presentSize < sectorsPerChunk_) {
        c.present.reset(new (std::nothrow) uint8_t[sectorsPerChunk_]);
        c.where.reset(new (std::nothrow) uint32_t[sectorsPerChunk_]);
        c.presentSize = c.present && c.where ? sectorsPerChunk_ : 0;
        if (!c.presentSize)
            return -1;
    }
    std::memset(c.present.get(), 0, sectorsPerChunk_);
    std::fill(c.where.get(), c.where.get() + sectorsPerChunk_, kAbsent);

    uint64_t last = std::min<uint64_t>(uint64_t(first) + sectorsPerChunk_ - 1, 0xFFFFFFFFu);
    // Clip at the first row (in table order) whose range holds the new last sector: the
    // index names exactly that row, the earliest one serving the sector. `first` itself
    // is served by no row, so that row starts after it.
    uint32_t clipRow;
    if (Find(uint32_t(last), clipRow))
        last = uint64_t(rows_[clipRow].first) - 1;
    c.first = first;
    c.last = uint32_t(last);
    const uint32_t row = chunkCount_++;

    // Index the parts of the new range that no earlier row serves.
    uint64_t cur = first;
    while (cur <= last) {
        auto next = served_.lower_bound(uint32_t(cur));
        uint64_t gapEnd = last;
        if (next != served_.end() && next->first <= last)
            gapEnd = uint64_t(next->first) - 1;
        if (gapEnd >= cur)
            served_.emplace(uint32_t(cur), Piece{uint32_t(gapEnd), row});
        if (next == served_.end() || next->first > last)
            break;
        cur = uint64_t(next->second.end) + 1;
    }
    hitFirst_ = 1;
    hitEnd_ = 0;
    return int(row);
}

bool RamDisk::Locate(uint32_t sector, uint32_t& row, uint32_t& index) {
    if (!initialised_)
        return false;
    if (!Find(sector, row)) {
        const int added = AddChunk(sector);
        if (added < 0)
            return false;
        row = uint32_t(added);
    }
    index = sector - rows_[row].first;
    return true;
}

template <class Use>
bool RamDisk::EachSector(uint32_t first, uint32_t count, Use use) {
    for (uint64_t s = first; s < uint64_t(first) + count; ++s) {
        uint32_t row, index;
        if (s > 0xFFFFFFFFu || !Locate(uint32_t(s), row, index) || !use(row, index))
            return false;
    }
    return true;
}

int64_t RamDisk::TakeEntry(uint32_t row, uint32_t index, uint32_t slot) {
    if (free_.empty() && !Spill(true))
        return -1;
    const uint32_t e = free_.back();
    free_.pop_back();
    Entry& entry = entries_[e];
    entry = Entry{row, index, slot, true, false, false};
    platform::PutLe32(Record(e), rows_[row].first + index);
    if (slot == kUnplaced) {
        waiting_.push_back(e);
        maxWaitingKey_ = std::max(maxWaitingKey_, Key(row, index));
    }
    return e;
}

bool RamDisk::AtTheEnd(uint32_t row, uint32_t index) const {
    const uint64_t key = Key(row, index);
    return (placed_ == 0 || key > lastPlacedKey_) && (waiting_.empty() || key > maxWaitingKey_);
}

bool RamDisk::AddDirect(uint32_t row, uint32_t index, const uint8_t* source) {
    if (directCount_ == 0) {
        // Whatever waits comes before these in record order: it takes its slots first.
        if (!PlaceWaiting())
            return false;
        directFirst_ = placed_;
        directRecords_.resize(size_t(kDirectBatch) * recordSize_);
    }
    if (placed_ >= kMaxSlots)
        return Fail("the volume has more sectors than the store can number");
    rows_[row].where[index] = placed_++;
    rows_[row].present[index] = 1;
    lastPlacedKey_ = Key(row, index);
    // Gathered in a small buffer that stays in the processor's cache: one plain write of
    // it costs the kernel less than a vectored one of 4-byte and sector-sized pieces.
    uint8_t* record = directRecords_.data() + size_t(directCount_) * recordSize_;
    platform::PutLe32(record, rows_[row].first + index);
    std::memcpy(record + 4, source, sectorSize_);
    return ++directCount_ < kDirectBatch || FlushDirect();
}

bool RamDisk::FlushDirect() {
    if (directCount_ == 0)
        return true;
    const uint32_t count = directCount_;
    directCount_ = 0;
    if ((fd_ < 0 && !OpenTemporary()) || !Reserve(SlotOffset(directFirst_ + count)))
        return false;
    if (!platform::WriteFullyAt(fd_, directRecords_.data(), size_t(count) * recordSize_, SlotOffset(directFirst_)))
        return Fail(std::string("cannot write sector records: ") + std::strerror(errno));
    return true;
}

bool RamDisk::WriteSectors(uint32_t first, uint32_t count, const uint8_t* source) {
    const bool direct = count >= kDirectRun;
    const bool ok = EachSector(first, count, [&](uint32_t row, uint32_t index) {
        const uint32_t where = rows_[row].where[index];
        if (direct && where == kAbsent && AtTheEnd(row, index)) {
            if (!AddDirect(row, index, source))
                return false;
            source += sectorSize_;
            return true;
        }
        if (!FlushDirect())
            return false;
        const int64_t e = EntryFor(row, index, false);
        if (e < 0)
            return false;
        std::memcpy(Record(uint32_t(e)) + 4, source, sectorSize_);
        entries_[e].dirty = true;
        source += sectorSize_;
        return true;
    });
    // The sectors queued before a failing one are written all the same.
    return FlushDirect() && ok;
}

bool RamDisk::ReadSectors(uint32_t first, uint32_t count, uint8_t* destination) {
    return EachSector(first, count, [&](uint32_t row, uint32_t index) {
        const int64_t e = EntryFor(row, index, true);
        if (e < 0)
            return false;
        std::memcpy(destination, Record(uint32_t(e)) + 4, sectorSize_);
        destination += sectorSize_;
        return true;
    });
}

int64_t RamDisk::EntryFor(uint32_t row, uint32_t index, bool load) {
    const uint32_t where = rows_[row].where[index];
    if (IsCached(where)) {
        const uint32_t e = where & ~kCached;
        entries_[e].again = true;
        return e;
    }
    const int64_t taken = TakeEntry(row, index, where == kAbsent ? kUnplaced : where);
    if (taken < 0)
        return -1;
    const uint32_t e = uint32_t(taken);
    // A sector written or read before and evicted since is in use again.
    entries_[e].again = where != kAbsent;
    if (load && where == kAbsent) {
        std::memset(Record(e) + 4, 0, sectorSize_);
        entries_[e].dirty = true;
    } else if (load && !platform::ReadFullyAt(fd_, Record(e) + 4, sectorSize_, SlotOffset(where) + 4)) {
        entries_[e].used = false;
        free_.push_back(e);
        Fail(std::string("cannot read back a sector: ") + std::strerror(errno));
        return -1;
    }
    rows_[row].where[index] = kCached | e;
    rows_[row].present[index] = 1;
    return e;
}

bool RamDisk::OpenTemporary() {
    const char* dir = std::getenv("TMPDIR");
    std::string folder = dir && *dir ? dir : "/tmp";
    fd_ = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        std::string name = folder + "/sector-store-XXXXXX";
        fd_ = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd_ >= 0)
            ::unlink(name.c_str());
    }
    if (fd_ < 0)
        return Fail("cannot create a temporary file in " + folder + ": " + std::strerror(errno));
    temporary_ = true;
    base_ = 0;
    fileSize_ = 0;
    return true;
}

bool RamDisk::Reserve(uint64_t end) {
    if (end <= fileSize_)
        return true;
    const uint64_t size = std::max(end, fileSize_ + kReserveStep);
    if (::ftruncate(fd_, off_t(size)) != 0)
        return Fail(std::string("cannot extend the record file: ") + std::strerror(errno));
    fileSize_ = size;
    return true;
}

// Gives the waiting sectors the next slots, in record order.
bool RamDisk::PlaceWaiting() {
    if (waiting_.empty())
        return true;
    auto key = [this](uint32_t e) { return Key(entries_[e].row, entries_[e].index); };
    auto byKey = [&](uint32_t a, uint32_t b) { return key(a) < key(b); };
    // Sectors are mostly touched front to back: then they wait in order already.
    if (!std::is_sorted(waiting_.begin(), waiting_.end(), byKey))
        std::sort(waiting_.begin(), waiting_.end(), byKey);
    if (uint64_t(placed_) + waiting_.size() > kMaxSlots)
        return Fail("the volume has more sectors than the store can number");
    if (placed_ > 0 && key(waiting_.front()) < lastPlacedKey_)
        outOfOrder_ = true;
    for (uint32_t e : waiting_)
        entries_[e].slot = placed_++;
    lastPlacedKey_ = std::max(lastPlacedKey_, key(waiting_.back()));
    waiting_.clear();
    maxWaitingKey_ = 0;
    return true;
}

// Writes the changed entries, consecutive slots with one call.
bool RamDisk::WriteDirty() {
    std::vector<uint32_t> dirty;
    for (uint32_t e = 0; e < entries_.size(); ++e)
        if (entries_[e].used && entries_[e].dirty)
            dirty.push_back(e);
    if (dirty.empty())
        return true;
    if (fd_ < 0 && !OpenTemporary())
        return false;
    auto bySlot = [this](uint32_t a, uint32_t b) { return entries_[a].slot < entries_[b].slot; };
    if (!std::is_sorted(dirty.begin(), dirty.end(), bySlot))
        std::sort(dirty.begin(), dirty.end(), bySlot);
    std::vector<iovec> iov;
    iov.reserve(IOV_MAX);
    for (size_t i = 0; i < dirty.size();) {
        const uint32_t firstSlot = entries_[dirty[i]].slot;
        iov.clear();
        size_t j = i;
        for (; j < dirty.size() && entries_[dirty[j]].slot == firstSlot + (j - i); ++j) {
            uint8_t* record = Record(dirty[j]);
            if (!iov.empty() && static_cast<uint8_t*>(iov.back().iov_base) + iov.back().iov_len == record)
                iov.back().iov_len += recordSize_;
            else if (iov.size() < IOV_MAX)
                iov.push_back({record, recordSize_});
            else
                break;
        }
        if (!Reserve(SlotOffset(entries_[dirty[j - 1]].slot + 1)) ||
            !WriteAll(fd_, iov.data(), int(iov.size()), SlotOffset(firstSlot)))
            return Fail(std::string("cannot write sector records: ") + std::strerror(errno));
        for (; i < j; ++i)
            entries_[dirty[i]].dirty = false;
    }
    return true;
}

bool RamDisk::Spill(bool evict) {
    if (!PlaceWaiting() || !WriteDirty())
        return false;
    if (!evict)
        return true;
    // Sectors used again since the last spill (FAT and folder sectors, mostly) stay, up
    // to half the cache; the rest go back to the file.
    const uint32_t n = uint32_t(entries_.size());
    uint32_t kept = 0;
    free_.clear();
    for (uint32_t e = n; e-- > 0;) {
        Entry& entry = entries_[e];
        if (entry.used && entry.again && kept < n / 2) {
            entry.again = false;
            ++kept;
            continue;
        }
        if (entry.used) {
            rows_[entry.row].where[entry.index] = entry.slot;
            entry.used = false;
        }
        free_.push_back(e);
    }
    return true;
}

// Writes the records again after the last one in record order, then moves them down
// over the old ones (the two ranges do not overlap) and cuts the file there.
bool RamDisk::Reorder() {
    const uint64_t length = uint64_t(placed_) * recordSize_;
    const uint64_t end = base_ + length;
    const size_t perBuffer = std::max<size_t>(1, kCopyBytes / recordSize_);
    std::vector<uint8_t> buffer(perBuffer * recordSize_);
    uint64_t out = end;
    uint32_t runFirst = 0, runLength = 0;
    if (!Reserve(end + length))
        return false;
    auto flush = [&] {
        const size_t bytes = size_t(runLength) * recordSize_;
        if (runLength && (!platform::ReadFullyAt(fd_, buffer.data(), bytes, SlotOffset(runFirst)) ||
                          !platform::WriteFullyAt(fd_, buffer.data(), bytes, out)))
            return false;
        out += bytes;
        runLength = 0;
        return true;
    };
    auto slotOf = [this](uint32_t where) { return IsCached(where) ? entries_[where & ~kCached].slot : where; };
    for (uint32_t r = 0; r < chunkCount_; ++r) {
        const Chunk& c = rows_[r];
        for (uint32_t i = 0; i < sectorsPerChunk_; ++i) {
            if (!c.present[i])
                continue;
            const uint32_t slot = slotOf(c.where[i]);
            if (runLength && slot == runFirst + runLength && runLength < perBuffer) {
                ++runLength;
                continue;
            }
            if (!flush())
                return Fail(std::string("cannot put the sector records in order: ") + std::strerror(errno));
            runFirst = slot;
            runLength = 1;
        }
    }
    if (!flush())
        return Fail(std::string("cannot put the sector records in order: ") + std::strerror(errno));
    for (uint64_t done = 0; done < length;) {
        const size_t n = size_t(std::min<uint64_t>(buffer.size(), length - done));
        if (!platform::ReadFullyAt(fd_, buffer.data(), n, end + done) || !platform::WriteFullyAt(fd_, buffer.data(), n, base_ + done))
            return Fail(std::string("cannot put the sector records in order: ") + std::strerror(errno));
        done += n;
    }
    if (::ftruncate(fd_, off_t(end)) != 0)
        return Fail(std::string("cannot shorten the record file: ") + std::strerror(errno));
    fileSize_ = end;
    // Slots now follow record order.
    uint32_t next = 0;
    for (uint32_t r = 0; r < chunkCount_; ++r) {
        Chunk& c = rows_[r];
        for (uint32_t i = 0; i < sectorsPerChunk_; ++i) {
            if (!c.present[i])
                continue;
            if (IsCached(c.where[i]))
                entries_[c.where[i] & ~kCached].slot = next++;
            else
                c.where[i] = next++;
            lastPlacedKey_ = Key(r, i);
        }
    }
    outOfOrder_ = false;
    return true;
}

bool RamDisk::FinishRecords(std::string* error) {
    const bool ok = Spill(false) && (!outOfOrder_ || Reorder());
    if (!ok && error)
        *error = error_;
    return ok;
}

bool RamDisk::CopyRecordsTo(int fd, uint64_t offset, std::string* error) {
    const uint64_t length = uint64_t(placed_) * recordSize_;
    std::vector<uint8_t> buffer(std::min<uint64_t>(kCopyBytes, std::max<uint64_t>(length, 1)));
    for (uint64_t done = 0; done < length;) {
        const size_t n = size_t(std::min<uint64_t>(buffer.size(), length - done));
        if (!platform::ReadFullyAt(fd_, buffer.data(), n, base_ + done)) {
            if (error)
                *error = std::string("cannot read the sector records back: ") + std::strerror(errno);
            return false;
        }
        if (!platform::WriteFullyAt(fd, buffer.data(), n, offset + done)) {
            if (error)
                *error = std::strerror(errno);
            return false;
        }
        done += n;
    }
    return true;
}

bool RamDisk::BackWith(const std::string& path, uint64_t offset, std::string* error) {
    auto fail = [&](const std::string& text) {
        if (error)
            *error = text;
        return false;
    };
    if (initialised_)
        return fail("the sector store already holds a volume");
    if (offset > 0xFFFFFFFFu)
        return fail("the image file passes 4 GiB before this volume; its offset cannot be stored");
    if (fd_ >= 0)
        ::close(fd_);
    temporary_ = false;
    backingPath_.clear();
    base_ = 0;
    fd_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0)
        return fail("cannot open " + path + ": " + std::strerror(errno));
    struct stat st;
    if (::fstat(fd_, &st) != 0)
        return fail("cannot read the size of " + path + ": " + std::strerror(errno));
    backingPath_ = path;
    base_ = offset;
    fileSize_ = uint64_t(st.st_size);
    return true;
}

bool RamDisk::DropBacking(std::string* error) {
    if (backingPath_.empty())
        return true;
    const bool closed = ::close(fd_) == 0;
    if (!closed && error)
        *error = std::strerror(errno);
    fd_ = -1;
    backingPath_.clear();
    base_ = 0;
    return closed;
}

void RamDisk::Release() {
    for (Chunk& c : rows_) {
        c.present.reset();
        c.where.reset();
        c.presentSize = 0;
        c.first = c.last = 0xFFFFFFFFu;
    }
    rows_.clear();
    served_.clear();
    hitFirst_ = 1;
    hitEnd_ = 0;
    chunkCount_ = 0;
    initialised_ = false;
    cache_.reset();
    cacheSize_ = 0;
    std::vector<Entry>().swap(entries_);
    std::vector<uint32_t>().swap(free_);
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    temporary_ = false;
    backingPath_.clear();
    base_ = 0;
    placed_ = 0;
    outOfOrder_ = false;
    waiting_.clear();
    maxWaitingKey_ = 0;
    directCount_ = 0;
}

} // namespace image
