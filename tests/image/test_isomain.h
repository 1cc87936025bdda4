#pragma once
// A program folder, scripted dialogs and a fake clock for the image dialog's tests.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "image/isomain.h"
#include "platform/Clock.h"
#include "platform/ProgramDir.h"
#include "support/TempDir.h"
#include "toolkit/Dialogs.h"
#include "toolkit/TThread.h"

class IsoDialogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::SetProgramDir(program.path());
        platform::SetClock(&clock);
        toolkit::SetDialogs(&dialogs);
    }
    void TearDown() override
    {
        form.reset();
        toolkit::Application->SetEventPump(nullptr);
        toolkit::SetDialogs(nullptr);
        platform::SetClock(nullptr);
    }

    TfrmIsoMain& Create()
    {
        form = std::make_unique<TfrmIsoMain>();
        return *form;
    }
    std::vector<std::string> List() const { return form->TntlstHideFiles->Items()->ToVector(); }

    testsupport::TempDir program;  // the program folder: misc/isoseting.ini, misc/ImgTool.ini
    testsupport::TempDir host;     // the operator's files
    platform::FakeClock clock;
    toolkit::ScriptedDialogs dialogs;
    std::unique_ptr<TfrmIsoMain> form;
};
