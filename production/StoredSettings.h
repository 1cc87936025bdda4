#pragma once
// The production settings a station keeps in misc/prefer.ini, section MP_Setting, declared
// once: each key with the member it goes to, its default and the bound it is loaded with.
// The main window loads and saves through this table, and a fresh station (an engine with
// no main window, or before the window exists) answers its defaults.
#include <cstdint>
#include <string>
#include <variant>

namespace platform {
class IniFile;
}

namespace production {

// The stored values, each named after the main-window member it belongs to: the window's
// own option controls first (a box's checked state, the system-area combo's index, the
// label edit's text), then the fields the settings dialog edits.
struct StoredSettings {
    bool chkFormat = false;
    bool chkBlankCheck = false;
    bool chkFwUpgrade = false;
    bool chkISOupgrade = false;
    bool CheckManuupgrade = false;
    bool SystemAreachk = false;
    int32_t SystemAreaComBo = 0;  // selected index, -1 none; kept as stored
    std::string LabelEdit;
    bool chkParityCheck = false;
    bool chknor = false;
    bool chkUsbPort = false;
    bool chkClearFlash = false;
    int32_t iScanLevel = 0;
    int32_t iPageSkip = 0;
    int32_t iReadTimes = 0;
    int32_t iEccLevel = 0;
    int32_t iBadThreshold = 0;
    uint8_t eDeviceFeature = 0;
    int32_t iHideDiskRatio = 0;
    std::string sHideDiskLabel;
    bool bUseImgFile = false;
    std::string ImageFile;
    bool SaveSpiImage = false;
    int32_t AllowErrorRate = 0;
    uint8_t DealCapError = 0;
    bool PageMode = false;
    int32_t PageModeSel = 0;
    int32_t Pattern = 0;
};

// How a loaded integer is bounded. Values that end in a narrower field on the device are
// clamped, so that a hand-edited file cannot wrap them: the page skip and the ECC choice
// each go into one byte of every page-scan command, the ratio into one byte of the
// configuration record. The scan pattern is a 16-bit word and keeps its low 16 bits. Byte
// members keep the low byte; the others are kept as stored (their readers bound their own
// table look-ups).
struct Bound {
    enum Kind { None, Clamp, LowBits } kind = None;
    int32_t low = 0;
    int32_t high = 0;  // Clamp: the largest value; LowBits: the mask
};

struct StoredSetting {
    const char* key;
    std::variant<bool StoredSettings::*, int32_t StoredSettings::*, uint8_t StoredSettings::*,
                 std::string StoredSettings::*> member;
    int32_t defaultValue;      // booleans and boxes 0/1; unused for texts (their default is "")
    Bound bound;
};

// The section of prefer.ini that holds the settings.
inline constexpr const char* kSettingsSection = "MP_Setting";
// The scan pattern is a 16-bit word: every value keeps its low 16 bits, entered or loaded.
inline constexpr int32_t kPatternMask = 0xFFFF;

// The settings in the order they are written. Boxes and booleans are stored as 1/0 and
// read as true when non-zero; byte members are written as their signed byte's value.
inline const StoredSetting kStoredSettings[] = {
    {"Format", &StoredSettings::chkFormat, 0, {}},
    {"Blanking check", &StoredSettings::chkBlankCheck, 0, {}},
    {"FwUpgrade", &StoredSettings::chkFwUpgrade, 1, {}},
    {"ISO upgrade", &StoredSettings::chkISOupgrade, 0, {}},
    {"Manual Upgrade", &StoredSettings::CheckManuupgrade, 0, {}},
    {"System Area check", &StoredSettings::SystemAreachk, 0, {}},
    {"System Area Size", &StoredSettings::SystemAreaComBo, 0, {}},
    {"FwParityCheck", &StoredSettings::chkParityCheck, 1, {}},
    {"NorReadCheck", &StoredSettings::chknor, 1, {}},
    {"Label", &StoredSettings::LabelEdit, 0, {}},
    {"FixUsbIO", &StoredSettings::chkUsbPort, 1, {}},
    {"ClearFlash", &StoredSettings::chkClearFlash, 1, {}},
    {"iScanLevel", &StoredSettings::iScanLevel, 0, {}},
    {"iPageSkip", &StoredSettings::iPageSkip, 0, {Bound::Clamp, 0, 64}},
    {"iReadTimes", &StoredSettings::iReadTimes, 0, {}},
    {"iEccLevel", &StoredSettings::iEccLevel, 2, {Bound::Clamp, 0, 7}},
    {"iBadThreshold", &StoredSettings::iBadThreshold, 20, {}},
    {"eDeviceFeature", &StoredSettings::eDeviceFeature, 0, {}},
    {"iHideDiskRatio", &StoredSettings::iHideDiskRatio, 10, {Bound::Clamp, 1, 100}},
    {"sHideDiskLabel", &StoredSettings::sHideDiskLabel, 0, {}},
    {"bUseImgFile", &StoredSettings::bUseImgFile, 0, {}},
    {"ImageFile", &StoredSettings::ImageFile, 0, {}},
    {"AllowErrorRate", &StoredSettings::AllowErrorRate, 2, {}},
    {"DealCapError", &StoredSettings::DealCapError, 0, {}},
    {"SaveSpiImage", &StoredSettings::SaveSpiImage, 0, {}},
    {"PageMode", &StoredSettings::PageMode, 0, {}},
    {"PageModeSel", &StoredSettings::PageModeSel, 0, {}},
    {"Pattern", &StoredSettings::Pattern, 0, {Bound::LowBits, 0, kPatternMask}},
};

// The settings of a station whose prefer.ini is missing or empty.
const StoredSettings& FreshSettings();
// Reads every key; a missing key or a value that is not a number gives the default.
StoredSettings ReadStoredSettings(const platform::IniFile& ini);
// Writes every key in table order and drops the sections older files kept the hidden-file
// lists in (they have files of their own now). Only changes the document: the caller
// writes it to disk.
void WriteStoredSettings(platform::IniFile& ini, const StoredSettings& values);

} // namespace production
