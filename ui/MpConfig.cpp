#include "ui/MpConfig.h"

#include "platform/IniFile.h"
#include "ui/SettingDlg.h"

using namespace toolkit;

namespace ui {

void SaveMpConfig(TfrmSetting& d, const std::string& path)
{
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
    for (const std::string& entry : d.TntlstHideFiles->Items()->ToVector())
        ini.WriteString(kMpHideFilesSection, entry, "");
    ini.UpdateFileOrThrow(true);
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
