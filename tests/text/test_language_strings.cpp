// The user-interface strings: built-in texts, names as lang.ini keys, composition and
// reads from other threads while the language changes.
#include "text/LangStrings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

namespace {

class UiStrings : public ::testing::Test {
protected:
    void SetUp() override { InitLanguageStrings(); }
    void TearDown() override { InitLanguageStrings(); }
};

} // namespace

// Every string in its place: the 66 keyed ones in the order they are read from lang.ini,
// each keyed by its own name, then the eight without a key; each with its English text.
TEST_F(UiStrings, EveryStringInOrderWithItsKeyAndBuiltInText)
{
#define K(name, text) {&name, #name, text}
#define U(name, text) {&name, nullptr, text}
    const struct {
        const UiString* string;
        const char* key;
        const char* text;
    } rows[] = {
        K(TitleStr, "MP3 Mass Production Tool"), K(PageStr, "Mass Production"), K(DeviceStr, "Device"),
        K(LabelStr, "Label"), K(SysPreCopyStr, "System files and Pre-copy files:"), K(FormatStr, "Format"),
        K(AddFileStr, "Add files"), K(RemoveStr, "Remove"), K(LogStr, "Log"), K(SelectFileStr, "Select files"),
        K(StatusMsg, "Status"), K(SuccessMsg, "successful"), K(FailMsg, "fail"),
        K(ExceedLimitMsg, "Exceed the device limit!"), K(BadBlockStr, "Bad Block Check"), K(TotalMsg, "Total"),
        K(WaitDeviceMsg, "Waiting device..."), K(CopyFileMsg, "Copy Files"), K(ChkdskMsg, "Check Disk"),
        K(SettingMsg, "Setting"), K(FILEWriteStr, "FILE Writing"), K(BlankingCheckStr, "Blanking Check"),
        K(RealBlankingCheckStr, "Blanking Check"), K(ProgramWriteStr, "Program Writing"),
        K(ProgramWriteEndStr, "Program Write End"), K(ProgramWriteSetupStr, "Program Write Setup"),
        K(PreferWriteStr, "Prefer Writing"), K(PreferWriteEndStr, "Prefer Write End"),
        K(PreferWriteSetupStr, "Prefer Write Setup"), K(ISOWriteStr, "ISO Writing"),
        K(ISOWriteEndStr, "ISO Write End"), K(ISOWriteSetupStr, "ISO Write Setup"),
        K(PassWriteStr, "PASS Write Setup"), K(PassWriteEndStr, "PASS Write End"),
        K(PassWriteSetupStr, "PASS Write Setup"), K(StringReset, "Reset"), K(FSMWrite, "FSM Writing"),
        K(VirtualCDROMStr, "Virtual CDROM"), K(FlashBrandStr, "Flash Brand"), K(FlashSerialStr, "Flash Serial"),
        K(FlashEraseStr, "Erase Flash"), K(MenuUpgradeStr, "Menual Upgrade Mode"),
        K(MenuUpgradeStartStr, "Start Upgrade"), K(DevicePluginStr, "device plugin"),
        K(BarFixedStr, "Bar Fixed"), K(SystemAreaSizeStr, "System Area Size"), K(SetLabelStr, "Set Volume Label"),
        K(FlashCheckStr, "Flash Check"), K(FwParityCheckStr, "FW Parity Check"), K(FwUpgradeStr, "Firmware Upgrade"),
        K(FixSystemAreaSizeStr, "Fix System Area Size"), K(FixUsbIOPortStr, "Fix Usb IO"),
        K(UnresetMsg, "Unresetted device"), K(HubPortExeccdStr, "Exceed USB Port limitation"),
        K(SDKBidErrorStr, "SDK bonding ID check fail"), K(ChipBidErrorStr, "Chip bonding ID check fail"),
        K(SDKBidNoMatchStr, "SDK bonding ID not match"), K(ApplyStr, "Apply"), K(CancelStr, "Cancel"),
        K(FactorSetStr, "Factory Setting"), K(ModuleNoStr, "Flash Module No"), K(AdvanceStr, "Advance"),
        K(ProcessStatusStr, "Processing Status"), K(BadBlockWarningStr, "Please do blanking check"),
        K(ChangeDiskStr, "Change to Hidden disk"), K(HiddenDiskStr, "Hidden disk"),
        U(CheckFlashIDStr, "Check FLASHID"), U(FSMLoadStr, "FSM Load"), U(BlankingCheckSetupStr, "Blanking Check Setup"),
        U(ProgramWriteRetryStr, "Program Writing Retry"), U(PreferWriteRetryStr, "Prefer Writing Retry"),
        U(TelbookWriteSetupStr, "Telbook Write Setup"), U(TelbookWriteEndStr, "Telbook Write End"),
        U(TelbookWriteStr, "Telbook Writing"),
    };
#undef K
#undef U
    ASSERT_EQ(std::size(rows), 74u);
    ASSERT_EQ(AllUiStrings().size(), 74u);
    ASSERT_EQ(KeyedUiStrings().size(), 66u);
    for (size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(rows[i].text);
        EXPECT_EQ(AllUiStrings()[i], rows[i].string) << "position " << i;
        EXPECT_EQ(i < 66 && KeyedUiStrings()[i] == rows[i].string, rows[i].key != nullptr) << "position " << i;
        EXPECT_STREQ(rows[i].string->key(), rows[i].key); // both null for the unkeyed ones
        EXPECT_STREQ(rows[i].string->builtIn(), rows[i].text);
        EXPECT_EQ(rows[i].string->get(), rows[i].text);
    }
}

TEST_F(UiStrings, JoinsAndReplacement)
{
    EXPECT_EQ(ChangeDiskStr + " " + FailMsg, "Change to Hidden disk fail");
    EXPECT_EQ("x" + FailMsg + ':', "xfail:");
    FailMsg = "失敗";
    EXPECT_TRUE(FailMsg == "失敗");
    InitLanguageStrings();
    EXPECT_EQ(FailMsg.get(), "fail");
}

// Production threads keep reading captions while the operator switches the language.
TEST_F(UiStrings, ReadersSeeWholeTextsWhileTheLanguageChanges)
{
    const std::string a(200, 'a'), b = "等待裝置...";
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::thread readers[3];
    for (auto& t : readers)
        t = std::thread([&] {
            while (!stop) {
                const std::string s = WaitDeviceMsg + "";
                torn += s != a && s != b && s != "Waiting device...";
            }
        });
    for (int i = 0; i < 20000; ++i)
        WaitDeviceMsg = (i % 2) ? a : b;
    stop = true;
    for (auto& t : readers)
        t.join();
    EXPECT_EQ(torn.load(), 0);
}
