// Settings configuration files (*.mp): loading one leaves every control of the settings
// dialog within its range, and Apply hands the settings on within theirs.
#include "FuzzSupport.h"

#include "toolkit/Dialogs.h"
#include "ui/MpConfig.h"
#include "ui/SettingDlg.h"
#include "ui/Unit2.h"
#include "ui/main.h"

#include <memory>

namespace {

template <class Control> bool InRange(const Control* c) { return c->Position() >= c->Min() && c->Position() <= c->Max(); }

bool InRange(const toolkit::TComboBox* box) { return box->ItemIndex() >= -1 && box->ItemIndex() < box->Items()->Count(); }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Folder();
    static toolkit::ScriptedDialogs dialogs;
    static std::unique_ptr<TForm1> form;
    static std::unique_ptr<TfrmSetting> dialog;
    static std::unique_ptr<TForm2> password;
    if (!form) {
        toolkit::SetDialogs(&dialogs);
        form = std::make_unique<TForm1>();
        dialog = std::make_unique<TfrmSetting>();
        password = std::make_unique<TForm2>();
        dialog->MainWindow = password->MainWindow = form.get();
        dialog->PasswordDialog = password.get();
        password->SettingDialog = dialog.get();
        dialog->DoShow();
    }
    TfrmSetting& d = *dialog;
    ui::LoadMpConfig(d, fuzz::Put("a.mp", fuzz::Bytes(data, size)));
    for (const toolkit::TComboBox* box : {d.cboScanLevel, d.cboPageSkip, d.cboECC, d.cboRead})
        FUZZ_CHECK(InRange(box));
    FUZZ_CHECK(InRange(d.tbarHideDiskRatio) && InRange(d.UpDownBadThreshold));
    try {
        d.btnApply->Click();
    } catch (const ui::EConvertError&) {
        // a page skip without a selection stops Apply, as the class library's error did
    }
    const ProductionSettings& s = *form;
    FUZZ_CHECK(s.iScanLevel >= -1 && s.iScanLevel < kScanLevels);
    FUZZ_CHECK(s.iPageSkip >= 0 && s.iPageSkip <= 64);
    FUZZ_CHECK(s.eDeviceFeature <= 2);
    FUZZ_CHECK(s.iHideDiskRatio >= 0 && s.iHideDiskRatio <= 100);
    dialogs.Clear();
    return 0;
}
