// The waiting dialog (TForm3).
#include "ui/Unit3.h"

using namespace toolkit;

TForm3* Form3 = nullptr;

TForm3::TForm3(TWinControl* owner) : TForm("Form3", owner)
{
    SetCaption("Processing");
    SetBounds(0, 0, 341, 124);
    Label1 = Make<TLabel>("Label1");
    Label1->SetBounds(64, 24, 158, 24);  // in a large font (height -19); the model keeps no font size; its text is set when shown
    OnShow = [this](TControl* s) { FormShow(s); };
    if (!Form3)
        Form3 = this;
}

TForm3::~TForm3()
{
    if (Form3 == this)
        Form3 = nullptr;
}

void TForm3::FormShow(TControl*)
{
    Label1->SetCaption("Wating......");
}
