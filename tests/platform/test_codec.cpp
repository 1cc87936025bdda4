#include "platform/Collation.h"
#include "platform/TextCodec.h"

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
