// Each stage that fails ends the run with its own caption in red, the failure picture, the
// "fail!" line in the event log and the fail counter raised; the panel keeps showing the
// failure while the device stays plugged.
#include "StationRun.h"

#include "production/ppthread.h"

using namespace e2e;
using sim::FaultKind;

namespace {

void HiddenImage(TForm1& f, testsupport::SimStation& s, int ratio)
{
    f.eDeviceFeature = 2;
    f.iHideDiskRatio = ratio;
    f.bUseImgFile = true;
    f.ImageFile = s.file("hidden.img");
}

struct Stage {
    const char* name;
    const char* caption;
    Fault fault = {};
    Setup setup = nullptr;
    sim::FlashProfile (*profile)() = sim::Nand128M;
    const char* logLine = nullptr;
};
void PrintTo(const Stage& c, std::ostream* os) { *os << c.name; }
class FailureStage : public StationRun, public ::testing::WithParamInterface<Stage> {};

TEST_P(FailureStage, ShowsItsCaptionAndCountsAFailure)
{
    const Stage& c = GetParam();
    if (c.setup)
        c.setup(*form, *station);
    auto device = Run(c.profile(), c.fault);

    EXPECT_EQ(Status(0), c.caption);
    EXPECT_EQ(Color(0), toolkit::clRed);
    EXPECT_TRUE(form->infoImage1->Visible());
    EXPECT_EQ(form->infoImage1->Picture(), platform::ProgramPath("misc/fail.bmp"));
    EXPECT_TRUE(LogHas("D fail!"));
    EXPECT_EQ(Counters(), "1/0/1");
    ExpectIdle();
    EXPECT_TRUE(form->ProgressBar1->Visible());
    EXPECT_LT(form->ProgressBar1->Progress(), form->ProgressBar1->MaxValue());
    EXPECT_TRUE(!c.logLine || LogHas(c.logLine));
    EXPECT_FALSE(std::filesystem::exists(station->file("NorImage.bin")));
    EXPECT_EQ(FormatToolCalls(*station), c.caption == std::string("Format fail") ? 4 : 0) << "four tries";
    if (form->iSdkType == 1) {
        EXPECT_EQ(device->countOf(0xEF7A), 0u) << "no firmware is sent";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Stages, FailureStage,
    ::testing::Values(
        Stage{"FlashIdUnreadable", "Flash Check fail", {0xEF70, 1, FaultKind::Transport}},
        // The refusal leaves an all-zero ID, which no flash has: no DEFAULT description.
        Stage{"FlashIdRefused", "Flash Check fail", {0xEF70, 1, FaultKind::StatusClear}},
        Stage{"UnknownFlashWithoutDefaultRecord", "FILE Writing fail", {},
              [](TForm1&, testsupport::SimStation& s) { std::filesystem::remove(s.file(sim::kKitDefaultRecord)); },
              sim::NandUnlisted},
        Stage{"DescriptionRefused", "FILE Writing fail", {0xEE71, 1, FaultKind::Transport}},
        Stage{"LoaderInitFails", "FSM initfail", {0xEF97, 1, FaultKind::Transport}},
        Stage{"SmallPageFirmwareOnLargePages", "SDK Ver and NAND Flash no match  fail", {},
              [](TForm1& f, testsupport::SimStation&) { f.iSdkType = 1; }},
        Stage{"ProgramSetupFails", "Program Write Setup fail", {0xEF7A}},
        Stage{"ProgramWriteFailsTenTimes", "Program Writing fail", {0xEE7B, 1, FaultKind::StatusClear, 10}},
        Stage{"ProgramEndFails", "Program Write End fail", {0xEF7C}},
        Stage{"PreferSetupFails", "Prefer Write Setup fail", {0xEF7A, 2}},
        Stage{"PreferWriteFailsTenTimes", "Prefer Writing fail", {0xEE7B, 50, FaultKind::StatusClear, 10}},
        Stage{"ParityFails", "FW Parity Check fail", {0xEF87},
              [](TForm1& f, testsupport::SimStation&) { f.chkParityCheck->SetChecked(true); }},
        Stage{"BadBlockRateOverThreshold", "Please do blanking check", {},
              [](TForm1& f, testsupport::SimStation&) { f.iBadThreshold = 2; }, sim::Nand128MWorn},
        Stage{"StartDiskFails", "Start Diskfail", {0xEF73}},
        Stage{"DiskSizeUnreadable", "Disk Size Error", {0x25, 1, FaultKind::Transport}, nullptr, sim::Nand128M,
              "bGetDiskSizeMB(drive) <= 0"},
        Stage{"FormatFails", "Format fail", {}, [](TForm1&, testsupport::SimStation& s) { BreakFormatTool(s); }},
        Stage{"ImageFileMissing", "IMG file error!", {},
              [](TForm1& f, testsupport::SimStation& s) { HiddenImage(f, s, 50); }},
        Stage{"ImageLargerThanTheHiddenDisk", "Hidden disk too small!", {},
              [](TForm1& f, testsupport::SimStation& s) {
                  HiddenImage(f, s, 10);
                  std::filesystem::resize_file(MakeFile(s, "hidden.img", ""), 64u << 20);
              }},
        Stage{"SpiReadBackFails", "Check Data fail", {0xEF9D, 3, FaultKind::Transport},
              [](TForm1& f, testsupport::SimStation&) { f.chknor->SetChecked(true); f.SaveSpiImage = true; },
              sim::SpiNor4M}),
    [](const ::testing::TestParamInfo<Stage>& info) { return std::string(info.param.name); });

class FailureDetail : public StationRun {};

TEST_F(FailureDetail, MissingPreferDataStopsBeforeThePanelShowsProgress)
{
    form->TntSelectFileList2->Items()->Assign({station->file(sim::kKitFirmware)});
    form->ScanFileList();
    form->iRunningThreads = 1; // another device is running
    auto device = Run(sim::Nand128M());
    EXPECT_EQ(Status(0), "Cannot findprefer.dat");
    EXPECT_EQ(Color(0), toolkit::clRed);
    EXPECT_EQ(device->countOf(0xEF70), 0u) << "the flash was never asked";
    EXPECT_EQ(form->FailStr->Caption(), "1");
    // This run never counted itself among the running ones, so the other stays counted.
    EXPECT_EQ(form->iRunningThreads, 1);
}

TEST_F(FailureDetail, DeviceGoneAtOpenFailsIntoItsOwnPanelOnly)
{
    // Drive D is gone; its panel still holds it, or already holds the device on E.
    auto& s = form->DeviceSlots[0];
    for (const char panelDrive : {'D', 'E'}) {
        const bool own = panelDrive == 'D';
        s.drive = panelDrive;
        form->ProgressBar1->SetVisible(true);
        form->infoImage1->SetVisible(false);
        (new ProductThread('D', 0, s.status, s.gauge, s.image, "", s.textF, s.textP))->Resume();
        toolkit::TThread::WaitForAll();
        EXPECT_EQ(Status(0), own ? "FileHandle fail" : "Waiting device...");
        EXPECT_EQ(Color(0), own ? toolkit::clRed : toolkit::clBtnText);
        EXPECT_EQ(form->infoImage1->Visible(), own);
        EXPECT_TRUE(!own || form->infoImage1->Picture() == platform::ProgramPath("misc/fail.bmp"));
        EXPECT_TRUE(form->ProgressBar1->Visible()) << "a panel that holds a drive is not reset";
        EXPECT_TRUE(LogHas("D fail!"));
        EXPECT_EQ(Counters(), own ? "1/0/1" : "2/0/2");
        EXPECT_EQ(form->iRunningThreads, 0);
    }
    s.drive = 0;
}

} // namespace
