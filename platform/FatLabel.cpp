// Reading and writing FAT volume labels in the station's code page.
#include "platform/FatLabel.h"

#include "platform/ByteOrder.h"
#include "platform/FatOnDisk.h"
#include "platform/FileIo.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

using namespace fat;

class VolumeFile {
public:
    VolumeFile(const std::string& path, bool write)
        : fd_(::open(path.c_str(), (write ? O_RDWR : O_RDONLY) | O_CLOEXEC))
    {
    }
    ~VolumeFile()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    VolumeFile(const VolumeFile&) = delete;
    VolumeFile& operator=(const VolumeFile&) = delete;
    bool isOpen() const { return fd_ >= 0; }
    bool read(uint64_t at, uint8_t* data, size_t length) const { return ReadFullyAt(fd_, data, length, at); }
    bool write(uint64_t at, const uint8_t* data, size_t length) const { return WriteFullyAt(fd_, data, length, at); }
    bool flush() const { return ::fsync(fd_) == 0; }

private:
    int fd_;
};

// Where the label lives on one volume, and the root folder's label and free entries.
struct LabelPlaces {
    uint64_t bootLabel = 0;
    std::optional<uint64_t> backupLabel; // FAT32 backup boot sector
    FatLabelBytes bootBytes{};
    std::optional<uint64_t> labelEntry;  // the root's volume-label entry
    uint8_t entry[kEntryBytes] = {};     // its bytes
    std::optional<uint64_t> freeEntry;   // the root's first free entry
};

bool isPowerOfTwo(uint32_t v) { return v && !(v & (v - 1)); }

// Reads the boot sector and walks the root folder. Every number that leads to an offset
// is checked first, so a damaged or foreign volume is refused rather than written.
bool findLabelPlaces(const VolumeFile& file, LabelPlaces& places, std::string& error)
{
    uint8_t boot[512];
    if (!file.read(0, boot, sizeof boot)) {
        error = "its boot sector cannot be read";
        return false;
    }
    const BootParameters p = ReadBootParameters(boot);
    const uint32_t sectorBytes = p.bytesPerSector;
    const uint32_t perCluster = p.sectorsPerCluster;
    const uint32_t reserved = p.reservedSectors;
    const uint32_t fats = p.fatCount;
    const uint32_t rootEntries = p.rootEntries;
    const uint32_t fatSize = p.fatSize;
    const uint32_t total = p.totalSectors;
    const bool fat32 = p.fat32Layout;
    const uint64_t metaSectors = uint64_t(reserved) + uint64_t(fats) * fatSize + (uint64_t(rootEntries) * kEntryBytes + sectorBytes - 1) / (sectorBytes ? sectorBytes : 1);
    if (!HasBootSignature(boot) || sectorBytes < 512 || sectorBytes > 4096 ||
        !isPowerOfTwo(sectorBytes) || !isPowerOfTwo(perCluster) || reserved == 0 || fats == 0 || fatSize == 0 ||
        total <= metaSectors || (fat32 ? rootEntries != 0 : rootEntries == 0)) {
        error = "it holds no FAT file system";
        return false;
    }
    const size_t extended = p.extended;
    if (boot[extended + kExtSignature] != kExtendedSignature) {
        error = "its boot sector has no label field";
        return false;
    }
    places.bootLabel = extended + kExtLabel;
    std::memcpy(places.bootBytes.data(), boot + places.bootLabel, places.bootBytes.size());

    // The root folder as (offset, bytes) pieces: a fixed area, or FAT32's cluster chain.
    std::vector<std::pair<uint64_t, uint32_t>> pieces;
    const uint64_t fatStart = uint64_t(reserved) * sectorBytes;
    const uint64_t rootStart = (uint64_t(reserved) + uint64_t(fats) * fatSize) * sectorBytes;
    if (!fat32) {
        pieces.emplace_back(rootStart, rootEntries * uint32_t(kEntryBytes));
    } else {
        const uint32_t backup = p.backupBoot;
        if (backup != 0 && backup < reserved)
            places.backupLabel = uint64_t(backup) * sectorBytes + places.bootLabel;
        const uint32_t clusterBytes = perCluster * sectorBytes;
        const uint64_t clusters = (total - metaSectors) / perCluster;
        uint32_t cluster = p.rootCluster & kFat32Mask;
        for (uint64_t steps = 0;; ++steps) {
            if (cluster < 2 || cluster - 2 >= clusters || steps >= clusters) {
                error = "its root folder's cluster chain is broken";
                return false;
            }
            pieces.emplace_back(rootStart + uint64_t(cluster - 2) * clusterBytes, clusterBytes);
            uint8_t next[4];
            if (!file.read(fatStart + uint64_t(cluster) * 4, next, sizeof next)) {
                error = "its FAT cannot be read";
                return false;
            }
            cluster = GetLe32(next) & kFat32Mask;
            if (cluster >= kFat32EndOfChain)
                break;
        }
    }

    for (const auto& [at, bytes] : pieces) {
        std::vector<uint8_t> area(bytes);
        if (!file.read(at, area.data(), area.size())) {
            error = "its root folder cannot be read";
            return false;
        }
        for (size_t i = 0; i + kEntryBytes <= area.size(); i += kEntryBytes) {
            const uint8_t* e = &area[i];
            if (e[0] == kEntryEnd || e[0] == kEntryDeleted) {
                if (!places.freeEntry)
                    places.freeEntry = at + i;
                if (e[0] == kEntryEnd)
                    return true; // nothing follows the end mark
                continue;
            }
            const uint8_t attr = e[kEntryAttr];
            if (attr != kAttrLongName && (attr & (kAttrLabel | kAttrDirectory)) == kAttrLabel && !places.labelEntry) {
                places.labelEntry = at + i;
                std::memcpy(places.entry, e, kEntryBytes);
            }
        }
    }
    return true;
}

// The local time as a FAT time and date (two-second steps, years from 1980).
void stampNow(uint8_t* entry, bool created)
{
    std::time_t now = std::time(nullptr);
    std::tm local {};
    localtime_r(&now, &local);
    uint32_t date = 0x21; // 1 January 1980
    uint32_t time = 0;
    if (local.tm_year >= 80) {
        date = uint32_t(local.tm_year - 80) << 9 | uint32_t(local.tm_mon + 1) << 5 | uint32_t(local.tm_mday);
        time = uint32_t(local.tm_hour) << 11 | uint32_t(local.tm_min) << 5 | uint32_t(local.tm_sec / 2);
    }
    PutLe16(entry + kEntryWriteTime, time);
    PutLe16(entry + kEntryWriteDate, date);
    if (created) {
        PutLe16(entry + kEntryCreateTime, time);
        PutLe16(entry + kEntryCreateDate, date);
        PutLe16(entry + kEntryAccessDate, date);
    }
}

bool forbiddenByte(uint8_t b)
{
    static const char kForbidden[] = "*?.,;:/\\|+=<>[]\"";
    return b < 0x20 || b == 0x7F || (b < 0x80 && std::strchr(kForbidden, b) != nullptr);
}

std::string hexBytes(const std::string& bytes)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char b : bytes) {
        if (!out.empty())
            out += ' ';
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

} // namespace

std::optional<FatLabelBytes> EncodeFatLabel(const std::string& label, CodePage cp, std::string& reason)
{
    if (label.empty()) {
        reason = "it is empty";
        return std::nullopt;
    }
    if (!IsValidUtf8(label)) {
        reason = "it is not valid UTF-8 text";
        return std::nullopt;
    }
    if (label[0] == ' ') {
        reason = "it starts with a blank";
        return std::nullopt;
    }
    std::string bytes;
    // Character by character, so that ASCII rules apply to characters and never to the
    // second byte of a double-byte one.
    for (size_t pos = 0; pos < label.size();) {
        size_t n = 1;
        while (pos + n < label.size() && (static_cast<unsigned char>(label[pos + n]) & 0xC0) == 0x80)
            ++n;
        const std::string character = label.substr(pos, n);
        pos += n;
        const auto c = static_cast<unsigned char>(character[0]);
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7F) {
                reason = "it holds a control character";
                return std::nullopt;
            }
            if (forbiddenByte(c)) {
                reason = "FAT labels cannot hold '" + character + "'";
                return std::nullopt;
            }
            bytes += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
            continue;
        }
        std::optional<std::string> code = EncodeExactly(character, cp);
        if (!code) {
            reason = CodePageName(cp) + " cannot hold '" + character + "'";
            return std::nullopt;
        }
        for (unsigned char b : *code) {
            if (forbiddenByte(b)) {
                reason = "'" + character + "' is " + hexBytes(*code) + " in " + CodePageName(cp) +
                         ", and FAT labels cannot hold the byte " + hexBytes(std::string(1, char(b)));
                return std::nullopt;
            }
        }
        bytes += *code;
    }
    FatLabelBytes out;
    if (bytes.size() > out.size()) {
        reason = "it is " + std::to_string(bytes.size()) + " bytes in " + CodePageName(cp) +
                 ", longer than the 11 bytes a FAT label holds";
        return std::nullopt;
    }
    out.fill(' ');
    std::memcpy(out.data(), bytes.data(), bytes.size());
    return out;
}

bool WriteFatLabel(const std::string& volume, const FatLabelBytes* label, std::string& error)
{
    VolumeFile file(volume, true);
    if (!file.isOpen()) {
        error = volume + " cannot be opened for writing: " + std::strerror(errno);
        return false;
    }
    LabelPlaces places;
    if (!findLabelPlaces(file, places, error)) {
        error = volume + ": " + error;
        return false;
    }
    FatLabelBytes boot;
    std::memcpy(boot.data(), kNoName, boot.size());
    if (label)
        boot = *label;

    bool written = true;
    if (label) {
        const bool created = !places.labelEntry;
        if (created) {
            if (!places.freeEntry) {
                error = volume + ": its root folder has no free entry for the label";
                return false;
            }
            std::memset(places.entry, 0, sizeof places.entry);
            places.entry[kEntryAttr] = kAttrLabel;
            places.labelEntry = places.freeEntry;
        }
        std::memcpy(places.entry, label->data(), label->size());
        if (places.entry[0] == kEntryDeleted)
            places.entry[0] = kEntryLeadE5;
        stampNow(places.entry, created);
        written = file.write(*places.labelEntry, places.entry, kEntryBytes);
    } else if (places.labelEntry) {
        written = file.write(*places.labelEntry, &kEntryDeleted, 1);
    }
    written = written && file.write(places.bootLabel, boot.data(), boot.size());
    if (places.backupLabel)
        written = written && file.write(*places.backupLabel, boot.data(), boot.size());
    if (!written || !file.flush()) {
        error = volume + ": the label could not be written: " + std::strerror(errno);
        return false;
    }
    return true;
}

std::optional<std::string> ReadFatLabel(const std::string& volume, std::string& error)
{
    VolumeFile file(volume, false);
    if (!file.isOpen()) {
        error = volume + " cannot be opened: " + std::strerror(errno);
        return std::nullopt;
    }
    LabelPlaces places;
    if (!findLabelPlaces(file, places, error)) {
        error = volume + ": " + error;
        return std::nullopt;
    }
    std::string text;
    if (places.labelEntry) {
        text.assign(places.entry, places.entry + 11);
        if (static_cast<uint8_t>(text[0]) == kEntryLeadE5)
            text[0] = static_cast<char>(kEntryDeleted);
    } else if (std::memcmp(places.bootBytes.data(), kNoName, 11) != 0) {
        text.assign(places.bootBytes.begin(), places.bootBytes.end());
    }
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

} // namespace platform
