#pragma once
// Directory entries and files on a mounted FAT volume: the volume label, folders created
// on the way to a file, files written block by block. Every name gets long-name pieces
// and a short entry whose alias is unique within its folder; names are looked up without
// regard to letter case and never created twice.
//
// Each folder's entries are indexed in memory the first time the folder is used (read
// from the volume) and kept up to date as entries are added, so lookups and alias checks
// do not rescan the folder for every new name.
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "image/FatNames.h"
#include "image/FatVolume.h"

namespace image {

enum class FatEntryType : uint8_t {
    File = 0,
    DotDot = 1,
    Dot = 2,
    Directory = 3,
    Free = 4,
    End = 5,
    LongPiece = 6,
    Label = 7,
    SizedDirectory = 8,
};

constexpr uint16_t kFatEntryDate = 0x3221;  // 1 January 2005; every time field is 0
using platform::fat::kAttrDirectory;
using platform::fat::kAttrLabel;
using platform::fat::kAttrLongName;
constexpr uint32_t kMaxFileSize = 0xFFFFFFFFu;
constexpr uint32_t kMaxDirectorySlots = 65536;

struct FatEntryInfo {
    ShortName shortName{};
    uint32_t firstCluster = 0;
    uint32_t size = 0;
    uint64_t entryPos = 0;  // byte offset of the short entry in the volume
    FatEntryType type = FatEntryType::File;
    std::u16string longName;
};

struct FatFileHandle {
    FatEntryInfo entry;
    uint32_t currentCluster = 0;
    uint64_t position = 0;  // bytes written so far
    uint32_t mode = 2;      // open for writing, the only mode
    bool failed = false;    // a write failed: the file is incomplete
};

class FatFiles {
public:
    explicit FatFiles(FatVolume& volume) : volume_(volume) {}

    // Sets the root's label entry (blank-padded, cluster 0) and the boot sector's label.
    // `label`: up to 11 bytes; empty removes the label entry.
    bool SetVolumeLabel(const std::string& label);

    // Creates the file at `path` (UTF-8 components, the last one the file name), creating
    // missing folders on the way. Fails when a name is not storable, when the file (or a
    // file where a folder should be) already exists, or when the volume or a folder is
    // full. The new file is empty and has no cluster until its first write.
    std::unique_ptr<FatFileHandle> FileCreate(const std::vector<std::string>& path);
    // Creates the folder at `path` (and any missing parents); an existing one is fine.
    bool MakeDirectory(const std::vector<std::string>& path, uint32_t* cluster = nullptr);
    // Appends `length` bytes at the handle's position, which must be a whole number of
    // sectors (only a file's last block may be short; its last sector is zero-padded).
    // Returns `length`, or 0 on failure.
    uint32_t FileWrite(const uint8_t* buffer, uint32_t length, FatFileHandle& handle);
    // Writes the file's first cluster and its size (the bytes written) into its entry.
    bool FileClose(std::unique_ptr<FatFileHandle> handle);

    // What went wrong in the last failed operation.
    const std::string& lastError() const { return lastError_; }
    uint8_t errorCode() const { return volume_.errorCode; }

private:
    struct Node {
        FatEntryType type;
        uint32_t firstCluster;
        uint64_t entryPos;
        std::u16string longName;
    };
    struct Dir {
        uint32_t cluster = 0;           // 0: the FAT16 root area
        std::vector<uint32_t> chain;    // clusters of a cluster-based folder
        uint32_t used = 0;              // slots in use (new entries go at the end)
        std::unordered_map<std::u16string, Node> byName;  // folded long name
        std::set<ShortName> aliases;
        std::unordered_set<std::u16string> aliasTexts;    // "NAME.EXT" of each alias
        AliasTails tails;                                 // where "~N" searches go on
        int64_t labelSlot = -1;
    };
    using Slot = std::array<uint8_t, platform::fat::kEntryBytes>;

    bool Fail(const std::string& text);
    // Starts a public operation: no failure is left over from an earlier one.
    void Begin();
    uint32_t RootKey() const;
    Dir* OpenDir(uint32_t cluster);
    bool LoadDir(Dir& dir);
    uint64_t SlotPos(const Dir& dir, uint32_t slot) const;
    bool ReserveSlots(Dir& dir, uint32_t count, uint32_t& first);
    bool WriteSlots(const Dir& dir, uint32_t first, const std::vector<Slot>& slots);
    bool AddEntry(Dir& dir, const std::u16string& longName, FatEntryType type, uint32_t firstCluster,
                  Node& node, ShortName& alias);
    Slot ShortEntry(const ShortName& name, uint8_t attribute, uint32_t cluster, uint32_t size) const;
    // Walks the folders path[0 .. count-1] from the root, creating the missing ones.
    bool WalkFolders(const std::vector<std::string>& path, size_t count, Dir*& dir);
    std::string PathText(const std::vector<std::string>& path, size_t count) const;

    FatVolume& volume_;
    std::unordered_map<uint32_t, Dir> dirs_;
    std::string lastError_;
    std::vector<uint8_t> sector_;
};

} // namespace image
