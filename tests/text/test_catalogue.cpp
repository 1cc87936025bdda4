// The fixed and the replaceable texts: stored bytes that decode to the texts shown, lookups
// outside the table, and whole texts for readers while the language changes.
#include "text/LangStrings.h"
#include "text/MessageCatalogue.h"
#include "text/ScanNames.h"

#include "platform/TextCodec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <fstream>
#include <regex>
#include <string>
#include <thread>

// Every row's stored Big5 and GBK bytes are the text shown (the codec's own tests pin it to
// the code pages); rows are exactly 0..94 and 100..103; no row holds a CR.
TEST(MessageCatalogue, StoredBytesAreTheTextsShownInEveryRow)
{
    using platform::CodePage;
    for (int r = -1; r <= kMessageCatalogueLastRow + 1; ++r) {
        SCOPED_TRACE(r);
        EXPECT_EQ(MessageCatalogueHasRow(r), (r >= 0 && r <= 94) || (r >= 100 && r <= 103));
        if (!MessageCatalogueHasRow(r))
            continue;
        const std::string big5 = MessageCatalogueBytes(r, kLanguageTraditionalChinese), tc = MessageCatalogue(r, kLanguageTraditionalChinese);
        const std::string gbk = MessageCatalogueBytes(r, kLanguageSimplifiedChinese), sc = MessageCatalogue(r, kLanguageSimplifiedChinese);
        const std::string english = MessageCatalogue(r, kLanguageEnglish);
        EXPECT_FALSE(big5.empty() || gbk.empty() || english.empty());
        EXPECT_EQ(platform::DecodeToUtf8(big5, CodePage::Big5) + "|" + platform::DecodeToUtf8(gbk, CodePage::Gbk), tc + "|" + sc);
        EXPECT_EQ(platform::EncodeFromUtf8(tc, CodePage::Big5) + "|" + platform::EncodeFromUtf8(sc, CodePage::Gbk), big5 + "|" + gbk);
        EXPECT_EQ((english + big5 + gbk).find('\r'), std::string::npos);
    }
    // Texts that captions are composed from keep their blanks in every language.
    for (unsigned lang = 0; lang < kLanguageCount; ++lang)
        EXPECT_TRUE(MessageCatalogue(36, lang)[0] == ' ' && std::string(MessageCatalogue(92, lang)).back() == ' ') << lang;
}

TEST(MessageCatalogue, LookupsOutsideTheTableGiveNoGarbage)
{
    for (int r : {-1, 95, 99, 104, INT_MIN, INT_MAX})
        EXPECT_TRUE(*MessageCatalogue(r, 2) == 0 && *MessageCatalogueBytes(r, 0xFFFFFFFFu) == 0) << r;
    // A language index out of range gives the English text rather than reading past the row.
    EXPECT_STREQ(MessageCatalogueBytes(103, 0xFFFFFFFFu), MessageCatalogue(103, kLanguageEnglish));
}

// Every row name's comment is its row's English text (a cut-off comment ends in "...").
TEST(MessageCatalogue, RowNamesAddressTheRowsTheirCommentsQuote)
{
    std::ifstream header(MPTOOL_SOURCE_DIR "/text/MessageRows.h");
    const std::regex entry(R"re(^\s*kRow\w+ = (\d+), +// "(.*)"$)re");
    int names = 0;
    std::smatch m;
    for (std::string line; std::getline(header, line);)
        if (std::regex_match(line, m, entry) && ++names) {
            std::string quoted = m[2], english = MessageCatalogue(std::stoi(m[1]), kLanguageEnglish);
            if (quoted.ends_with("..."))
                quoted.resize(quoted.size() - 3), english.resize(std::min(english.size(), quoted.size()));
            EXPECT_EQ(english, quoted) << line;
        }
    EXPECT_EQ(names, 99);
}

// Level and page-mode names at and just past each end of their ranges: a level out of range
// is the nearest one, a page mode out of range nothing, a language out of range English.
TEST(ScanNames, LookupsAtTheEdgesOfTheirRanges)
{
    const struct { long long index; unsigned language; const char *level, *mode; } rows[] = {
        {0, 3, "Level 1", "Specific mode 1"}, {-1, kLanguageTraditionalChinese, "Level 1", ""},
        {6, kLanguageSimplifiedChinese, "Level 7", "\u5168\u90e8\u9875"}, {7, kLanguageEnglish, "Level 7", "Auto Detection"},
        {8, kLanguageTraditionalChinese, "Level 7", ""}};
    for (const auto& r : rows) {
        EXPECT_STREQ(ScanLevelName(r.index, r.language), r.level) << r.index << " " << r.language;
        EXPECT_STREQ(PageModeName(r.index, r.language), r.mode) << r.index << " " << r.language;
    }
}

// Production threads keep reading captions while the operator switches the language.
TEST(UiStrings, ReadersSeeWholeTextsWhileTheLanguageChanges)
{
    const std::string a(200, 'a'), b = "\xe7\xad\x89\xe5\xbe\x85";
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::thread readers[3];
    for (auto& t : readers)
        t = std::thread([&] {
            while (!stop) {
                const std::string s = WaitDeviceMsg + "";
                torn += s != a && s != b && s != WaitDeviceMsg.builtIn();
            }
        });
    for (int i = 0; i < 20000; ++i)
        WaitDeviceMsg = (i % 2) ? a : b;
    stop = true;
    for (auto& t : readers)
        t.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_TRUE(WaitDeviceMsg == a);
    WaitDeviceMsg = TitleStr;
    EXPECT_EQ(WaitDeviceMsg.get(), TitleStr.builtIn());
    InitLanguageStrings();
    EXPECT_EQ(WaitDeviceMsg.get(), "Waiting device...");
}
