// The password dialog (TForm2) that guards the Fast Blanking Check option.
#include "ui/Unit2.h"

#include "text/MessageCatalogue.h"
#include "toolkit/Dialogs.h"
#include "toolkit/TThread.h"
#include "ui/SettingDlg.h"
#include "ui/main.h"

using namespace toolkit;

TForm2* Form2 = nullptr;

namespace {

// The platform's plain message box: OK button, the application's title as caption.
void ShowMessage(const std::string& text)
{
    TheDialogs().MessageBox(text, Application ? Application->Title() : std::string(), MB_OK);
}

} // namespace

TForm2::TForm2(TWinControl* owner) : TForm("Form2", owner)
{
    SetCaption("MP Tool Password");
    SetBounds(0, 0, 226, 186);
    GroupBox1 = Make<TGroupBox>("GroupBox1");
    GroupBox1->SetBounds(8, 8, 201, 97);
    GroupBox1->SetCaption("Password Setting");
    Label1 = GroupBox1->Make<TLabel>("Label1");
    Label1->SetBounds(32, 32, 120, 13);
    Label1->SetCaption("請輸入密碼");
    edtpassword = Make<TEdit>("edtpassword");
    edtpassword->SetBounds(40, 56, 121, 21);
    Button1 = Make<TButton>("Button1");
    Button1->SetBounds(48, 112, 121, 33);
    Button1->SetCaption("Enter");
    Button1->SetDefault(true);  // Enter in the code field enters it

    OnShow = [this](TControl* s) { FormShow(s); };
    OnClose = [this](TControl* s) { FormClose(s); };
    edtpassword->OnClick = [this](TControl* s) { FormShow(s); };
    Button1->OnClick = [this](TControl* s) { Button1Click(s); };
    if (!Form2)
        Form2 = this;
}

TForm2::~TForm2()
{
    if (Form2 == this)
        Form2 = nullptr;
}

TCheckBox* TForm2::target() const
{
    TfrmSetting* dialog = SettingDialog ? SettingDialog : frmSetting;
    return dialog ? dialog->chkFastBlkChk : nullptr;
}

void TForm2::FormShow(TControl*)
{
    edtpassword->SetText("");
    TForm1* main = MainWindow ? MainWindow : Form1;
    unsigned lang = main ? main->LanguageIndex.load() : kLanguageEnglish;
    Label1->SetCaption(MessageCatalogue(kRowEnterPassword, lang));
    GroupBox1->SetCaption(MessageCatalogue(kRowPasswordSetting, lang));
    Button1->SetCaption(MessageCatalogue(kRowInput, lang));
}

void TForm2::Button1Click(TControl*)
{
    int32_t number = 0;
    std::string text = edtpassword->Text();
    if (text.empty())
        ShowMessage("Pls input paaword!");
    else
        number = ui::StrToInt(text);  // a bad text ends here: nothing changes
    StoredCode = number;
    TCheckBox* box = target();
    if (number == ui::kFastBlankAccessCode) {
        if (box)
            box->SetChecked(true);
    } else {
        if (box)
            box->SetChecked(false);
        ShowMessage("Password Error! Pls input correct Password");
    }
    edtpassword->SetText("");
    Close();
}

void TForm2::FormClose(TControl*)
{
    if (TCheckBox* box = target())
        box->SetChecked(StoredCode == ui::kFastBlankAccessCode);
}

void TForm2::Close()
{
    // The view runs OnClose again when the modal showing ends; setting the box from
    // StoredCode twice gives the same state.
    DoClose();
    SetModalResult(mrCancel);
}
