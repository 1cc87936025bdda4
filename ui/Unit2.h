#pragma once
// The password dialog that guards the settings dialog's Fast Blanking Check option: the
// box stays ticked only when the number typed equals the access code. The number of the
// last Enter is kept for the life of the program, and every close of the dialog sets the
// box from it, so after one right entry a later close without typing keeps the box ticked.
#include "toolkit/Controls.h"

#include <cstdint>

class TForm1;
class TfrmSetting;

namespace ui {
inline constexpr int32_t kFastBlankAccessCode = 63182954;
} // namespace ui

class TForm2 : public toolkit::TForm {
public:
    // Becomes the global Form2 when there is none yet.
    explicit TForm2(toolkit::TWinControl* owner = nullptr);
    ~TForm2() override;

    toolkit::TGroupBox* GroupBox1;
    toolkit::TLabel* Label1;      // inside GroupBox1
    toolkit::TEdit* edtpassword;  // shows what is typed (no mask)
    toolkit::TButton* Button1;    // Enter

    // The number of the last press of Button1 (0 before the first).
    int32_t StoredCode = 0;

    // Runs on every show and on every click in the edit box.
    void FormShow(toolkit::TControl* Sender);
    // Throws ui::EConvertError for a text that is not an integer; nothing changes then.
    void Button1Click(toolkit::TControl* Sender);
    void FormClose(toolkit::TControl* Sender);
    // Closes the dialog: runs FormClose and ends the modal showing.
    void Close();

    // Seams (null: the global forms Form1 and frmSetting).
    TForm1* MainWindow = nullptr;
    TfrmSetting* SettingDialog = nullptr;

private:
    toolkit::TCheckBox* target() const;
};

extern TForm2* Form2;
