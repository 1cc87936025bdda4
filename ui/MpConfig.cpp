// Settings configuration files (*.mp) of the settings dialog.
#include "ui/MpConfig.h"

#include "platform/IniFile.h"
#include "toolkit/Dialogs.h"
#include "ui/SettingDlg.h"

#include <cctype>

using namespace toolkit;

namespace {

// The blanks the profile reader strips around a key.
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// Key names compare as the profile reader compares them: ASCII letters without case.
bool SameKey(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

} // namespace

namespace ui {

std::string MpUnstorableName(const std::string& name, std::span<const std::string> earlier)
{
    if (name.empty())
        return "an empty name";
    if (name.find_first_of("\r\n") != std::string::npos)
        return "holds a line break";
    if (name.find('=') != std::string::npos)
        return "holds \"=\"";
    if (IsBlank(name.front()) || IsBlank(name.back()))
        return "begins or ends with a blank";
    if (name.front() == ';' || name.front() == '[')
        return std::string("begins with \"") + name.front() + "\"";
    for (const std::string& e : earlier)
        if (SameKey(e, name))
            return e == name ? "listed twice" : "the same as \"" + e + "\" apart from letter case";
    return "";
}

bool SaveMpConfig(TfrmSetting& d, const std::string& path)
{
    // HideFiles keeps each entry as a key name; other stations read that format, so a
    // name it cannot give back unchanged refuses the save instead of being lost.
    const std::vector<std::string> entries = d.TntlstHideFiles->Items()->ToVector();
    std::string refused;
    for (size_t i = 0; i < entries.size(); ++i) {
        const std::string why = MpUnstorableName(entries[i], std::span(entries.data(), i));
        if (!why.empty())
            refused += "\n\"" + entries[i] + "\" (" + why + ")";
    }
    if (!refused.empty()) {
        TheDialogs().MessageBox("Not saved to " + path + ": its file list cannot hold these names:" + refused, "Fail",
                                MB_OK | MB_ICONERROR);
        return false;
    }

    platform::IniFile ini(path);
    const char* F = kMpFlashSection;
    const char* D = kMpDeviceSection;
    ini.WriteInteger(F, "iScanLevel", d.cboScanLevel->ItemIndex());
    // No selection gives an empty text, which stops the save here.
    ini.WriteInteger(F, "iPageSkip", StrToInt(d.cboPageSkip->Text()));
    ini.WriteInteger(F, "iEccLevel", d.cboECC->ItemIndex());
    ini.WriteInteger(F, "iReadTimes", d.cboRead->ItemIndex());
    ini.WriteInteger(F, "iBadThreshold", static_cast<int16_t>(d.UpDownBadThreshold->Position()));
    ini.WriteBool(D, "NormalDisk", d.rdoNormalDisk->Checked());
    ini.WriteBool(D, "EncryptDisk", d.rdoEncryptDisk->Checked());
    ini.WriteBool(D, "HideDisk", d.rdoHideDisk->Checked());
    ini.WriteString(D, "DiskLabel", d.edtDiskLabel->Text());
    ini.WriteInteger(D, "HideDiskRatio", d.tbarHideDiskRatio->Position());
    ini.EraseSection(kMpHideFilesSection);
    for (const std::string& entry : entries)
        ini.WriteString(kMpHideFilesSection, entry, "");
    ini.UpdateFileOrThrow(true);
    return true;
}

void LoadMpConfig(TfrmSetting& d, const std::string& path)
{
    platform::IniFile ini(path);
    const char* F = kMpFlashSection;
    const char* D = kMpDeviceSection;
    SelectItem(d.cboScanLevel, ini.ReadInteger(F, "iScanLevel", 0));
    SelectItem(d.cboPageSkip, ini.ReadInteger(F, "iPageSkip", 0));
    SelectItem(d.cboECC, ini.ReadInteger(F, "iEccLevel", 2));
    SelectItem(d.cboRead, ini.ReadInteger(F, "iReadTimes", 0));
    d.UpDownBadThreshold->SetPosition(static_cast<int16_t>(ini.ReadInteger(F, "iBadThreshold", 10)));
    d.UpDownBadThresholdClick(d.UpDownBadThreshold);

    d.rdoNormalDisk->SetChecked(ini.ReadBool(D, "NormalDisk", true));
    d.rdoEncryptDisk->SetChecked(ini.ReadBool(D, "EncryptDisk", false));
    d.rdoHideDisk->SetChecked(ini.ReadBool(D, "HideDisk", false));
    d.edtDiskLabel->SetText(ini.ReadString(D, "DiskLabel", ""));
    d.tbarHideDiskRatio->SetPosition(ini.ReadInteger(D, "HideDiskRatio", 1));
    d.tbarHideDiskRatioChange(d.tbarHideDiskRatio);

    std::vector<std::string> names = ini.ReadSection(kMpHideFilesSection);
    d.TntlstHideFiles->Items()->Clear();
    for (std::string& name : names)
        d.TntlstHideFiles->Items()->Add(std::move(name));
}

} // namespace ui
