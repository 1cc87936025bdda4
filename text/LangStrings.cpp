// The user-interface strings and their replacement from misc/lang.ini.
#include "text/LangStrings.h"

#include <algorithm>
#include <utility>

UiString::UiString(const char* key, const char* builtIn)
    : key_(key), builtIn_(builtIn), text_(new std::string(builtIn))
{
}

std::string UiString::get() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return *text_;
}

bool UiString::empty() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return text_->empty();
}

void UiString::set(std::string text)
{
    std::lock_guard<std::mutex> lock(mutex_);
    text_->swap(text);
}

UiString& UiString::operator=(const UiString& other)
{
    if (this != &other)
        set(other.get());
    return *this;
}

UiString TitleStr("TitleStr", "MP3 Mass Production Tool");
UiString PageStr("PageStr", "Mass Production");
UiString DeviceStr("DeviceStr", "Device");
UiString LabelStr("LabelStr", "Label");
UiString SysPreCopyStr("SysPreCopyStr", "System files and Pre-copy files:");
UiString FormatStr("FormatStr", "Format");
UiString AddFileStr("AddFileStr", "Add files");
UiString RemoveStr("RemoveStr", "Remove");
UiString LogStr("LogStr", "Log");
UiString SelectFileStr("SelectFileStr", "Select files");
UiString StatusMsg("StatusMsg", "Status");
UiString SuccessMsg("SuccessMsg", "successful");
UiString FailMsg("FailMsg", "fail");
UiString ExceedLimitMsg("ExceedLimitMsg", "Exceed the device limit!");
UiString BadBlockStr("BadBlockStr", "Bad Block Check");
UiString TotalMsg("TotalMsg", "Total");
UiString WaitDeviceMsg("WaitDeviceMsg", "Waiting device...");
UiString CopyFileMsg("CopyFileMsg", "Copy Files");
UiString ChkdskMsg("ChkdskMsg", "Check Disk");
UiString SettingMsg("SettingMsg", "Setting");
UiString FILEWriteStr("FILEWriteStr", "FILE Writing");
UiString BlankingCheckStr("BlankingCheckStr", "Blanking Check");
UiString RealBlankingCheckStr("RealBlankingCheckStr", "Blanking Check");
UiString ProgramWriteStr("ProgramWriteStr", "Program Writing");
UiString ProgramWriteEndStr("ProgramWriteEndStr", "Program Write End");
UiString ProgramWriteSetupStr("ProgramWriteSetupStr", "Program Write Setup");
UiString PreferWriteStr("PreferWriteStr", "Prefer Writing");
UiString PreferWriteEndStr("PreferWriteEndStr", "Prefer Write End");
UiString PreferWriteSetupStr("PreferWriteSetupStr", "Prefer Write Setup");
UiString ISOWriteStr("ISOWriteStr", "ISO Writing");
UiString ISOWriteEndStr("ISOWriteEndStr", "ISO Write End");
UiString ISOWriteSetupStr("ISOWriteSetupStr", "ISO Write Setup");
UiString PassWriteStr("PassWriteStr", "PASS Write Setup");
UiString PassWriteEndStr("PassWriteEndStr", "PASS Write End");
UiString PassWriteSetupStr("PassWriteSetupStr", "PASS Write Setup");
UiString StringReset("StringReset", "Reset");
UiString FSMWrite("FSMWrite", "FSM Writing");
UiString VirtualCDROMStr("VirtualCDROMStr", "Virtual CDROM");
UiString FlashBrandStr("FlashBrandStr", "Flash Brand");
UiString FlashSerialStr("FlashSerialStr", "Flash Serial");
UiString FlashEraseStr("FlashEraseStr", "Erase Flash");
UiString MenuUpgradeStr("MenuUpgradeStr", "Menual Upgrade Mode");
UiString MenuUpgradeStartStr("MenuUpgradeStartStr", "Start Upgrade");
UiString DevicePluginStr("DevicePluginStr", "device plugin");
UiString BarFixedStr("BarFixedStr", "Bar Fixed");
UiString SystemAreaSizeStr("SystemAreaSizeStr", "System Area Size");
UiString SetLabelStr("SetLabelStr", "Set Volume Label");
UiString FlashCheckStr("FlashCheckStr", "Flash Check");
UiString FwParityCheckStr("FwParityCheckStr", "FW Parity Check");
UiString FwUpgradeStr("FwUpgradeStr", "Firmware Upgrade");
UiString FixSystemAreaSizeStr("FixSystemAreaSizeStr", "Fix System Area Size");
UiString FixUsbIOPortStr("FixUsbIOPortStr", "Fix Usb IO");
UiString UnresetMsg("UnresetMsg", "Unresetted device");
UiString HubPortExeccdStr("HubPortExeccdStr", "Exceed USB Port limitation");
UiString SDKBidErrorStr("SDKBidErrorStr", "SDK bonding ID check fail");
UiString ChipBidErrorStr("ChipBidErrorStr", "Chip bonding ID check fail");
UiString SDKBidNoMatchStr("SDKBidNoMatchStr", "SDK bonding ID not match");
UiString ApplyStr("ApplyStr", "Apply");
UiString CancelStr("CancelStr", "Cancel");
UiString FactorSetStr("FactorSetStr", "Factory Setting");
UiString ModuleNoStr("ModuleNoStr", "Flash Module No");
UiString AdvanceStr("AdvanceStr", "Advance");
UiString ProcessStatusStr("ProcessStatusStr", "Processing Status");
UiString BadBlockWarningStr("BadBlockWarningStr", "Please do blanking check");
UiString ChangeDiskStr("ChangeDiskStr", "Change to Hidden disk");
UiString HiddenDiskStr("HiddenDiskStr", "Hidden disk");

UiString CheckFlashIDStr(nullptr, "Check FLASHID");
UiString FSMLoadStr(nullptr, "FSM Load");
UiString BlankingCheckSetupStr(nullptr, "Blanking Check Setup");
UiString ProgramWriteRetryStr(nullptr, "Program Writing Retry");
UiString PreferWriteRetryStr(nullptr, "Prefer Writing Retry");
UiString TelbookWriteSetupStr(nullptr, "Telbook Write Setup");
UiString TelbookWriteEndStr(nullptr, "Telbook Write End");
UiString TelbookWriteStr(nullptr, "Telbook Writing");

const std::array<UiString*, kKeyedUiStringCount>& KeyedUiStrings()
{
    static const std::array<UiString*, kKeyedUiStringCount> strings = {
        &TitleStr,
        &PageStr,
        &DeviceStr,
        &LabelStr,
        &SysPreCopyStr,
        &FormatStr,
        &AddFileStr,
        &RemoveStr,
        &LogStr,
        &SelectFileStr,
        &StatusMsg,
        &SuccessMsg,
        &FailMsg,
        &ExceedLimitMsg,
        &BadBlockStr,
        &TotalMsg,
        &WaitDeviceMsg,
        &CopyFileMsg,
        &ChkdskMsg,
        &SettingMsg,
        &FILEWriteStr,
        &BlankingCheckStr,
        &RealBlankingCheckStr,
        &ProgramWriteStr,
        &ProgramWriteEndStr,
        &ProgramWriteSetupStr,
        &PreferWriteStr,
        &PreferWriteEndStr,
        &PreferWriteSetupStr,
        &ISOWriteStr,
        &ISOWriteEndStr,
        &ISOWriteSetupStr,
        &PassWriteStr,
        &PassWriteEndStr,
        &PassWriteSetupStr,
        &StringReset,
        &FSMWrite,
        &VirtualCDROMStr,
        &FlashBrandStr,
        &FlashSerialStr,
        &FlashEraseStr,
        &MenuUpgradeStr,
        &MenuUpgradeStartStr,
        &DevicePluginStr,
        &BarFixedStr,
        &SystemAreaSizeStr,
        &SetLabelStr,
        &FlashCheckStr,
        &FwParityCheckStr,
        &FwUpgradeStr,
        &FixSystemAreaSizeStr,
        &FixUsbIOPortStr,
        &UnresetMsg,
        &HubPortExeccdStr,
        &SDKBidErrorStr,
        &ChipBidErrorStr,
        &SDKBidNoMatchStr,
        &ApplyStr,
        &CancelStr,
        &FactorSetStr,
        &ModuleNoStr,
        &AdvanceStr,
        &ProcessStatusStr,
        &BadBlockWarningStr,
        &ChangeDiskStr,
        &HiddenDiskStr,
    };
    return strings;
}

const std::array<UiString*, kUiStringCount>& AllUiStrings()
{
    static const std::array<UiString*, kUiStringCount> strings = [] {
        std::array<UiString*, kUiStringCount> all{};
        const auto& keyed = KeyedUiStrings();
        std::copy(keyed.begin(), keyed.end(), all.begin());
        const std::array<UiString*, kUiStringCount - kKeyedUiStringCount> unkeyed = {
            &CheckFlashIDStr,      &FSMLoadStr,          &BlankingCheckSetupStr, &ProgramWriteRetryStr,
            &PreferWriteRetryStr,  &TelbookWriteSetupStr, &TelbookWriteEndStr,   &TelbookWriteStr,
        };
        std::copy(unkeyed.begin(), unkeyed.end(), all.begin() + kKeyedUiStringCount);
        return all;
    }();
    return strings;
}

void InitLanguageStrings()
{
    for (UiString* s : AllUiStrings())
        s->set(s->builtIn());
}

void FreeLanguageStrings()
{
}
