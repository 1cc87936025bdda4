#include "platform/Collation.h"
#include "platform/TextCodec.h"
#include "support/ScopedLocale.h"

#include <gtest/gtest.h>

#include <algorithm>

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

// Windows language ids of the locale the station runs under (the first set of LC_ALL,
// LC_MESSAGES and LANG).
TEST(SystemLanguage, LocaleNamesGiveWindowsLanguageIds)
{
    const std::pair<const char*, uint16_t> cases[] = {{"zh_CN.UTF-8", 0x0804}, {"ZH-sg", 0x0804}, {"zh_TW.Big5", 0x0404},
        {"zh-hk@x", 0x0404}, {"zh_MO", 0x0404}, {"zh_XX", 0x0409}, {"zhxtw", 0x0409}, {"zh", 0x0409}, {"C", 0x0409}};
    for (const auto& [name, id] : cases)
        EXPECT_EQ(LangIdFromLocale(name), id) << name;
    testsupport::ScopedLocale locale("");
    std::string saved[2];
    const char* names[2] = {"LC_MESSAGES", "LANG"};
    for (int i = 0; i < 2; ++i)
        saved[i] = std::getenv(names[i]) ? std::getenv(names[i]) : "";
    setenv("LC_MESSAGES", "zh_CN", 1);
    setenv("LANG", "zh_TW", 1);
    EXPECT_EQ(SystemLanguageId(), 0x0804);
    setenv("LC_MESSAGES", "", 1);
    EXPECT_EQ(StationCodePage(), CodePage::Big5);
    unsetenv("LANG");
    EXPECT_EQ(SystemLanguageId(), 0x0409);
    locale.set("zh_SG");
    EXPECT_EQ(StationCodePage(), CodePage::Gbk);
    for (int i = 0; i < 2; ++i)
        saved[i].empty() ? unsetenv(names[i]) : setenv(names[i], saved[i].c_str(), 1);
}
