// Flash description lookup, the stored name, loading and the geometry checks.
#include "ProductionFixture.h"

#include "device/HostUtil.h"
#include "production/FlashRecord.h"

#include <array>
#include <filesystem>

using namespace prodtest;

namespace {

// Device flash ID EC D3 51 95 58 as the thread holds it.
constexpr uint32_t kIdHigh = 0xEC;
constexpr uint32_t kIdLow = 0xD3519558;

RecordFields WithId(std::array<uint8_t, 5> id)
{
    RecordFields s;
    std::copy(id.begin(), id.end(), s.flashId);
    return s;
}
const std::array<uint8_t, 5> kExact = {0xEC, 0xD3, 0x51, 0x95, 0x58};

class FlashLookupTest : public ThreadTest {
protected:
    void Description(const std::string& name, std::array<uint8_t, 5> id)
    {
        dir.write("flash/" + name, MakeRecord(WithId(id)));
    }
    void FlashIni(const std::string& text) { dir.write("flash/flash.ini", text); }
    std::string Find(uint32_t chips = 1) { return FindFlashRecordFile(*thread, kIdLow, kIdHigh, chips); }
};

TEST_F(FlashLookupTest, ExactBeatsNearAndEnumerationOrderBreaksTies)
{
    Description("a_near.txt", {0xEC, 0xD3, 0x51, 0x95, 0x00});
    Description("z_exact.txt", kExact);
    Description("m_exact.txt", kExact);
    EXPECT_EQ(Find(), "m_exact.txt");
    std::filesystem::remove_all(dir.file("flash"));
    Description("c.txt", {0xEC, 0xD3, 0x51, 0x15, 0x01}); // bit 7 of byte 3 and byte 4
    Description("d.txt", {0xEC, 0xD3, 0x51, 0x95, 0x02});
    EXPECT_EQ(Find(), "c.txt");
}

TEST_F(FlashLookupTest, NearMaskIgnoresByteFourAndBitSevenOfByteThreeOnly)
{
    const struct { std::array<uint8_t, 5> id; bool matches; } cases[] = {
        {{0xEC, 0xD3, 0x51, 0x95, 0x99}, true},
        {{0xEC, 0xD3, 0x51, 0x15, 0x58}, true},
        {{0xEC, 0xD3, 0x51, 0x94, 0x58}, false},
        {{0xEC, 0xD3, 0x50, 0x95, 0x58}, false},
        {{0x6C, 0xD3, 0x51, 0x95, 0x58}, false},
        {{0x00, 0x00, 0x00, 0x00, 0x58}, false}, // bytes 155-158 zero never near-match
    };
    for (const auto& c : cases) {
        std::filesystem::remove_all(dir.file("flash"));
        Description("f.txt", c.id);
        EXPECT_EQ(Find(), c.matches ? "f.txt" : "DEFAULT") << std::hex << int(c.id[0]) << int(c.id[3]);
    }
    Description("zero.txt", {0, 0, 0, 0, 0});
    EXPECT_EQ(FindFlashRecordFile(*thread, 0, 0, 1), "DEFAULT") << "an all-zero ID never matches";
}

TEST_F(FlashLookupTest, OnlyTxtFilesOfFullLengthAreCandidates)
{
    EXPECT_EQ(Find(), "DEFAULT") << "no flash folder";
    Description(".hidden.txt", kExact);
    Description("record.bin", kExact);
    Description("record.txt.bak", kExact);
    std::filesystem::create_directories(dir.file("flash/folder.txt"));
    dir.write("flash/short.txt", MakeRecord(WithId(kExact)).substr(0, 127));
    EXPECT_EQ(Find(), "DEFAULT");
    Description("K9F.TXT", kExact);
    FlashIni("[K9F.TXT]\r\n1=Samsung 1G\r\n");
    EXPECT_EQ(Find(), "K9F.TXT");
    EXPECT_EQ(thread->sFlashTypeName, "Samsung 1G");
}

TEST_F(FlashLookupTest, TypeNameFallsBackFromChipCountKeyToKeyOneToDefault)
{
    Description("k9.txt", kExact);
    EXPECT_EQ(Find(), "k9.txt");
    EXPECT_EQ(thread->sFlashTypeName, "DEFAULT") << "no flash.ini";
    FlashIni("[k9.txt]\r\n1=K9 single\r\n2=K9 dual\r\n");
    Find(2);
    EXPECT_EQ(thread->sFlashTypeName, "K9 dual");
    Find(4);
    EXPECT_EQ(thread->sFlashTypeName, "K9 single x 4");
    FlashIni("[k9.txt]\r\n2=K9 dual\r\n");
    Find(4);
    EXPECT_EQ(thread->sFlashTypeName, "DEFAULT");
}

TEST_F(FlashLookupTest, UnmatchedFlashIsDescribedByTheFileCalledDefault)
{
    // The file without extension is never a candidate, even with the device's own ID.
    RecordFields generic = WithId(kExact);
    generic.name = "Generic";
    generic.pagesLog2 = 7;
    dir.write("flash/DEFAULT", MakeRecord(generic));
    Description("other.txt", {0xAD, 0xF1, 0x80, 0x1D, 0x00});
    FlashIni("[other.txt]\r\n1=Hynix\r\n[DEFAULT]\r\n1=Any NAND\r\n2=Any NAND pair\r\n");
    ASSERT_EQ(Find(2), "DEFAULT");
    EXPECT_EQ(thread->sFlashTypeName, "Any NAND pair");
    EXPECT_EQ(ReadRecordName(".\\flash\\DEFAULT"), "Generic");
    thread->iChipCount = 2;
    ASSERT_EQ(LoadFlashRecord(*thread, platform::ProgramDir() + "/flash/DEFAULT"), 1);
    EXPECT_EQ(thread->iPagesPerBlock, 128u);
}

TEST_F(ThreadTest, RecordNameIsTheStoredTextOrDefault)
{
    RecordFields named;
    named.name = "K9F1G08U0M";
    dir.write("flash/named.txt", MakeRecord(named));
    dir.write("flash/unnamed.txt", MakeRecord(RecordFields{}));
    named.name = std::string(32, 'N'); // fills bytes 480-511 with no NUL
    dir.write("flash/full.txt", MakeRecord(named));
    dir.write("flash/short.txt", std::string(300, 'a'));
    const std::pair<const char*, std::string> cases[] = {
        {"named", "K9F1G08U0M"}, {"unnamed", "DEFAULT"}, {"full", std::string(32, 'N')},
        {"short", "DEFAULT"},    {"missing", "DEFAULT"},
    };
    for (const auto& [file, name] : cases)
        EXPECT_EQ(ReadRecordName(std::string(".\\flash\\") + file + ".txt"), name) << file;
}

TEST_F(ThreadTest, LoadDerivesTheGeometryAndTheEccThreshold)
{
    RecordFields fields;
    fields.sysAreaPages = 32;
    fields.moduleNumber = 3;
    dir.write("flash/r.txt", MakeRecord(fields));
    thread->iChipCount = 2;
    ASSERT_EQ(LoadFlashRecord(*thread, dir.file("flash/r.txt")), 1);
    EXPECT_EQ((std::vector<uint32_t>{thread->iBlocksPerChip, thread->iPageSize, thread->iSectorSize,
                                     thread->iPagesPerBlock, thread->iRecordByte96, thread->iSysAreaPagesPerBlock,
                                     thread->iUsableBlocksPerChip, thread->iModuleNumber, thread->iFirmwareFlag}),
              (std::vector<uint32_t>{1024, 2048, 512, 64, 0x21, 32, 1000, 3, 1}));
    EXPECT_EQ(thread->bBlocksPerChipOverride, 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(thread->CfgImage), 512), MakeRecord(fields));

    for (auto [level, threshold] : {std::pair{0, 2u}, {1, 0u}, {2, 1u}, {7, 6u}, {-1, 2u}}) {
        window.eccLevel = level;
        ASSERT_EQ(LoadFlashRecord(*thread, dir.file("flash/r.txt")), 1);
        EXPECT_EQ(thread->iEccThreshold, threshold) << level;
    }
}

TEST_F(ThreadTest, ShortRecordsLoadFromOneHundredTwentyEightBytes)
{
    const std::string record = MakeRecord(RecordFields{});
    // 128 bytes: the geometry is there; the rest, usable blocks (216) too, reads 0.
    dir.write("flash/128.txt", record.substr(0, 128));
    dir.write("flash/127.txt", record.substr(0, 127));
    thread->iChipCount = 1;
    ASSERT_EQ(LoadFlashRecord(*thread, dir.file("flash/128.txt")), 1);
    EXPECT_EQ(std::vector<uint8_t>(thread->CfgImage + 128, thread->CfgImage + 512),
              std::vector<uint8_t>(384, 0));
    EXPECT_EQ(thread->iUsableBlocksPerChip, 0u);
    EXPECT_EQ(LoadFlashRecord(*thread, dir.file("flash/127.txt")), 0);
    EXPECT_EQ(LoadFlashRecord(*thread, dir.file("flash/none.txt")), 0);
}

TEST_F(ThreadTest, RegistryBlocksPerChipOverridesTheRecord)
{
    dir.write("flash/r.txt", MakeRecord(RecordFields{}));
    thread->iChipCount = 2;
    for (auto [stored, blocks] : {std::pair{3000, 3000u}, {0, 1024u}}) {
        ASSERT_TRUE(RegWriteInt("BlocksPerChip", stored));
        ASSERT_EQ(LoadFlashRecord(*thread, dir.file("flash/r.txt")), 1);
        EXPECT_EQ(thread->iBlocksPerChip, blocks);
        EXPECT_EQ(thread->bBlocksPerChipOverride, stored ? 1 : 0);
    }
}

TEST_F(ThreadTest, ImpossibleGeometryIsRefusedAndLeavesTheThreadAsItWas)
{
    const auto with = [](auto change) {
        RecordFields s;
        change(s);
        return s;
    };
    const struct { const char* what; uint32_t chips; RecordFields fields; int registryBlocks = 0; } cases[] = {
        {"1024 pages per block", 1, with([](RecordFields& s) { s.pagesLog2 = 10; })},
        {"16 pages per block", 1, with([](RecordFields& s) { s.pagesLog2 = 4; })},
        {"16384-byte pages", 1, with([](RecordFields& s) { s.pageLog2 = 14; })},
        {"256-byte pages", 1, with([](RecordFields& s) { s.pageLog2 = 8; })},
        {"usable above blocks per chip", 1, with([](RecordFields& s) { s.usableBlocks = 1025; })},
        {"no chips", 0, RecordFields{}},
        {"more than 65536 blocks", 2, with([](RecordFields& s) { s.blocksLog2 = 16; s.usableBlocks = 60000; })},
        {"shift beyond 32 bits", 1, with([](RecordFields& s) { s.blocksLog2 = 40; })},
        {"bitmap pages beyond the bitmap", 1, with([](RecordFields& s) { s.bitmapPages = 5; })},
        {"bitmap page count wraps", 2, with([](RecordFields& s) { s.bitmapPages = 0; })},
        {"registry blocks too many", 32, RecordFields{}, 4096},
        {"registry blocks negative", 1, RecordFields{}, -5},
    };
    for (const auto& c : cases) {
        dir.write("flash/bad.txt", MakeRecord(c.fields));
        ASSERT_TRUE(RegWriteInt("BlocksPerChip", c.registryBlocks));
        thread->iChipCount = c.chips;
        thread->iBlocksPerChip = thread->iPagesPerBlock = thread->iPageSize = 7;
        EXPECT_EQ(LoadFlashRecord(*thread, dir.file("flash/bad.txt")), 0) << c.what;
        EXPECT_EQ(thread->iBlocksPerChip + thread->iPagesPerBlock + thread->iPageSize, 21u) << c.what;
        EXPECT_FALSE(thread->AllocateBlockTable()) << "no table sized from it: " << c.what;
    }
}

} // namespace
