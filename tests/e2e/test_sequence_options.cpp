// The options of the production sequence on whole runs: the data files of the copy list,
// retries, already formatted disks, the encrypted hidden part, and SPI devices.
#include "StationRun.h"

using namespace e2e;

namespace {

std::string Bytes(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = char((i * 11 + (i >> 9) * 5 + seed * 29) & 0xFF);
    return s;
}

class Sequence : public StationRun {};

TEST_F(Sequence, PhoneBookFromTheSecondListPositionOnImageOfADisabledIsoBoxAndProgramRetries)
{
    const std::string program = station->file(sim::kKitFirmware), prefer = station->file(sim::kKitPrefer),
                      telbook = station->file(sim::kKitTelbook);
    // An index past the list, then the first position: no phone book (and no copy of it).
    for (const auto& list : std::vector<std::vector<std::string>>{{program, prefer}, {telbook, program, prefer}}) {
        form->TntSelectFileList2->Items()->Assign(list);
        form->ScanFileList();
        if (list.size() == 2)
            form->iTelbookIndex = 7;
        auto device = Run(sim::Nand128M());
        ASSERT_EQ(Status(0), "successful");
        EXPECT_EQ(device->streams().size(), 2u);
        EXPECT_THAT(ListVolume(device->userDiskPath()), Not(HasSubstr("telbook")));
        station->bus().unplug(device);
        Deliver();
    }
    // The image goes after the phone book even though the box cannot be changed (prefer steps
    // +5). Nine broken program streams: the tenth attempt (set-up sent again) succeeds.
    form->TntSelectFileList2->Items()->Assign(
        {program, telbook, prefer, MakeFile("cd/image.iso", std::string(6000, 'i'))});
    form->ScanFileList();
    ASSERT_EQ(form->iTelbookIndex, 1);
    form->chkISOupgrade->SetChecked(true);
    form->chkISOupgrade->SetEnabled(false);
    RecordPanel();
    auto device = Run(sim::Nand128M(), {0xEE7B, 1, sim::FaultKind::StatusClear, 9});
    ASSERT_EQ(Status(0), "successful");
    const auto streams = device->streams();
    ASSERT_EQ(streams.size(), 9u + 4u);
    EXPECT_EQ(device->countOf(0xEF7A), 10u + 3u) << "ten program set-ups, one for each other area";
    EXPECT_EQ(streams[11].received, std::filesystem::file_size(telbook));
    EXPECT_EQ(streams[12].received, 6000u);
    const auto captions = Captions();
    EXPECT_TRUE(InOrder(captions, {"Program Writing Retry 1", "Program Writing Retry 9", "Program Write End...",
                                   "Telbook Write Setup...", "Telbook Writing...", "Telbook Write End..."}));
    EXPECT_EQ(std::count(captions.begin(), captions.end(), "Program Writing Retry 10"), 0);
    EXPECT_THAT(Steps(), ::testing::ElementsAreArray({2, 5, 10, 17, 20, 21, 30, 35, 40, 45, 50, 75, 80, 85, 95, 100}));
    EXPECT_THAT(ListVolume(device->userDiskPath()), Not(HasSubstr("image.iso")));
}

TEST_F(Sequence, ReadableDiskIsNotFormattedAndOnlyAnotherLabelIsSet)
{
    SetCopyList({MakeFile("first.txt", "one")});
    auto device = Run(sim::Nand128M());
    ASSERT_EQ(Status(0), "successful");

    // No format box, the label already there: neither format nor label.
    form->chkFormat->SetChecked(false);
    SetCopyList({MakeFile("second.txt", "two")});
    BreakFormatTool(*station);
    RecordPanel();
    Rerun(device);
    ASSERT_EQ(Status(0), "successful");
    for (const std::string& c : Captions())
        EXPECT_TRUE(c.rfind("Format", 0) && c.rfind("Set Volume Label", 0)) << c;
    const std::string root = ListVolume(device->userDiskPath());
    EXPECT_THAT(root, HasSubstr("first.txt")) << "what the first run copied is still there";
    EXPECT_THAT(root, HasSubstr("second.txt"));

    form->LabelEdit->SetText("PLAYER2");
    Rerun(device);
    ASSERT_EQ(Status(0), "successful");
    EXPECT_TRUE(InOrder(Captions(), {"Set Volume Label...", "successful"}));
    EXPECT_THAT(VolumeLabelOf(device->userDiskPath()), HasSubstr("PLAYER2"));
    EXPECT_EQ(FormatToolCalls(*station), 0);
}

TEST_F(Sequence, WholeDiskEncryptedSkipsTheUserDiskAndFillsTheHiddenOne)
{
    SetCopyList({MakeFile("public.txt", "not copied")});
    form->eDeviceFeature = 1;
    form->iHideDiskRatio = 100;
    form->sHideDiskLabel = "VAULT";
    form->HideFileList.Assign({MakeFile("vault/secret.txt", "kept safe\n")});
    RecordPanel();
    auto device = Run(sim::Nand128M());
    ASSERT_EQ(Status(0), "successful") << ::testing::PrintToString(Captions());
    ASSERT_EQ(device->streams().size(), 3u); // the PASS image after the program and prefer data
    EXPECT_EQ(device->streams()[2].received, std::filesystem::file_size(station->file(sim::kKitPassImage)));
    const auto captions = Captions();
    EXPECT_EQ(std::count(captions.begin(), captions.end(), "Copy Files..."), 0);
    EXPECT_TRUE(InOrder(captions, {"PASS Write Setup...", "Start Disk", "Change to Hidden disk...",
                                   "Hidden diskCopy Files...", "successful"}));
    const std::string hidden = device->hiddenDiskPath();
    EXPECT_TRUE(CheckVolumeFile(hidden).ok);
    EXPECT_THAT(VolumeLabelOf(hidden), HasSubstr("VAULT"));
    EXPECT_EQ(ReadVolumeFile(hidden, "secret.txt"), "kept safe\n");
}

TEST_F(Sequence, SpiRunWritesHiddenFilesChecksTheReadBackAndSavesTheFlash)
{
    const std::string wav = Bytes(10000, 1);
    form->SpiFileList.Assign({MakeFile("audio/a.wav", wav), MakeFile("audio/notes.txt", "x")});
    form->chknor->SetChecked(true);
    form->SaveSpiImage = true;
    RecordPanel();
    auto device = Run(sim::SpiNor4M());
    const auto captions = Captions();
    ASSERT_EQ(Status(0), "successful") << ::testing::PrintToString(captions);
    EXPECT_EQ(form->TextF1->Caption().substr(0, 3), "4MB");
    // No description, tables or loader init on SPI.
    EXPECT_FALSE(device->fsmInitDone());
    EXPECT_TRUE(device->flashDescription().empty());
    EXPECT_EQ(device->countOf(0xEE71) + device->countOf(0xEF97), 0u);
    EXPECT_TRUE(InOrder(captions, {"SPI hidden files write  0", "SPI hidden files write  1", "Start Disk",
                                   "Check Data ", "Save Flash Image", "successful"}));
    EXPECT_THAT(Steps(), ::testing::IsSupersetOf({78, 80}));

    // Program, prefer, then the one audio file behind its 8 KiB header.
    const auto streams = device->streams();
    ASSERT_EQ(streams.size(), 3u);
    EXPECT_EQ(streams[0].received, std::filesystem::file_size(station->file(sim::kKitFirmware)));
    ASSERT_EQ(streams[2].data.size(), 8192 + wav.size());
    EXPECT_EQ(std::string(streams[2].data.begin() + 8192, streams[2].data.end()), wav);
    EXPECT_TRUE(std::filesystem::exists(station->file("log/0_Read_buffer.bin")));
    const std::string saved = ReadFile(station->file("NorImage.bin"));
    ASSERT_GT(saved.size(), 131072u);
    const auto flash = device->spiFlash(0, uint32_t(saved.size()));
    EXPECT_EQ(saved, std::string(flash.begin(), flash.end()));
}

} // namespace
