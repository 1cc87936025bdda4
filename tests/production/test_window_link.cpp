// The engine reads its settings from the main window and writes the few things it owns there.
#include "ProductionFixture.h"

#include "production/BlockTables.h"
#include "production/Firmware.h"
#include "toolkit/Dialogs.h"
#include "ui/main.h"

namespace {

class MainWindowLink : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::SetProgramDir(dir.path());
        toolkit::SetDialogs(&dialogs);
        production::SetWindowLink(nullptr);
        form = std::make_unique<TForm1>();
        auto& s = form->DeviceSlots[0];
        thread = std::make_unique<ProductThread>('E', 0, s.status, s.gauge, s.image, "", s.textF, s.textP);
    }
    void TearDown() override
    {
        thread.reset();
        form.reset();
        toolkit::SetDialogs(nullptr);
    }

    testsupport::TempDir dir;
    toolkit::ScriptedDialogs dialogs;
    std::unique_ptr<TForm1> form;
    std::unique_ptr<ProductThread> thread;
};

TEST_F(MainWindowLink, SystemAreaLabelAndWarningGoToTheWindowButNotTheRunsProgramChoice)
{
    thread->iPageSize = 2048;
    thread->iPagesPerBlock = 64;
    form->SystemAreachk->SetChecked(true); // its handler rescans the copy list
    form->SystemAreaComBo->SetItemIndex(0);
    form->iFirmwareSize = 10 << 20;
    dialogs.Clear();
    EXPECT_EQ(CalcSystemAreaBlocks(*thread), 1u);
    EXPECT_EQ(form->labSystemArea->Caption(), "System Area Size: 4MB");
    const auto boxes = dialogs.Messages();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "The system area size you set is too small!");
    EXPECT_EQ(boxes[0].caption, "Warning");
    EXPECT_EQ(boxes[0].flags & toolkit::MB_ICONMASK, toolkit::MB_ICONWARNING);

    form->TntSelectFileList2->Items()->Assign({dir.file("none/program.bin")});
    form->iProgramIndex = 3;
    EXPECT_EQ(FindProgramBin(*thread), 0);
    EXPECT_EQ(thread->iProgramIndex, -1);
    EXPECT_EQ(form->iProgramIndex, 3) << "the window's classification is the window's own";
}

TEST(WindowLinkDefaults, WithoutAWindowAFreshStationsSettingsApply)
{
    ASSERT_EQ(Form1, nullptr);
    production::SetWindowLink(nullptr);
    EXPECT_EQ(production::Window().EccLevel(), 2);
    EXPECT_TRUE(production::Window().FwUpgradeChecked());
}

} // namespace
