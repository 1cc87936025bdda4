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
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

namespace image {

// One row of the chunk table. A released row has no blocks and first = last = 0xFFFFFFFF.
struct RamDiskChunk {
    std::unique_ptr<uint8_t[]> data;     // sectorsPerChunk x sectorSize bytes
    std::unique_ptr<uint8_t[]> present;  // one byte per sector: 1 = present
    uint32_t presentSize = 0;             // bytes allocated for `present`
    uint32_t first = 0xFFFFFFFFu;
    uint32_t last = 0xFFFFFFFFu;
};

class RamDisk {
public:
    static constexpr uint32_t kDefaultChunkBytes = 8u * 1024u * 1024u;
    static constexpr uint32_t kDefaultMaxChunks = 1024;

    using Chunk = RamDiskChunk;

    explicit RamDisk(uint32_t chunkBytes = kDefaultChunkBytes,
                     uint32_t maxChunks = kDefaultMaxChunks);

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
    // Frees every chunk and ends the initialised state.
    void Release();

    // Ends the initialised state after a save; chunks stay allocated until Release.
    void EndInitialised() { initialised_ = false; }

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
    bool Find(uint32_t sector, uint32_t& row) const;
    // Calls use(chunk, index) for each sector first .. first + count - 1 in turn; false as
    // soon as one cannot be located (the sectors before it are done).
    template <class Use>
    bool EachSector(uint32_t first, uint32_t count, Use use);

    uint32_t chunkBytes_;
    uint32_t maxChunks_;
    bool initialised_ = false;
    uint32_t sectorSize_ = 0;
    uint32_t sectorsPerChunk_ = 0;
    uint32_t chunkCount_ = 0;
    std::vector<Chunk> rows_;
    std::map<uint32_t, Piece> served_;  // disjoint sector ranges -> serving row
    // The last range found: consecutive sectors mostly fall into the same one.
    mutable uint32_t hitFirst_ = 1, hitEnd_ = 0, hitRow_ = 0;
};

} // namespace image
