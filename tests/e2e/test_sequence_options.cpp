// The options of the production sequence on whole runs: the progress steps and stage
// captions, the blanking check's gauge, the data files of the copy list, small disks,
// relabelling without a format, the encrypted and image-file hidden parts, SPI devices,
// and the device's own bad-block table.
#include "StationRun.h"

#include "device/HostUtil.h"
#include "platform/ProgramDir.h"
#include "platform/VolumeTools.h"
#include "sim/StationKit.h"
#include "toolkit/TThread.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>

using namespace e2e;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

class Sequence : public StationRun {
protected:
    // True when `wanted` appears in `all` in this order (other entries may come between).
    static bool InOrder(const std::vector<std::string>& all, const std::vector<std::string>& wanted)
    {
        auto it = all.begin();
        for (const std::string& w : wanted) {
            it = std::find(it, all.end(), w);
            if (it == all.end())
                return false;
            ++it;
        }
        return true;
    }
    static std::vector<int> Distinct(const std::vector<int>& steps)
    {
        std::vector<int> out;
        for (int s : steps)
            if (out.empty() || out.back() != s)
                out.push_back(s);
        return out;
    }
    std::string MakeFatImage(const std::string& relative, uint32_t mib, const std::string& label)
    {
        const std::string path = station->file(relative);
        {
            std::ofstream out(path, std::ios::binary);
            out.seekp(static_cast<std::streamoff>(mib) * 1024 * 1024 - 1);
            out.put('\0');
        }
        EXPECT_TRUE(platform::FormatVolume(path, 0, true).ok);
        EXPECT_TRUE(platform::WriteVolumeLabel(path, label).ok);
        return path;
    }
};

TEST_F(Sequence, PlainRunMovesThroughItsStepsAndCaptions)
{
    MakeFile("song.mp3", "la");
    SetCopyList({"song.mp3"});
    form->chkISOupgrade->SetEnabled(true);
    RecordPanel();
    Plug(sim::Nand128M());
    WaitForRuns();
    ASSERT_EQ(Status(0), "successful");
    EXPECT_THAT(Distinct(Steps()),
                ElementsAreArray({2, 5, 10, 17, 20, 21, 25, 30, 35, 75, 80, 85, 95, 100}));
    EXPECT_TRUE(InOrder(Captions(), {"FILE Writing...", "Bad Block Check...", "Write CFG", "FSM init",
                                     "Program Write Setup...", "Program Writing...(program.bin)",
                                     "Program Write End...", "Prefer Write Setup...", "Prefer Writing...",
                                     "Prefer Write End...", "Start Disk", "FormatFAT16...", "Copy Files...",
                                     "successful"}))
        << ::testing::PrintToString(Captions());
}

TEST_F(Sequence, BlankingCheckScalesTheGaugeToFourHundred)
{
    // With both scan boxes checked only the blanking check runs.
    form->chkBlankCheck->SetChecked(true);
    form->chkClearFlash->SetChecked(true);
    form->iScanLevel = 0;
    RecordPanel();
    auto device = Plug(sim::Nand128M());
    WaitForRuns();
    ASSERT_EQ(Status(0), "successful") << ::testing::PrintToString(Captions());
    EXPECT_EQ(form->ProgressBar1->MaxValue(), 400);
    EXPECT_EQ(form->ProgressBar1->Progress(), 400);
    EXPECT_GT(device->countOf(0xEF93), 0u) << "page scans of the blanking check";
    const std::vector<int> steps = Distinct(Steps());
    EXPECT_NE(std::find(steps.begin(), steps.end(), 305), steps.end()) << "B + 5";
    EXPECT_NE(std::find(steps.begin(), steps.end(), 375), steps.end()) << "B + 75";
    EXPECT_TRUE(std::regex_match(form->TextF1->Caption(), std::regex("[0-9]+/1000, [0-9]+MB, [0-9]+Sec")))
        << form->TextF1->Caption();
}

TEST_F(Sequence, DisabledIsoBoxMovesThePreferStepsButTheImageIsStillWritten)
{
    MakeFile("cd/image.iso", std::string(6000, 'i'));
    SetCopyList({"cd/image.iso"});
    form->chkISOupgrade->SetChecked(true);
    form->chkISOupgrade->SetEnabled(false);
    RecordPanel();
    auto device = Plug(sim::Nand128M());
    WaitForRuns();
    ASSERT_EQ(Status(0), "successful");
    EXPECT_THAT(Distinct(Steps()),
                ElementsAreArray({2, 5, 10, 17, 20, 21, 30, 35, 40, 45, 50, 75, 80, 85, 95, 100}));
    const auto streams = device->streams();
    ASSERT_EQ(streams.size(), 3u);
    EXPECT_EQ(streams[2].received, 6000u);
    EXPECT_THAT(ListVolumeFolder(device->userDiskPath()).output, Not(HasSubstr("image.iso")));
}

TEST_F(Sequence, PhoneBookIsWrittenFromTheSecondListPositionOn)
{
    const std::string program = station->file(sim::kKitFirmware);
    const std::string prefer = station->file(sim::kKitPrefer);
    const std::string telbook = station->file(sim::kKitTelbook);
    const auto size = std::filesystem::file_size(telbook);
    // First position: not used (and not copied either).
    form->TntSelectFileList2->Items()->Assign({telbook, program, prefer});
    form->ScanFileList();
    ASSERT_EQ(form->iTelbookIndex, 0);
    auto first = Plug(sim::Nand128M());
    WaitForRuns();
    ASSERT_EQ(Status(0), "successful");
    EXPECT_EQ(first->streams().size(), 2u);
    EXPECT_THAT(ListVolumeFolder(first->userDiskPath()).output, Not(HasSubstr("telbook")));

    station->bus().unplug(first);
    Deliver();
    form->TntSelectFileList2->Items()->Assign({program, telbook, prefer});
    form->ScanFileList();
    ASSERT_EQ(form->iTelbookIndex, 1);
    RecordPanel();
    auto second = Plug(sim::Nand128M());
    WaitForRuns();
    ASSERT_EQ(Status(0), "successful");
    const auto streams = second->streams();
    ASSERT_EQ(streams.size(), 3u);
    EXPECT_EQ(streams[2].received, size);
    EXPECT_TRUE(InOrder(Captions(), {"Telbook Write Setup...", "Telbook Writing...", "Telbook Write End..."}));
}

TEST_F(Sequence, PhoneBookIndexPastTheListIsNoPhoneBook)
{
    form->iTelbookIndex = 7;
    auto device = Plug(sim::Nand128M());
    WaitForRuns();
    EXPECT_EQ(Status(0), "successful");
    EXPECT_EQ(device->streams().size(), 2u);
}

TEST_F(Sequence, ProgramRetriesShowTheirNumber)
{
    RecordPanel();
    auto device = station->bus().plug(sim::Nand128M());
    device->failCommand(0xEE7B, 1, sim::FaultKind::StatusClear, 9);
    Deliver();
    WaitForRuns();
    ASSERT_EQ(Status(0), "successful");
    const auto captions = Captions();
    EXPECT_TRUE(InOrder(captions, {"Program Writing Retry 1", "Program Writing Retry 9", "Program Write End..."}));
    EXPECT_EQ(std::count(captions.begin(), captions.end(), "Program Writing Retry 10"), 0);
}

TEST_F(Sequence, SmallDiskIsLabelledButNotFormatted)
{
    // A 108 MB system area leaves a 16 MB disk; a format attempt would fail here.
    form->SystemAreachk->SetChecked(true);
    form->SystemAreaComBo->SetItemIndex(26);
    BreakFormatTool();
    auto device = Plug(sim::Nand128M());
    WaitForRuns();
    ASSERT_EQ(Status(0), "successful");
    EXPECT_TRUE(std::regex_match(form->TextF1->Caption(), std::regex("16MB, [0-9]+Sec")))
        << form->TextF1->Caption();
    EXPECT_THAT(VolumeLabelOf(device->userDiskPath()).output, HasSubstr("MY_AUDIO"));
    EXPECT_EQ(FormatToolCalls(), 0);
}

TEST_F(Sequence, ReadableDiskWithItsLabelIsNeitherFormattedNorRelabelled)
{
    MakeFile("first.txt", "one");
    SetCopyList({"first.txt"});
    auto device = Plug(sim::Nand128M());
    WaitForRuns();
    ASSERT_EQ(Status(0), "successful");

    // Second run on the same device: no format box, the label already there.
    station->bus().unplug(device);
    Deliver();
    form->chkFormat->SetChecked(false);
    MakeFile("second.txt", "two");
    SetCopyList({"second.txt"});
    BreakFormatTool();
    RecordPanel();
    ASSERT_TRUE(station->bus().replug(device));
    Deliver();
    WaitForRuns();
    ASSERT_EQ(Status(0), "successful");
    const auto captions = Captions();
    EXPECT_EQ(std::count_if(captions.begin(), captions.end(),
                            [](const std::string& c) { return c.rfind("Format", 0) == 0 || c.rfind("Set Volume Label", 0) == 0; }),
              0)
        << ::testing::PrintToString(captions);
    const std::string root = ListVolumeFolder(device->userDiskPath()).output;
    EXPECT_THAT(root, HasSubstr("first.txt")) << "what the first run copied is still there";
    EXPECT_THAT(root, HasSubstr("second.txt"));
}

TEST_F(Sequence, OtherLabelOnAReadableDiskIsSetWithoutAFormat)
{
    auto device = Plug(sim::Nand128M());
    WaitForRuns();
    ASSERT_EQ(Status(0), "successful");
    station->bus().unplug(device);
    Deliver();
    form->chkFormat->SetChecked(false);
    form->LabelEdit->SetText("PLAYER2");
    BreakFormatTool();
    RecordPanel();
    ASSERT_TRUE(station->bus().replug(device));
    Deliver();
    WaitForRuns();
    ASSERT_EQ(Status(0), "successful");
    EXPECT_TRUE(InOrder(Captions(), {"Set Volume Label...", "successful"}));
    EXPECT_THAT(VolumeLabelOf(device->userDiskPath()).output, HasSubstr("PLAYER2"));
}

TEST_F(Sequence, WholeDiskEncryptedSkipsTheUserDiskAndFillsTheHiddenOne)
{
    MakeFile("public.txt", "not copied");
    MakeFile("vault/secret.txt", "kept safe\n");
    SetCopyList({"public.txt"});
    form->eDeviceFeature = 1;
    form->iHideDiskRatio = 100;
    form->sHideDiskLabel = "VAULT";
    form->HideFileList.Assign({station->file("vault/secret.txt")});
    RecordPanel();
    auto device = Plug(sim::Nand128M());
    WaitForRuns();
    ASSERT_EQ(Status(0), "successful") << ::testing::PrintToString(Captions());
    // The PASS image went to the device after the program and prefer data.
    const auto streams = device->streams();
    ASSERT_EQ(streams.size(), 3u);
    EXPECT_EQ(streams[2].received, std::filesystem::file_size(station->file(sim::kKitPassImage)));
    const auto captions = Captions();
    EXPECT_EQ(std::count(captions.begin(), captions.end(), "Copy Files..."), 0);
    EXPECT_TRUE(InOrder(captions, {"PASS Write Setup...", "Start Disk", "Change to Hidden disk...",
                                   "Hidden diskCopy Files...", "successful"}));
    const std::string hidden = device->hiddenDiskPath();
    ASSERT_FALSE(hidden.empty());
    EXPECT_TRUE(CheckVolumeFile(hidden).ok);
    EXPECT_THAT(VolumeLabelOf(hidden).output, HasSubstr("VAULT"));
    EXPECT_EQ(ReadVolumeFile(hidden, "secret.txt").output, "kept safe\n");
}

TEST_F(Sequence, ImageFileIsWrittenRawOntoTheHiddenDisk)
{
    form->eDeviceFeature = 2;
    form->iHideDiskRatio = 50;
    form->bUseImgFile = true;
    form->ImageFile = MakeFatImage("hidden.img", 4, "IMAGED");
    auto device = Plug(sim::Nand128M());
    WaitForRuns();
    ASSERT_EQ(Status(0), "successful");
    EXPECT_TRUE(std::regex_match(form->TextF1->Caption(), std::regex("4MB, [0-9]+Sec")))
        << "the image size is the result's size: " << form->TextF1->Caption();
    const std::string hidden = device->hiddenDiskPath();
    ASSERT_FALSE(hidden.empty());
    EXPECT_THAT(VolumeLabelOf(hidden).output, HasSubstr("IMAGED"));
}

TEST_F(Sequence, ImageLargerThanTheHiddenDiskIsRefused)
{
    form->eDeviceFeature = 2;
    form->iHideDiskRatio = 10;
    form->bUseImgFile = true;
    form->ImageFile = MakeFatImage("big.img", 64, "BIG");
    auto device = Plug(sim::Nand128M());
    WaitForRuns();
    EXPECT_EQ(Status(0), "Hidden disk too small!");
    EXPECT_EQ(Color(0), toolkit::clRed);
    EXPECT_EQ(form->lblsiosize->Caption().empty(), false);
    const std::string shown = form->lblsiosize->Caption();
    EXPECT_TRUE(LogHas(shown.substr(0, shown.size() - 2))) << "the hidden disk's size is logged";
    EXPECT_TRUE(LogHas("D fail!"));
}

TEST_F(Sequence, ImageFileThatDoesNotOpenIsAnError)
{
    form->eDeviceFeature = 2;
    form->iHideDiskRatio = 50;
    form->bUseImgFile = true;
    form->ImageFile = station->file("missing.img");
    Plug(sim::Nand128M());
    WaitForRuns();
    EXPECT_EQ(Status(0), "IMG file error!");
}

TEST_F(Sequence, SpiDeviceSkipsDescriptionTablesAndLoaderInit)
{
    auto device = Plug(sim::SpiNor4M());
    WaitForRuns();
    ASSERT_EQ(Status(0), "successful");
    EXPECT_EQ(form->TextF1->Caption().substr(0, 3), "4MB");
    EXPECT_FALSE(device->fsmInitDone());
    EXPECT_TRUE(device->flashDescription().empty());
    EXPECT_EQ(device->countOf(0xEE71), 0u);
    EXPECT_EQ(device->countOf(0xEF97), 0u);
    // The firmware is the copy list's program file.
    const auto streams = device->streams();
    ASSERT_GE(streams.size(), 2u);
    EXPECT_EQ(streams[0].received, std::filesystem::file_size(station->file(sim::kKitFirmware)));
}

TEST_F(Sequence, FirmwareForSmallPagesOnALargePageFlashIsRefused)
{
    auto device = station->bus().plug(sim::Nand128M());
    form->iSdkType = 1; // after the copy list was classified
    Deliver();
    WaitForRuns();
    EXPECT_EQ(Status(0), "SDK Ver and NAND Flash no match  fail");
    EXPECT_EQ(device->countOf(0xEF7A), 0u) << "no firmware is sent";
}

struct RateCase {
    int threshold;
    const char* status;
};
void PrintTo(const RateCase& c, std::ostream* os) { *os << "threshold " << c.threshold; }
class OwnTable : public Sequence, public ::testing::WithParamInterface<RateCase> {};

TEST_P(OwnTable, BadBlockRateAgainstTheThreshold)
{
    // 30 factory-bad blocks of 1000 usable: a rate of 3 %.
    sim::FlashProfile profile = sim::Nand128M();
    profile.factoryBadBlocks.clear();
    for (uint32_t b = 0; b < 30; ++b)
        profile.factoryBadBlocks.push_back(100 + b * 7);
    profile.pageFaults.clear();
    form->iBadThreshold = GetParam().threshold;
    form->AllowErrorRate = 10;
    Plug(profile);
    WaitForRuns();
    EXPECT_EQ(Status(0), GetParam().status);
}

INSTANTIATE_TEST_SUITE_P(Thresholds, OwnTable,
                         ::testing::Values(RateCase{3, "successful"}, RateCase{2, "Please do blanking check"}));

TEST_F(Sequence, RegistryBlocksPerChipTakesEveryBlockAsGood)
{
    RegWriteInt("BlocksPerChip", 1024);
    auto device = Plug(sim::Nand128M());
    WaitForRuns();
    EXPECT_EQ(Status(0), "successful");
    EXPECT_EQ(device->countOf(0xEF80), 0u) << "the device's record is not read";
    EXPECT_EQ(device->countOf(0xEF98), 0u) << "nor its bitmap";
    RegWriteInt("BlocksPerChip", 0);
}

} // namespace
