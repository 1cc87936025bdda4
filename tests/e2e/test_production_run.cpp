// Whole runs that succeed: a device arrives, the window uploads the loader and starts its
// thread, and the run ends with a result in the panel, the counters and the event log, and
// disks that the FAT tools accept.
#include "StationRun.h"
#include "support/FatCheck.h"

#include <optional>

using namespace e2e;

namespace {

class WholeRun : public StationRun {};

TEST_F(WholeRun, NandDeviceIsProgrammedFormattedLabelledAndFilled)
{
    MakeFile("music/song one.mp3", std::string(70000, 'a'));
    MakeFile("music/album/track.wav", std::string(5000, 'w'));
    MakeFile("extra/UPDATE.BIN", "never copied");
    MakeFile("readme.txt", "hello device\n");
    SetCopyList({"readme.txt", "music", "extra/UPDATE.BIN"});
    form->chkISOupgrade->SetEnabled(true);
    RecordPanel();
    auto device = Run(sim::Nand128M());

    EXPECT_EQ(Status(0), "successful");
    EXPECT_EQ(Color(0), toolkit::clBlue);
    EXPECT_EQ(form->ProgressBar1->MaxValue(), 100) << "no blanking check: 0..100";
    EXPECT_THAT(Steps(), ::testing::ElementsAreArray({2, 5, 10, 17, 20, 21, 25, 30, 35, 75, 80, 85, 95, 100}));
    EXPECT_TRUE(InOrder(Captions(), {"FILE Writing...", "Bad Block Check...", "Write CFG", "FSM init",
                                     "Program Write Setup...", "Program Writing...(program.bin)",
                                     "Program Write End...", "Prefer Write Setup...", "Prefer Writing...",
                                     "Prefer Write End...", "Start Disk", "FormatFAT16...", "Copy Files...",
                                     "successful"}))
        << ::testing::PrintToString(Captions());
    EXPECT_EQ(form->infoImage1->Picture(), platform::ProgramPath("misc/success.bmp"));
    EXPECT_TRUE(form->infoImage1->Visible());
    EXPECT_EQ(form->TextP1->Caption(), "<0-0-0>");
    const uint64_t sectors = device->diskSectors(sim::SimulatedDevice::Disk::User);
    ASSERT_GT(sectors, 0u);
    const std::string mb = std::to_string((sectors - 1) / 2048);
    EXPECT_TRUE(Matches(form->TextF1->Caption(), mb + "MB, [0-9]+Sec")) << form->TextF1->Caption();
    EXPECT_EQ(form->lblsiosize->Caption(), mb + "MB");
    EXPECT_EQ(Counters(), "1/1/0");
    ExpectIdle();
    EXPECT_TRUE(LogHas("D Port:0-0-0"));
    EXPECT_TRUE(LogHas("D success!"));

    EXPECT_TRUE(device->fsmInitDone());
    const auto streams = device->streams();
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_TRUE(streams[0].ended && streams[1].ended);
    EXPECT_EQ(streams[0].received, std::filesystem::file_size(station->file(sim::kKitFirmware)));
    EXPECT_EQ(streams[1].received, std::filesystem::file_size(station->file(sim::kKitPrefer)));

    // A clean FAT volume with the label and the copied files only.
    const std::string disk = device->userDiskPath();
    const ToolRun check = CheckVolumeFile(disk);
    EXPECT_TRUE(check.ok) << check.output;
    EXPECT_THAT(VolumeLabelOf(disk), HasSubstr("MY_AUDIO"));
    const std::string root = ListVolume(disk);
    EXPECT_THAT(root, HasSubstr("music"));
    for (const char* kept : {"UPDATE.BIN", "program.bin", "prefer.dat"})
        EXPECT_THAT(root, Not(HasSubstr(kept)));
    EXPECT_THAT(ListVolume(disk, "::/music/album"), HasSubstr("track.wav"));
    EXPECT_EQ(ReadVolumeFile(disk, "readme.txt"), "hello device\n");
    EXPECT_EQ(ReadVolumeFile(disk, "music/song one.mp3"), std::string(70000, 'a'));
}

struct Variant {
    const char* name;
    const char* status;
    const char* result; // pattern of the result text
    Setup setup;
    sim::FlashProfile (*profile)() = sim::Nand128M;
};
void PrintTo(const Variant& v, std::ostream* os) { *os << v.name; }
class RunVariant : public StationRun, public ::testing::WithParamInterface<Variant> {};

TEST_P(RunVariant, EndsWithItsResult)
{
    const Variant& v = GetParam();
    v.setup(*form, *station);
    RecordPanel();
    auto device = Run(v.profile());
    EXPECT_EQ(Status(0), v.status);
    EXPECT_EQ(Color(0), toolkit::clBlue);
    EXPECT_TRUE(LogHas("D success!"));
    EXPECT_TRUE(Matches(form->TextF1->Caption(), v.result)) << form->TextF1->Caption();
    // The blanking check alone scales the gauge to 400 (its steps at B + 5 and B + 75).
    const bool blanking = form->chkBlankCheck->Checked();
    EXPECT_EQ(form->ProgressBar1->MaxValue(), blanking ? 400 : 100);
    EXPECT_EQ(form->ProgressBar1->Progress(), form->ProgressBar1->MaxValue());
    EXPECT_EQ(device->countOf(0xEF93) > 0, blanking) << "page scans of the blanking check";
    EXPECT_TRUE(!blanking || ::testing::Value(Steps(), ::testing::IsSupersetOf({305, 375})));
    EXPECT_EQ(form->infoImage1->Visible(), std::filesystem::exists(station->file(sim::kKitSuccessBmp)));
    EXPECT_EQ(FormatToolCalls(*station), 0);
    const bool unlisted = v.profile == sim::NandUnlisted;
    EXPECT_TRUE(!unlisted || device->flashDescription() == sim::FlashRecordFor(sim::DefaultRecordProfile(), false));
    if (!form->chkFwUpgrade->Checked()) {
        EXPECT_TRUE(device->streams().empty()) << "no firmware, no data";
        EXPECT_TRUE(device->userDiskPath().empty()) << "the disk was never started";
    } else {
        EXPECT_TRUE(CheckVolumeFile(device->userDiskPath()).ok);
        EXPECT_THAT(VolumeLabelOf(device->userDiskPath()), HasSubstr("MY_AUDIO"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Runs, RunVariant,
    ::testing::Values(
        // An unlisted flash is described to the device by the DEFAULT record.
        Variant{"UnknownFlashTakesTheDefaultDescription", "successful", "[0-9]+MB, [0-9]+Sec",
                [](TForm1&, testsupport::SimStation&) {}, sim::NandUnlisted},
        Variant{"WithoutFirmwareEndsAfterTheTables", "successful", "0MB, [0-9]+Sec",
                [](TForm1& f, testsupport::SimStation&) { f.chkFwUpgrade->SetChecked(false); }},
        // Factory-bad blocks 3 and 517 of 1 x 1016 usable blocks.
        Variant{"ClearFlashShowsTheBadBlocks", "successful", "2/1016, [0-9]+MB, [0-9]+Sec",
                [](TForm1& f, testsupport::SimStation&) { f.chkClearFlash->SetChecked(true); }},
        // The worn flash's 3 % bad-block rate is at the threshold and passes; the kit's own
        // 2 % allowed shortfall halves its size.
        Variant{"WornFlashIsDegradedAtTheBadBlockThreshold", "successful(Degrade)", "[0-9]+MB, [0-9]+Sec",
                [](TForm1& f, testsupport::SimStation&) { f.iBadThreshold = 3; }, sim::Nand128MWorn},
        Variant{"RegisteredBlocksPerChipTakesEveryBlockAsGoodOverTheThreshold", "successful", "[0-9]+MB, [0-9]+Sec",
                [](TForm1& f, testsupport::SimStation&) { f.iBadThreshold = 2; RegWriteInteger(kProductionRegistryKey, "BlocksPerChip", 1024); },
                sim::Nand128MWorn},
        // With both scan boxes checked only the blanking check runs.
        Variant{"BlankingCheck", "successful", "[0-9]+/1016, [0-9]+MB, [0-9]+Sec",
                [](TForm1& f, testsupport::SimStation& s) {
                    f.chkBlankCheck->SetChecked(true);
                    f.chkClearFlash->SetChecked(true);
                    f.iScanLevel = 0;
                    std::filesystem::remove(s.file(sim::kKitSuccessBmp)); // a missing picture is no failure
                }},
        // A 108 MB system area leaves an 18 MB disk, labelled but not formatted.
        Variant{"SmallDiskIsNotFormatted", "successful", "18MB, [0-9]+Sec",
                [](TForm1& f, testsupport::SimStation& s) {
                    f.SystemAreachk->SetChecked(true);
                    f.SystemAreaComBo->SetItemIndex(26);
                    BreakFormatTool(s);
                }}),
    [](const ::testing::TestParamInfo<Variant>& info) { return std::string(info.param.name); });

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
    auto device = Run(sim::Nand128M());
    ASSERT_EQ(Status(0), "successful");

    const std::string user = device->userDiskPath(), hidden = device->hiddenDiskPath();
    ASSERT_FALSE(user.empty() || hidden.empty());
    for (const std::string& disk : {user, hidden}) {
        const ToolRun check = CheckVolumeFile(disk);
        EXPECT_TRUE(check.ok) << disk << "\n" << check.output;
    }
    EXPECT_THAT(VolumeLabelOf(user), HasSubstr("MY_AUDIO"));
    EXPECT_THAT(VolumeLabelOf(hidden), HasSubstr("HIDDEN"));
    EXPECT_EQ(ReadVolumeFile(user, "public.txt"), "for everyone\n");
    EXPECT_THAT(ListVolume(user), Not(HasSubstr("key.txt")));
    EXPECT_EQ(ReadVolumeFile(hidden, "key.txt"), "hidden content\n");
    EXPECT_EQ(ReadVolumeFile(hidden, "docs/plan.txt"), "plan\n");
    EXPECT_THAT(ListVolume(hidden), Not(HasSubstr("public.txt")));
}

TEST_F(WholeRun, EightDevicesAtOnceAreCountedExactly)
{
    std::vector<std::shared_ptr<sim::SimulatedDevice>> devices;
    for (int i = 0; i < kDeviceSlots; ++i) {
        devices.push_back(station->bus().plug(sim::Nand128M()));
        ASSERT_TRUE(devices.back());
        if (i == 2 || i == 5) // these two refuse to start their disk
            devices.back()->failCommand(0xEF73, 1, sim::FaultKind::StatusClear);
    }
    Deliver();
    WaitForRuns();

    int success = 0;
    for (int slot = 0; slot < kDeviceSlots; ++slot) {
        const std::string letter(1, form->DeviceSlots[slot].drive.load());
        ASSERT_NE(letter[0], 0) << slot;
        const bool ok = Status(slot) == "successful";
        success += ok;
        EXPECT_EQ(Status(slot), ok ? "successful" : "Start Diskfail");
        EXPECT_TRUE(LogHas(letter + (ok ? " success!" : " fail!")));
    }
    EXPECT_EQ(success, 6);
    EXPECT_EQ(Counters(), "8/6/2");
    ExpectIdle();
    for (int i : {0, 1, 3, 4, 6, 7})
        EXPECT_TRUE(CheckVolumeFile(devices[i]->userDiskPath()).ok) << i;
}

TEST_F(WholeRun, EveryRunWritesTheProgramFileItsOwnLookupChose)
{
    // The 1G flash's description asks for module 1, which only program_m1.bin is built for.
    sim::FlashProfile module1 = sim::Nand1G();
    module1.moduleNumber = 1;
    const auto record = sim::FlashRecordFor(module1, false);
    MakeFile("flash/" + sim::FlashIdText(module1) + ".txt", std::string(record.begin(), record.end()));
    const std::string program = ReadFile(station->file(sim::kKitFirmware));
    std::string programM1 = program;
    programM1[sim::kFirmwareModuleBlockOffset + 2] = 1;
    MakeFile("program_m1.bin", programM1);
    SetCopyList({"program_m1.bin"});
    ASSERT_EQ(form->iProgramIndex, 2) << "the list's firmware entry, which SPI runs take";

    // Three runs at once, then an SPI run after a run that chose program.bin.
    std::vector<std::shared_ptr<sim::SimulatedDevice>> devices;
    for (const auto& profile : {sim::Nand128M(), module1, sim::SpiNor4M()})
        devices.push_back(station->bus().plug(profile));
    Deliver();
    WaitForRuns();
    devices.push_back(Run(sim::Nand128M()));
    devices.push_back(Run(sim::SpiNor4M()));

    const std::string* own[] = {&program, &programM1, &programM1, &program, &programM1};
    for (size_t i = 0; i < devices.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Status(int(i)), "successful");
        const auto streams = devices[i]->streams();
        ASSERT_FALSE(streams.empty());
        EXPECT_TRUE(std::string(streams[0].data.begin(), streams[0].data.end()) == *own[i]);
    }
    EXPECT_EQ(form->iProgramIndex, 2);
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
    Run(sim::Nand128M());

    ASSERT_TRUE(pulled);
    EXPECT_EQ(Status(0), "Waiting device...");
    EXPECT_EQ(Color(0), toolkit::clBtnText);
    EXPECT_FALSE(form->ProgressBar1->Visible());
    EXPECT_EQ(form->ProgressBar1->Progress(), 0);
    EXPECT_FALSE(form->infoImage1->Visible());
    EXPECT_EQ(form->TextF1->Caption(), "");
    EXPECT_EQ(form->TextP1->Caption(), "");
    EXPECT_TRUE(LogHas("D fail!"));
    EXPECT_EQ(Counters(), "1/0/1");
    EXPECT_EQ(form->iRunningThreads, 0);
}


// Chinese stations: the label lands on the volume in the station's code page, and reads
// back equal to the label box, so a second run without the format box leaves it alone.
struct Station {
    const char* name, *locale, *label;
    std::string stored;
    platform::CodePage codePage;
};
void PrintTo(const Station& s, std::ostream* os) { *os << s.name; }
class ChineseStation : public StationRun, public ::testing::WithParamInterface<Station> {
protected:
    void SetUp() override
    {
        const char* saved = std::getenv("LC_ALL");
        savedLocale_ = saved ? std::optional<std::string>(saved) : std::nullopt;
        setenv("LC_ALL", GetParam().locale, 1);
        StationRun::SetUp();
    }
    void TearDown() override
    {
        StationRun::TearDown();
        savedLocale_ ? setenv("LC_ALL", savedLocale_->c_str(), 1) : unsetenv("LC_ALL");
    }

private:
    std::optional<std::string> savedLocale_;
};

TEST_P(ChineseStation, LabelsInItsCodePageAndKeepsAnEqualLabel)
{
    const Station& s = GetParam();
    form->LabelEdit->SetText(s.label);
    SetCopyList({MakeFile("\u6b4c/\u97f3\u4e50.mp3", "song")});
    auto device = Run(sim::Nand128M());
    ASSERT_EQ(Status(0), "successful");
    const std::string disk = device->userDiskPath();
    EXPECT_EQ(testsupport::ReadRawLabels(disk).root, s.stored);
    EXPECT_EQ(platform::ReadVolumeLabel(disk, s.codePage), s.label);
    const testsupport::FsckVerdict verdict = testsupport::CheckFat(disk);
    EXPECT_TRUE(verdict.clean) << verdict.output;

    form->chkFormat->SetChecked(false);
    RecordPanel();
    Rerun(device);
    ASSERT_EQ(Status(0), "successful");
    for (const std::string& c : Captions())
        EXPECT_NE(c.rfind("Set Volume Label", 0), 0u) << c;
    EXPECT_EQ(testsupport::ReadRawLabels(disk).root, s.stored);
}

INSTANTIATE_TEST_SUITE_P(
    Stations, ChineseStation,
    ::testing::Values(
        Station{"SimplifiedGbk", "zh_CN.UTF-8", "\u97f3\u4e50\u64ad\u653e\u5668", // 音乐播放器
                "\xd2\xf4\xc0\xd6\xb2\xa5\xb7\xc5\xc6\xf7 ", platform::CodePage::Gbk},
        Station{"TraditionalBig5", "zh_TW.UTF-8", "\u97f3\u6a02\u64ad\u653e\u5668", // 音樂播放器
                "\xad\xb5\xbc\xd6\xbc\xbd\xa9\xf1\xbe\xb9 ", platform::CodePage::Big5}),
    [](const ::testing::TestParamInfo<Station>& info) { return std::string(info.param.name); });

TEST_F(WholeRun, ALabelTooLongForTheCodePageFailsTheLabelStepWithTheReasonLogged)
{
    const char* saved = std::getenv("LC_ALL");
    const std::string savedLocale = saved ? saved : "";
    setenv("LC_ALL", "zh_CN.UTF-8", 1);
    form->LabelEdit->SetText("\u6211\u7684\u97f3\u4e50\u64ad\u653e\u5668"); // 我的音乐播放器: 14 bytes in GBK
    auto device = Run(sim::Nand128M());
    saved ? setenv("LC_ALL", savedLocale.c_str(), 1) : unsetenv("LC_ALL");
    EXPECT_EQ(Status(0), "Set Volume Label fail");
    EXPECT_EQ(Color(0), toolkit::clRed);
    EXPECT_TRUE(LogHas("Set Volume Label D: the label \"\u6211\u7684\u97f3\u4e50\u64ad\u653e\u5668\" is refused: it is 14 bytes "
                       "in code page 936 (GBK), longer than the 11 bytes a FAT label holds"));
    EXPECT_EQ(testsupport::ReadRawLabels(device->userDiskPath()).boot, "NO NAME    ") << "the fresh volume keeps no label";
}

} // namespace
