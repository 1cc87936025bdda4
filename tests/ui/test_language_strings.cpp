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

// Every string in its place: the keyed ones in the order they are read from lang.ini,
// each keyed by its own name, then the eight without a key; each with its English text.
TEST_F(UiStrings, EveryStringInOrderWithItsKeyAndBuiltInText)
{
    struct Row {
        const UiString* string;
        const char* key;
        const char* text;
    };
    const Row rows[] = {
        {&TitleStr, "TitleStr", "MP3 Mass Production Tool"},
        {&PageStr, "PageStr", "Mass Production"},
        {&DeviceStr, "DeviceStr", "Device"},
        {&LabelStr, "LabelStr", "Label"},
        {&SysPreCopyStr, "SysPreCopyStr", "System files and Pre-copy files:"},
        {&FormatStr, "FormatStr", "Format"},
        {&AddFileStr, "AddFileStr", "Add files"},
        {&RemoveStr, "RemoveStr", "Remove"},
        {&LogStr, "LogStr", "Log"},
        {&SelectFileStr, "SelectFileStr", "Select files"},
        {&StatusMsg, "StatusMsg", "Status"},
        {&SuccessMsg, "SuccessMsg", "successful"},
        {&FailMsg, "FailMsg", "fail"},
        {&ExceedLimitMsg, "ExceedLimitMsg", "Exceed the device limit!"},
        {&BadBlockStr, "BadBlockStr", "Bad Block Check"},
        {&TotalMsg, "TotalMsg", "Total"},
        {&WaitDeviceMsg, "WaitDeviceMsg", "Waiting device..."},
        {&CopyFileMsg, "CopyFileMsg", "Copy Files"},
        {&ChkdskMsg, "ChkdskMsg", "Check Disk"},
        {&SettingMsg, "SettingMsg", "Setting"},
        {&FILEWriteStr, "FILEWriteStr", "FILE Writing"},
        {&BlankingCheckStr, "BlankingCheckStr", "Blanking Check"},
        {&RealBlankingCheckStr, "RealBlankingCheckStr", "Blanking Check"},
        {&ProgramWriteStr, "ProgramWriteStr", "Program Writing"},
        {&ProgramWriteEndStr, "ProgramWriteEndStr", "Program Write End"},
        {&ProgramWriteSetupStr, "ProgramWriteSetupStr", "Program Write Setup"},
        {&PreferWriteStr, "PreferWriteStr", "Prefer Writing"},
        {&PreferWriteEndStr, "PreferWriteEndStr", "Prefer Write End"},
        {&PreferWriteSetupStr, "PreferWriteSetupStr", "Prefer Write Setup"},
        {&ISOWriteStr, "ISOWriteStr", "ISO Writing"},
        {&ISOWriteEndStr, "ISOWriteEndStr", "ISO Write End"},
        {&ISOWriteSetupStr, "ISOWriteSetupStr", "ISO Write Setup"},
        {&PassWriteStr, "PassWriteStr", "PASS Write Setup"},
        {&PassWriteEndStr, "PassWriteEndStr", "PASS Write End"},
        {&PassWriteSetupStr, "PassWriteSetupStr", "PASS Write Setup"},
        {&StringReset, "StringReset", "Reset"},
        {&FSMWrite, "FSMWrite", "FSM Writing"},
        {&VirtualCDROMStr, "VirtualCDROMStr", "Virtual CDROM"},
        {&FlashBrandStr, "FlashBrandStr", "Flash Brand"},
        {&FlashSerialStr, "FlashSerialStr", "Flash Serial"},
        {&FlashEraseStr, "FlashEraseStr", "Erase Flash"},
        {&MenuUpgradeStr, "MenuUpgradeStr", "Menual Upgrade Mode"},
        {&MenuUpgradeStartStr, "MenuUpgradeStartStr", "Start Upgrade"},
        {&DevicePluginStr, "DevicePluginStr", "device plugin"},
        {&BarFixedStr, "BarFixedStr", "Bar Fixed"},
        {&SystemAreaSizeStr, "SystemAreaSizeStr", "System Area Size"},
        {&SetLabelStr, "SetLabelStr", "Set Volume Label"},
        {&FlashCheckStr, "FlashCheckStr", "Flash Check"},
        {&FwParityCheckStr, "FwParityCheckStr", "FW Parity Check"},
        {&FwUpgradeStr, "FwUpgradeStr", "Firmware Upgrade"},
        {&FixSystemAreaSizeStr, "FixSystemAreaSizeStr", "Fix System Area Size"},
        {&FixUsbIOPortStr, "FixUsbIOPortStr", "Fix Usb IO"},
        {&UnresetMsg, "UnresetMsg", "Unresetted device"},
        {&HubPortExeccdStr, "HubPortExeccdStr", "Exceed USB Port limitation"},
        {&SDKBidErrorStr, "SDKBidErrorStr", "SDK bonding ID check fail"},
        {&ChipBidErrorStr, "ChipBidErrorStr", "Chip bonding ID check fail"},
        {&SDKBidNoMatchStr, "SDKBidNoMatchStr", "SDK bonding ID not match"},
        {&ApplyStr, "ApplyStr", "Apply"},
        {&CancelStr, "CancelStr", "Cancel"},
        {&FactorSetStr, "FactorSetStr", "Factory Setting"},
        {&ModuleNoStr, "ModuleNoStr", "Flash Module No"},
        {&AdvanceStr, "AdvanceStr", "Advance"},
        {&ProcessStatusStr, "ProcessStatusStr", "Processing Status"},
        {&BadBlockWarningStr, "BadBlockWarningStr", "Please do blanking check"},
        {&ChangeDiskStr, "ChangeDiskStr", "Change to Hidden disk"},
        {&HiddenDiskStr, "HiddenDiskStr", "Hidden disk"},
        {&CheckFlashIDStr, nullptr, "Check FLASHID"},
        {&FSMLoadStr, nullptr, "FSM Load"},
        {&BlankingCheckSetupStr, nullptr, "Blanking Check Setup"},
        {&ProgramWriteRetryStr, nullptr, "Program Writing Retry"},
        {&PreferWriteRetryStr, nullptr, "Prefer Writing Retry"},
        {&TelbookWriteSetupStr, nullptr, "Telbook Write Setup"},
        {&TelbookWriteEndStr, nullptr, "Telbook Write End"},
        {&TelbookWriteStr, nullptr, "Telbook Writing"},
    };
    ASSERT_EQ(std::size(rows), AllUiStrings().size());
    for (size_t i = 0; i < std::size(rows); ++i) {
        const Row& r = rows[i];
        SCOPED_TRACE(r.text);
        EXPECT_EQ(AllUiStrings()[i], r.string) << "position " << i;
        if (i < kKeyedUiStringCount)
            EXPECT_EQ(KeyedUiStrings()[i], r.string) << "position " << i;
        if (r.key)
            EXPECT_STREQ(r.string->key(), r.key);
        else
            EXPECT_EQ(r.string->key(), nullptr);
        EXPECT_STREQ(r.string->builtIn(), r.text);
        EXPECT_EQ(r.string->get(), r.text);
    }
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
