// The production settings' file misc/prefer.ini, read and written by the main window.
#include "ui/ProductionSettings.h"

#include "platform/IniFile.h"
#include "platform/ProgramDir.h"
#include "text/MessageCatalogue.h"
#include "ui/main.h"

namespace {

void check(toolkit::TCheckBox* box, bool checked)
{
    if (box)
        box->SetChecked(checked);
}

bool checked(const toolkit::TCheckBox* box)
{
    return box && box->Checked();
}

} // namespace

bool DiskFeatureText(uint8_t mode, int32_t ratio, unsigned languageIndex, std::string& text)
{
    switch (mode) {
    case 0:
        text = MessageCatalogue(kRowNormal, languageIndex);
        return true;
    case 1:
        text = std::string(MessageCatalogue(kRowEncrypted, languageIndex)) + std::to_string(ratio) + "%";
        return true;
    case 2:
        text = std::string(MessageCatalogue(kRowHidden, languageIndex)) + std::to_string(ratio) + "%";
        return true;
    default:
        return false;
    }
}

void TForm1::LoadSettings(const std::string& path)
{
    const production::StoredSettings stored =
        production::ReadStoredSettings(platform::IniFile(platform::ProgramPath(path)));

    // The window's own option controls. Checking a box runs its click handler, as the
    // operator's click would.
    check(chkFormat, stored.chkFormat);
    check(chkBlankCheck, stored.chkBlankCheck);
    check(chkFwUpgrade, stored.chkFwUpgrade);
    check(chkISOupgrade, stored.chkISOupgrade);
    check(CheckManuupgrade, stored.CheckManuupgrade);
    check(SystemAreachk, stored.SystemAreachk);
    // Kept as stored even when the list has no such item (it then selects nothing).
    if (SystemAreaComBo)
        SystemAreaComBo->SetItemIndex(stored.SystemAreaComBo);
    if (LabelEdit)
        LabelEdit->SetText(stored.LabelEdit);
    check(chkParityCheck, stored.chkParityCheck);
    check(chknor, stored.chknor);
    check(chkUsbPort, stored.chkUsbPort);
    check(chkClearFlash, stored.chkClearFlash);

    // The module count is kept in the firmware file, read after the settings.
    iFlashModuleNo = 0;

    iScanLevel = stored.iScanLevel;
    iPageSkip = stored.iPageSkip;
    iReadTimes = stored.iReadTimes;
    iEccLevel = stored.iEccLevel;
    iBadThreshold = stored.iBadThreshold;
    eDeviceFeature = stored.eDeviceFeature;
    iHideDiskRatio = stored.iHideDiskRatio;
    sHideDiskLabel = stored.sHideDiskLabel;
    bUseImgFile = stored.bUseImgFile;
    ImageFile = stored.ImageFile;
    SaveSpiImage = stored.SaveSpiImage;

    // The option is not offered.
    bNonFileSystem = false;
    if (SettingForm)
        if (toolkit::TControl* nonFs = SettingForm->FindControl("chkNonFS"))
            nonFs->SetVisible(false);

    std::string text;
    if (labDiskFeature && DiskFeatureText(eDeviceFeature, iHideDiskRatio, LanguageIndex, text))
        labDiskFeature->SetCaption(text);

    AllowErrorRate = stored.AllowErrorRate;
    DealCapError = stored.DealCapError;
    PageMode = stored.PageMode;
    PageModeSel = stored.PageModeSel;
    Pattern = stored.Pattern;
}

void TForm1::SaveSettings(const std::string& path)
{
    production::StoredSettings stored;
    stored.chkFormat = checked(chkFormat);
    stored.chkBlankCheck = checked(chkBlankCheck);
    stored.chkFwUpgrade = checked(chkFwUpgrade);
    stored.chkISOupgrade = checked(chkISOupgrade);
    stored.CheckManuupgrade = checked(CheckManuupgrade);
    stored.SystemAreachk = checked(SystemAreachk);
    stored.SystemAreaComBo = SystemAreaComBo ? SystemAreaComBo->ItemIndex() : -1;
    stored.LabelEdit = LabelEdit ? LabelEdit->Text() : std::string();
    stored.chkParityCheck = checked(chkParityCheck);
    stored.chknor = checked(chknor);
    stored.chkUsbPort = checked(chkUsbPort);
    stored.chkClearFlash = checked(chkClearFlash);
    stored.iScanLevel = iScanLevel;
    stored.iPageSkip = iPageSkip;
    stored.iReadTimes = iReadTimes;
    stored.iEccLevel = iEccLevel;
    stored.iBadThreshold = iBadThreshold;
    stored.eDeviceFeature = eDeviceFeature;
    stored.iHideDiskRatio = iHideDiskRatio;
    stored.sHideDiskLabel = sHideDiskLabel;
    stored.bUseImgFile = bUseImgFile;
    stored.ImageFile = ImageFile;
    stored.SaveSpiImage = SaveSpiImage;
    stored.AllowErrorRate = AllowErrorRate;
    stored.DealCapError = DealCapError;
    stored.PageMode = PageMode;
    stored.PageModeSel = PageModeSel;
    stored.Pattern = Pattern;

    platform::IniFile ini(platform::ProgramPath(path));
    production::WriteStoredSettings(ini, stored);
    // All keys go to disk in one atomic replacement: a failed write leaves the previous
    // file whole and raises the error before anything else is changed.
    // The folder is not created: a station without misc/ reports the failed write.
    ini.UpdateFileOrThrow(true);

    ResetFirmwareMultiplier(0);
}
