// Choosing a language: ids from the locale and the radio choice, the lang.ini section it
// selects, reloading the strings from that section, and the composed captions.
#include "ui/Language.h"

#include "platform/ProgramDir.h"
#include "sim/StationKit.h"
#include "support/TempDir.h"
#include "text/LangStrings.h"
#include "text/MessageCatalogue.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

// lang.ini as the stations ship it: Big5 and GBK bytes in the Chinese sections.
// TitleStr: 量產工具 / 量产工具, FailMsg: 失敗 / 失败, WaitDeviceMsg: 等待裝置... / 等待装置...
const char kLangIni[] = "[English]\r\nTitleStr=Production Tool\r\nFailMsg=FAILED\r\n"
                        "[Chinese (Taiwan)]\r\n"
                        "TitleStr=\266\161\262\243\244\165\250\343\r\n"
                        "FailMsg=\245\242\261\321\r\n"
                        "WaitDeviceMsg=\265\245\253\335\270\313\270\155...\r\n"
                        "[Chinese (PRC)]\r\n"
                        "TitleStr=\301\277\262\372\271\244\276\337\r\n"
                        "FailMsg=\312\247\260\334\r\n"
                        "WaitDeviceMsg=\265\310\264\375\327\260\326\303...\r\n";

class Language : public ::testing::Test {
protected:
    void SetUp() override
    {
        InitLanguageStrings();
        platform::SetProgramDir(dir.path());
    }
    void TearDown() override { InitLanguageStrings(); }
    void load(uint16_t id) { LoadLanguageStrings(platform::ProgramPath("misc/lang.ini"), SectionForLangId(id)); }

    testsupport::TempDir dir;
};

// Sets a variable for one test and puts back what was there.
struct EnvGuard {
    explicit EnvGuard(const char* name) : name(name), old(std::getenv(name) ? std::getenv(name) : "")
    {
        had = std::getenv(name) != nullptr;
        unsetenv(name);
    }
    ~EnvGuard() { had ? setenv(name, old.c_str(), 1) : unsetenv(name); }
    const char* name;
    std::string old;
    bool had;
};

} // namespace

TEST(LanguageId, FromLocaleName)
{
    const struct { const char* locale; uint16_t id; } cases[] = {
        {"zh_CN.UTF-8", 2052}, {"zh_CN", 2052}, {"zh_SG.GBK", 2052}, {"ZH_cn.gb18030", 2052},
        {"zh_CN@pinyin", 2052}, {"zh_TW.UTF-8", 1028}, {"zh_TW.Big5", 1028}, {"zh_HK.UTF-8", 1028},
        {"zh_MO", 1028}, {"zh", 1033}, {"zh_", 1033}, {"zh_XX", 1033}, {"zhx_CN", 1033},
        {"en_US.UTF-8", 1033}, {"C", 1033}, {"C.UTF-8", 1033}, {"", 1033},
    };
    for (const auto& c : cases)
        EXPECT_EQ(LangIdFromLocale(c.locale), c.id) << c.locale;
}

TEST(LanguageId, SystemDefaultFollowsTheLocaleVariablesInOrder)
{
    EnvGuard all("LC_ALL"), messages("LC_MESSAGES"), lang("LANG");
    EXPECT_EQ(GetSystemDefaultLangID(), kLangIdEnglish);
    setenv("LANG", "zh_TW.UTF-8", 1);
    EXPECT_EQ(GetSystemDefaultLangID(), kLangIdTraditionalChinese);
    setenv("LC_MESSAGES", "zh_CN.UTF-8", 1);
    EXPECT_EQ(GetSystemDefaultLangID(), kLangIdSimplifiedChinese);
    setenv("LC_ALL", "", 1); // empty: not set
    EXPECT_EQ(GetSystemDefaultLangID(), kLangIdSimplifiedChinese);
    setenv("LC_ALL", "en_GB.UTF-8", 1);
    EXPECT_EQ(LangIdForChoice(kLanguageChoiceAuto), kLangIdEnglish);
    setenv("LC_ALL", "zh_HK.UTF-8", 1);
    EXPECT_EQ(LangIdForChoice(kLanguageChoiceAuto), kLangIdTraditionalChinese);
    // The explicit choices ignore the locale.
    EXPECT_EQ(LangIdForChoice(kLanguageChoiceEnglish), kLangIdEnglish);
    EXPECT_EQ(LangIdForChoice(kLanguageChoiceSimplified), kLangIdSimplifiedChinese);
    EXPECT_EQ(LangIdForChoice(kLanguageChoiceTraditional), kLangIdTraditionalChinese);
}

TEST(LanguageId, SectionByExactIdAndStoredChoice)
{
    const struct { uint16_t id; const char* section; unsigned index; } cases[] = {
        {2052, "Chinese (PRC)", 2}, {1028, "Chinese (Taiwan)", 1}, {1033, "English", 0},
        {3076, "English", 0}, {4100, "English", 0}, {0, "English", 0}, {0xFFFF, "English", 0},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(SectionForLangId(c.id).section, c.section) << c.id;
        EXPECT_EQ(SectionForLangId(c.id).languageIndex, c.index) << c.id;
    }
    const LanguageChoice stored[] = {kLanguageChoiceAuto, kLanguageChoiceEnglish, kLanguageChoiceSimplified,
                                     kLanguageChoiceTraditional};
    for (int v = 0; v < 4; ++v)
        EXPECT_EQ(LanguageChoiceFromValue(v), stored[v]);
    for (int v : {7, -1, 4, 1033})
        EXPECT_EQ(LanguageChoiceFromValue(v), kLanguageChoiceAuto) << v;
}

TEST_F(Language, NoFileKeepsTheBuiltInTexts)
{
    for (uint16_t id : {kLangIdEnglish, kLangIdTraditionalChinese, kLangIdSimplifiedChinese}) {
        load(id);
        for (UiString* s : AllUiStrings())
            EXPECT_TRUE(s == &BlankingCheckSetupStr || s->get() == s->builtIn()) << s->builtIn();
        EXPECT_EQ(BlankingCheckSetupStr.get(), "Blanking CheckSetting");
        EXPECT_EQ(MainWindowCaption("FSM Ver.x.x"), "MP3 Mass Production Tool (6205, Dec 27 2011) + FSM Ver.x.x");
    }
}

TEST_F(Language, EachSectionDecodedFromItsCodePage)
{
    dir.write("misc/lang.ini", kLangIni);
    load(1028);
    EXPECT_EQ(TitleStr.get(), "量產工具");
    EXPECT_EQ(FailMsg.get(), "失敗");
    EXPECT_EQ(WaitDeviceMsg.get(), "等待裝置...");
    EXPECT_EQ(MainWindowCaption("FSM V1.0"), "量產工具 (6205, Dec 27 2011) + FSM V1.0");
    load(2052);
    EXPECT_EQ(TitleStr.get(), "量产工具");
    EXPECT_EQ(FailMsg.get(), "失败");
    EXPECT_EQ(WaitDeviceMsg.get(), "等待装置...");
    // English lacks WaitDeviceMsg: it keeps the Simplified text chosen before.
    load(3076);
    EXPECT_EQ(TitleStr.get(), "Production Tool");
    EXPECT_EQ(FailMsg.get(), "FAILED");
    EXPECT_EQ(WaitDeviceMsg.get(), "等待装置...");
}

TEST_F(Language, SectionAndKeyNamesIgnoreCaseAndBadBytesShowAsSuch)
{
    // A lone Big5 lead byte at the end of a value; the English section is UTF-8.
    dir.write("misc/lang.ini", "[chinese (taiwan)]\ntitlestr=\245\242\261\321\245\n"
                               "[English]\nFailMsg=fa\351l\nStatusMsg=\346\227\245\n");
    load(1028);
    EXPECT_EQ(TitleStr.get(), "失敗\xEF\xBF\xBD");
    load(1033);
    EXPECT_EQ(FailMsg.get(), "fa\xEF\xBF\xBDl");
    EXPECT_EQ(StatusMsg.get(), "日");
}

// The sample station kit's lang.ini: every section decodes whole, in its own language.
TEST_F(Language, StationKitLangIni)
{
    ASSERT_TRUE(sim::WriteStationKit(dir.path()));
    const struct { uint16_t id; const char* title; const char* fail; } cases[] = {
        {kLangIdTraditionalChinese, "MP3 量產工具", "失敗"},
        {kLangIdSimplifiedChinese, "MP3 量产工具", "失败"},
        {kLangIdEnglish, "MP3 Mass Production Tool", "fail"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        load(c.id);
        EXPECT_EQ(TitleStr.get(), c.title);
        EXPECT_EQ(FailMsg.get(), c.fail);
        for (UiString* s : KeyedUiStrings()) {
            EXPECT_FALSE(s->empty()) << s->key();
            EXPECT_EQ(s->get().find("\xEF\xBF\xBD"), std::string::npos) << s->key();
        }
    }
}
