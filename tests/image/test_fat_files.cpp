// Our 8.3 aliases and long-name rules; directory entries as they lie on the volume.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "image/FatFiles.h"
#include "image/FatNames.h"

namespace {

using image::FatFiles;
using Bytes = std::vector<uint8_t>;

uint32_t U16(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }

std::string Alias(const std::string& utf8, const std::set<std::string>& taken = {}, image::AliasTails* tails = nullptr) {
    std::u16string name;
    EXPECT_TRUE(image::Utf8ToUtf16(utf8, name));
    image::ShortName alias;
    EXPECT_TRUE(image::MakeShortName(
        name, [&](const image::ShortName& a) { return taken.count(std::string(a.begin(), a.end())) != 0; }, alias, tails));
    return std::string(alias.begin(), alias.end());
}

TEST(FatNames, Aliases) {
    const std::pair<const char*, const char*> cases[] = {
        {"README.TXT", "README  TXT"}, {"readme.txt", "README  TXT"},  // lower-case 8.3 names keep their letters
        {"ab", "AB         "}, {"v9.z0", "V9      Z0 "}, {"Long File Name.txt", "LONGFI~1TXT"}, {"abcdefghi", "ABCDEF~1   "},
        {"a.html", "A~1     HTM"}, {"a.b.c.txt", "ABC~1   TXT"}, {"archive.tar.gz", "ARCHIV~1GZ "},
        {".profile", "PROFIL~1   "}, {"...x", "X~1        "}, {" lead.txt", "LEAD~1  TXT"}, {"x+y=z.txt", "X_Y_Z~1 TXT"},
        {"\xE4\xB8\xAD\xE6\x96\x87.txt", "__~1    TXT"},  // CJK
        {"\xF0\x9F\x98\x80.mp3", "_~1     MP3"},          // one surrogate pair, one '_'
        {"123456789012345678901234567890123456789012345678901234567890", "123456~1   "},
    };
    for (auto [name, alias] : cases)
        EXPECT_EQ(Alias(name), alias) << name;
    EXPECT_EQ(Alias("readme.txt", {"README  TXT"}), "README~1TXT") << "a taken plain name gets a tail too";

    // Names that differ only past the sixth character compete for the same tails, whichever
    // name started the search state: each gets the lowest free one, past a taken plain name.
    image::AliasTails tails;
    std::set<std::string> taken = {"ABCDEF~3TXT"};
    std::string got;
    for (char c : std::string("abcabcabcabc"))
        got += *taken.insert(Alias(std::string("abcdef") + c + " long name.txt", taken, &tails)).first + "|";
    EXPECT_EQ(got, "ABCDEF~1TXT|ABCDEF~2TXT|ABCDEF~4TXT|ABCDEF~5TXT|ABCDEF~6TXT|ABCDEF~7TXT|ABCDEF~8TXT|ABCDEF~9TXT|"
                   "ABCDE~10TXT|ABCDE~11TXT|ABCDE~12TXT|ABCDE~13TXT|");
}

TEST(FatNames, LongNameRules) {
    std::u16string out;
    std::string reason, emoji;
    for (int i = 0; i < 64; ++i)
        emoji += i ? "\xF0\x9F\x98\x80" : "\xF0\x90\x80\x80";  // 64 surrogate pairs (U+10000 first): 128 units
    for (const std::string& good : {std::string(255, 'a'), std::string(" lead"), emoji})
        EXPECT_TRUE(image::ValidateLongName(good, out, reason)) << reason;
    EXPECT_EQ(out.size(), 128u);
    EXPECT_EQ(image::Utf16ToUtf8(out), emoji);
    EXPECT_EQ(image::Utf16ToUtf8(u"\U0001F600\uFF21\u0800\u07FF\U0010FFFF"),
              "\xF0\x9F\x98\x80\xEF\xBC\xA1\xE0\xA0\x80\xDF\xBF\xF4\x8F\xBF\xBF");
    for (const std::string& bad : std::vector<std::string>{"a:b", "a?b", "a\\b", "tab\there", "dot.", "blank ", ".", "..", "",
                                                           "\xC3\x28", "a\xFF", "a\x7F", "a\xE4\xB8", "\xC1\x81",
                                                           "\xF4\x90\x80\x80", "\xED\xA0\x80", std::string(256, 'a'),
                                                           emoji + emoji}) {
        reason.clear();
        EXPECT_TRUE(!image::ValidateLongName(bad, out, reason) && !reason.empty()) << bad;
    }
}

class FatFilesTest : public ::testing::Test {
protected:
    image::RamDisk store{64 * 1024, 1u << 16};
    image::FatVolume volume{store};
    FatFiles files{volume};

    void SetUp() override { ASSERT_TRUE(volume.CreateVolume(128u << 11, 512)); }  // 128 MB
    // The 32 bytes of a directory slot (cluster 0: the FAT16 root).
    Bytes Slot(uint32_t cluster, uint32_t slot) {
        const uint64_t pos = (cluster == 0 ? volume.RootDirPos() : volume.ClusterPos(cluster)) + slot * 32ull;
        Bytes sector(512);
        EXPECT_TRUE(store.ReadSector(uint32_t(pos / 512), sector.data()));
        return Bytes(sector.begin() + pos % 512, sector.begin() + pos % 512 + 32);
    }
    static std::string Name(const Bytes& e) { return std::string(e.begin(), e.begin() + 11); }
    static std::u16string Units(const Bytes& piece) {
        std::u16string u;
        for (int off : {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30})
            u.push_back(char16_t(U16(&piece[off])));
        return u;
    }
    void Add(const std::vector<std::string>& path) { ASSERT_TRUE(files.FileClose(files.FileCreate(path))) << files.lastError(); }
};

// What fsck.fat and mtools leave unjudged: a long name's last piece ends in a zero unit
// and 0xFFFF padding, entries are dated 1 January 2005 at time 0, empty files take no cluster.
TEST_F(FatFilesTest, PiecePaddingDatesAndEmptyFiles) {
    Add({"Music", "a.mp3"});
    Add({"\xF0\x9F\x98\x80.txt"});
    const Bytes entry = Slot(0, 1);
    EXPECT_EQ(Units(Slot(0, 0)), u"Music" + std::u16string(1, 0) + std::u16string(7, 0xFFFF));
    EXPECT_EQ(Units(Slot(0, 2)).substr(0, 6), u"\U0001F600.txt") << "a surrogate pair as two units";
    for (auto [at, value] : {std::pair{16, 0x3221u}, {18, 0x3221u}, {22, 0u}, {24, 0x3221u}})
        EXPECT_EQ(U16(&entry[at]), value) << at;
    EXPECT_EQ(U16(&Slot(2, 2)[26]) + U16(&Slot(0, 3)[26]), 0u);
    uint32_t c = 3;
    EXPECT_EQ(volume.NextCluster(c), 1) << "no cluster was taken for them";
}

TEST_F(FatFilesTest, NamesAreFoundWithoutRegardToCaseAndNeverCreatedTwice) {
    ASSERT_TRUE(files.SetVolumeLabel("FIRST"));
    Add({"Long File Name.txt"});
    for (int i = 0; i < 12; ++i)  // the folder's entries then lie in the root's third sector
        Add({"padding file " + std::to_string(i)});
    Add({"Music", "a.mp3"});
    Add({"MUSIC", "b.mp3"});
    EXPECT_EQ(Slot(0, 42)[0], 0) << "one folder";
    EXPECT_FALSE(files.FileCreate({"music", "A.MP3"}));
    EXPECT_NE(files.lastError().find("already exists"), std::string::npos);
    EXPECT_FALSE(files.FileCreate({"Music"})) << "a folder where the file should be";
    EXPECT_FALSE(files.FileCreate({"longfi~1.txt"})) << "spells another entry's alias";
    EXPECT_TRUE(!files.FileCreate({}) && files.lastError() == "a file needs a name");
    EXPECT_FALSE(files.MakeDirectory({"Music", "a.mp3"})) << "a file where a folder should be";
    EXPECT_TRUE(files.MakeDirectory({"\xC3\x84rger"}) && files.lastError().empty()) << "a success clears the error";
    EXPECT_FALSE(files.FileCreate({"\xC3\xA4RGER"})) << "non-ASCII letters fold too";

    for (int i = 0; i < 70; ++i)  // a folder of two clusters
        Add({"Many", "song number " + std::to_string(i)});
    // A second writer on the same volume reads the folders back from the sectors.
    FatFiles again(volume);
    EXPECT_FALSE(again.FileCreate({"MANY", "Song Number 69"}));  // named in the folder's second cluster
    EXPECT_NE(again.lastError().find("already exists"), std::string::npos) << again.lastError();
    EXPECT_FALSE(again.FileCreate({"music", "A.MP3"}));
    EXPECT_FALSE(again.FileCreate({"LONG FILE NAME.TXT"}));
    ASSERT_TRUE(again.FileClose(again.FileCreate({"longfi~2.txt"})));
    auto h = again.FileCreate({"Long File Name 2.txt"});
    ASSERT_TRUE(h) << again.lastError();
    EXPECT_EQ(std::string(h->entry.shortName.begin(), h->entry.shortName.end()), "LONGFI~3TXT");
    ASSERT_TRUE(again.FileClose(std::move(h)));
    ASSERT_TRUE(again.FileClose(again.FileCreate({"MUSIC", "c.mp3"})));
    const uint32_t folder = U16(&Slot(0, 41)[26]);
    EXPECT_EQ(Name(Slot(0, 41)), "MUSIC      ");
    EXPECT_EQ(Name(Slot(folder, 7)), "C       MP3") << "the existing folder got the file";
    ASSERT_TRUE(again.SetVolumeLabel("SECOND"));
    EXPECT_EQ(Name(Slot(0, 0)), "SECOND     ") << "the label entry is rewritten in place";
}

} // namespace
