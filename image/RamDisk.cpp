// The image builder's sparse sector store.
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
constexpr size_t kReorderBytes = 4u << 20;  // records put in place per step
// Writes of at least this many sectors may go straight to the file (smaller ones, and
// everything read or written again, go through the cache).
constexpr uint32_t kDirectRun = 128;
constexpr uint32_t kDirectBatch = 512;  // records gathered for one write
// Blocks asked for ahead of the writes: a file system that has them already takes the
// records for a good deal less than one that must set blocks aside page by page.
constexpr uint64_t kReserveBytes = 64u << 20;

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

std::string RamDisk::FileText() const {
    if (!backingPath_.empty())
        return backingPath_;
    return "a temporary file in " + (temporaryFolder_.empty() ? std::string("the temporary folder") : temporaryFolder_);
}

bool RamDisk::FailIo(const std::string& what) {
    const int code = errno;
    return Fail(what + " " + FileText() + ": " + std::strerror(code));
}

bool RamDisk::Init(uint32_t sectorSize) {
    if (initialised_)
        return true;
    if (sectorSize == 0 || chunkBytes_ < sectorSize || chunkBytes_ % sectorSize != 0)
        return Fail("the sector store cannot hold " + std::to_string(sectorSize) + "-byte sectors");
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
        return Fail("out of memory for the sector store's cache");
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
    error_.clear();
    reserved_ = 0;
    // A temporary file starts over with each volume.
    if (temporary_ && fd_ >= 0) {
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
    if (chunkCount_ >= maxChunks_) {
        Fail("the sector store holds as many chunks as it may (" + std::to_string(maxChunks_) + ")");
        return -1;
    }
    if (Find(first, existing))
        return -1;
    if (rows_.size() <= chunkCount_)
        rows_.resize(chunkCount_ + 1);
    Chunk& c = rows_[chunkCount_];
    // A row kept from a volume with larger sectors has maps too small for this one.
    if (!c.present || !c.where || c.presentSize < sectorsPerChunk_) {
        c.present.reset(new (std::nothrow) uint8_t[sectorsPerChunk_]);
        c.where.reset(new (std::nothrow) uint32_t[sectorsPerChunk_]);
        c.presentSize = c.present && c.where ? sectorsPerChunk_ : 0;
        if (!c.presentSize) {
            Fail("out of memory for the sector store's maps");
            return -1;
        }
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
    if (fd_ < 0 && !OpenTemporary())
        return false;
    Reserve(SlotOffset(directFirst_ + count));
    if (!platform::WriteFullyAt(fd_, directRecords_.data(), size_t(count) * recordSize_, SlotOffset(directFirst_)))
        return FailIo("cannot write sector records to");
    return true;
}

void RamDisk::Reserve(uint64_t end) {
    if (end <= reserved_ || reserveFailed_)
        return;
    const uint64_t from = std::max(reserved_, base_);
    const uint64_t length = std::max<uint64_t>(kReserveBytes, end - from);
    // Blocks past the end of the file are given back when it is cut after its records.
    if (::fallocate(fd_, FALLOC_FL_KEEP_SIZE, off_t(from), off_t(length)) != 0) {
        reserveFailed_ = true;
        return;
    }
    reserved_ = from + length;
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
        FailIo("cannot read back a sector from");
        return -1;
    }
    rows_[row].where[index] = kCached | e;
    rows_[row].present[index] = 1;
    return e;
}

bool RamDisk::OpenTemporary() {
    const char* dir = std::getenv("TMPDIR");
    std::string folder = dir && *dir ? dir : "/tmp";
    temporaryFolder_ = folder;
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
    reserved_ = 0;
    reserveFailed_ = false;
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
    Reserve(SlotOffset(entries_[dirty.back()].slot + 1));
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
        if (!WriteAll(fd_, iov.data(), int(iov.size()), SlotOffset(firstSlot)))
            return FailIo("cannot write sector records to");
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

// Puts the records in record order inside the space they take, one window of final
// places at a time: the records that belong there are gathered in memory, the records
// they displace move into the slots just emptied (all past the window), and the window
// is written whole. The file never grows, so a disk that holds the records can hold the
// ordering too.
bool RamDisk::Reorder() {
    const uint32_t n = placed_;
    std::vector<uint32_t> from;  // place -> slot now holding its record
    std::vector<uint32_t> owner; // slot -> place of the record it holds
    try {
        from.resize(n);
        owner.resize(n);
    } catch (const std::bad_alloc&) {
        return Fail("out of memory for putting the sector records in order");
    }
    auto slotOf = [this](uint32_t where) { return IsCached(where) ? entries_[where & ~kCached].slot : where; };
    uint32_t place = 0;
    for (uint32_t r = 0; r < chunkCount_; ++r) {
        const Chunk& c = rows_[r];
        for (uint32_t i = 0; i < sectorsPerChunk_; ++i)
            if (c.present[i])
                from[place++] = slotOf(c.where[i]);
    }
    if (place != n)
        return Fail("the sector store lost count of its records");
    for (uint32_t p = 0; p < n; ++p)
        owner[from[p]] = p;

    const uint32_t window = uint32_t(std::max<size_t>(1, kReorderBytes / recordSize_));
    std::vector<uint8_t> gathered(size_t(window) * recordSize_), there(size_t(window) * recordSize_);
    // Reads (or writes) `count` records at consecutive slots in one call.
    auto io = [&](bool write, uint8_t* data, uint32_t slot, uint32_t count) {
        const size_t bytes = size_t(count) * recordSize_;
        return write ? platform::WriteFullyAt(fd_, data, bytes, SlotOffset(slot))
                     : platform::ReadFullyAt(fd_, data, bytes, SlotOffset(slot));
    };
    for (uint32_t a = 0; a < n; a += window) {
        const uint32_t b = uint32_t(std::min<uint64_t>(n, uint64_t(a) + window));
        bool inPlace = true;
        for (uint32_t p = a; p < b && inPlace; ++p)
            inPlace = from[p] == p;
        if (inPlace)
            continue;
        // Gather, in runs of consecutive slots.
        for (uint32_t p = a; p < b;) {
            uint32_t q = p + 1;
            while (q < b && from[q] == from[q - 1] + 1)
                ++q;
            if (!io(false, gathered.data() + size_t(p - a) * recordSize_, from[p], q - p))
                return FailIo("cannot put the sector records in order in");
            p = q;
        }
        if (!io(false, there.data(), a, b - a))
            return FailIo("cannot put the sector records in order in");
        // Slots past the window that gave their record to it, in order, take the records
        // of the window's slots that belong further on.
        uint32_t p = a, runFrom = 0, runTo = 0, runLength = 0;
        auto flush = [&] {
            const bool ok = runLength == 0 || io(true, there.data() + size_t(runFrom - a) * recordSize_, runTo, runLength);
            runLength = 0;
            return ok;
        };
        for (uint32_t s = a; s < b; ++s) {
            if (owner[s] < b)
                continue;
            while (from[p] < b)
                ++p;
            const uint32_t target = from[p++];
            if (runLength && (s != runFrom + runLength || target != runTo + runLength) && !flush())
                return FailIo("cannot put the sector records in order in");
            if (runLength == 0) {
                runFrom = s;
                runTo = target;
            }
            ++runLength;
            from[owner[s]] = target;
            owner[target] = owner[s];
        }
        if (!flush())
            return FailIo("cannot put the sector records in order in");
        if (!io(true, gathered.data(), a, b - a))
            return FailIo("cannot put the sector records in order in");
        for (uint32_t q = a; q < b; ++q)
            from[q] = owner[q] = q;
    }
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
    const bool ok = Spill(false) && FlushDirect() && (!outOfOrder_ || Reorder());
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
            FailIo("cannot read the sector records back from");
            if (error)
                *error = error_;
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
    reserved_ = 0;
    reserveFailed_ = false;
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
