// Text in and out: code pages, path-list files, the registry file, name order and the
// station's language.
#include "platform/Collation.h"
#include "platform/PathListFile.h"
#include "platform/ProgramDir.h"
#include "platform/Registry.h"
#include "platform/TextCodec.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

using namespace platform;

static const std::string kReplacement = "\xEF\xBF\xBD";

TEST(Codec, InvalidBytesBecomeReplacementsAndTheRestSurvives)
{
    struct Case { std::string bytes; CodePage cp; std::string expected; } cases[] = {
        {"\xC4", CodePage::Big5, kReplacement},                                 // cut at the end
        {"A\xC4\n", CodePage::Big5, "A" + kReplacement + "\n"},                  // lead byte + line end
        {"\xFF\xFFok", CodePage::Gbk, kReplacement + kReplacement + "ok"},
        {"\xBE\xAF\xB8", CodePage::Gbk, "\xE8\xAD\xA6" + kReplacement},
        {"\xC3\x28", CodePage::Utf8, kReplacement + "("},
        {"\xED\xA0\x80", CodePage::Utf8, kReplacement + kReplacement + kReplacement},  // surrogate
    };
    for (const auto& c : cases)
        EXPECT_EQ(DecodeToUtf8(c.bytes, c.cp), c.expected);
    EXPECT_EQ(EncodeFromUtf8("a\xF0\x9F\x98\x80" "b", CodePage::Big5), "a?b") << "no such character";
}

// Players play in directory order: the station's language decides it (pinyin, strokes, or the
// root order), case ignored, accents counted, names equal but for case in byte order.
TEST(Collation, EachLanguageSortsNamesInItsOwnOrder)
{
    const std::vector<std::string> latin = {"apple", "B", "b", "Banana", "\u00e9clair song", "Eclair2", "readme.TXT", "README2.txt"};
    // 中国 zhong, 阿里 a, 北京 bei, 一 yi; strokes 1 一, 4 中, 5 北, 8 阿.
    auto with = [&](std::vector<std::string> han, bool hanFirst) {
        han.insert(hanFirst ? han.end() : han.begin(), latin.begin(), latin.end());
        return han;
    };
    const std::pair<uint16_t, std::vector<std::string>> cases[] = {
        {kLangIdEnglishUs, with({"\u4e00", "\u4e2d\u56fd", "\u5317\u4eac", "\u963f\u91cc"}, false)},
        {kLangIdChinesePrc, with({"\u963f\u91cc", "\u5317\u4eac", "\u4e00", "\u4e2d\u56fd"}, true)},
        {kLangIdChineseTaiwan, with({"\u4e00", "\u4e2d\u56fd", "\u5317\u4eac", "\u963f\u91cc"}, true)},
    };
    for (const auto& [lang, order] : cases) {
        std::vector<std::string> names = order;
        std::reverse(names.begin(), names.end());
        NameCollator(lang).sort(names);
        EXPECT_EQ(names, order) << lang;
    }
}

// Without ICU data names compare by bytes with ASCII case folded (to lower case).
TEST(Collation, FallbackOrderFoldsAsciiCaseOnly)
{
    const std::tuple<const char*, const char*, int> cases[] = {{"Az", "aZ", 0}, {"a", "B", -1}, {"[", "A", -1},
        {"ab", "abc", -1}, {"abc", "Ab", 1}, {"\u00e9", "\u00c9", 1}, {"", "", 0}};
    for (const auto& [a, b, sign] : cases) {
        const int order = CompareFoldingAsciiCase(a, b);
        EXPECT_EQ((order > 0) - (order < 0), sign) << a << " " << b;
    }
    EXPECT_FALSE(NameCollator(kLangIdEnglishUs).less("b", "b"));
}

// Windows language ids of the locale the station runs under.
TEST(SystemLanguage, LocaleNamesGiveWindowsLanguageIds)
{
    const std::pair<const char*, uint16_t> cases[] = {{"zh_CN.UTF-8", 0x0804}, {"ZH-sg", 0x0804}, {"zh_TW.Big5", 0x0404},
        {"zh-hk@x", 0x0404}, {"zh_MO", 0x0404}, {"zh_XX", 0x0409}, {"zhxtw", 0x0409}, {"zh", 0x0409}, {"C", 0x0409}};
    for (const auto& [name, id] : cases)
        EXPECT_EQ(LangIdFromLocale(name), id) << name;
}

using Names = std::vector<std::string>;
static std::string Bytes(std::initializer_list<int> b) { return std::string(b.begin(), b.end()); }

TEST(PathListFile, WritesUtf16LeWithMarkAndCrLfAndReadsTheFourEncodingsAndEveryLineBreak)
{
    EXPECT_EQ(PathListFile::Encode({"a", "\xF0\x9F\x98\x80"}), // a, U+1F600
              Bytes({0xFF, 0xFE, 'a', 0, 0x0D, 0, 0x0A, 0, 0x3D, 0xD8, 0x00, 0xDE, 0x0D, 0, 0x0A, 0}));
    const Names want = {"/a/b.bin", "/c/\xE4\xB8\xAD"};
    const std::pair<std::string, Names> cases[] = {
        {PathListFile::Encode(want), want},
        {Bytes({0xFE, 0xFF, 0, '/', 0, 'a', 0, '/', 0, 'b', 0, '.', 0, 'b', 0, 'i', 0, 'n', 0, 0x0D, 0, 0x0A, 0, '/', 0,
                'c', 0, '/', 0x4E, 0x2D}),
         want},
        {"\xEF\xBB\xBF/a/b.bin\n/c/\xE4\xB8\xAD\n", want},
        {"/a/b.bin\r/c/\xE4\xB8\xAD", want},
        // CR LF, CR, LF and U+2028; a break at the end adds no entry, one in the middle does.
        {"a\r\nb\rc\nd\xE2\x80\xA8" "e\r\n", {"a", "b", "c", "d", "e"}},
        {"a\n\nb", {"a", "", "b"}},
        // Odd byte counts and unpaired surrogates are replaced, never read past the end.
        {Bytes({0xFF, 0xFE, 'x', 0, 0x0A, 0, 0x00, 0xD8, 'y'}), {"x", "\xEF\xBF\xBD\xEF\xBF\xBD"}},
    };
    for (const auto& [bytes, entries] : cases)
        EXPECT_EQ(PathListFile::Decode(bytes), entries) << bytes;
}

static const std::string kKey = "SoftWare\\KOV6125\\MPTool";

// Production threads store their values side by side; the window reads them back.
TEST(Registry, WritersOnManyThreadsLoseNothingAndNamesIgnoreCase)
{
    testsupport::TempDir dir;
    SetProgramDir(dir.path());
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 10; ++i)
                registry::WriteInteger(kKey, "v" + std::to_string(t * 10 + i), t * 10 + i);
        });
    for (auto& th : threads)
        th.join();
    for (int i = 0; i < 80; ++i)
        EXPECT_EQ(registry::ReadInteger(kKey, "v" + std::to_string(i)), i);
    ASSERT_TRUE(registry::WriteInteger("software\\kov6125\\mptool", "V7", -7)) << "a rewrite replaces, never adds";
    EXPECT_EQ(registry::ReadInteger(kKey, "v7"), -7);
    EXPECT_EQ(dir.read("registry.ini").find("v7=7"), std::string::npos);
    // Keys and names the file could not give back are refused; values keep their blanks and quotes.
    const std::pair<std::string, std::string> refused[] = {{"", "n"}, {"a]b", "n"}, {"a\nb", "n"}, {" \t", "n"},
        {kKey, ""}, {kKey, "a=b"}, {kKey, "a\rb"}, {kKey, " \t"}, {kKey, ";c"}, {kKey, " [s"}};
    for (const auto& [key, name] : refused)
        EXPECT_FALSE(registry::WriteString(key, name, "v") || registry::WriteInteger(key, name, 1) || registry::ReadString(key, name));
    EXPECT_TRUE(registry::WriteString(kKey, "a;b", " \"x\"\r\n ") && registry::ReadString(kKey, "A;B") == " \"x\"   ");
    EXPECT_FALSE(registry::ReadInteger("New", "x") || registry::ReadInteger(kKey, "a;b"));
    EXPECT_NE(dir.read("registry.ini").find("\r\n[New]\r\n"), std::string::npos) << "reading opens the key";
}
