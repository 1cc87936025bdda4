// Our 8.3 alias generator and the long-name rules.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "image/FatNames.h"

namespace {

using image::ShortName;

std::string Alias(const std::string& utf8, const std::set<std::string>& taken = {}) {
    std::u16string name;
    EXPECT_TRUE(image::Utf8ToUtf16(utf8, name));
    ShortName alias;
    EXPECT_TRUE(image::MakeShortName(
        name, [&](const ShortName& a) { return taken.count(std::string(a.begin(), a.end())) != 0; }, alias));
    return std::string(alias.begin(), alias.end());
}

TEST(FatNames, Aliases) {
    const std::pair<const char*, const char*> cases[] = {
        {"README.TXT", "README  TXT"},
        {"readme.txt", "README  TXT"},  // lower-case 8.3 names keep their letters
        {"ab", "AB         "},
        {"Long File Name.txt", "LONGFI~1TXT"},
        {"abcdefghi", "ABCDEF~1   "},
        {"a.html", "A~1     HTM"},
        {"a.b.c.txt", "ABC~1   TXT"},  // several dots: the last one splits
        {"archive.tar.gz", "ARCHIV~1GZ "},
        {".profile", "PROFIL~1   "},  // leading dots and blanks go
        {"...x", "X~1        "},
        {" lead.txt", "LEAD~1  TXT"},
        {"x+y=z.txt", "X_Y_Z~1 TXT"},
        {"\xE4\xB8\xAD\xE6\x96\x87.txt", "__~1    TXT"},  // CJK
        {"\xF0\x9F\x98\x80.mp3", "_~1     MP3"},          // one surrogate pair, one '_'
        {"123456789012345678901234567890123456789012345678901234567890", "123456~1   "},
    };
    for (auto [name, alias] : cases)
        EXPECT_EQ(Alias(name), alias) << name;
    std::set<std::string> taken;
    std::vector<std::string> got;
    for (int i = 0; i < 11; ++i)
        taken.insert(got.emplace_back(Alias("longfilename.txt", taken)));
    EXPECT_EQ(got[0], "LONGFI~1TXT");
    EXPECT_EQ(got[8], "LONGFI~9TXT");
    EXPECT_EQ(got[9], "LONGF~10TXT");
    EXPECT_EQ(got[10], "LONGF~11TXT");
    EXPECT_EQ(Alias("readme.txt", {"README  TXT"}), "README~1TXT") << "a taken plain name gets a tail too";
}

TEST(FatNames, LongNameRules) {
    std::u16string out;
    std::string reason;
    EXPECT_TRUE(image::ValidateLongName(std::string(255, 'a'), out, reason));
    EXPECT_EQ(out.size(), 255u);
    EXPECT_TRUE(image::ValidateLongName(" lead", out, reason));
    for (const std::string& bad : std::vector<std::string>{"a:b", "a?b", "a\\b", "tab\there", "dot.", "blank ", ".", "..",
                                                           "", "\xC3\x28", "\xED\xA0\x80", std::string(256, 'a')}) {
        reason.clear();
        EXPECT_FALSE(image::ValidateLongName(bad, out, reason)) << bad;
        EXPECT_NE(reason, "") << bad;
    }
    std::string emoji;  // 128 two-unit characters would make 256 units; 64 make 128
    for (int i = 0; i < 64; ++i)
        emoji += "\xF0\x9F\x98\x80";
    EXPECT_TRUE(image::ValidateLongName(emoji, out, reason));
    EXPECT_EQ(out.size(), 128u);
    EXPECT_EQ(image::Utf16ToUtf8(out), emoji);
    EXPECT_FALSE(image::ValidateLongName(emoji + emoji, out, reason));
}

TEST(FatNames, FoldChecksumAndShortText) {
    std::u16string a, b;
    ASSERT_TRUE(image::Utf8ToUtf16("Stra\xC3\x9F" "e \xC3\x84rger.Txt", a));
    ASSERT_TRUE(image::Utf8ToUtf16("STRA\xC3\x9F" "E \xC3\xA4RGER.tXT", b));
    EXPECT_EQ(image::FoldName(a), image::FoldName(b));
    EXPECT_NE(image::FoldName(u"a1"), image::FoldName(u"a2"));
    ShortName n;
    std::memcpy(n.data(), "README  TXT", 11);
    EXPECT_EQ(image::ShortNameChecksum(n), 0x73);
    EXPECT_EQ(image::ShortNameText(n), u"README.TXT");
    std::memcpy(n.data(), "AB         ", 11);
    EXPECT_EQ(image::ShortNameText(n), u"AB");
}

} // namespace
