// The user-interface strings: built-in texts, names as lang.ini keys, composition and
// reads from other threads while the language changes.
#include "ui/LangStrings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>

namespace {

class UiStrings : public ::testing::Test {
protected:
    void SetUp() override { InitLanguageStrings(); }
    void TearDown() override { InitLanguageStrings(); }
};

} // namespace

TEST_F(UiStrings, SeventyFourStringsSixtySixKeyedByTheirOwnNames)
{
    EXPECT_EQ(AllUiStrings().size(), 74u);
    EXPECT_EQ(KeyedUiStrings().size(), 66u);

    std::set<UiString*> distinct(AllUiStrings().begin(), AllUiStrings().end());
    EXPECT_EQ(distinct.size(), 74u);
    size_t keyed = 0;
    for (UiString* s : AllUiStrings()) {
        ASSERT_NE(s->builtIn(), nullptr);
        EXPECT_EQ(s->get(), s->builtIn());
        keyed += s->key() != nullptr;
    }
    EXPECT_EQ(keyed, 66u);

    // Reading order: first and last of the list, and a few in between.
    EXPECT_EQ(KeyedUiStrings().front(), &TitleStr);
    EXPECT_EQ(KeyedUiStrings()[12], &FailMsg);
    EXPECT_EQ(KeyedUiStrings()[32], &PassWriteStr);
    EXPECT_EQ(KeyedUiStrings().back(), &HiddenDiskStr);
    EXPECT_STREQ(TitleStr.key(), "TitleStr");
    EXPECT_STREQ(FwParityCheckStr.key(), "FwParityCheckStr");
    for (UiString* s : {&CheckFlashIDStr, &FSMLoadStr, &BlankingCheckSetupStr, &ProgramWriteRetryStr,
                        &PreferWriteRetryStr, &TelbookWriteSetupStr, &TelbookWriteEndStr,
                        &TelbookWriteStr})
        EXPECT_EQ(s->key(), nullptr) << s->builtIn();
}

TEST_F(UiStrings, BuiltInTexts)
{
    struct { const UiString& s; const char* text; } cases[] = {
        {TitleStr, "MP3 Mass Production Tool"},
        {SysPreCopyStr, "System files and Pre-copy files:"},
        {WaitDeviceMsg, "Waiting device..."},
        {RealBlankingCheckStr, "Blanking Check"},
        {PassWriteStr, "PASS Write Setup"},
        {MenuUpgradeStr, "Menual Upgrade Mode"},
        {UnresetMsg, "Unresetted device"},
        {HubPortExeccdStr, "Exceed USB Port limitation"},
        {ProcessStatusStr, "Processing Status"},
        {BlankingCheckSetupStr, "Blanking Check Setup"},
        {CheckFlashIDStr, "Check FLASHID"},
        {TelbookWriteStr, "Telbook Writing"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.s.get(), c.text);
}

TEST_F(UiStrings, JoinsAndReplacement)
{
    EXPECT_EQ(FILEWriteStr + "...", "FILE Writing...");
    EXPECT_EQ(ChangeDiskStr + " " + FailMsg, "Change to Hidden disk fail");
    EXPECT_EQ(SuccessMsg + "(" + std::string("Degrade") + ")", "successful(Degrade)");
    EXPECT_EQ("x" + FailMsg, "xfail");
    EXPECT_EQ(LabelStr + ':', "Label:");
    EXPECT_EQ(BlankingCheckStr + SettingMsg, "Blanking CheckSetting");

    FailMsg = "失敗";
    EXPECT_TRUE(FailMsg == "失敗");
    LabelStr = "";
    EXPECT_TRUE(LabelStr.empty());
    EXPECT_EQ(LabelStr + ":", ":");
    BlankingCheckSetupStr = BlankingCheckStr;
    EXPECT_EQ(BlankingCheckSetupStr.get(), "Blanking Check");

    InitLanguageStrings();
    EXPECT_EQ(FailMsg.get(), "fail");
    EXPECT_EQ(LabelStr.get(), "Label");
}

// Production threads keep reading captions while the operator switches the language.
TEST_F(UiStrings, ReadersSeeWholeTextsWhileTheLanguageChanges)
{
    const std::string a(200, 'a');
    const std::string b = "等待裝置...";
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::thread readers[3];
    for (auto& t : readers)
        t = std::thread([&] {
            while (!stop) {
                const std::string s = WaitDeviceMsg + "";
                if (s != a && s != b && s != "Waiting device...")
                    ++torn;
            }
        });
    for (int i = 0; i < 20000; ++i)
        WaitDeviceMsg = (i % 2) ? a : b;
    stop = true;
    for (auto& t : readers)
        t.join();
    EXPECT_EQ(torn.load(), 0);
}
