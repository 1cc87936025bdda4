// The password dialog that guards Fast Blanking Check, and the waiting notice.
#include "ui/test_settingdlg_fixture.h"

#include "toolkit/TThread.h"
#include "ui/MessageCatalogue.h"
#include "ui/Unit3.h"

using namespace toolkit;

namespace {

class PasswordTest : public SettingDlgTest {
public:
    void SetUp() override
    {
        SettingDlgTest::SetUp();
        if (Application)
            Application->SetTitle("MP3 Tool");
        box()->SetChecked(false);
        password->DoShow();
    }
    TCheckBox* box() { return dialog->chkFastBlkChk; }
    void enter(const std::string& text)
    {
        password->edtpassword->SetText(text);
        password->Button1->Click();
    }
    std::vector<std::string> messageTexts()
    {
        std::vector<std::string> out;
        for (const auto& m : dialogs.Messages())
            out.push_back(m.text);
        return out;
    }
};

} // namespace

TEST_F(PasswordTest, FormLayout)
{
    TForm2 fresh;
    EXPECT_EQ(fresh.Caption(), "MP Tool Password");
    EXPECT_EQ(fresh.Width(), 226);
    EXPECT_EQ(fresh.Height(), 186);
    EXPECT_EQ(fresh.GroupBox1->Caption(), "Password Setting");
    EXPECT_EQ(fresh.Label1->Caption(), "請輸入密碼");
    EXPECT_EQ(fresh.Label1->Parent(), fresh.GroupBox1);
    EXPECT_EQ(fresh.Button1->Caption(), "Enter");
    EXPECT_EQ(fresh.edtpassword->Text(), "");
    EXPECT_EQ(fresh.StoredCode, 0);
    EXPECT_EQ((std::vector<int>{fresh.edtpassword->Left(), fresh.edtpassword->Top(), fresh.edtpassword->Width(),
                                fresh.edtpassword->Height()}),
              (std::vector<int>{40, 56, 121, 21}));
    EXPECT_EQ((std::vector<int>{fresh.Button1->Left(), fresh.Button1->Top(), fresh.Button1->Width(),
                                fresh.Button1->Height()}),
              (std::vector<int>{48, 112, 121, 33}));
}

TEST_F(PasswordTest, ShowingCaptionsInTheMainWindowsLanguage)
{
    const char* const expected[3][3] = {
        {"Pls input Password", "Password Setting", "Input"},
        {"請輸入密碼", "密碼設定", "輸入"},
        {"请输入密码", "密码设定", "输入"},
    };
    for (unsigned lang : {0u, 1u, 2u}) {
        SCOPED_TRACE(lang);
        form->LanguageIndex = lang;
        password->edtpassword->SetText("typed");
        password->DoShow();
        EXPECT_EQ(password->edtpassword->Text(), "");
        EXPECT_EQ(password->Label1->Caption(), expected[lang][0]);
        EXPECT_EQ(password->GroupBox1->Caption(), expected[lang][1]);
        EXPECT_EQ(password->Button1->Caption(), expected[lang][2]);
        EXPECT_EQ(password->Label1->Caption(), MessageCatalogue(88, lang));
        EXPECT_EQ(password->Caption(), "MP Tool Password");
    }
}

TEST_F(PasswordTest, RightCodeTicksTheBoxSilently)
{
    for (const char* code : {"63182954", "0063182954", " 63182954"}) {
        SCOPED_TRACE(code);
        box()->SetChecked(false);
        password->SetModalResult(mrNone);
        enter(code);
        EXPECT_TRUE(box()->Checked());
        EXPECT_TRUE(dialogs.Messages().empty());
        EXPECT_EQ(password->StoredCode, 63182954);
        EXPECT_EQ(password->edtpassword->Text(), "");
        EXPECT_NE(password->ModalResult(), mrNone) << "closed";
    }
}

TEST_F(PasswordTest, WrongNumberGivesOneMessage)
{
    box()->SetChecked(true);
    enter("63182955");
    EXPECT_FALSE(box()->Checked());
    ASSERT_EQ(dialogs.Messages().size(), 1u);
    EXPECT_EQ(dialogs.Messages()[0].text, "Password Error! Pls input correct Password");
    EXPECT_EQ(dialogs.Messages()[0].caption, "MP3 Tool");
    EXPECT_EQ(dialogs.Messages()[0].flags, MB_OK);
    EXPECT_EQ(password->StoredCode, 63182955);
    EXPECT_NE(password->ModalResult(), mrNone);
}

TEST_F(PasswordTest, EmptyEntryGivesTwoMessagesInEveryLanguage)
{
    form->LanguageIndex = 2;
    password->DoShow();
    box()->SetChecked(true);
    enter("");
    EXPECT_EQ(messageTexts(), (std::vector<std::string>{"Pls input paaword!", "Password Error! Pls input correct Password"}));
    EXPECT_FALSE(box()->Checked());
    EXPECT_EQ(password->StoredCode, 0);
    EXPECT_NE(password->ModalResult(), mrNone);
}

TEST_F(PasswordTest, TextThatIsNotANumberChangesNothing)
{
    enter("63182954");
    for (const char* bad : {"abc", "99999999999", "6318 2954"}) {
        SCOPED_TRACE(bad);
        password->SetModalResult(mrNone);
        password->edtpassword->SetText(bad);
        try {
            password->Button1Click(password->Button1);
            ADD_FAILURE() << "accepted";
        } catch (const ui::EConvertError& e) {
            EXPECT_EQ(std::string(e.what()), std::string("'") + bad + "' is not a valid integer value");
        }
        EXPECT_EQ(password->StoredCode, 63182954);
        EXPECT_TRUE(box()->Checked());
        EXPECT_EQ(password->edtpassword->Text(), bad);
        EXPECT_EQ(password->ModalResult(), mrNone) << "stays open";
    }
}

TEST_F(PasswordTest, ClickInTheEditClearsIt)
{
    password->edtpassword->SetText("6318");
    password->edtpassword->Click();
    EXPECT_EQ(password->edtpassword->Text(), "");
}

TEST_F(PasswordTest, EveryCloseAppliesTheLastEnteredNumber)
{
    // Before any right entry, closing with the close box unchecks.
    box()->SetChecked(true);
    password->DoClose();
    EXPECT_FALSE(box()->Checked());

    // Once the code was right, a later showing closed without typing keeps it ticked.
    dialogs.onShowModal = [&](TForm&) {
        password->edtpassword->SetText("63182954");
        password->Button1->Click();
        return mrCancel;
    };
    password->ShowModal();
    EXPECT_TRUE(box()->Checked());
    box()->SetChecked(false);
    dialogs.onShowModal = [&](TForm& f) {
        EXPECT_EQ(password->edtpassword->Text(), "") << "cleared on show";
        f.DoClose();  // the caption bar's close button
        return mrCancel;
    };
    password->ShowModal();
    EXPECT_TRUE(box()->Checked());

    // A wrong entry later unchecks again for every close.
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
    EXPECT_EQ(notice.Width(), 341);
    EXPECT_EQ(notice.Height(), 124);
    EXPECT_EQ(notice.Label1->Caption(), "Wating....................");
    EXPECT_EQ((std::vector<int>{notice.Label1->Left(), notice.Label1->Top(), notice.Label1->Width(), notice.Label1->Height()}),
              (std::vector<int>{64, 24, 158, 24}));
    notice.DoShow();
    EXPECT_EQ(notice.Label1->Caption(), "Wating......");
}
