// Directory entries and files as they lie on the volume: long-name pieces, short entries,
// "." and "..", the label entry, empty files, zero padding, and refused names.
#include <gtest/gtest.h>

#include <cstring>

#include "image/FatFiles.h"

namespace {

using image::FatFiles;
using image::FatVolume;
using image::RamDisk;

uint32_t U16(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
uint32_t U32(const uint8_t* p) { return U16(p) | U16(p + 2) << 16; }

class FatFilesTest : public ::testing::Test {
protected:
    RamDisk store{64 * 1024, 1u << 16};
    FatVolume volume{store};
    FatFiles files{volume};

    void Create(uint32_t mb, uint32_t sectorSize = 512) {
        std::string error;
        ASSERT_TRUE(volume.CreateVolume(uint32_t((uint64_t(mb) << 20) / sectorSize), sectorSize, &error)) << error;
    }
    // The 32 bytes of slot `slot` of a directory (cluster 0: the FAT16 root).
    std::vector<uint8_t> Slot(uint32_t cluster, uint32_t slot) {
        const uint64_t base = cluster == 0 ? volume.RootDirPos() : volume.ClusterPos(cluster);
        const uint64_t pos = base + uint64_t(slot) * 32;
        std::vector<uint8_t> sector(volume.bytesPerSector);
        EXPECT_TRUE(store.ReadSector(uint32_t(pos / volume.bytesPerSector), sector.data()));
        const size_t off = pos % volume.bytesPerSector;
        return std::vector<uint8_t>(sector.begin() + off, sector.begin() + off + 32);
    }
    static std::string Name(const std::vector<uint8_t>& e) { return std::string(e.begin(), e.begin() + 11); }
    static std::u16string Units(const std::vector<uint8_t>& piece) {
        std::u16string u;
        for (int off : {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30})
            u.push_back(char16_t(U16(&piece[off])));
        return u;
    }
    std::unique_ptr<image::FatFileHandle> Make(const std::vector<std::string>& path) {
        auto h = files.FileCreate(path);
        EXPECT_TRUE(h) << files.lastError();
        return h;
    }
};

TEST_F(FatFilesTest, FileInAFolderOnFat16) {
    Create(128);
    auto h = Make({"Music", "a.mp3"});
    ASSERT_TRUE(h);
    const uint8_t byte = 'x';
    ASSERT_EQ(files.FileWrite(&byte, 1, *h), 1u);
    ASSERT_TRUE(files.FileClose(std::move(h)));

    const auto piece = Slot(0, 0), entry = Slot(0, 1);
    EXPECT_EQ(piece[0], 0x41);
    EXPECT_EQ(piece[11], 0x0F);
    EXPECT_EQ(Units(piece).substr(0, 6), std::u16string(u"Music\0", 6));
    EXPECT_EQ(Name(entry), "MUSIC      ");
    EXPECT_EQ(entry[11], 0x10);
    EXPECT_EQ(piece[13], image::ShortNameChecksum(*reinterpret_cast<const image::ShortName*>(entry.data())));
    EXPECT_EQ(U16(&entry[16]), 0x3221u);
    EXPECT_EQ(U16(&entry[18]), 0x3221u);
    EXPECT_EQ(U16(&entry[22]), 0u);
    EXPECT_EQ(U16(&entry[24]), 0x3221u);
    const uint32_t folder = U16(&entry[26]);
    EXPECT_EQ(folder, 2u);
    EXPECT_EQ(Slot(0, 2)[0], 0) << "end of the root";

    EXPECT_EQ(Name(Slot(folder, 0)), ".          ");
    EXPECT_EQ(U16(&Slot(folder, 0)[26]), folder);
    EXPECT_EQ(Name(Slot(folder, 1)), "..         ");
    EXPECT_EQ(U16(&Slot(folder, 1)[26]), 0u);
    EXPECT_EQ(Slot(folder, 2)[0], 0x41);
    const auto file = Slot(folder, 3);
    EXPECT_EQ(Name(file), "A       MP3");
    EXPECT_EQ(file[11], 0x00);
    EXPECT_EQ(U16(&file[26]), 3u);
    EXPECT_EQ(U32(&file[28]), 1u);
}

TEST_F(FatFilesTest, FolderInTheFat32RootPointsDotDotAtZero) {
    Create(4096);
    auto h = Make({"d", "f"});
    ASSERT_TRUE(files.FileClose(std::move(h)));
    const auto entry = Slot(2, 1);
    const uint32_t folder = U16(&entry[26]) | U16(&entry[20]) << 16;
    EXPECT_EQ(folder, 3u);
    EXPECT_EQ(U16(&Slot(folder, 1)[26]), 0u);
    EXPECT_EQ(U16(&Slot(folder, 1)[20]), 0u);
}

TEST_F(FatFilesTest, LongNamePieces) {
    Create(128);
    const std::string thirteen = "abcdefghijklm", fourteen = "abcdefghijklmn";
    ASSERT_TRUE(files.FileClose(Make({thirteen})));
    ASSERT_TRUE(files.FileClose(Make({fourteen})));
    // 13 units: one full piece, neither terminator nor padding.
    EXPECT_EQ(Slot(0, 0)[0], 0x41);
    EXPECT_EQ(Units(Slot(0, 0)), u"abcdefghijklm");
    // 14 units: piece 2 first (unit 13, a zero unit, eleven 0xFFFF), then piece 1.
    const auto last = Slot(0, 2), first = Slot(0, 3);
    EXPECT_EQ(last[0], 0x42);
    std::u16string expected(u"n");
    expected.push_back(0);
    expected.append(11, char16_t(0xFFFF));
    EXPECT_EQ(Units(last), expected);
    EXPECT_EQ(first[0], 0x01);
    EXPECT_EQ(Units(first), u"abcdefghijklm");
    EXPECT_EQ(last[13], first[13]);
    EXPECT_EQ(U16(&last[26]), 0u);

    // 26 units: two full pieces. 255 units: twenty pieces, the last holding 8 units.
    const std::string twentySix = "abcdefghijklmnopqrstuvwxyz";
    std::string longest;
    for (int i = 0; i < 255; ++i)
        longest.push_back(char('A' + i % 26));
    ASSERT_TRUE(files.FileClose(Make({twentySix})));
    ASSERT_TRUE(files.FileClose(Make({longest})));
    EXPECT_EQ(Slot(0, 5)[0], 0x42);
    EXPECT_EQ(Units(Slot(0, 5)), u"nopqrstuvwxyz");
    EXPECT_EQ(Slot(0, 6)[0], 0x01);
    EXPECT_EQ(Units(Slot(0, 6)), u"abcdefghijklm");
    EXPECT_EQ(Slot(0, 7)[11], 0x00) << "the short entry follows";
    EXPECT_EQ(Slot(0, 8)[0], 0x40 | 20);
    std::u16string tail(longest.begin() + 19 * 13, longest.end());
    ASSERT_EQ(tail.size(), 8u);
    tail.push_back(0);
    tail.append(4, char16_t(0xFFFF));
    EXPECT_EQ(Units(Slot(0, 8)), tail);
    for (uint32_t n = 19; n >= 1; --n) {
        const auto piece = Slot(0, 8 + 20 - n);
        ASSERT_EQ(piece[0], n);
        EXPECT_EQ(Units(piece), std::u16string(longest.begin() + (n - 1) * 13, longest.begin() + n * 13)) << n;
    }
    EXPECT_EQ(Slot(0, 28)[11], 0x00);
    EXPECT_EQ(Slot(0, 29)[0], 0x00) << "end of the root";
}

TEST_F(FatFilesTest, SurrogatePairsAndCjkAreStoredAsUtf16) {
    Create(128);
    ASSERT_TRUE(files.FileClose(Make({"\xF0\x9F\x98\x80\xE4\xB8\xAD.txt"})));
    std::u16string expected = u"\U0001F600\u4E2D.txt";
    ASSERT_EQ(expected.size(), 7u);
    expected.push_back(0);
    expected.append(5, char16_t(0xFFFF));
    EXPECT_EQ(Units(Slot(0, 0)), expected);
    EXPECT_EQ(U16(&Slot(0, 0)[1]), 0xD83Du);
    EXPECT_EQ(Name(Slot(0, 1)), "__~1    TXT");
}

TEST_F(FatFilesTest, EmptyFileHasNoCluster) {
    Create(128);
    ASSERT_TRUE(files.FileClose(Make({"empty.txt"})));
    const auto e = Slot(0, 1);
    EXPECT_EQ(U16(&e[26]), 0u);
    EXPECT_EQ(U32(&e[28]), 0u);
    uint32_t c = 2;
    EXPECT_EQ(volume.NextCluster(c), 1) << "no cluster was taken";
}

TEST_F(FatFilesTest, LastSectorIsZeroPadded) {
    Create(128);
    auto h = Make({"f.bin"});
    std::vector<uint8_t> block(2048, 0xAA);
    ASSERT_EQ(files.FileWrite(block.data(), 600, *h), 600u);
    EXPECT_EQ(files.FileWrite(block.data(), 512, *h), 0u) << "only the last block may be short";
    ASSERT_TRUE(files.FileClose(std::move(h)));
    std::vector<uint8_t> sector(512);
    ASSERT_TRUE(store.ReadSector(volume.ClusterSector(2) + 1, sector.data()));
    for (int i = 0; i < 512; ++i)
        ASSERT_EQ(sector[i], i < 88 ? 0xAA : 0) << i;
}

TEST_F(FatFilesTest, NamesAreFoundWithoutRegardToCaseAndNeverCreatedTwice) {
    Create(128);
    ASSERT_TRUE(files.FileClose(Make({"Music", "a.mp3"})));
    ASSERT_TRUE(files.FileClose(Make({"MUSIC", "b.mp3"})));
    EXPECT_EQ(Slot(0, 2)[0], 0) << "one folder";
    EXPECT_FALSE(files.FileCreate({"music", "A.MP3"}));
    EXPECT_NE(files.lastError().find("already exists"), std::string::npos);
    EXPECT_FALSE(files.FileCreate({"music", "a.mp3", "x"})) << "a file where a folder should be";
    EXPECT_FALSE(files.FileCreate({"Music"})) << "a folder where the file should be";
    EXPECT_FALSE(files.FileCreate({"bad:name"}));
    // A long name that spells another entry's alias would make lookups ambiguous.
    ASSERT_TRUE(files.FileClose(Make({"Long File Name.txt"})));
    EXPECT_FALSE(files.FileCreate({"longfi~1.txt"}));
    ASSERT_TRUE(files.FileClose(Make({"longfi~2.txt"})));
    auto h = Make({"Long File Name 2.txt"});
    ASSERT_TRUE(h);
    EXPECT_EQ(std::string(h->entry.shortName.begin(), h->entry.shortName.end()), "LONGFI~3TXT");
}

TEST_F(FatFilesTest, ASecondWriterReadsTheFoldersBack) {
    Create(128);
    ASSERT_TRUE(files.SetVolumeLabel("FIRST"));
    ASSERT_TRUE(files.FileClose(Make({"Long File Name.txt"})));
    // Enough names that the folder's entries lie in the root's third sector.
    for (int i = 0; i < 12; ++i)
        ASSERT_TRUE(files.FileClose(Make({"padding file " + std::to_string(i)})));
    ASSERT_TRUE(files.FileClose(Make({"Music", "a.mp3"})));

    FatFiles again(volume);
    EXPECT_FALSE(again.FileCreate({"music", "A.MP3"}));
    EXPECT_FALSE(again.FileCreate({"LONG FILE NAME.TXT"}));
    auto h = again.FileCreate({"Long File Name 2.txt"});
    ASSERT_TRUE(h) << again.lastError();
    EXPECT_EQ(std::string(h->entry.shortName.begin(), h->entry.shortName.end()), "LONGFI~2TXT");
    ASSERT_TRUE(again.FileClose(std::move(h)));
    ASSERT_TRUE(again.FileClose(again.FileCreate({"MUSIC", "b.mp3"})));
    const uint32_t folder = U16(&Slot(0, 41)[26]);
    EXPECT_EQ(Name(Slot(0, 41)), "MUSIC      ");
    EXPECT_EQ(Name(Slot(folder, 5)), "B       MP3") << "the existing folder got the file";
    ASSERT_TRUE(again.SetVolumeLabel("SECOND"));
    EXPECT_EQ(Name(Slot(0, 0)), "SECOND     ") << "the label entry is rewritten in place";
}

TEST_F(FatFilesTest, LabelEntryAndBootSector) {
    Create(128);
    ASSERT_TRUE(files.SetVolumeLabel("PASS WD"));
    auto e = Slot(0, 0);
    EXPECT_EQ(Name(e), "PASS WD    ");
    EXPECT_EQ(e[11], 0x08);
    EXPECT_EQ(U16(&e[26]), 0u);
    std::vector<uint8_t> boot(512);
    ASSERT_TRUE(store.ReadSector(0, boot.data()));
    EXPECT_EQ(std::string(boot.begin() + 43, boot.begin() + 54), "PASS WD    ");
    // Setting it again rewrites the entry; an empty label removes it.
    ASSERT_TRUE(files.SetVolumeLabel("OTHER"));
    EXPECT_EQ(Name(Slot(0, 0)), "OTHER      ");
    EXPECT_EQ(Slot(0, 1)[0], 0);
    ASSERT_TRUE(files.SetVolumeLabel(""));
    EXPECT_EQ(Slot(0, 0)[0], 0xE5);
    ASSERT_TRUE(store.ReadSector(0, boot.data()));
    EXPECT_EQ(std::string(boot.begin() + 43, boot.begin() + 54), "NO NAME    ");
    EXPECT_FALSE(files.SetVolumeLabel("TWELVE CHARS"));
}

TEST_F(FatFilesTest, Fat16RootHoldsFiveHundredTwelveSlots) {
    Create(128);
    for (int i = 0; i < 256; ++i) {
        auto h = Make({"F" + std::to_string(1000 + i)});
        ASSERT_TRUE(h);
        ASSERT_TRUE(files.FileClose(std::move(h)));
    }
    EXPECT_FALSE(files.FileCreate({"one-more"}));
    EXPECT_EQ(volume.errorCode, image::kFatErrRootFull);
    EXPECT_NE(files.lastError().find("root folder is full"), std::string::npos);
}

TEST_F(FatFilesTest, FullVolumeFailsTheWrite) {
    Create(128);
    auto h = Make({"big"});
    std::vector<uint8_t> block(1 << 20, 1);
    uint32_t written = 0;
    for (int i = 0; i < 200 && written == 0; ++i)
        if (files.FileWrite(block.data(), uint32_t(block.size()), *h) == 0)
            written = 1;
    EXPECT_EQ(written, 1u);
    EXPECT_NE(files.lastError().find("full"), std::string::npos);
    EXPECT_EQ(volume.errorCode, image::kFatErrNoCluster);
}

} // namespace
