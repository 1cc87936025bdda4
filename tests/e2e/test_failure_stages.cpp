// Each stage that fails ends the run with its own caption in red, the failure picture,
// the "fail!" line in the event log and the fail counter raised; the panel keeps showing
// the failure while the device stays plugged.
#include "StationRun.h"

#include "platform/ProgramDir.h"
#include "production/ppthread.h"
#include "sim/StationKit.h"
#include "toolkit/TThread.h"

#include <filesystem>
#include <ostream>

using namespace e2e;

namespace {

struct FaultCase {
    const char* name;
    uint16_t code;            // command that fails (0: none)
    uint32_t nth;             // which of its calls
    sim::FaultKind kind;
    const char* caption;      // the failure caption
    bool parity = false;      // the parity check box on
    bool breakFormat = false; // the format tool refuses
    bool unknownFlash = false;
    bool removeDefaultRecord = false;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class FailureStage : public StationRun, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FailureStage, ShowsItsCaptionAndCountsAFailure)
{
    const FaultCase& c = GetParam();
    form->chkParityCheck->SetChecked(c.parity);
    if (c.breakFormat)
        BreakFormatTool();
    if (c.removeDefaultRecord)
        std::filesystem::remove(station->file(sim::kKitDefaultRecord));

    auto device = station->bus().plug(c.unknownFlash ? sim::NandUnlisted() : sim::Nand128M());
    ASSERT_TRUE(device);
    if (c.code)
        device->failCommand(c.code, c.nth, c.kind);
    Deliver();
    WaitForRuns();

    EXPECT_EQ(Status(0), c.caption);
    EXPECT_EQ(Color(0), toolkit::clRed);
    EXPECT_TRUE(form->infoImage1->Visible());
    EXPECT_EQ(form->infoImage1->Picture(), platform::ProgramPath("misc/fail.bmp"));
    EXPECT_TRUE(LogHas("D fail!"));
    EXPECT_FALSE(LogHas("D success!"));
    EXPECT_EQ(form->TotalStr->Caption(), "1");
    EXPECT_EQ(form->SuccessStr->Caption(), "0");
    EXPECT_EQ(form->FailStr->Caption(), "1");
    EXPECT_EQ(form->iRunningThreads, 0);
    EXPECT_TRUE(form->grpFileList->Enabled());
    EXPECT_TRUE(form->grpMPSetting->Enabled());
    EXPECT_LT(form->ProgressBar1->Progress(), form->ProgressBar1->MaxValue());
}

INSTANTIATE_TEST_SUITE_P(
    Stages, FailureStage,
    ::testing::Values(
        FaultCase{"FlashIdUnreadable", 0xEF70, 1, sim::FaultKind::Transport, "Flash Check fail"},
        FaultCase{"UnknownFlashWithoutDefaultRecord", 0, 0, sim::FaultKind::Transport,
                  "FILE Writing fail", false, false, true, true},
        FaultCase{"DescriptionRefused", 0xEE71, 1, sim::FaultKind::Transport, "FILE Writing fail"},
        FaultCase{"LoaderInitFails", 0xEF97, 1, sim::FaultKind::Transport, "FSM initfail"},
        FaultCase{"ProgramSetupFails", 0xEF7A, 1, sim::FaultKind::StatusClear, "Program Write Setup fail"},
        FaultCase{"ProgramEndFails", 0xEF7C, 1, sim::FaultKind::StatusClear, "Program Write End fail"},
        FaultCase{"PreferSetupFails", 0xEF7A, 2, sim::FaultKind::StatusClear, "Prefer Write Setup fail"},
        FaultCase{"ParityFails", 0xEF87, 1, sim::FaultKind::StatusClear, "FW Parity Check fail", true},
        FaultCase{"StartDiskFails", 0xEF73, 1, sim::FaultKind::StatusClear, "Start Diskfail"},
        FaultCase{"DiskSizeUnreadable", 0x25, 1, sim::FaultKind::Transport, "Disk Size Error"},
        FaultCase{"FormatFails", 0, 0, sim::FaultKind::Transport, "Format fail", false, true}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

class FailureDetail : public StationRun {};

TEST_F(FailureDetail, DiskSizeErrorLeavesItsLogLine)
{
    auto device = station->bus().plug(sim::Nand128M());
    device->failCommand(0x25, 1, sim::FaultKind::Transport);
    Deliver();
    WaitForRuns();
    EXPECT_TRUE(LogHas("bGetDiskSizeMB(drive) <= 0"));
}

TEST_F(FailureDetail, FormatIsTriedFourTimesAndThePanelKeepsTheFailure)
{
    BreakFormatTool();
    auto device = Plug(sim::Nand128M());
    WaitForRuns();
    EXPECT_EQ(Status(0), "Format fail");
    EXPECT_EQ(FormatToolCalls(), 4);
    // The device stays plugged: its failure stays shown until it is removed.
    EXPECT_EQ(form->DeviceSlots[0].drive, 'D');
    EXPECT_TRUE(form->ProgressBar1->Visible());
}

TEST_F(FailureDetail, ProgramWriteIsRetriedUntilItGoesThrough)
{
    auto device = station->bus().plug(sim::Nand128M());
    // Nine broken streams: the tenth attempt (set-up sent again each time) succeeds.
    device->failCommand(0xEE7B, 1, sim::FaultKind::StatusClear, 9);
    Deliver();
    WaitForRuns();
    EXPECT_EQ(Status(0), "successful");
    EXPECT_EQ(device->countOf(0xEF7A), 10u + 1u) << "ten program set-ups, one prefer set-up";
}

TEST_F(FailureDetail, ProgramWriteFailingTenTimesEndsTheRun)
{
    auto device = station->bus().plug(sim::Nand128M());
    device->failCommand(0xEE7B, 1, sim::FaultKind::StatusClear, 10);
    Deliver();
    WaitForRuns();
    EXPECT_EQ(Status(0), "Program Writing fail");
    EXPECT_EQ(device->countOf(0xEF7A), 10u);
}

TEST_F(FailureDetail, MissingPreferDataStopsBeforeThePanelShowsProgress)
{
    form->TntSelectFileList2->Items()->Assign({station->file(sim::kKitFirmware)});
    form->ScanFileList();
    form->iRunningThreads = 1; // another device is running
    auto device = Plug(sim::Nand128M());
    WaitForRuns();
    EXPECT_EQ(Status(0), "Cannot findprefer.dat");
    EXPECT_EQ(Color(0), toolkit::clRed);
    EXPECT_EQ(device->countOf(0xEF70), 0u) << "the flash was never asked";
    EXPECT_EQ(form->FailStr->Caption(), "1");
    // This run never counted itself among the running ones, so the other stays counted.
    EXPECT_EQ(form->iRunningThreads, 1);
}

TEST_F(FailureDetail, DeviceGoneAtOpenStillCounts)
{
    // The panel holds a drive whose device is no longer there.
    form->DeviceSlots[0].drive = 'D';
    auto& s = form->DeviceSlots[0];
    auto* thread = new ProductThread('D', 0, s.status, s.gauge, s.image, "", s.textF, s.textP);
    thread->Resume();
    toolkit::TThread::WaitForAll();
    EXPECT_EQ(Status(0), "FileHandle fail");
    EXPECT_EQ(Color(0), toolkit::clRed);
    EXPECT_TRUE(form->infoImage1->Visible());
    EXPECT_EQ(form->infoImage1->Picture(), platform::ProgramPath("misc/fail.bmp"));
    EXPECT_TRUE(LogHas("D fail!"));
    EXPECT_EQ(form->TotalStr->Caption(), "1");
    EXPECT_EQ(form->FailStr->Caption(), "1");
    EXPECT_EQ(form->iRunningThreads, 0);
    form->DeviceSlots[0].drive = 0;
}

TEST_F(FailureDetail, PanelTakenByAnotherDeviceWaitsForItInsteadOfShowingTheFailure)
{
    // Drive D failed after its panel went to the device on E.
    form->DeviceSlots[0].drive = 'E';
    form->ProgressBar1->SetVisible(true);
    auto& s = form->DeviceSlots[0];
    auto* thread = new ProductThread('D', 0, s.status, s.gauge, s.image, "", s.textF, s.textP);
    thread->Resume();
    toolkit::TThread::WaitForAll();
    EXPECT_EQ(Status(0), "Waiting device...");
    EXPECT_EQ(Color(0), toolkit::clBtnText);
    EXPECT_FALSE(form->infoImage1->Visible()) << "the other device's panel gets no failure picture";
    EXPECT_TRUE(form->ProgressBar1->Visible()) << "a panel that holds a drive is not reset";
    EXPECT_TRUE(LogHas("D fail!"));
    EXPECT_EQ(form->FailStr->Caption(), "1");
    form->DeviceSlots[0].drive = 0;
}

TEST_F(FailureDetail, MissingResultPicturesAreNoFailure)
{
    std::filesystem::remove(station->file(sim::kKitSuccessBmp));
    Plug(sim::Nand128M());
    WaitForRuns();
    EXPECT_EQ(Status(0), "successful");
    EXPECT_FALSE(form->infoImage1->Visible());
}

} // namespace
