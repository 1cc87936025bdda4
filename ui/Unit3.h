#pragma once
// The waiting dialog (TForm3), a waiting notice. It is created at start-up with the other
// forms but nothing shows it.
#include "toolkit/Controls.h"

class TForm3 : public toolkit::TForm {
public:
    // Becomes the global Form3 when there is none yet.
    explicit TForm3(toolkit::TWinControl* owner = nullptr);
    ~TForm3() override;

    toolkit::TLabel* Label1;  // large font (height -19)

    void FormShow(toolkit::TControl* Sender);
};

extern TForm3* Form3;
