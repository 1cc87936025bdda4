// Folders and files on the image volume: directory entries, long names, file data.
#include "image/FatFiles.h"

#include <algorithm>
#include <cstring>

#include "platform/ByteOrder.h"

namespace image {
namespace {

using namespace platform::fat;

ShortName DotName(int dots) {
    ShortName n;
    n.fill(' ');
    for (int i = 0; i < dots; ++i)
        n[i] = '.';
    return n;
}

} // namespace

bool FatFiles::Fail(const std::string& text) {
    // A failing store (a full disk, a file-size limit, an I/O error) knows the real cause;
    // the operation's own text would only guess at it.
    const std::string& cause = volume_.store().lastError();
    lastError_ = cause.empty() ? text : cause;
    return false;
}

void FatFiles::Begin() {
    lastError_.clear();
    volume_.store().ClearError();
}

uint32_t FatFiles::RootKey() const {
    return volume_.type == FatType::Fat32 ? volume_.rootCluster : 0;
}

std::string FatFiles::PathText(const std::vector<std::string>& path, size_t count) const {
    std::string out;
    for (size_t i = 0; i < count && i < path.size(); ++i)
        out += "\\" + path[i];
    return out.empty() ? "\\" : out;
}

uint64_t FatFiles::SlotPos(const Dir& dir, uint32_t slot) const {
    if (dir.cluster == 0)
        return volume_.RootDirPos() + uint64_t(slot) * kEntryBytes;
    const uint32_t perCluster = volume_.ClusterBytes() / kEntryBytes;
    return volume_.ClusterPos(dir.chain[slot / perCluster]) + uint64_t(slot % perCluster) * kEntryBytes;
}

FatFiles::Dir* FatFiles::OpenDir(uint32_t cluster) {
    auto it = dirs_.find(cluster);
    if (it != dirs_.end())
        return &it->second;
    Dir dir;
    dir.cluster = cluster;
    if (!LoadDir(dir))
        return nullptr;
    return &dirs_.emplace(cluster, std::move(dir)).first->second;
}

// Reads a folder already on the volume into its index.
bool FatFiles::LoadDir(Dir& dir) {
    const uint32_t s = volume_.bytesPerSector;
    sector_.resize(s);
    uint32_t capacity;
    if (dir.cluster == 0) {
        capacity = volume_.rootEntries;
    } else {
        uint32_t c = dir.cluster;
        for (;;) {
            if (c < 2 || c > volume_.clusterCount + 1 || dir.chain.size() > volume_.clusterCount)
                return Fail("a folder's cluster chain is broken");
            dir.chain.push_back(c);
            const int r = volume_.NextCluster(c);
            if (r == 2)
                break;
            if (r == 1) {
                volume_.errorCode = kFatErrChainFree;
                return Fail("a folder's cluster chain reaches a free cluster");
            }
            if (r == 3)
                return Fail("cannot read the FAT");
        }
        capacity = uint32_t(std::min<uint64_t>(uint64_t(dir.chain.size()) * (volume_.ClusterBytes() / kEntryBytes),
                                               kMaxDirectorySlots));
    }
    std::u16string collected;
    uint32_t loaded = 0xFFFFFFFFu;
    uint32_t slot = 0;
    for (; slot < capacity; ++slot) {
        const uint64_t pos = SlotPos(dir, slot);
        const uint32_t sector = uint32_t(pos / s);
        if (sector != loaded) {
            if (!volume_.ReadSector(sector, sector_.data()))
                return Fail("cannot read a folder");
            loaded = sector;
        }
        const uint8_t* e = sector_.data() + pos % s;
        if (e[kEntryName] == kEntryEnd)
            break;
        if (e[kEntryName] == kEntryDeleted) {
            collected.clear();
            continue;
        }
        const uint8_t attr = e[kEntryAttr];
        if ((attr & kAttrMask) == kAttrLongName) {
            std::u16string units;
            for (uint8_t off : kPieceUnitOffsets) {
                const char16_t u = char16_t(platform::GetLe16(e + off));
                if (u == 0)
                    break;
                units.push_back(u);
            }
            collected = (e[kLongOrder] & kLongLastPiece) ? units : units + collected;
            continue;
        }
        ShortName alias;
        std::memcpy(alias.data(), e + kEntryName, 11);
        if (alias[0] == kEntryLeadE5)
            alias[0] = kEntryDeleted;
        if (attr & kAttrLabel && !(attr & kAttrDirectory)) {
            dir.labelSlot = slot;
            collected.clear();
            continue;
        }
        if (alias == DotName(1) || alias == DotName(2)) {
            collected.clear();
            continue;
        }
        Node node;
        node.type = (attr & kAttrDirectory) ? FatEntryType::Directory : FatEntryType::File;
        node.firstCluster = platform::GetLe16(e + kEntryClusterLow) |
                            (volume_.type == FatType::Fat32 ? platform::GetLe16(e + kEntryClusterHigh) << 16 : 0);
        node.entryPos = pos;
        node.longName = collected.empty() ? ShortNameText(alias) : collected;
        dir.aliases.insert(alias);
        dir.aliasTexts.insert(ShortNameText(alias));
        dir.byName.emplace(FoldName(node.longName), node);
        collected.clear();
    }
    dir.used = slot;
    return true;
}

bool FatFiles::ReserveSlots(Dir& dir, uint32_t count, uint32_t& first) {
    const uint64_t need = uint64_t(dir.used) + count;
    if (dir.cluster == 0) {
        if (need > volume_.rootEntries) {
            volume_.errorCode = kFatErrRootFull;
            return Fail("the root folder is full (" + std::to_string(volume_.rootEntries) +
                        " entries, long-name pieces included)");
        }
    } else {
        if (need > kMaxDirectorySlots)
            return Fail("a folder cannot hold more than 65536 entries (long-name pieces included)");
        const uint32_t perCluster = volume_.ClusterBytes() / kEntryBytes;
        while (uint64_t(dir.chain.size()) * perCluster < need) {
            uint32_t c;
            if (!volume_.AllocCluster(c))
                return Fail("the image volume is full");
            if (!volume_.ZeroCluster(c) || !volume_.SetEntry(dir.chain.back(), c))
                return Fail("the sector store refused a write");
            dir.chain.push_back(c);
        }
    }
    first = dir.used;
    dir.used = uint32_t(need);
    return true;
}

bool FatFiles::WriteSlots(const Dir& dir, uint32_t first, const std::vector<Slot>& slots) {
    const uint32_t s = volume_.bytesPerSector;
    sector_.resize(s);
    uint32_t loaded = 0xFFFFFFFFu;
    auto flush = [&] {
        return loaded == 0xFFFFFFFFu || volume_.WriteSector(loaded, sector_.data());
    };
    for (size_t i = 0; i < slots.size(); ++i) {
        const uint64_t pos = SlotPos(dir, first + uint32_t(i));
        const uint32_t sector = uint32_t(pos / s);
        if (sector != loaded) {
            if (!flush() || !volume_.ReadSector(sector, sector_.data()))
                return Fail("the sector store refused a folder write");
            loaded = sector;
        }
        std::memcpy(sector_.data() + pos % s, slots[i].data(), kEntryBytes);
    }
    if (!flush())
        return Fail("the sector store refused a folder write");
    return true;
}

FatFiles::Slot FatFiles::ShortEntry(const ShortName& name, uint8_t attribute, uint32_t cluster,
                                    uint32_t size) const {
    Slot e{};
    std::memcpy(e.data() + kEntryName, name.data(), 11);
    if (e[kEntryName] == kEntryDeleted)
        e[kEntryName] = kEntryLeadE5;
    e[kEntryAttr] = attribute;
    platform::PutLe16(e.data() + kEntryCreateDate, kFatEntryDate);
    platform::PutLe16(e.data() + kEntryAccessDate, kFatEntryDate);
    platform::PutLe16(e.data() + kEntryClusterHigh, volume_.type == FatType::Fat32 ? cluster >> 16 : 0);
    platform::PutLe16(e.data() + kEntryWriteDate, kFatEntryDate);
    platform::PutLe16(e.data() + kEntryClusterLow, cluster & 0xFFFF);
    platform::PutLe32(e.data() + kEntrySize, size);
    return e;
}

bool FatFiles::AddEntry(Dir& dir, const std::u16string& longName, FatEntryType type, uint32_t firstCluster,
                        Node& node, ShortName& alias) {
    if (!MakeShortName(longName, [&](const ShortName& a) { return dir.aliases.count(a) != 0; }, alias, &dir.tails))
        return Fail("no free short name is left for " + Utf16ToUtf8(longName));
    const uint8_t checksum = ShortNameChecksum(alias);
    const size_t pieces = (longName.size() + kUnitsPerPiece - 1) / kUnitsPerPiece;
    std::vector<Slot> slots;
    for (size_t n = pieces; n >= 1; --n) {
        Slot e{};
        std::fill(e.begin(), e.end(), 0xFF);
        e[kLongOrder] = uint8_t(n | (n == pieces ? kLongLastPiece : 0));
        e[kEntryAttr] = kAttrLongName;
        e[kLongType] = 0;
        e[kLongChecksum] = checksum;
        e[kLongCluster] = e[kLongCluster + 1] = 0;
        for (size_t k = 0; k < kUnitsPerPiece; ++k) {
            const size_t at = (n - 1) * kUnitsPerPiece + k;
            uint32_t unit = 0xFFFF;
            if (at < longName.size())
                unit = longName[at];
            else if (at == longName.size())
                unit = 0;
            platform::PutLe16(e.data() + kPieceUnitOffsets[k], unit);
        }
        slots.push_back(e);
    }
    const uint8_t attribute = type == FatEntryType::Directory ? kAttrDirectory : 0;
    slots.push_back(ShortEntry(alias, attribute, firstCluster, 0));
    uint32_t first;
    if (!ReserveSlots(dir, uint32_t(slots.size()), first) || !WriteSlots(dir, first, slots))
        return false;
    node.type = type;
    node.firstCluster = firstCluster;
    node.entryPos = SlotPos(dir, first + uint32_t(slots.size()) - 1);
    node.longName = longName;
    dir.aliases.insert(alias);
    dir.aliasTexts.insert(ShortNameText(alias));
    dir.byName.emplace(FoldName(longName), node);
    return true;
}

bool FatFiles::WalkFolders(const std::vector<std::string>& path, size_t count, Dir*& dir) {
    dir = OpenDir(RootKey());
    if (!dir)
        return false;
    for (size_t i = 0; i < count; ++i) {
        std::u16string longName;
        std::string reason;
        if (!ValidateLongName(path[i], longName, reason))
            return Fail("the name \"" + path[i] + "\" " + reason);
        const std::u16string key = FoldName(longName);
        auto found = dir->byName.find(key);
        uint32_t cluster;
        if (found != dir->byName.end()) {
            if (found->second.type != FatEntryType::Directory)
                return Fail("cannot create folder " + PathText(path, i + 1) + ": a file of that name exists");
            cluster = found->second.firstCluster;
        } else {
            if (dir->aliasTexts.count(key))
                return Fail("cannot create folder " + PathText(path, i + 1) +
                            ": its name equals the short name of another entry");
            if (!volume_.AllocCluster(cluster))
                return Fail("the image volume is full (creating folder " + PathText(path, i + 1) + ")");
            if (!volume_.ZeroCluster(cluster))
                return Fail("the sector store refused a write");
            Node node;
            ShortName alias;
            if (!AddEntry(*dir, longName, FatEntryType::Directory, cluster, node, alias))
                return false;
            // "." names the folder itself, ".." its parent (0 for the root).
            const uint32_t parent = dir->cluster == RootKey() ? 0 : dir->cluster;
            Dir child;
            child.cluster = cluster;
            child.chain.push_back(cluster);
            child.aliases.insert(DotName(1));
            child.aliases.insert(DotName(2));
            if (!WriteSlots(child, 0, {ShortEntry(DotName(1), kAttrDirectory, cluster, 0),
                                       ShortEntry(DotName(2), kAttrDirectory, parent, 0)}))
                return false;
            child.used = 2;
            dirs_.emplace(cluster, std::move(child));
        }
        dir = OpenDir(cluster);
        if (!dir)
            return false;
    }
    return true;
}

bool FatFiles::MakeDirectory(const std::vector<std::string>& path, uint32_t* cluster) {
    Begin();
    if (!volume_.mounted())
        return Fail("no volume is mounted");
    Dir* dir;
    if (!WalkFolders(path, path.size(), dir))
        return false;
    if (cluster)
        *cluster = dir->cluster;
    return true;
}

std::unique_ptr<FatFileHandle> FatFiles::FileCreate(const std::vector<std::string>& path) {
    Begin();
    if (!volume_.mounted()) {
        Fail("no volume is mounted");
        return nullptr;
    }
    if (path.empty()) {
        Fail("a file needs a name");
        return nullptr;
    }
    Dir* dir;
    if (!WalkFolders(path, path.size() - 1, dir))
        return nullptr;
    std::u16string longName;
    std::string reason;
    if (!ValidateLongName(path.back(), longName, reason)) {
        Fail("the name \"" + path.back() + "\" " + reason);
        return nullptr;
    }
    const std::u16string key = FoldName(longName);
    if (dir->byName.count(key)) {
        Fail(PathText(path, path.size()) + " already exists in the image (names are compared without regard to case)");
        return nullptr;
    }
    if (dir->aliasTexts.count(key)) {
        Fail("cannot create " + PathText(path, path.size()) + ": its name equals the short name of another entry");
        return nullptr;
    }
    Node node;
    ShortName alias;
    if (!AddEntry(*dir, longName, FatEntryType::File, 0, node, alias))
        return nullptr;
    auto handle = std::make_unique<FatFileHandle>();
    handle->entry.shortName = alias;
    handle->entry.entryPos = node.entryPos;
    handle->entry.type = FatEntryType::File;
    handle->entry.longName = longName;
    return handle;
}

uint32_t FatFiles::FileWrite(const uint8_t* buffer, uint32_t length, FatFileHandle& handle) {
    const uint32_t s = volume_.bytesPerSector;
    const uint32_t clusterBytes = volume_.ClusterBytes();
    auto fail = [&](const std::string& text) {
        handle.failed = true;
        Fail(text);
        return 0u;
    };
    Begin();
    if (handle.failed)
        return fail("an earlier write to this file failed");
    if (handle.position % s != 0)
        return fail("only the last block of a file may be shorter than a sector");
    if (handle.position + length > kMaxFileSize)
        return fail("a file on a FAT volume holds at most 4 GiB - 1 bytes");
    sector_.resize(s);
    // Whole sectors in consecutive clusters go to the store as one run.
    uint32_t runFirst = 0, runCount = 0;
    const uint8_t* runData = nullptr;
    auto flush = [&] {
        const bool ok = runCount == 0 || volume_.WriteSectors(runFirst, runCount, runData);
        runCount = 0;
        return ok;
    };
    auto failAfterRun = [&](const std::string& text) {
        flush();
        return fail(text);
    };
    const std::string refused = "the sector store refused a write";
    uint32_t remaining = length;
    while (remaining > 0) {
        const uint32_t inCluster = uint32_t(handle.position % clusterBytes);
        if (inCluster == 0) {
            uint32_t c;
            if (!volume_.AllocCluster(c))
                return failAfterRun("the image volume is full");
            if (handle.entry.firstCluster == 0)
                handle.entry.firstCluster = c;
            else if (!volume_.SetEntry(handle.currentCluster, c))
                return failAfterRun("the sector store refused a FAT write");
            handle.currentCluster = c;
        }
        const uint32_t sectorIndex = inCluster / s;
        const uint32_t room = clusterBytes - inCluster;
        const uint32_t bytes = std::min(remaining, room);
        const uint32_t whole = bytes / s;
        const uint32_t firstSector = volume_.ClusterSector(handle.currentCluster) + sectorIndex;
        if (whole) {
            if (runCount && runFirst + runCount == firstSector) {
                runCount += whole;
            } else {
                if (!flush())
                    return fail(refused);
                runFirst = firstSector;
                runCount = whole;
                runData = buffer;
            }
        }
        if (bytes % s) {
            if (!flush())
                return fail(refused);
            std::memset(sector_.data(), 0, s);
            std::memcpy(sector_.data(), buffer + size_t(whole) * s, bytes % s);
            if (!volume_.WriteSector(firstSector + whole, sector_.data()))
                return fail(refused);
        }
        handle.position += bytes;
        buffer += bytes;
        remaining -= bytes;
    }
    if (!flush())
        return fail(refused);
    return length;
}

bool FatFiles::FileClose(std::unique_ptr<FatFileHandle> handle) {
    Begin();
    if (!handle)
        return Fail("no file is open");
    handle->entry.size = uint32_t(handle->position);
    const uint32_t s = volume_.bytesPerSector;
    sector_.resize(s);
    const uint32_t sector = uint32_t(handle->entry.entryPos / s);
    const uint32_t offset = uint32_t(handle->entry.entryPos % s);
    if (!volume_.ReadSector(sector, sector_.data()))
        return Fail("cannot read a folder");
    const Slot e = ShortEntry(handle->entry.shortName, 0, handle->entry.firstCluster, handle->entry.size);
    std::memcpy(sector_.data() + offset, e.data(), kEntryBytes);
    if (!volume_.WriteSector(sector, sector_.data()))
        return Fail("the sector store refused a folder write");
    return true;
}

bool FatFiles::SetVolumeLabel(const std::string& label) {
    Begin();
    if (!volume_.mounted())
        return Fail("no volume is mounted");
    if (label.size() > 11)
        return Fail("a volume label holds at most 11 characters");
    Dir* root = OpenDir(RootKey());
    if (!root)
        return false;
    ShortName padded;
    padded.fill(' ');
    std::memcpy(padded.data(), label.data(), label.size());
    if (label.empty()) {
        if (root->labelSlot >= 0) {
            Slot gone = ShortEntry(padded, kAttrLabel, 0, 0);
            gone[kEntryName] = kEntryDeleted;
            if (!WriteSlots(*root, uint32_t(root->labelSlot), {gone}))
                return false;
            root->labelSlot = -1;
        }
        if (!volume_.SetBootLabel(kNoName))
            return Fail("cannot write the boot sector");
        return true;
    }
    uint32_t slot;
    if (root->labelSlot >= 0) {
        slot = uint32_t(root->labelSlot);
    } else {
        if (!ReserveSlots(*root, 1, slot))
            return false;
        root->labelSlot = slot;
    }
    if (!WriteSlots(*root, slot, {ShortEntry(padded, kAttrLabel, 0, 0)}))
        return false;
    if (!volume_.SetBootLabel(padded.data()))
        return Fail("cannot write the boot sector");
    return true;
}

} // namespace image
