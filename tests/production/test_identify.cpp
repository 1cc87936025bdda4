// The identify stage's rules: flash description lookup, the stored name, loading and the
// geometry checks; the program-file choice and the bonding-ID check.
#include "ProductionFixture.h"

#include "device/HostUtil.h"
#include "production/Firmware.h"
#include "production/FlashRecord.h"

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

TEST_F(ThreadTest, LoadOfAShortRecordAndTheEccThreshold)
{
    const std::string record = MakeRecord(RecordFields{});
    dir.write("flash/r.txt", record);
    // 128 bytes hold the geometry; the rest, usable blocks (216) too, reads 0 on a new
    // thread, even one made in memory that held other bytes.
    dir.write("flash/128.txt", record.substr(0, 128));
    alignas(ProductThread) static unsigned char memory[sizeof(ProductThread)];
    std::memset(memory, 0xAB, sizeof memory);
    auto* fresh = new (memory) ProductThread('E', 0, &status, &gauge, &image, "", &textF, &textP);
    fresh->iChipCount = 1;
    ASSERT_EQ(LoadFlashRecord(*fresh, dir.file("flash/128.txt")), 1);
    EXPECT_EQ(std::vector<uint8_t>(fresh->CfgImage + 128, fresh->CfgImage + 512), std::vector<uint8_t>(384, 0));
    EXPECT_EQ(fresh->iUsableBlocksPerChip, 0u);
    fresh->~ProductThread();
    thread->iChipCount = 2;
    for (auto [level, threshold] : {std::pair{0, 2u}, {1, 0u}, {7, 6u}, {-1, 2u}}) {
        window.eccLevel = level;
        ASSERT_EQ(LoadFlashRecord(*thread, dir.file("flash/r.txt")), 1);
        EXPECT_EQ(thread->iEccThreshold, threshold) << level;
    }
}

TEST_F(ThreadTest, ImpossibleGeometryIsRefusedAndLeavesTheThreadAsItWas)
{
    const auto with = [](auto change) {
        RecordFields s;
        change(s);
        return s;
    };
    const struct {
        const char* what;
        uint32_t chips;
        RecordFields fields;
        int registryBlocks = 0;
        size_t length = 512;
    } cases[] = {
        {"1024 pages per block", 1, with([](RecordFields& s) { s.pagesLog2 = 10; })},
        {"256-byte pages", 1, with([](RecordFields& s) { s.pageLog2 = 8; })},
        {"usable above blocks per chip", 1, with([](RecordFields& s) { s.usableBlocks = 1025; })},
        {"no chips", 0, RecordFields{}},
        {"more than 65536 blocks", 2, with([](RecordFields& s) { s.blocksLog2 = 16; s.usableBlocks = 60000; })},
        {"shift beyond 32 bits", 1, with([](RecordFields& s) { s.blocksLog2 = 40; })},
        {"bitmap pages beyond the bitmap", 1, with([](RecordFields& s) { s.bitmapPages = 5; })},
        {"bitmap page count wraps", 2, with([](RecordFields& s) { s.bitmapPages = 0; })},
        {"registry blocks too many", 32, RecordFields{}, 4096},
        {"127 bytes", 1, RecordFields{}, 0, 127},
    };
    for (const auto& c : cases) {
        dir.write("flash/bad.txt", MakeRecord(c.fields).substr(0, c.length));
        ASSERT_TRUE(RegWriteInt("BlocksPerChip", c.registryBlocks));
        thread->iChipCount = c.chips;
        thread->iBlocksPerChip = thread->iPagesPerBlock = thread->iPageSize = 7;
        EXPECT_EQ(LoadFlashRecord(*thread, dir.file("flash/bad.txt")), 0) << c.what;
        EXPECT_EQ(thread->iBlocksPerChip + thread->iPagesPerBlock + thread->iPageSize, 21u) << c.what;
        EXPECT_FALSE(thread->AllocateBlockTable()) << "no table sized from it: " << c.what;
    }
    EXPECT_EQ(LoadFlashRecord(*thread, dir.file("flash/none.txt")), 0);
}

// A program file with the given firmware-flag byte, module number and bonding block.
std::string ProgramBytes(uint8_t flagByte, uint8_t module, std::string bondingTag = "ID", uint8_t bondingId = 0x03,
                         size_t size = 40000)
{
    std::string f(size, '\0');
    std::memcpy(f.data(), "6205", std::min<size_t>(size, 4));
    if (size > 2047) {
        f[2044] = bondingTag[0];
        f[2045] = bondingTag[1];
        f[2047] = char(bondingId);
    }
    if (size > 38911) {
        f[38909] = 'U';
        f[38910] = char(flagByte);
        f[38911] = char(module);
    }
    return f;
}

class FirmwareTest : public ThreadTest {
protected:
    void SetUp() override
    {
        ThreadTest::SetUp();
        answer = [this](const RecordedCall&) { return ScriptedAnswer{{chipId}, chipAnswers}; };
        thread->iFirmwareFlag = 1;
        thread->iModuleNumber = 2;
    }
    std::string Add(const std::string& name, const std::string& bytes)
    {
        dir.write("fw/" + name, bytes);
        window.copyList.push_back(dir.file("fw/" + name));
        return window.copyList.back();
    }

    uint8_t chipId = 0x03;
    bool chipAnswers = true;
};

TEST_F(FirmwareTest, BondingDecisionsInOrder)
{
    const struct {
        const char* what;
        std::string tag;
        uint8_t sdk, chip;
        int result;
        const char* caption;
        size_t size = 40000; // 0: no program file
        bool upgrade = true, chipAnswers = true;
    } cases[] = {
        {"firmware for any chip", "ID", 0xFF, 0x00, 1, ""},
        {"chip accepts any firmware", "ID", 0x00, 0x0F, 1, ""},
        {"no SDK ID", "ID", 0x00, 0x03, 0, "SDK bonding ID check fail 0"},
        {"tag missing", "XX", 0x03, 0x03, 0, "SDK bonding ID check fail 0"},
        {"file too short for the SDK ID", "ID", 0x03, 0x03, 0, "SDK bonding ID check fail 0", 2046},
        {"chip ID above 15", "ID", 0x03, 0x10, 0, "Chip bonding ID check fail16"},
        {"a failed read is chip ID 0", "ID", 0x03, 0x03, 0, "Chip bonding ID check fail0", 40000, true, false},
        {"equal", "ID", 0x05, 0x05, 1, ""},
        {"an unchecked upgrade never asks the chip", "ID", 0x03, 0x05, 1, "", 40000, false},
        // Each decision before the later ones.
        {"any firmware before a bad chip ID", "ID", 0xFF, 0x20, 1, ""},
        {"bad chip ID before equality", "ID", 0x10, 0x10, 0, "Chip bonding ID check fail16"},
    };
    for (const auto& c : cases) {
        thread->sProgramFile = dir.file("fw/none.bin");
        if (c.size)
            thread->sProgramFile = Add("program.bin", ProgramBytes(0xAA, 2, c.tag, c.sdk, c.size));
        std::tie(chipId, chipAnswers, window.fwUpgrade) = std::tuple(c.chip, c.chipAnswers, c.upgrade);
        status.SetCaption("");
        const size_t before = drive.transport->callCount();
        EXPECT_EQ(CheckBondingId(*thread), c.result) << c.what;
        EXPECT_EQ(status.Caption(), c.caption) << c.what;
        const auto calls = drive.transport->calls();
        ASSERT_EQ(calls.size() - before, c.upgrade ? 1u : 0u) << c.what;
        EXPECT_TRUE(!c.upgrade || (calls.back().cdb[0] << 8 | calls.back().cdb[1]) == 0xEF8B) << c.what;
    }
}

} // namespace
