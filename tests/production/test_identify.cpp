// The flash description lookup: exact before near matches, name order, the files that count,
// and the type name stored from flash.ini; a short description's load; the program file; the
// old sections a settings save drops; the end of a run on its panel.
#include "ProductionFixture.h"

#include "device/HostUtil.h"
#include "platform/IniFile.h"
#include "production/Firmware.h"
#include "production/FlashRecord.h"
#include "production/Sequence.h"
#include "production/StoredSettings.h"
#include "text/LangStrings.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <new>
#include <tuple>

using namespace prodtest;

namespace {

using Id = std::array<uint8_t, 5>;
constexpr Id kExact = {0xEC, 0xD3, 0x51, 0x95, 0x58}; // the device's flash ID

struct Candidate {
    const char* name; // ending in '/': a folder
    Id id = kExact;
    size_t length = 512;
};
struct Lookup {
    const char* what;
    std::vector<Candidate> files;
    const char* ini = "";
    uint32_t chips = 1;
    const char* found = "DEFAULT";
    const char* typeName = "DEFAULT";
    bool zeroDevice = false; // the device reports an all-zero ID
};
void PrintTo(const Lookup& l, std::ostream* os) { *os << l.what; }

// clang-format off
const Lookup kLookups[] = {
    {"exact beats near, name order breaks ties",
     {{"a_near.txt", {0xEC, 0xD3, 0x51, 0x95, 0}}, {"z_exact.txt"}, {"m_exact.txt"}}, "", 1, "m_exact.txt"},
    {"first near match", {{"c.txt", {0xEC, 0xD3, 0x51, 0x15, 1}}, {"d.txt", {0xEC, 0xD3, 0x51, 0x95, 2}}}, "", 1,
     "c.txt"},
    {"bit 0 of byte 3 differs", {{"f.txt", {0xEC, 0xD3, 0x51, 0x94, 0x58}}}},
    {"maker bit 7 differs", {{"f.txt", {0x6C, 0xD3, 0x51, 0x95, 0x58}}}},
    {"bytes 155-158 zero never near-match", {{"f.txt", {0, 0, 0, 0, 0x58}}}},
    {"an all-zero ID never matches", {{"zero.txt", {0, 0, 0, 0, 0}}}, "", 1, "DEFAULT", "DEFAULT", true},
    {"no .txt file of full length",
     {{".hidden.txt"}, {"record.bin"}, {"record.txt.bak"}, {"folder.txt/"}, {"short.txt", kExact, 127}}},
    {"extension in any case", {{"K9F.TXT"}}, "[K9F.TXT]\r\n1=Samsung 1G\r\n", 1, "K9F.TXT", "Samsung 1G"},
    {"type name of one chip times the count", {{"k9.txt"}}, "[k9.txt]\r\n1=K9 single\r\n2=K9 dual\r\n", 4, "k9.txt",
     "K9 single x 4"},
    {"the default's type name", {{"other.txt", {0xAD, 0xF1, 0x80, 0x1D, 0}}},
     "[other.txt]\r\n1=Hynix\r\n[DEFAULT]\r\n1=Any NAND\r\n2=Any NAND pair\r\n", 2, "DEFAULT", "Any NAND pair"},
};
// clang-format on

class FlashLookup : public ThreadTest, public ::testing::WithParamInterface<Lookup> {};

TEST_P(FlashLookup, FindsTheRecordAndItsTypeName)
{
    const Lookup& l = GetParam();
    for (const Candidate& c : l.files) {
        RecordFields fields;
        std::copy(c.id.begin(), c.id.end(), fields.flashId);
        const std::string name = c.name;
        if (name.back() == '/')
            std::filesystem::create_directories(dir.file("flash/" + name));
        else
            dir.write("flash/" + name, MakeRecord(fields).substr(0, c.length));
    }
    if (*l.ini)
        dir.write("flash/flash.ini", l.ini);
    EXPECT_EQ(FindFlashRecordFile(*thread, l.zeroDevice ? 0 : 0xD3519558, l.zeroDevice ? 0 : 0xEC, l.chips), l.found);
    EXPECT_EQ(thread->sFlashTypeName, l.typeName);
}

INSTANTIATE_TEST_SUITE_P(Rows, FlashLookup, ::testing::ValuesIn(kLookups));

// 128 bytes hold the geometry; the rest of the thread's copy, usable blocks among it, and its
// bitmap read 0 even on a thread made in memory that held other bytes.
TEST_F(ThreadTest, ShortRecordLeavesTheRestOfTheCopyZero)
{
    dir.write("flash/128.txt", MakeRecord(RecordFields{}).substr(0, 128));
    alignas(ProductThread) static unsigned char memory[sizeof(ProductThread)];
    std::memset(memory, 0xAB, sizeof memory);
    auto* fresh = new (memory) ProductThread('E', 0, &status, &gauge, &image, "", &textF, &textP);
    fresh->iChipCount = 1;
    ASSERT_EQ(LoadFlashRecord(*fresh, dir.file("flash/128.txt")), 1);
    EXPECT_EQ(std::vector<uint8_t>(fresh->CfgImage + 128, fresh->CfgImage + 512), std::vector<uint8_t>(384, 0));
    EXPECT_EQ(fresh->iUsableBlocksPerChip, 0u);
    EXPECT_EQ(*std::max_element(fresh->GoodBlockBitmap, std::end(fresh->GoodBlockBitmap)), 0);
    EXPECT_TRUE(fresh->FreeOnTerminate()) << "nobody else deletes a finished run's thread";
    fresh->~ProductThread();
}

// Geometry from a description file sizes the thread's buffers: what they cannot hold is
// refused and the thread keeps its old geometry.
TEST_F(ThreadTest, ImpossibleGeometryIsRefusedAndLeavesTheThreadAsItWas)
{
    const auto with = [](void (*change)(RecordFields&)) { RecordFields f; change(f); return f; };
    const struct { const char* what; uint32_t chips; RecordFields fields; int registryBlocks = 0; size_t length = 512; } cases[] = {
        {"1024 pages per block", 1, with([](RecordFields& f) { f.pagesLog2 = 10; })},
        {"16 pages per block", 1, with([](RecordFields& f) { f.pagesLog2 = 4; })},
        {"16384-byte pages", 1, with([](RecordFields& f) { f.pageLog2 = 14; })},
        {"256-byte pages", 1, with([](RecordFields& f) { f.pageLog2 = 8; })},
        {"usable above blocks per chip", 1, with([](RecordFields& f) { f.usableBlocks = 1025; })},
        {"no chips", 0, RecordFields{}},
        {"more than 65536 blocks", 2, with([](RecordFields& f) { f.blocksLog2 = 16; f.usableBlocks = 60000; })},
        {"shift beyond 32 bits", 1, with([](RecordFields& f) { f.blocksLog2 = 40; })},
        {"bitmap pages beyond the bitmap", 1, with([](RecordFields& f) { f.bitmapPages = 5; })},
        {"registry blocks too many", 32, RecordFields{}, 4096},
        {"registry blocks negative", 1, RecordFields{}, -5},
        {"127 bytes", 1, RecordFields{}, 0, 127},
    };
    for (const auto& c : cases) {
        dir.write("flash/bad.txt", MakeRecord(c.fields).substr(0, c.length));
        ASSERT_TRUE(RegWriteInt("BlocksPerChip", c.registryBlocks));
        thread->iChipCount = c.chips;
        thread->iBlocksPerChip = thread->iPagesPerBlock = thread->iPageSize = 7;
        EXPECT_EQ(LoadFlashRecord(*thread, dir.file("flash/bad.txt")), 0) << c.what;
        EXPECT_EQ(thread->iBlocksPerChip + thread->iPagesPerBlock + thread->iPageSize, 21u) << c.what;
        EXPECT_FALSE(thread->AllocateBlockTable()) << c.what;
    }
}

// The first listed name holding "program" whose header fits; a file too short to hold the
// module number never does.
TEST_F(ThreadTest, ProgramFileIsTheFirstWhoseHeaderFits)
{
    std::string program(40000, '\0');
    program[FirmwareHeader::kFirmwareFlag] = char(FirmwareHeader::kFirmwareFlagBit);
    dir.write("program_short.bin", program.substr(0, FirmwareHeader::kModuleNumber));
    dir.write("program.bin", program);
    window.copyList = {dir.file("program_short.bin"), dir.file("program.bin")};
    thread->iFirmwareFlag = 1;
    thread->iModuleNumber = 0;
    ASSERT_EQ(FindProgramBin(*thread), 1);
    EXPECT_EQ(thread->iProgramIndex, 1);
}

// Saving keeps other sections but drops those older files kept the hidden-file lists in.
TEST(StoredSettings, SavingDropsTheOldHiddenListSections)
{
    auto ini = platform::IniFile::FromText("[HIDE_FILES]\r\n1=a\r\n[Other]\r\nk=v\r\n[SPI_HIDE_FILES]\r\n1=b\r\n");
    production::WriteStoredSettings(ini, production::FreshSettings());
    EXPECT_EQ(ini.ReadSections(), (std::vector<std::string>{"Other", production::kSettingsSection}));
}

// A failure shows on its panel only while the panel holds the run's device (letter and
// serial; 0 unknown), else the panel waits for the next; an emptied panel always waits.
// The device is closed either way.
TEST_F(ThreadTest, RunEndShowsOnlyOnThePanelThatHoldsItsDevice)
{
    const struct { char drive; uint64_t device, serial; toolkit::TColor color; bool shown; } cases[] = {
        {'R', 7, 7, toolkit::clRed, true},  {'R', 0, 7, toolkit::clRed, true},  {'R', 7, 0, toolkit::clRed, true},
        {'R', 8, 7, toolkit::clRed, false}, {'F', 7, 7, toolkit::clRed, false}, {0, 0, 0, toolkit::clBlue, false}};
    thread->sDrive = "R";
    for (const auto& c : cases) {
        std::tie(window.panelDrive, window.panelDevice, thread->iDeviceSerial) = std::tuple(c.drive, c.device, c.serial);
        production::SequenceState run;
        run.earlyFailure = true;
        thread->hDevice = platform::OpenDrive('R');
        thread->SetStatus("failed");
        thread->SetStatusColor(c.color);
        production::FailurePath(*thread, run);
        production::CommonEnd(*thread, run);
        EXPECT_EQ(status.Caption(), c.shown ? "failed" : WaitDeviceMsg.get()) << int(c.drive) << c.device << c.serial;
        EXPECT_TRUE(drive.noLetterHandleOpen());
    }
}

} // namespace
