#include "ui/ProductionSettings.h"

#include "platform/IniFile.h"
#include "platform/ProgramDir.h"
#include "text/MessageCatalogue.h"
#include "ui/main.h"

#include <algorithm>

namespace {

constexpr const char* S = kSettingsSection;

void checkFrom(platform::IniFile& ini, const char* key, int32_t def, toolkit::TCheckBox* box)
{
    if (box)
        box->SetChecked(ini.ReadInteger(S, key, def) != 0);
}

void writeCheck(platform::IniFile& ini, const char* key, const toolkit::TCheckBox* box)
{
    ini.WriteInteger(S, key, box && box->Checked() ? 1 : 0);
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
    platform::IniFile ini(platform::ProgramPath(path));

    // The window's own option controls. Checking a box runs its click handler, as the
    // operator's click would.
    checkFrom(ini, "Format", 0, chkFormat);
    checkFrom(ini, "Blanking check", 0, chkBlankCheck);
    checkFrom(ini, "FwUpgrade", 1, chkFwUpgrade);
    checkFrom(ini, "ISO upgrade", 0, chkISOupgrade);
    checkFrom(ini, "Manual Upgrade", 0, CheckManuupgrade);
    checkFrom(ini, "System Area check", 0, SystemAreachk);
    // Kept as stored even when the list has no such item (it then selects nothing).
    if (SystemAreaComBo)
        SystemAreaComBo->SetItemIndex(ini.ReadInteger(S, "System Area Size", 0));
    if (LabelEdit)
        LabelEdit->SetText(ini.ReadString(S, "Label", ""));
    checkFrom(ini, "FwParityCheck", 1, chkParityCheck);
    checkFrom(ini, "NorReadCheck", 1, chknor);
    checkFrom(ini, "FixUsbIO", 1, chkUsbPort);
    checkFrom(ini, "ClearFlash", 1, chkClearFlash);

    iFlashModuleNo = 0;

    // Values that end in a narrower field on the device are clamped to their range, so
    // that a hand-edited file cannot wrap them: the page skip (0..64) and the ECC choice
    // (0..7, its threshold) each go into one byte of every page-scan command, the ratio
    // (1..100 %) into byte 162 of the configuration record, the pattern into 16 bits.
    // The others are kept as stored; their readers bound their own table look-ups. The
    // two byte fields keep the low byte of what is stored.
    iScanLevel = ini.ReadInteger(S, "iScanLevel", 0);
    iPageSkip = std::clamp(ini.ReadInteger(S, "iPageSkip", 0), 0, kMaxPageSkip);
    iReadTimes = ini.ReadInteger(S, "iReadTimes", 0);
    iEccLevel = std::clamp(ini.ReadInteger(S, "iEccLevel", 2), 0, kMaxEccLevel);
    iBadThreshold = ini.ReadInteger(S, "iBadThreshold", 20);
    eDeviceFeature = static_cast<uint8_t>(ini.ReadInteger(S, "eDeviceFeature", 0) & 0xFF);
    iHideDiskRatio = std::clamp(ini.ReadInteger(S, "iHideDiskRatio", 10), kMinHideDiskRatio, kMaxHideDiskRatio);
    sHideDiskLabel = ini.ReadString(S, "sHideDiskLabel", "");
    bUseImgFile = ini.ReadBool(S, "bUseImgFile", false);
    ImageFile = ini.ReadString(S, "ImageFile", "");
    SaveSpiImage = ini.ReadBool(S, "SaveSpiImage", false);

    // The option is not offered.
    bNonFileSystem = false;
    if (SettingForm)
        if (toolkit::TControl* nonFs = SettingForm->FindControl("chkNonFS"))
            nonFs->SetVisible(false);

    std::string text;
    if (labDiskFeature && DiskFeatureText(eDeviceFeature, iHideDiskRatio, LanguageIndex, text))
        labDiskFeature->SetCaption(text);

    AllowErrorRate = ini.ReadInteger(S, "AllowErrorRate", 2);
    DealCapError = static_cast<uint8_t>(ini.ReadInteger(S, "DealCapError", 0) & 0xFF);
    PageMode = ini.ReadBool(S, "PageMode", false);
    PageModeSel = ini.ReadInteger(S, "PageModeSel", 0);
    // The scan sends 16 bits: the low 16 bits are the pattern, as the dialog stores it.
    Pattern = ini.ReadInteger(S, "Pattern", 0) & kPatternMask;
}

void TForm1::SaveSettings(const std::string& path)
{
    std::string file = platform::ProgramPath(path);
    platform::IniFile ini(file);

    writeCheck(ini, "Format", chkFormat);
    writeCheck(ini, "Blanking check", chkBlankCheck);
    writeCheck(ini, "FwUpgrade", chkFwUpgrade);
    writeCheck(ini, "ISO upgrade", chkISOupgrade);
    writeCheck(ini, "Manual Upgrade", CheckManuupgrade);
    writeCheck(ini, "System Area check", SystemAreachk);
    ini.WriteInteger(S, "System Area Size", SystemAreaComBo ? SystemAreaComBo->ItemIndex() : -1);
    writeCheck(ini, "FwParityCheck", chkParityCheck);
    writeCheck(ini, "NorReadCheck", chknor);
    ini.WriteString(S, "Label", LabelEdit ? LabelEdit->Text() : std::string());
    writeCheck(ini, "FixUsbIO", chkUsbPort);
    writeCheck(ini, "ClearFlash", chkClearFlash);

    ini.WriteInteger(S, "iScanLevel", iScanLevel);
    ini.WriteInteger(S, "iPageSkip", iPageSkip);
    ini.WriteInteger(S, "iReadTimes", iReadTimes);
    ini.WriteInteger(S, "iEccLevel", iEccLevel);
    ini.WriteInteger(S, "iBadThreshold", iBadThreshold);
    // Byte fields are written as the signed byte's value.
    ini.WriteInteger(S, "eDeviceFeature", static_cast<int8_t>(eDeviceFeature));
    ini.WriteInteger(S, "iHideDiskRatio", iHideDiskRatio);
    ini.WriteString(S, "sHideDiskLabel", sHideDiskLabel);
    ini.WriteBool(S, "bUseImgFile", bUseImgFile);
    ini.WriteString(S, "ImageFile", ImageFile);

    // The hidden-file lists have files of their own now.
    ini.EraseSection("HIDE_FILES");
    ini.EraseSection("SPI_HIDE_FILES");

    ini.WriteInteger(S, "AllowErrorRate", AllowErrorRate);
    ini.WriteInteger(S, "DealCapError", static_cast<int8_t>(DealCapError));
    ini.WriteBool(S, "SaveSpiImage", SaveSpiImage);
    ini.WriteBool(S, "PageMode", PageMode);
    ini.WriteInteger(S, "PageModeSel", PageModeSel);
    ini.WriteInteger(S, "Pattern", Pattern);

    // All keys go to disk in one atomic replacement: a failed write leaves the previous
    // file whole and raises the error before anything else is changed.
    // The folder is not created: a station without misc/ reports the failed write.
    ini.UpdateFileOrThrow(true);

    ResetFirmwareMultiplier(0);
}
