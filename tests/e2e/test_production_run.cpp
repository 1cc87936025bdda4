// Whole runs of the production sequence on simulated devices: a device arrives, the main
// window uploads the loader and starts its thread, and the run ends with a result in the
// panel, the counters and the event log, and a disk that the FAT tools accept.
#include "StationRun.h"

#include "device/HostUtil.h"
#include "platform/ProgramDir.h"
#include "sim/StationKit.h"
#include "toolkit/TThread.h"
#include "ui/LangStrings.h"

#include <gmock/gmock.h>

#include <filesystem>
#include <regex>

using namespace e2e;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

class WholeRun : public StationRun {};

TEST_F(WholeRun, NandDeviceIsProgrammedFormattedLabelledAndFilled)
{
    MakeFile("music/song one.mp3", std::string(70000, 'a'));
    MakeFile("music/album/track.wav", std::string(5000, 'w'));
    MakeFile("extra/UPDATE.BIN", "never copied");
    MakeFile("readme.txt", "hello device\n");
    SetCopyList({"readme.txt", "music", "extra/UPDATE.BIN"});

    auto device = Plug(sim::Nand128M());
    WaitForRuns();

    // Panel: success caption in blue, full gauge, result text, success picture.
    EXPECT_EQ(Status(0), "successful");
    EXPECT_EQ(Color(0), toolkit::clBlue);
    EXPECT_EQ(form->ProgressBar1->MaxValue(), 100) << "no blanking check: 0..100";
    EXPECT_EQ(form->ProgressBar1->Progress(), 100);
    EXPECT_TRUE(form->ProgressBar1->Visible());
    EXPECT_TRUE(form->infoImage1->Visible());
    EXPECT_EQ(form->infoImage1->Picture(), platform::ProgramPath("misc/success.bmp"));
    EXPECT_EQ(form->TextP1->Caption(), "<0-0-0>");
    const uint64_t sectors = device->diskSectors(sim::SimulatedDevice::Disk::User);
    ASSERT_GT(sectors, 0u);
    const std::string mb = std::to_string((sectors - 1) / 2048);
    EXPECT_TRUE(std::regex_match(form->TextF1->Caption(), std::regex(mb + "MB, [0-9]+Sec")))
        << form->TextF1->Caption();

    // Counters and the shared groups.
    EXPECT_EQ(form->TotalStr->Caption(), "1");
    EXPECT_EQ(form->SuccessStr->Caption(), "1");
    EXPECT_EQ(form->FailStr->Caption(), "0");
    EXPECT_EQ(form->iRunningThreads, 0);
    EXPECT_TRUE(form->grpFileList->Enabled());
    EXPECT_TRUE(form->grpMPSetting->Enabled());
    EXPECT_EQ(form->lblsiosize->Caption(), mb + "MB");

    // Event log: the port line, then the result.
    EXPECT_TRUE(LogHas("D Port:0-0-0"));
    EXPECT_TRUE(LogHas("D success!"));

    // The device got the description, the CFG block, the loader init, both data streams.
    EXPECT_TRUE(device->fsmInitDone());
    const auto streams = device->streams();
    ASSERT_GE(streams.size(), 2u);
    EXPECT_TRUE(streams[0].ended);
    EXPECT_EQ(streams[0].received, std::filesystem::file_size(station->file(sim::kKitFirmware)));
    EXPECT_TRUE(streams[1].ended);
    EXPECT_EQ(streams[1].received, std::filesystem::file_size(station->file(sim::kKitPrefer)));

    // The disk: a clean FAT volume with the label and the copied files only.
    const std::string disk = device->userDiskPath();
    ASSERT_FALSE(disk.empty());
    ToolRun check = CheckVolumeFile(disk);
    EXPECT_TRUE(check.ok) << check.output;
    EXPECT_THAT(VolumeLabelOf(disk).output, HasSubstr("MY_AUDIO"));
    ToolRun root = ListVolumeFolder(disk);
    ASSERT_TRUE(root.ok) << root.output;
    EXPECT_THAT(root.output, HasSubstr("readme.txt"));
    EXPECT_THAT(root.output, HasSubstr("music"));
    EXPECT_THAT(root.output, Not(HasSubstr("UPDATE.BIN")));
    EXPECT_THAT(root.output, Not(HasSubstr("program.bin")));
    EXPECT_THAT(root.output, Not(HasSubstr("prefer.dat")));
    ToolRun music = ListVolumeFolder(disk, "::/music/album");
    EXPECT_THAT(music.output, HasSubstr("track.wav"));
    EXPECT_EQ(ReadVolumeFile(disk, "readme.txt").output, "hello device\n");
    EXPECT_EQ(ReadVolumeFile(disk, "music/song one.mp3").output, std::string(70000, 'a'));
}

TEST_F(WholeRun, DeviceOnAUsbPortShowsItsPortIdentity)
{
    Plug(sim::Nand128M(), 3);
    WaitForRuns();
    EXPECT_EQ(Status(0), "successful");
    // The kit's port program gives 103 for port 3: hundreds 1, tens 0, units 3.
    EXPECT_EQ(form->TextP1->Caption(), "<1-0-3>");
    EXPECT_TRUE(LogHas("D Port:1-0-3"));
}

TEST_F(WholeRun, UnknownFlashUsesTheDefaultDescription)
{
    auto device = Plug(sim::NandUnlisted());
    WaitForRuns();
    EXPECT_EQ(Status(0), "successful");
    EXPECT_EQ(device->flashDescription(), sim::FlashRecordFor(sim::DefaultRecordProfile(), false));
    EXPECT_TRUE(CheckVolumeFile(device->userDiskPath()).ok);
}

TEST_F(WholeRun, WithoutFirmwareUpgradeTheRunEndsAfterTheTables)
{
    form->chkFwUpgrade->SetChecked(false);
    auto device = Plug(sim::Nand128M());
    WaitForRuns();
    EXPECT_EQ(Status(0), "successful");
    EXPECT_EQ(form->ProgressBar1->Progress(), 100);
    EXPECT_TRUE(std::regex_match(form->TextF1->Caption(), std::regex("0MB, [0-9]+Sec")))
        << form->TextF1->Caption();
    EXPECT_TRUE(device->fsmInitDone());
    EXPECT_TRUE(device->streams().empty()) << "no firmware, no data";
    EXPECT_TRUE(device->userDiskPath().empty()) << "the disk was never started";
}

TEST_F(WholeRun, ClearFlashScanShowsTheBadBlockFigures)
{
    form->chkClearFlash->SetChecked(true);
    Plug(sim::Nand128M());
    WaitForRuns();
    EXPECT_EQ(Status(0), "successful");
    // Factory-bad blocks 3 and 517 of 1 x 1000 usable blocks.
    EXPECT_TRUE(std::regex_match(form->TextF1->Caption(), std::regex("2/1000, [0-9]+MB, [0-9]+Sec")))
        << form->TextF1->Caption();
}

TEST_F(WholeRun, DegradedDeviceSucceedsWithTheDegradeNote)
{
    // No shortfall allowed: 998 good of 1024 blocks makes the capacity rule degrade it.
    form->AllowErrorRate = 0;
    auto device = Plug(sim::Nand128M());
    WaitForRuns();
    EXPECT_EQ(Status(0), "successful(Degrade)");
    EXPECT_EQ(Color(0), toolkit::clBlue);
    EXPECT_TRUE(LogHas("D success!"));
    EXPECT_TRUE(CheckVolumeFile(device->userDiskPath()).ok);
}

TEST_F(WholeRun, HiddenDiskModeLeavesTwoVolumes)
{
    MakeFile("public.txt", "for everyone\n");
    MakeFile("secret/key.txt", "hidden content\n");
    MakeFile("secret/docs/plan.txt", "plan\n");
    SetCopyList({"public.txt"});
    form->eDeviceFeature = 2;
    form->iHideDiskRatio = 50;
    form->sHideDiskLabel = "HIDDEN";
    form->HideFileList.Assign({station->file("secret/key.txt"), station->file("secret/docs")});

    auto device = Plug(sim::Nand128M());
    WaitForRuns();
    ASSERT_EQ(Status(0), "successful");
    EXPECT_TRUE(LogHas("D success!"));
    EXPECT_EQ(form->ProgressBar1->Progress(), 100);

    const std::string user = device->userDiskPath();
    const std::string hidden = device->hiddenDiskPath();
    ASSERT_FALSE(user.empty());
    ASSERT_FALSE(hidden.empty());
    EXPECT_NE(user, hidden);
    for (const std::string& disk : {user, hidden}) {
        ToolRun check = CheckVolumeFile(disk);
        EXPECT_TRUE(check.ok) << disk << "\n" << check.output;
    }
    EXPECT_THAT(VolumeLabelOf(user).output, HasSubstr("MY_AUDIO"));
    EXPECT_THAT(VolumeLabelOf(hidden).output, HasSubstr("HIDDEN"));
    EXPECT_EQ(ReadVolumeFile(user, "public.txt").output, "for everyone\n");
    EXPECT_THAT(ListVolumeFolder(user).output, Not(HasSubstr("key.txt")));
    EXPECT_EQ(ReadVolumeFile(hidden, "key.txt").output, "hidden content\n");
    EXPECT_EQ(ReadVolumeFile(hidden, "docs/plan.txt").output, "plan\n");
    EXPECT_THAT(ListVolumeFolder(hidden).output, Not(HasSubstr("public.txt")));
}

TEST_F(WholeRun, EightDevicesAtOnceAreCountedExactly)
{
    // Two of the eight refuse to start their disk.
    std::vector<std::shared_ptr<sim::SimulatedDevice>> devices;
    for (int i = 0; i < kDeviceSlots; ++i) {
        auto device = station->bus().plug(sim::Nand128M());
        ASSERT_TRUE(device);
        if (i == 2 || i == 5)
            device->failCommand(0xEF73, 1, sim::FaultKind::StatusClear);
        devices.push_back(device);
    }
    Deliver();
    WaitForRuns();

    int success = 0, fail = 0;
    for (int slot = 0; slot < kDeviceSlots; ++slot) {
        const std::string letter(1, form->DeviceSlots[slot].drive.load());
        ASSERT_NE(letter[0], 0) << slot;
        if (Status(slot) == "successful") {
            ++success;
            EXPECT_TRUE(LogHas(letter + " success!"));
        } else {
            ++fail;
            EXPECT_EQ(Status(slot), "Start Diskfail");
            EXPECT_TRUE(LogHas(letter + " fail!"));
        }
    }
    EXPECT_EQ(success, 6);
    EXPECT_EQ(fail, 2);
    EXPECT_EQ(form->iTotalCount, 8);
    EXPECT_EQ(form->iSuccessCount, 6);
    EXPECT_EQ(form->iFailCount, 2);
    EXPECT_EQ(form->TotalStr->Caption(), "8");
    EXPECT_EQ(form->SuccessStr->Caption(), "6");
    EXPECT_EQ(form->FailStr->Caption(), "2");
    EXPECT_EQ(form->iRunningThreads, 0);
    EXPECT_TRUE(form->grpFileList->Enabled());
    EXPECT_TRUE(form->grpMPSetting->Enabled());
    for (int i = 0; i < kDeviceSlots; ++i)
        if (i != 2 && i != 5)
            EXPECT_TRUE(CheckVolumeFile(devices[i]->userDiskPath()).ok) << i;
}

TEST_F(WholeRun, RemovalDuringTheCopyResetsThePanel)
{
    MakeFile("song.mp3", std::string(4096, 's'));
    SetCopyList({"song.mp3"});
    // The device goes away just before the copy; the window hears of it at once.
    DeliverDirectly(true);
    std::atomic<bool> pulled{false};
    form->ProgressBar1->AddObserver([&](toolkit::TControl& control, toolkit::Prop what) {
        auto& gauge = static_cast<toolkit::TGauge&>(control);
        if (what == toolkit::Prop::Progress && gauge.Progress() == 80 && !pulled.exchange(true))
            station->bus().unplug('D');
    });
    Plug(sim::Nand128M());
    WaitForRuns();

    ASSERT_TRUE(pulled);
    EXPECT_EQ(Status(0), "Waiting device...");
    EXPECT_EQ(Color(0), toolkit::clBtnText);
    EXPECT_FALSE(form->ProgressBar1->Visible());
    EXPECT_EQ(form->ProgressBar1->Progress(), 0);
    EXPECT_FALSE(form->infoImage1->Visible());
    EXPECT_EQ(form->TextF1->Caption(), "");
    EXPECT_EQ(form->TextP1->Caption(), "");
    EXPECT_TRUE(LogHas("D fail!"));
    EXPECT_EQ(form->TotalStr->Caption(), "1");
    EXPECT_EQ(form->FailStr->Caption(), "1");
    EXPECT_EQ(form->iRunningThreads, 0);
}

} // namespace
