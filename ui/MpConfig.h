#pragma once
// Settings configuration files (*.mp): part of the settings dialog's controls saved to and
// loaded from a profile file with the sections FlashSet, DeviceSet and HideFiles. They
// touch the dialog's controls only; the production settings change at Apply.
#include <span>
#include <string>

class TfrmSetting;

namespace ui {

inline constexpr const char* kMpFlashSection = "FlashSet";
inline constexpr const char* kMpDeviceSection = "DeviceSet";
inline constexpr const char* kMpHideFilesSection = "HideFiles";

// Writes the five FlashSet keys, the five DeviceSet keys and the hidden-file list (one key
// per entry, empty value, the section rewritten) into the file at path, keeping the rest
// of an existing file. Throws EConvertError when the page-skip list has no selection and
// platform::IniFileError("Unable to write to <path>") when the file cannot be written;
// the file on disk is then as it was.
// A list holding a name that a key cannot give back unchanged (see MpUnstorableName) is
// refused before anything is written: a box names each such entry and why, and the
// result is false.
bool SaveMpConfig(TfrmSetting& dialog, const std::string& path);

// Why `name` cannot be stored as a HideFiles key after the names `earlier` (keys compare
// without ASCII letter case and lose the blanks around them; "=" ends a key; a line
// break, a leading ";" or "[" or an empty name make no key), or "" when it can.
std::string MpUnstorableName(const std::string& name, std::span<const std::string> earlier);

// Reads the keys into the controls, each missing or non-numeric value giving its default
// (scan level 0, page skip 0, ECC 2, read times 0, bad threshold 10, normal disk, empty
// label, ratio 1, empty list). The enabling rules of the scan level are not run.
void LoadMpConfig(TfrmSetting& dialog, const std::string& path);

} // namespace ui
