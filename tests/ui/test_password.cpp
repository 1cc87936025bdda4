// The password dialog that guards Fast Blanking Check, and the waiting notice.
#include "ui/test_settingdlg_fixture.h"

#include "toolkit/TThread.h"
#include "ui/Unit3.h"

using namespace toolkit;
using Strings = std::vector<std::string>;

namespace {

class PasswordTest : public SettingDlgTest {
public:
    void SetUp() override
    {
        SettingDlgTest::SetUp();
        Application->SetTitle("MP3 Tool");
        password->DoShow();
    }
    TCheckBox* box() { return dialog->chkFastBlkChk; }
    void enter(const std::string& text)
    {
        password->edtpassword->SetText(text);
        password->Button1->Click();
    }
};

} // namespace

TEST_F(PasswordTest, CaptionsAtCreationAndInTheMainWindowsLanguage)
{
    TForm2 fresh;
    EXPECT_EQ((Strings{fresh.Caption(), fresh.GroupBox1->Caption(), fresh.Label1->Caption(), fresh.Button1->Caption()}),
              (Strings{"MP Tool Password", "Password Setting", "請輸入密碼", "Enter"}));
    const Strings expected[3] = {{"Pls input Password", "Password Setting", "Input"},
                                 {"請輸入密碼", "密碼設定", "輸入"},
                                 {"请输入密码", "密码设定", "输入"}};
    for (unsigned lang : {0u, 1u, 2u}) {
        form->LanguageIndex = lang;
        password->edtpassword->SetText("typed");
        password->DoShow();
        EXPECT_EQ((Strings{password->Label1->Caption(), password->GroupBox1->Caption(), password->Button1->Caption(),
                           password->edtpassword->Text(), password->Caption()}),
                  (Strings{expected[lang][0], expected[lang][1], expected[lang][2], "", "MP Tool Password"}));
    }
}

TEST_F(PasswordTest, EnteredCodeDecidesTheBox)
{
    const std::string wrong = "Password Error! Pls input correct Password";
    struct Row { const char* typed; bool ticked; int32_t stored; Strings messages; } rows[] = {
        {"63182954", true, 63182954, {}},
        {"0063182954", true, 63182954, {}},
        {" 63182954", true, 63182954, {}},
        {"63182955", false, 63182955, {wrong}},
        {"", false, 0, {"Pls input paaword!", wrong}},
    };
    form->LanguageIndex = 2;  // the messages are English in every language
    for (const Row& r : rows) {
        SCOPED_TRACE(r.typed);
        dialogs.Clear();
        box()->SetChecked(!r.ticked);
        password->SetModalResult(mrNone);
        enter(r.typed);
        EXPECT_EQ(box()->Checked(), r.ticked);
        EXPECT_EQ(password->StoredCode, r.stored);
        EXPECT_EQ(password->edtpassword->Text(), "");
        EXPECT_NE(password->ModalResult(), mrNone) << "closed";
        Strings texts;
        for (const auto& m : dialogs.Messages()) {
            texts.push_back(m.text);
            EXPECT_EQ(m.caption, "MP3 Tool");
            EXPECT_EQ(m.flags, MB_OK);
        }
        EXPECT_EQ(texts, r.messages);
    }
}

TEST_F(PasswordTest, TextThatIsNotANumberChangesNothing)
{
    enter("63182954");
    for (const char* bad : {"abc", "99999999999", "6318 2954"}) {
        password->SetModalResult(mrNone);
        password->edtpassword->SetText(bad);
        EXPECT_EQ(errorOf<ui::EConvertError>([&] { password->Button1Click(password->Button1); }),
                  std::string("'") + bad + "' is not a valid integer value");
        EXPECT_EQ(password->StoredCode, 63182954);
        EXPECT_TRUE(box()->Checked());
        EXPECT_EQ(password->edtpassword->Text(), bad);
        EXPECT_EQ(password->ModalResult(), mrNone) << "stays open";
    }
    password->edtpassword->Click();
    EXPECT_EQ(password->edtpassword->Text(), "") << "a click in the edit clears it";
}

TEST_F(PasswordTest, EveryCloseAppliesTheLastEnteredNumber)
{
    box()->SetChecked(true);
    password->DoClose();
    EXPECT_FALSE(box()->Checked()) << "no right entry yet";

    dialogs.onShowModal = [&](TForm&) {
        enter("63182954");
        return mrCancel;
    };
    password->ShowModal();
    box()->SetChecked(false);
    dialogs.onShowModal = [&](TForm& f) {
        f.DoClose();  // the caption bar's close button, nothing typed
        return mrCancel;
    };
    password->ShowModal();
    EXPECT_TRUE(box()->Checked());

    enter("1");
    password->DoClose();
    EXPECT_FALSE(box()->Checked());
}

TEST(WaitingNotice, CreatedHiddenAndCaptionedOnShow)
{
    TForm3 notice;
    EXPECT_EQ(Form3, &notice);
    EXPECT_FALSE(notice.Visible());
    EXPECT_EQ(notice.Caption(), "Processing");
    EXPECT_EQ(notice.Label1->Caption(), "Wating....................");
    notice.DoShow();
    EXPECT_EQ(notice.Label1->Caption(), "Wating......");
}
