#pragma once
// The sector store, the image builder's only medium: a sparse, growing set of sectors
// held in fixed-size chunks, with one presence byte per sector recording which sectors
// were ever written or read. Only present sectors end up in the image file, so a volume
// of several GiB costs just the sectors the builder touched.
//
// Chunks are added on demand at the first sector touched outside every existing range.
// When a new chunk's range would run into a later-starting chunk, it ends just before it;
// a sector served by several rows belongs to the earliest row in table order. A small
// interval index answers lookups without walking the rows.
//
// The sectors themselves live in a file, as the image file's sector records (u32 sector
// number, then the sector's bytes): either in the image file itself from a given offset
// (BackWith), so that saving the volume moves no data, or in an anonymous temporary file.
// A bounded cache in memory holds the sectors in use; sectors touched for the first time
// wait there and are appended to the file sorted in record order (chunk-table order,
// ascending within a chunk), so a volume built front to back is already in its final
// order when it is saved. Anything else is put in order, in place, when the records are
// finished. The file only ever grows as far as records are written; the blocks ahead of
// them are asked for in advance where the file system allows it (without changing the
// file's size), and given back when the file is cut after its records.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace image {

// One row of the chunk table. A released row has no maps and first = last = 0xFFFFFFFF.
struct RamDiskChunk {
    std::unique_ptr<uint8_t[]> present;  // one byte per sector: 1 = present
    std::unique_ptr<uint32_t[]> where;   // per sector: absent, a record slot, or a cache entry
    uint32_t presentSize = 0;            // sectors the maps have room for
    uint32_t first = 0xFFFFFFFFu;
    uint32_t last = 0xFFFFFFFFu;
};

class RamDisk {
public:
    static constexpr uint32_t kDefaultChunkBytes = 8u * 1024u * 1024u;
    static constexpr uint32_t kDefaultMaxChunks = 1024;
    static constexpr uint32_t kDefaultCacheBytes = 32u * 1024u * 1024u;

    using Chunk = RamDiskChunk;

    explicit RamDisk(uint32_t chunkBytes = kDefaultChunkBytes,
                     uint32_t maxChunks = kDefaultMaxChunks,
                     uint32_t cacheBytes = kDefaultCacheBytes);
    ~RamDisk();
    RamDisk(const RamDisk&) = delete;
    RamDisk& operator=(const RamDisk&) = delete;

    // Sets up an empty store with chunk 0 at sector 0. Does nothing (and keeps the old
    // sector size) while the store is already initialised. False only for a sector size
    // that does not divide the chunk size.
    bool Init(uint32_t sectorSize);
    // Index of the new row, or -1 (row limit reached, memory exhausted, or the sector is
    // already served by a row).
    int AddChunk(uint32_t first);
    // Finds the row serving a sector, adding a chunk that starts there when none does.
    bool Locate(uint32_t sector, uint32_t& row, uint32_t& index);
    bool WriteSectors(uint32_t first, uint32_t count, const uint8_t* source);
    // An absent sector reads as zeros and becomes present.
    bool ReadSectors(uint32_t first, uint32_t count, uint8_t* destination);
    bool ReadSector(uint32_t sector, uint8_t* destination) { return ReadSectors(sector, 1, destination); }
    bool WriteSector(uint32_t sector, const uint8_t* source) { return WriteSectors(sector, 1, source); }
    // Frees every chunk, the cache and the backing file, and ends the initialised state.
    void Release();

    // Ends the initialised state after a save; chunks stay allocated until Release.
    void EndInitialised() { initialised_ = false; }

    // The next volume's records go into `path` (which must exist) from byte `offset` on,
    // instead of into a temporary file. Only while the store is not initialised; the
    // offset must fit the image header's 32-bit field.
    bool BackWith(const std::string& path, uint64_t offset, std::string* error = nullptr);
    // Writes every waiting and changed sector and puts the records in record order:
    // records 0 .. recordCount() - 1 then lie at recordsOffset() in the backing file.
    bool FinishRecords(std::string* error = nullptr);
    // Copies the finished records to `fd` at `offset`.
    bool CopyRecordsTo(int fd, uint64_t offset, std::string* error = nullptr);
    // Closes the image file given to BackWith (the next volume goes to a temporary file
    // unless backed again); false when the close reports a failed write.
    bool DropBacking(std::string* error = nullptr);
    const std::string& backingPath() const { return backingPath_; }
    uint64_t recordsOffset() const { return base_; }
    uint32_t recordCount() const { return placed_; }
    // Why the last failed operation failed, naming the record file and the system's
    // reason; "" when nothing failed since ClearError.
    const std::string& lastError() const { return error_; }
    void ClearError() { error_.clear(); }

    bool initialised() const { return initialised_; }
    uint32_t sectorSize() const { return sectorSize_; }
    uint32_t sectorsPerChunk() const { return sectorsPerChunk_; }
    uint32_t chunkCount() const { return chunkCount_; }
    uint32_t maxChunks() const { return maxChunks_; }
    const Chunk& chunk(uint32_t row) const { return rows_[row]; }
    Chunk& chunk(uint32_t row) { return rows_[row]; }

private:
    struct Piece {
        uint32_t end;
        uint32_t row;
    };
    struct Entry {
        uint32_t row = 0;
        uint32_t index = 0;
        uint32_t slot = 0;   // record slot, or kUnplaced
        bool used = false;
        bool dirty = false;  // the file's copy is older (or missing)
        bool again = false;  // used again since it was cached or last kept: likely hot
    };
    bool Find(uint32_t sector, uint32_t& row) const;
    // Calls use(row, index) for each sector first .. first + count - 1 in turn; false as
    // soon as one cannot be located or used (the sectors before it are done).
    template <class Use>
    bool EachSector(uint32_t first, uint32_t count, Use use);
    uint8_t* Record(uint32_t entry) { return cache_.get() + size_t(entry) * recordSize_; }
    uint64_t SlotOffset(uint32_t slot) const { return base_ + uint64_t(slot) * recordSize_; }
    // A free cache entry for (row, index), its record header filled; -1 on failure.
    int64_t TakeEntry(uint32_t row, uint32_t index, uint32_t slot);
    // The cache entry holding (row, index), taken if it has none; `load` fills a taken one
    // from the file (zeros for a sector never written). -1 on failure.
    int64_t EntryFor(uint32_t row, uint32_t index, bool load);
    // Places the waiting sectors, writes every changed one and, when `evict`, frees the
    // entries not used again since the last time.
    bool Spill(bool evict);
    bool PlaceWaiting();
    bool WriteDirty();
    // A sector never touched that follows every present one in record order.
    bool AtTheEnd(uint32_t row, uint32_t index) const;
    // Gives such a sector the next slot and gathers its record for one write to the
    // file (FlushDirect), past the cache.
    bool AddDirect(uint32_t row, uint32_t index, const uint8_t* source);
    bool FlushDirect();
    // Asks the file system for the blocks up to `end` ahead of the writes (not changing
    // the file's size), so that writing the records costs it less; nothing when it
    // cannot.
    void Reserve(uint64_t end);
    bool OpenTemporary();
    bool Reorder();
    bool Fail(const std::string& text);
    // `what` on the record file, with errno's reason.
    bool FailIo(const std::string& what);
    std::string FileText() const;

    uint32_t chunkBytes_;
    uint32_t maxChunks_;
    uint32_t cacheBytes_;
    bool initialised_ = false;
    uint32_t sectorSize_ = 0;
    uint32_t sectorsPerChunk_ = 0;
    uint32_t chunkCount_ = 0;
    std::vector<Chunk> rows_;
    std::map<uint32_t, Piece> served_;  // disjoint sector ranges -> serving row
    // The last range found: consecutive sectors mostly fall into the same one.
    mutable uint32_t hitFirst_ = 1, hitEnd_ = 0, hitRow_ = 0;

    // The record file.
    int fd_ = -1;
    bool temporary_ = false;
    std::string backingPath_;
    std::string temporaryFolder_;
    uint64_t base_ = 0;
    uint64_t reserved_ = 0;        // the file's blocks are asked for up to here
    bool reserveFailed_ = false;
    uint32_t recordSize_ = 0;
    uint32_t placed_ = 0;          // records in the file (the next slot)
    uint64_t lastPlacedKey_ = 0;   // largest (row, index) key placed so far
    bool outOfOrder_ = false;      // a sector was placed after one that follows it
    std::string error_;

    // The cache: entry e's record (header and sector) at e x recordSize_.
    std::unique_ptr<uint8_t[]> cache_;
    size_t cacheSize_ = 0;
    std::vector<Entry> entries_;
    std::vector<uint32_t> free_;   // free entries, the lowest at the back
    std::vector<uint32_t> waiting_;  // entries without a slot, in the order taken
    uint64_t maxWaitingKey_ = 0;

    // Records gathered by AddDirect, for slots directFirst_ on.
    std::vector<uint8_t> directRecords_;
    uint32_t directCount_ = 0;
    uint32_t directFirst_ = 0;
};

} // namespace image
