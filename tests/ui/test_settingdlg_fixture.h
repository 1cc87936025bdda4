#pragma once
// The settings dialog and the password dialog wired to a main window in a program folder.
#include "device/HostUtil.h"
#include "platform/ProgramDir.h"
#include "support/TempDir.h"
#include "toolkit/Dialogs.h"
#include "ui/SettingDlg.h"
#include "ui/Unit2.h"
#include "ui/main.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

class SettingDlgTest : public ::testing::Test {
public:  // table rows reach the fixture from outside
    void SetUp() override
    {
        platform::SetProgramDir(dir.path());
        toolkit::SetDialogs(&dialogs);
        std::filesystem::create_directories(dir.file("misc"));
        form = std::make_unique<TForm1>();
        form->LoadSettings(".\\misc\\prefer.ini");
        dialog = std::make_unique<TfrmSetting>();
        password = std::make_unique<TForm2>();
        dialog->MainWindow = password->MainWindow = form.get();
        dialog->PasswordDialog = password.get();
        password->SettingDialog = dialog.get();
        dialogs.Clear();
    }
    void TearDown() override
    {
        password.reset();
        dialog.reset();
        form.reset();
        toolkit::SetDialogs(nullptr);
    }
    void allowFastBlankCheck(int value = 1) { RegWriteInteger(ui::kFastBlankKey, ui::kFastBlankValue, value); }
    void show() { dialog->DoShow(); }
    std::string makeFile(const std::string& relative, size_t bytes = 16)
    {
        dir.write(relative, std::string(bytes, 'x'));
        return dir.file(relative);
    }
    ProductionSettings& s() { return *form; }
    // The text of the E that f throws; any other outcome fails the test.
    template <class E, class F> static std::string errorOf(F f)
    {
        try {
            f();
        } catch (const E& e) {
            return e.what();
        }
        return "no error";
    }

    testsupport::TempDir dir;
    toolkit::ScriptedDialogs dialogs;
    std::unique_ptr<TForm1> form;
    std::unique_ptr<TfrmSetting> dialog;
    std::unique_ptr<TForm2> password;
};
