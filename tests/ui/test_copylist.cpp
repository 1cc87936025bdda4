// The copy list of the main window: classification, the system-area label, the path
// length rule, the firmware module number and the loader version text.
#include "platform/ProgramDir.h"
#include "platform/Registry.h"
#include "support/TempDir.h"
#include "toolkit/Dialogs.h"
#include "ui/CopyList.h"
#include "ui/main.h"

#include <gtest/gtest.h>

#include <array>

using namespace toolkit;
using Names = std::vector<std::string>;

namespace {

// A firmware-like file: chip tag, SDK type at byte 5, 'U' 0xAA module at 0x97FD.
std::string Firmware(size_t size, uint8_t sdk, int module = -1, const char* tag = "6205")
{
    std::string bytes(std::max<size_t>(size, 0x9800), '\0');
    bytes.replace(0, 4, tag);
    bytes[5] = static_cast<char>(sdk);
    if (module >= 0)
        bytes.replace(0x97FD, 3, {'U', '\xAA', static_cast<char>(module)});
    bytes.resize(std::max<size_t>(size, module >= 0 ? 0x9800 : 6));
    return bytes;
}

class CopyList : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::SetProgramDir(dir.path());
        SetDialogs(&dialogs);
        form = std::make_unique<TForm1>();
    }
    void TearDown() override
    {
        form.reset();
        SetDialogs(nullptr);
    }
    void setList(const Names& names)
    {
        Names paths;
        for (const auto& n : names)
            paths.push_back(dir.file(n));
        form->TntSelectFileList2->Items()->Assign(paths);
        form->ScanFileList();
    }
    std::string label() { return form->labSystemArea->Caption(); }

    testsupport::TempDir dir;
    ScriptedDialogs dialogs;
    std::unique_ptr<TForm1> form;
};

} // namespace

TEST_F(CopyList, ClassifiesFirmwarePreferImageAndPhoneBookFiles)
{
    dir.write("a_new.bin", Firmware(1000, 7));
    dir.write("x_old.bin", Firmware(2000, 3));
    dir.write("y.bin", Firmware(3000, 4));
    dir.write("tiny_old.bin", "6205x");
    dir.write("sub/MyPrefer.DAT.bak", std::string(600, 'p'));
    dir.write("image.iso", std::string(700, 'i'));
    dir.write("TelBook.dat", std::string(80, 't'));
    dir.write("prefer.dat.dir/readme.txt", "x"); // the folder part is not searched
    dir.write("isodir/image.iso/readme.txt", "x");

    // Indexes of program, prefer, image, phone book; then sizes of firmware, prefer, image, phone book; SDK type.
    struct Case {
        Names names;
        std::array<int, 4> index;
        std::array<uint64_t, 4> size;
        uint32_t sdk;
    } cases[] = {
        {{"a_new.bin"}, {-1, -1, -1, -1}, {1000, 0, 0, 0}, 7}, // new firmware: no index, yet size and type
        {{"x_old.bin", "y.bin"}, {1, -1, -1, -1}, {2000, 0, 0, 0}, 3}, // the old step runs after the plain one
        {{"y.bin", "sub/MyPrefer.DAT.bak", "image.iso", "TelBook.dat", "prefer.dat.dir/readme.txt"},
         {0, 1, 2, 3}, {3000, 600, 700, 80}, 4},
        // A gone or short file never takes another's figures.
        {{"y.bin", "gone.bin"}, {1, -1, -1, -1}, {0, 0, 0, 0}, 0},
        {{"y.bin"}, {0, -1, -1, -1}, {3000, 0, 0, 0}, 4},
        {{"y.bin", "gone_new.bin"}, {0, -1, -1, -1}, {0, 0, 0, 0}, 0},
        {{"y.bin", "tiny_old.bin"}, {1, -1, -1, -1}, {5, 0, 0, 0}, 0},
        {{"y.bin", "isodir/image.iso"}, {0, -1, 1, -1}, {3000, 0, 0, 0}, 4}, // a folder with a data name: no size
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.names[0] + " " + c.names.back());
        setList(c.names);
        EXPECT_EQ((std::array<int, 4>{form->iProgramIndex, form->iPreferIndex, form->iIsoIndex, form->iTelbookIndex}),
                  c.index);
        EXPECT_EQ((std::array<uint64_t, 4>{form->iFirmwareSize, form->iPreferSize, form->iIsoSize, form->iTelbookSize}),
                  c.size);
        EXPECT_EQ(form->iSdkType, c.sdk);
    }
    // Removing the prefer file clears its figures at once.
    setList(cases[2].names);
    form->TntSelectFileList2->SetSelected(1, true);
    form->RemoveBtn->Click();
    EXPECT_EQ(form->TntSelectFileList2->Items()->Count(), 4);
    EXPECT_EQ(form->iPreferIndex, -1);
    EXPECT_EQ(form->iPreferSize, 0u);
    EXPECT_EQ(form->iIsoIndex, 1);
}

TEST_F(CopyList, SystemAreaLabel)
{
    EXPECT_EQ(ui::SystemAreaMegabytes(300 * 1024, 0, 0, false), 4u);
    EXPECT_EQ(ui::SystemAreaMegabytes(0, 0, 5ull << 30, true), 10244u) << "past 4 GiB: no wrap";

    setList({});
    EXPECT_EQ(label(), "System Area Size: 4MB");
    dir.write("fw.bin", Firmware(1600 * 1024, 1));
    dir.write("prefer.dat", std::string(600 * 1024, 'p'));
    dir.write("image.iso", std::string(5 << 20, 'i'));
    setList({"fw.bin", "prefer.dat", "image.iso"});
    EXPECT_EQ(label(), "System Area Size: 8MB");
    form->chkISOupgrade->SetChecked(true);
    EXPECT_EQ(label(), "System Area Size: 20MB");
    form->chkISOupgrade->SetChecked(false);
    EXPECT_EQ(label(), "System Area Size: 8MB");
}

TEST_F(CopyList, PathsOfMoreThan128UnitsAreKeptWithAWarning)
{
    const std::string ok = "/" + std::string(127, 'a');
    const std::string tooLong = "/" + std::string(128, 'b');
    std::string wide = "/"; // 128 units although 3 bytes each in UTF-8
    for (int i = 0; i < 127; ++i)
        wide += "\xE4\xB8\xAD";
    dialogs.QueueOpenFiles({ok, wide, tooLong});
    form->AddFilesBtn->Click();
    form->AddFilesBtn->Click(); // cancelled: adds nothing

    EXPECT_EQ(form->TntSelectFileList2->Items()->ToVector(), (Names{ok, wide, tooLong}));
    auto log = dialogs.Log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].kind, ScriptedDialogs::Asked::Open);
    EXPECT_EQ(log[0].text, "Select files");
    EXPECT_EQ(log[1].text, "Length of Filepath exceeds 128!\n" + tooLong);
    EXPECT_EQ(log[1].caption, "Warning");
    EXPECT_EQ(log[1].flags, MB_OK | MB_ICONERROR);
}

TEST_F(CopyList, AddedFolderIsListedAndRememberedWithoutARescan)
{
    dir.write("prefer.dat", "p");
    dialogs.QueueFolder(dir.file("prefer.dat"));
    form->btnAddDir->Click();
    EXPECT_EQ(form->TntSelectFileList2->Items()->ToVector(), Names{dir.file("prefer.dat")});
    EXPECT_EQ(platform::registry::ReadString("SoftWare\\KOV6125\\Vornagel28", "AddDir"), dir.file("prefer.dat"));
    EXPECT_EQ(form->iPreferIndex, -1);
}

TEST_F(CopyList, ModuleNumberIsReadAndWrittenInTheFirstFirmwareFile)
{
    dir.write("notes.txt", "x");
    dir.write("other.bin", Firmware(0x9800, 1, 9, "XXXX")); // no chip tag: skipped by writes
    dir.write("fw.BIN", Firmware(0x9800, 1, 3));
    setList({"notes.txt", "other.bin", "fw.BIN"});
    EXPECT_TRUE(form->ReadFirmwareMultiplier());
    EXPECT_EQ(form->iFlashModuleNo, 9) << "the first .bin decides the read";
    EXPECT_TRUE(form->WriteFirmwareMultiplier(0x105));
    EXPECT_EQ(dir.read("fw.BIN").substr(0x97FD), "U\xAA\x05");
    EXPECT_EQ(static_cast<uint8_t>(dir.read("other.bin")[0x97FF]), 9);
    EXPECT_FALSE(form->WriteFirmwareMultiplier(-1));

    setList({"notes.txt"});
    EXPECT_FALSE(form->ReadFirmwareMultiplier());
    EXPECT_FALSE(form->ResetFirmwareMultiplier(0));
    auto boxes = dialogs.Messages();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text + "|" + boxes[0].caption, "nonlegal mulitplier|MP Tool");
    EXPECT_EQ(boxes[1].text + "|" + boxes[1].caption, "Firmware file not found|MP Tool");
    EXPECT_EQ(boxes[1].flags, MB_OK | MB_ICONERROR);
}

TEST_F(CopyList, LoaderVersionText)
{
    uint32_t size = 77;
    EXPECT_EQ(form->GetFsmVersion(size) + std::to_string(size), "FSM Ver.x.x77") << "no file: size unchanged";
    const std::pair<std::string, std::string> cases[] = {{std::string("FSM Ver.1.2\0rest", 16), "FSM Ver.1.2"},
                                                         {"FSM" + std::string(300, 'x'), "FSM" + std::string(252, 'x')},
                                                         {"XSM Ver.1.2", "FSM Ver.x.x"}}; // cut at 255; wrong tag
    for (const auto& [text, version] : cases) {
        dir.write("misc/FSM01.BIN", std::string(8192, '\0') + text);
        EXPECT_EQ(form->GetFsmVersion(size), version);
        EXPECT_EQ(size, 8192 + text.size());
    }
}

TEST_F(CopyList, ClearFlashAndBlankingCheckAreNeverBothSwitchedOnByAClick)
{
    form->chkBlankCheck->SetChecked(true);
    form->chkClearFlash->UserClick();
    EXPECT_TRUE(form->chkClearFlash->Checked() && !form->chkBlankCheck->Checked());
    form->chkBlankCheck->UserClick();
    EXPECT_TRUE(form->chkBlankCheck->Checked() && !form->chkClearFlash->Checked());
    form->chkUsbPort->SetChecked(false);
    form->chkUsbPort->UserClick();
    form->chkUsbPort->UserClick(); // unchecked: no box
    auto boxes = dialogs.Messages();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text + "|" + boxes[0].caption, "Please insert the required fixed USB IO port|Fix Usb IO Port");
}
