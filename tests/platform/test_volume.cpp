// Formats by each FAT flag are judged through FormatDrive in the device tests; labels here
// on volumes mkfs.fat made, judged by fsck.fat and by their raw bytes.
#include "platform/ByteOrder.h"
#include "platform/FatOnDisk.h"
#include "platform/VolumeTools.h"
#include "support/FatCheck.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>

using namespace platform;

namespace {

std::string makeDisk(const testsupport::TempDir& dir, uint64_t mib)
{
    dir.write("disk.img", "");
    std::filesystem::resize_file(dir.file("disk.img"), mib << 20);
    return dir.file("disk.img");
}

// The volume's leading 4 MiB: boot sectors, FATs and root folder of the test volumes.
std::string head(const std::string& disk)
{
    std::ifstream in(disk, std::ios::binary);
    std::string bytes(4 << 20, '\0');
    in.read(bytes.data(), std::streamsize(bytes.size()));
    return bytes;
}

void put(const std::string& disk, uint64_t at, const std::string& bytes)
{
    std::fstream(disk, std::ios::in | std::ios::out | std::ios::binary).seekp(std::streamoff(at)).write(bytes.data(), std::streamsize(bytes.size()));
}

// FAT flags of the format runner: FAT16 with 8192-byte clusters, FAT32.
const std::pair<const char*, uint32_t> kFatKinds[] = {{"FAT16", 255}, {"FAT32", 7}};

} // namespace

TEST(VolumeLabel, CodePageLabelsOnFat16AndFat32PassTheCheckerAndReadBack)
{
    struct Case { CodePage cp; const char* label; std::string stored, readBack; };
    const Case cases[] = {
        {CodePage::Oem437, "\u00c4rger \u00e4", "\x8eRGER \x84    ", "\u00c4RGER \u00e4"}, // only ASCII letters are upper-cased
        // Lead byte E5 (05 in the root entry); the second byte 61 of 乤 stays, only the ASCII x is upper-cased.
        {CodePage::Gbk, "\u54ab\u4e64x", "\xe5\xeb\x81\x61X      ", "\u54ab\u4e64X"},
        {CodePage::Gbk, "\u4e2d\u6587\u4e2d\u6587\u4e2dA", "\xd6\xd0\xce\xc4\xd6\xd0\xce\xc4\xd6\xd0\x41", "\u4e2d\u6587\u4e2d\u6587\u4e2dA"}, // 11 bytes
        {CodePage::Big5, "\u562a\u4e2d", "\xe5\x47\xa4\xa4       ", "\u562a\u4e2d"},
    };
    testsupport::TempDir dir;
    for (const auto& [kind, flag] : kFatKinds) {
        const std::string disk = makeDisk(dir, 64);
        ASSERT_TRUE(FormatVolume(disk, flag, true).ok);
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(kind) + " " + c.label);
            ASSERT_TRUE(WriteVolumeLabel(disk, c.label, c.cp).ok);
            const testsupport::RawLabels raw = testsupport::ReadRawLabels(disk);
            std::string entry = c.stored;
            if (entry[0] == '\xe5')
                entry[0] = '\x05'; // 0xE5 first would mark the entry deleted
            EXPECT_EQ(raw.boot, c.stored);
            EXPECT_EQ(raw.root, entry);
            EXPECT_EQ(raw.backup, flag == 7 ? c.stored : "") << "FAT32's backup boot sector keeps the same label";
            EXPECT_EQ(ReadVolumeLabel(disk, c.cp), c.readBack);
            const testsupport::FsckVerdict verdict = testsupport::CheckFat(disk);
            EXPECT_TRUE(verdict.clean) << verdict.output;
        }
        // An empty label removes it: "NO NAME" in the boot sector, the entry deleted.
        ASSERT_TRUE(WriteVolumeLabel(disk, "", CodePage::Gbk).ok);
        const testsupport::RawLabels raw = testsupport::ReadRawLabels(disk);
        EXPECT_EQ(raw.boot + "|" + raw.root, "NO NAME    |");
        EXPECT_EQ(ReadVolumeLabel(disk, CodePage::Gbk), "");
        EXPECT_TRUE(testsupport::CheckFat(disk).clean);
        ASSERT_TRUE(WriteVolumeLabel(disk, "AGAIN", CodePage::Gbk).ok) << "the deleted entry is taken again";
        EXPECT_EQ(ReadVolumeLabel(disk, CodePage::Gbk), "AGAIN");
        EXPECT_TRUE(testsupport::CheckFat(disk).clean);
    }
    // Sectors of 4096 bytes, the largest a FAT volume has.
    const std::string disk = makeDisk(dir, 64);
    ASSERT_EQ(testsupport::RunTool({"mkfs.fat", "-S", "4096", disk}).exitCode, 0);
    ASSERT_TRUE(WriteVolumeLabel(disk, "big sectors", CodePage::Oem437).ok);
    EXPECT_EQ(ReadVolumeLabel(disk, CodePage::Oem437), "BIG SECTORS");
    EXPECT_TRUE(testsupport::CheckFat(disk).clean);
}

// A label FAT cannot hold, and a damaged or foreign volume (every number that leads to an
// offset is checked), are refused with the reason before a byte is written.
TEST(VolumeLabel, RefusedLabelsAndDamagedVolumesSayWhyAndLeaveTheVolumeAsItWas)
{
    using namespace platform::fat;
    const std::string noFat = "it holds no FAT file system", broken = "its root folder's cluster chain is broken";
    const auto le = [](uint32_t v, int n) { return std::string(reinterpret_cast<const char*>(&v), size_t(n)); };
    // at: the patched offset, kRoot / kFat the root area / the root cluster's FAT entry; bytes
    // "" there: the sector count of the metadata.
    constexpr uint32_t kNone = 0, kRoot = 1u << 31, kFat = kRoot + 1;
    struct Case { bool fat32; uint32_t at; std::string bytes, reason; const char* label = "X"; CodePage cp = CodePage::Oem437; };
    const Case cases[] = {
        {false, kNone, "", "it is 14 bytes in code page 936 (GBK), longer than the 11 bytes", "\u6211\u7684\u97f3\u4e50\u64ad\u653e\u5668", CodePage::Gbk},
        {false, kNone, "", "code page 437 cannot hold '\u4e2d'", "\u4e2d\u6587"},
        // Second bytes that FAT forbids in a label: Big5 許 B3 5C (a backslash), GBK 乗 81 5C.
        {false, kNone, "", "'\u8a31' is B3 5C in code page 950 (Big5), and FAT labels cannot hold the byte 5C", "\u8a31", CodePage::Big5},
        {true, kNone, "", "'\u4e57' is 81 5C in code page 936 (GBK)", "AB\u4e57", CodePage::Gbk},
        {false, kNone, "", "FAT labels cannot hold '*'", "A*B"}, {false, kNone, "", "not valid UTF-8", "A\x80"},
        {false, kBootSignature + 1, le(0, 1), noFat}, {false, kBpbBytesPerSector, le(256, 2), noFat},
        {false, kBpbBytesPerSector, le(8192, 2), noFat}, {false, kBpbBytesPerSector, le(768, 2), noFat},
        {false, kBpbSectorsPerCluster, le(3, 1), noFat}, {false, kBpbReserved, le(0, 2), noFat},
        {false, kBpbFatCount, le(0, 1), noFat}, {false, kBpbRootEntries, le(0, 2), noFat},
        {false, kBpbTotal32, "", noFat}, // no more sectors than its metadata takes
        {true, kBpbRootEntries, le(16, 2), noFat}, {true, kBpbFatSize32, le(0, 4), noFat},
        {false, kExt16 + kExtSignature, le(0x28, 1), "its boot sector has no label field"},
        {true, kBpbRootCluster, le(1, 4), broken}, {true, kBpbRootCluster, le(0x00FFFFFF, 4), broken},
        {true, kFat, le(2, 4), broken}, // the chain loops
        {false, kRoot, std::string(512 * kEntryBytes, 'A'), "its root folder has no free entry for the label"},
    };
    testsupport::TempDir dir;
    const std::string disk16 = makeDisk(dir, 64), disk32 = dir.file("fat32.img");
    std::filesystem::copy_file(disk16, disk32);
    ASSERT_TRUE(FormatVolume(disk16, 255, true).ok && FormatVolume(disk32, 7, true).ok);
    const std::time_t before = std::time(nullptr);
    ASSERT_TRUE(WriteVolumeLabel(disk16, "KEEP").ok && WriteVolumeLabel(disk32, "KEEP").ok);
    const std::time_t after = std::time(nullptr);
    const std::string pristine[2] = {head(disk16), head(disk32)};
    {
        // The new entry is stamped made, written and read now: local time in two-second steps.
        const auto* b = reinterpret_cast<const uint8_t*>(pristine[0].data());
        const uint8_t* e = b + (GetLe16(b + kBpbReserved) + b[kBpbFatCount] * GetLe16(b + kBpbFatSize16)) * GetLe16(b + kBpbBytesPerSector);
        const uint32_t date = GetLe16(e + kEntryWriteDate), time = GetLe16(e + kEntryWriteTime);
        EXPECT_EQ(std::vector<uint32_t>({GetLe16(e + kEntryCreateDate), GetLe16(e + kEntryAccessDate), GetLe16(e + kEntryCreateTime)}),
                  std::vector<uint32_t>({date, date, time}));
        std::tm made{};
        made.tm_year = int(date >> 9) + 80, made.tm_mon = int(date >> 5 & 15) - 1, made.tm_mday = int(date & 31);
        made.tm_hour = int(time >> 11), made.tm_min = int(time >> 5 & 63), made.tm_sec = int(time & 31) * 2, made.tm_isdst = -1;
        const std::time_t stamp = std::mktime(&made);
        EXPECT_TRUE(stamp >= before - 1 && stamp <= after) << date << " " << time;
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason + " " + std::to_string(c.at));
        const std::string& disk = c.fat32 ? disk32 : disk16;
        const auto* boot = reinterpret_cast<const uint8_t*>(pristine[c.fat32].data());
        const uint32_t sector = GetLe16(boot + kBpbBytesPerSector), reserved = GetLe16(boot + kBpbReserved);
        const uint32_t fats = boot[kBpbFatCount] * (c.fat32 ? GetLe32(boot + kBpbFatSize32) : GetLe16(boot + kBpbFatSize16));
        const uint32_t root = GetLe16(boot + kBpbRootEntries) * kEntryBytes / sector;
        put(disk, 0, pristine[c.fat32]);
        if (c.at != kNone)
            put(disk, c.at == kRoot ? (reserved + fats) * sector : c.at == kFat ? reserved * sector + 8 : c.at,
                c.bytes.empty() ? le(reserved + fats + root, 4) : c.bytes);
        const std::string before = head(disk);
        const ToolOutcome out = WriteVolumeLabel(disk, c.label, c.cp);
        EXPECT_NE(out.message.find(c.reason), std::string::npos) << out.message;
        EXPECT_TRUE(!out.ok && head(disk) == before) << "no byte of the volume changed";
        // With the root's entries gone the boot sector's label still reads.
        EXPECT_EQ(ReadVolumeLabel(disk), c.at == kNone || c.at == kRoot ? std::optional<std::string>("KEEP") : std::nullopt);
    }
}
