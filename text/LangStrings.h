#pragma once
// The user-interface strings: window captions, stage names of the production engine and
// status words of the device panels, shared by every unit and every thread. Each starts
// with its built-in English text; ApplyLanguage replaces the keyed ones from misc/lang.ini
// (the key is the string's own name). Texts are UTF-8.
//
// Production threads read these while the user-interface thread may be replacing them, so
// a read hands out a copy taken under the string's own lock; no reader ever sees a text
// being replaced.

#include <array>
#include <cstddef>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>

class UiString {
public:
    // `key` is the lang.ini key, or nullptr for a string that no file replaces.
    UiString(const char* key, const char* builtIn);
    // The text lives as long as the process: threads still running while the program ends
    // may go on reading it.
    ~UiString() = default;
    UiString(const UiString&) = delete;

    std::string get() const;
    operator std::string() const { return get(); }
    bool empty() const;

    void set(std::string text);
    UiString& operator=(std::string text) { set(std::move(text)); return *this; }
    UiString& operator=(const char* text) { set(text ? std::string(text) : std::string()); return *this; }
    UiString& operator=(const UiString& other);

    const char* key() const { return key_; }
    const char* builtIn() const { return builtIn_; }

    friend std::string operator+(const UiString& a, const UiString& b) { return a.get() + b.get(); }
    friend std::string operator+(const UiString& a, const std::string& b) { return a.get() + b; }
    friend std::string operator+(const UiString& a, const char* b) { return a.get() + b; }
    friend std::string operator+(const UiString& a, char b) { return a.get() + b; }
    friend std::string operator+(const std::string& a, const UiString& b) { return a + b.get(); }
    friend std::string operator+(const char* a, const UiString& b) { return a + b.get(); }
    friend bool operator==(const UiString& a, std::string_view b) { return a.get() == b; }
    friend std::ostream& operator<<(std::ostream& os, const UiString& s) { return os << s.get(); }

private:
    const char* key_;
    const char* builtIn_;
    mutable std::mutex mutex_;
    std::string* text_;  // never freed, see the destructor
};

constexpr std::size_t kKeyedUiStringCount = 66;
constexpr std::size_t kUiStringCount = 74;

// Strings replaced from lang.ini, in the order ApplyLanguage reads them.
extern UiString TitleStr;  // "MP3 Mass Production Tool"
extern UiString PageStr;  // "Mass Production"
extern UiString DeviceStr;  // "Device"
extern UiString LabelStr;  // "Label"
extern UiString SysPreCopyStr;  // "System files and Pre-copy files:"
extern UiString FormatStr;  // "Format"
extern UiString AddFileStr;  // "Add files"
extern UiString RemoveStr;  // "Remove"
extern UiString LogStr;  // "Log"
extern UiString SelectFileStr;  // "Select files"
extern UiString StatusMsg;  // "Status"
extern UiString SuccessMsg;  // "successful"
extern UiString FailMsg;  // "fail"
extern UiString ExceedLimitMsg;  // "Exceed the device limit!"
extern UiString BadBlockStr;  // "Bad Block Check"
extern UiString TotalMsg;  // "Total"
extern UiString WaitDeviceMsg;  // "Waiting device..."
extern UiString CopyFileMsg;  // "Copy Files"
extern UiString ChkdskMsg;  // "Check Disk"
extern UiString SettingMsg;  // "Setting"
extern UiString FILEWriteStr;  // "FILE Writing"
extern UiString BlankingCheckStr;  // "Blanking Check"
extern UiString RealBlankingCheckStr;  // "Blanking Check"
extern UiString ProgramWriteStr;  // "Program Writing"
extern UiString ProgramWriteEndStr;  // "Program Write End"
extern UiString ProgramWriteSetupStr;  // "Program Write Setup"
extern UiString PreferWriteStr;  // "Prefer Writing"
extern UiString PreferWriteEndStr;  // "Prefer Write End"
extern UiString PreferWriteSetupStr;  // "Prefer Write Setup"
extern UiString ISOWriteStr;  // "ISO Writing"
extern UiString ISOWriteEndStr;  // "ISO Write End"
extern UiString ISOWriteSetupStr;  // "ISO Write Setup"
extern UiString PassWriteStr;  // "PASS Write Setup"
extern UiString PassWriteEndStr;  // "PASS Write End"
extern UiString PassWriteSetupStr;  // "PASS Write Setup"
extern UiString StringReset;  // "Reset"
extern UiString FSMWrite;  // "FSM Writing"
extern UiString VirtualCDROMStr;  // "Virtual CDROM"
extern UiString FlashBrandStr;  // "Flash Brand"
extern UiString FlashSerialStr;  // "Flash Serial"
extern UiString FlashEraseStr;  // "Erase Flash"
extern UiString MenuUpgradeStr;  // "Menual Upgrade Mode"
extern UiString MenuUpgradeStartStr;  // "Start Upgrade"
extern UiString DevicePluginStr;  // "device plugin"
extern UiString BarFixedStr;  // "Bar Fixed"
extern UiString SystemAreaSizeStr;  // "System Area Size"
extern UiString SetLabelStr;  // "Set Volume Label"
extern UiString FlashCheckStr;  // "Flash Check"
extern UiString FwParityCheckStr;  // "FW Parity Check"
extern UiString FwUpgradeStr;  // "Firmware Upgrade"
extern UiString FixSystemAreaSizeStr;  // "Fix System Area Size"
extern UiString FixUsbIOPortStr;  // "Fix Usb IO"
extern UiString UnresetMsg;  // "Unresetted device"
extern UiString HubPortExeccdStr;  // "Exceed USB Port limitation"
extern UiString SDKBidErrorStr;  // "SDK bonding ID check fail"
extern UiString ChipBidErrorStr;  // "Chip bonding ID check fail"
extern UiString SDKBidNoMatchStr;  // "SDK bonding ID not match"
extern UiString ApplyStr;  // "Apply"
extern UiString CancelStr;  // "Cancel"
extern UiString FactorSetStr;  // "Factory Setting"
extern UiString ModuleNoStr;  // "Flash Module No"
extern UiString AdvanceStr;  // "Advance"
extern UiString ProcessStatusStr;  // "Processing Status"
extern UiString BadBlockWarningStr;  // "Please do blanking check"
extern UiString ChangeDiskStr;  // "Change to Hidden disk"
extern UiString HiddenDiskStr;  // "Hidden disk"

// Strings without a key. BlankingCheckSetupStr is composed by ApplyLanguage from
// BlankingCheckStr and SettingMsg; the other seven stay English in every language.
extern UiString CheckFlashIDStr;  // "Check FLASHID"
extern UiString FSMLoadStr;  // "FSM Load"
extern UiString BlankingCheckSetupStr;  // "Blanking Check Setup"
extern UiString ProgramWriteRetryStr;  // "Program Writing Retry"
extern UiString PreferWriteRetryStr;  // "Prefer Writing Retry"
extern UiString TelbookWriteSetupStr;  // "Telbook Write Setup"
extern UiString TelbookWriteEndStr;  // "Telbook Write End"
extern UiString TelbookWriteStr;  // "Telbook Writing"

// The keyed strings in reading order, and all strings (keyed first, then the others).
const std::array<UiString*, kKeyedUiStringCount>& KeyedUiStrings();
const std::array<UiString*, kUiStringCount>& AllUiStrings();

// Gives every string its built-in English text. Runs by itself at program load (the strings
// are constructed with their texts); calling it again starts over, as tests do.
void InitLanguageStrings();
// Counterpart of InitLanguageStrings at program exit. The texts are kept: a production
// thread still running while the program ends may read them.
void FreeLanguageStrings();
