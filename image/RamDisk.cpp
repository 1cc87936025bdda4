#include "image/RamDisk.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace image {

RamDisk::RamDisk(uint32_t chunkBytes, uint32_t maxChunks)
    : chunkBytes_(chunkBytes), maxChunks_(maxChunks) {}

bool RamDisk::Init(uint32_t sectorSize) {
    if (initialised_)
        return true;
    if (sectorSize == 0 || chunkBytes_ < sectorSize || chunkBytes_ % sectorSize != 0)
        return false;
    sectorSize_ = sectorSize;
    sectorsPerChunk_ = chunkBytes_ / sectorSize;
    chunkCount_ = 0;
    served_.clear();
    hitFirst_ = 1;
    hitEnd_ = 0;
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
    if (!c.data) {
        c.data.reset(new (std::nothrow) uint8_t[chunkBytes_]);
        if (!c.data)
            return -1;
    }
    // The data block stays untouched: an absent sector is zeroed when first read, so
    // memory is only committed for the sectors in use.
    // A row kept from a volume with larger sectors has a map too small for this one.
    if (!c.present || c.presentSize < sectorsPerChunk_) {
        c.present.reset(new (std::nothrow) uint8_t[sectorsPerChunk_]);
        c.presentSize = c.present ? sectorsPerChunk_ : 0;
        if (!c.present)
            return -1;
    }
    std::memset(c.present.get(), 0, sectorsPerChunk_);

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
        if (s > 0xFFFFFFFFu || !Locate(uint32_t(s), row, index))
            return false;
        use(rows_[row], index);
    }
    return true;
}

bool RamDisk::WriteSectors(uint32_t first, uint32_t count, const uint8_t* source) {
    return EachSector(first, count, [&](Chunk& c, uint32_t index) {
        std::memcpy(c.data.get() + size_t(index) * sectorSize_, source, sectorSize_);
        c.present[index] = 1;
        source += sectorSize_;
    });
}

bool RamDisk::ReadSectors(uint32_t first, uint32_t count, uint8_t* destination) {
    return EachSector(first, count, [&](Chunk& c, uint32_t index) {
        uint8_t* stored = c.data.get() + size_t(index) * sectorSize_;
        if (!c.present[index]) {
            std::memset(stored, 0, sectorSize_);
            c.present[index] = 1;
        }
        std::memcpy(destination, stored, sectorSize_);
        destination += sectorSize_;
    });
}

void RamDisk::Release() {
    for (Chunk& c : rows_) {
        c.data.reset();
        c.present.reset();
        c.presentSize = 0;
        c.first = c.last = 0xFFFFFFFFu;
    }
    rows_.clear();
    served_.clear();
    hitFirst_ = 1;
    hitEnd_ = 0;
    chunkCount_ = 0;
    initialised_ = false;
}

} // namespace image
