// Path-list files: the bytes written and the four encodings read back.
#include "ui/CopyList.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

using ui::PathListFile;

namespace {
std::string bytes(std::initializer_list<int> b)
{
    std::string s;
    for (int c : b)
        s += static_cast<char>(c);
    return s;
}
} // namespace

TEST(PathListFile, WritesMarkThenEveryEntryWithCrLfInUtf16Le)
{
    EXPECT_EQ(PathListFile::Encode({}), bytes({0xFF, 0xFE}));
    EXPECT_EQ(PathListFile::Encode({"a", "\xE4\xB8\xAD"}), // "a", U+4E2D
              bytes({0xFF, 0xFE, 'a', 0, 0x0D, 0, 0x0A, 0, 0x2D, 0x4E, 0x0D, 0, 0x0A, 0}));
    // A character beyond the basic plane becomes a surrogate pair.
    EXPECT_EQ(PathListFile::Encode({"\xF0\x9F\x98\x80"}),
              bytes({0xFF, 0xFE, 0x3D, 0xD8, 0x00, 0xDE, 0x0D, 0, 0x0A, 0}));
}

TEST(PathListFile, ReadsTheFourEncodings)
{
    const std::vector<std::string> want = {"/a/b.bin", "/c/\xE4\xB8\xAD"};
    struct Case {
        const char* name;
        std::string data;
    } cases[] = {
        {"utf16le", PathListFile::Encode(want)},
        {"utf16be", bytes({0xFE, 0xFF, 0, '/', 0, 'a', 0, '/', 0, 'b', 0, '.', 0, 'b', 0, 'i', 0, 'n',
                           0, 0x0D, 0, 0x0A, 0, '/', 0, 'c', 0, '/', 0x4E, 0x2D})},
        {"utf8 mark", "\xEF\xBB\xBF/a/b.bin\n/c/\xE4\xB8\xAD\n"},
        {"plain", "/a/b.bin\r/c/\xE4\xB8\xAD"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PathListFile::Decode(c.data), want) << c.name;
}

TEST(PathListFile, CutsAtEveryLineBreakKindAndKeepsEmptyMiddleEntries)
{
    // CR LF, CR, LF and U+2028; a break at the end adds no entry, an empty line in the
    // middle is an empty entry.
    EXPECT_EQ(PathListFile::Decode("a\r\nb\rc\nd\xE2\x80\xA8" "e\r\n"),
              (std::vector<std::string>{"a", "b", "c", "d", "e"}));
    EXPECT_EQ(PathListFile::Decode("a\n\nb"), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_TRUE(PathListFile::Decode(bytes({0xFF, 0xFE})).empty());
    EXPECT_TRUE(PathListFile::Decode("").empty());
    // A dangling byte of a UTF-16 file carries no character.
    EXPECT_EQ(PathListFile::Decode(bytes({0xFF, 0xFE, 'x', 0, 'y'})), (std::vector<std::string>{"x"}));
}

TEST(PathListFile, SaveAndLoadRoundTripAndMissingFileGivesFalse)
{
    testsupport::TempDir dir;
    std::vector<std::string> entries;
    EXPECT_FALSE(PathListFile::Load(dir.file("misc/seting.ini"), entries));
    EXPECT_TRUE(entries.empty());
    ASSERT_TRUE(PathListFile::Save(dir.file("seting.ini"), {"/x y/z", "/\xC3\xA9"}));
    ASSERT_TRUE(PathListFile::Load(dir.file("seting.ini"), entries));
    EXPECT_EQ(entries, (std::vector<std::string>{"/x y/z", "/\xC3\xA9"}));
}

TEST(PathListFile, CountsUtf16Units)
{
    EXPECT_EQ(ui::Utf16Length("abc"), 3u);
    EXPECT_EQ(ui::Utf16Length("\xE4\xB8\xAD"), 1u);
    EXPECT_EQ(ui::Utf16Length("\xF0\x9F\x98\x80"), 2u);
    EXPECT_EQ(ui::FileNamePart("C:\\dir\\A_OLD.BIN"), "A_OLD.BIN");
    EXPECT_EQ(ui::FileNamePart("/dir/x.bin"), "x.bin");
    EXPECT_EQ(ui::FileNamePart("E:file"), "file");
}
