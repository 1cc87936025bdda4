// Flash description lookup, the stored name, loading and the geometry checks.
#include "ProductionFixture.h"

#include "device/HostUtil.h"
#include "production/FlashRecord.h"

#include <filesystem>

using namespace prodtest;

namespace {

// Device flash ID EC D3 51 95 58 as the thread holds it.
constexpr uint32_t kIdHigh = 0xEC;
constexpr uint32_t kIdLow = 0xD3519558;

RecordFields WithId(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3, uint8_t b4)
{
    RecordFields s;
    const uint8_t id[5] = {b0, b1, b2, b3, b4};
    std::copy(id, id + 5, s.flashId);
    return s;
}

class FlashLookupTest : public ThreadTest {
protected:
    void Description(const std::string& name, const RecordFields& fields)
    {
        dir.write("flash/" + name, MakeRecord(fields));
    }
    void FlashIni(const std::string& text) { dir.write("flash/flash.ini", text); }
    std::string Find(uint32_t chips = 1) { return FindFlashRecordFile(*thread, kIdLow, kIdHigh, chips); }
};

TEST_F(FlashLookupTest, ExactMatchBeatsAnEarlierNearMatch)
{
    Description("a_near.txt", WithId(0xEC, 0xD3, 0x51, 0x95, 0x00));
    Description("b_exact.txt", WithId(0xEC, 0xD3, 0x51, 0x95, 0x58));
    EXPECT_EQ(Find(), "b_exact.txt");
}

TEST_F(FlashLookupTest, FirstOfTwoExactMatchesInNameOrderWins)
{
    Description("z.txt", WithId(0xEC, 0xD3, 0x51, 0x95, 0x58));
    Description("m.txt", WithId(0xEC, 0xD3, 0x51, 0x95, 0x58));
    EXPECT_EQ(Find(), "m.txt");
}

TEST_F(FlashLookupTest, FirstNearMatchWinsWhenNoneIsExact)
{
    Description("c.txt", WithId(0xEC, 0xD3, 0x51, 0x15, 0x01)); // bit 7 of byte 3 and byte 4
    Description("d.txt", WithId(0xEC, 0xD3, 0x51, 0x95, 0x02));
    EXPECT_EQ(Find(), "c.txt");
}

TEST_F(FlashLookupTest, NearMaskIgnoresByteFourAndBitSevenOfByteThreeOnly)
{
    struct Case {
        uint8_t id[5];
        bool matches;
    } cases[] = {
        {{0xEC, 0xD3, 0x51, 0x95, 0x99}, true},  // only byte 4 differs
        {{0xEC, 0xD3, 0x51, 0x15, 0x58}, true},  // only bit 7 of byte 3
        {{0xEC, 0xD3, 0x51, 0x94, 0x58}, false}, // bit 0 of byte 3
        {{0xEC, 0xD3, 0x50, 0x95, 0x58}, false}, // byte 2
        {{0x6C, 0xD3, 0x51, 0x95, 0x58}, false}, // bit 7 of byte 0
        {{0x00, 0x00, 0x00, 0x00, 0x58}, false}, // bytes 155-158 zero never near-match
    };
    for (const auto& c : cases) {
        std::filesystem::remove_all(dir.file("flash"));
        Description("f.txt", WithId(c.id[0], c.id[1], c.id[2], c.id[3], c.id[4]));
        EXPECT_EQ(Find(), c.matches ? "f.txt" : "DEFAULT")
            << std::hex << int(c.id[0]) << " " << int(c.id[3]) << " " << int(c.id[4]);
    }
}

TEST_F(FlashLookupTest, AllZeroIdNeverMatchesEvenAZeroDevice)
{
    Description("zero.txt", WithId(0, 0, 0, 0, 0));
    EXPECT_EQ(FindFlashRecordFile(*thread, 0, 0, 1), "DEFAULT");
}

TEST_F(FlashLookupTest, UpperCaseExtensionIsAcceptedAndNamesItsSection)
{
    Description("K9F.TXT", WithId(0xEC, 0xD3, 0x51, 0x95, 0x58));
    FlashIni("[K9F.TXT]\r\n1=Samsung 1G\r\n");
    EXPECT_EQ(Find(), "K9F.TXT");
    EXPECT_EQ(thread->sFlashTypeName, "Samsung 1G");
}

TEST_F(FlashLookupTest, HiddenFilesFoldersAndOtherExtensionsAreSkipped)
{
    Description(".hidden.txt", WithId(0xEC, 0xD3, 0x51, 0x95, 0x58));
    Description("record.bin", WithId(0xEC, 0xD3, 0x51, 0x95, 0x58));
    Description("record.txt.bak", WithId(0xEC, 0xD3, 0x51, 0x95, 0x58));
    std::filesystem::create_directories(dir.file("flash/folder.txt"));
    EXPECT_EQ(Find(), "DEFAULT");
}

TEST_F(FlashLookupTest, ShortOrMissingFilesGiveIdZero)
{
    dir.write("flash/short.txt", MakeRecord(WithId(0xEC, 0xD3, 0x51, 0x95, 0x58)).substr(0, 127));
    EXPECT_EQ(Find(), "DEFAULT");
    EXPECT_EQ(FindFlashRecordFile(*thread, kIdLow, kIdHigh, 1), "DEFAULT"); // no flash folder needed
}

TEST_F(FlashLookupTest, TypeNameFromChipCountKeyThenKeyOneThenDefault)
{
    Description("k9.txt", WithId(0xEC, 0xD3, 0x51, 0x95, 0x58));
    FlashIni("[k9.txt]\r\n1=K9 single\r\n2=K9 dual\r\n");
    Find(2);
    EXPECT_EQ(thread->sFlashTypeName, "K9 dual");
    Find(4);
    EXPECT_EQ(thread->sFlashTypeName, "K9 single x 4");
    FlashIni("[k9.txt]\r\n2=K9 dual\r\n");
    Find(4);
    EXPECT_EQ(thread->sFlashTypeName, "DEFAULT");
}

TEST_F(FlashLookupTest, NoMatchUsesTheDefaultSection)
{
    FlashIni("[DEFAULT]\r\n1=Generic NAND\r\n");
    EXPECT_EQ(Find(2), "DEFAULT");
    EXPECT_EQ(thread->sFlashTypeName, "Generic NAND x 2");
}

TEST_F(FlashLookupTest, UnmatchedFlashIsDescribedByTheFileCalledDefault)
{
    // The file without extension is never a candidate, even with the device's own ID.
    RecordFields generic = WithId(0xEC, 0xD3, 0x51, 0x95, 0x58);
    generic.name = "Generic";
    generic.pagesLog2 = 7;
    dir.write("flash/DEFAULT", MakeRecord(generic));
    Description("other.txt", WithId(0xAD, 0xF1, 0x80, 0x1D, 0x00));
    FlashIni("[other.txt]\r\n1=Hynix\r\n[DEFAULT]\r\n1=Any NAND\r\n2=Any NAND pair\r\n");

    const std::string name = Find(2);
    ASSERT_EQ(name, "DEFAULT");
    EXPECT_EQ(thread->sFlashTypeName, "Any NAND pair");
    EXPECT_EQ(ReadRecordName(".\\flash\\" + name), "Generic");
    thread->iChipCount = 2;
    ASSERT_EQ(LoadFlashRecord(*thread, platform::ProgramDir() + "/flash/" + name), 1);
    EXPECT_EQ(thread->iPagesPerBlock, 128u);
}

TEST_F(FlashLookupTest, MissingFlashIniGivesDefaultTypeName)
{
    Description("k9.txt", WithId(0xEC, 0xD3, 0x51, 0x95, 0x58));
    EXPECT_EQ(Find(), "k9.txt");
    EXPECT_EQ(thread->sFlashTypeName, "DEFAULT");
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

    EXPECT_EQ(ReadRecordName(".\\flash\\named.txt"), "K9F1G08U0M");
    EXPECT_EQ(ReadRecordName(".\\flash\\unnamed.txt"), "DEFAULT");
    EXPECT_EQ(ReadRecordName(".\\flash\\full.txt"), std::string(32, 'N'));
    EXPECT_EQ(ReadRecordName(".\\flash\\short.txt"), "DEFAULT");
    EXPECT_EQ(ReadRecordName(".\\flash\\missing.txt"), "DEFAULT");
}

TEST_F(ThreadTest, LoadDerivesTheGeometry)
{
    RecordFields fields;
    fields.sysAreaPages = 32;
    fields.moduleNumber = 3;
    fields.firmwareFlag = 1;
    dir.write("flash/r.txt", MakeRecord(fields));
    thread->iChipCount = 2;
    ASSERT_EQ(LoadFlashRecord(*thread, dir.file("flash/r.txt")), 1);
    EXPECT_EQ(thread->iBlocksPerChip, 1024u);
    EXPECT_EQ(thread->iPageSize, 2048u);
    EXPECT_EQ(thread->iSectorSize, 512u);
    EXPECT_EQ(thread->iPagesPerBlock, 64u);
    EXPECT_EQ(thread->iRecordByte96, 0x21u);
    EXPECT_EQ(thread->iSysAreaPagesPerBlock, 32u);
    EXPECT_EQ(thread->iUsableBlocksPerChip, 1000u);
    EXPECT_EQ(thread->iModuleNumber, 3u);
    EXPECT_EQ(thread->iFirmwareFlag, 1u);
    EXPECT_EQ(thread->bBlocksPerChipOverride, 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(thread->CfgImage), 512), MakeRecord(fields));
}

TEST_F(ThreadTest, EccThresholdFromTheSetting)
{
    dir.write("flash/r.txt", MakeRecord(RecordFields{}));
    thread->iChipCount = 1;
    const struct {
        int level;
        uint32_t threshold;
    } cases[] = {{0, 2}, {1, 0}, {2, 1}, {7, 6}, {-1, 2}};
    for (auto c : cases) {
        window.eccLevel = c.level;
        ASSERT_EQ(LoadFlashRecord(*thread, dir.file("flash/r.txt")), 1);
        EXPECT_EQ(thread->iEccThreshold, c.threshold) << c.level;
    }
}

TEST_F(ThreadTest, ShortRecordsLoadFromOneHundredTwentyEightBytes)
{
    const std::string record = MakeRecord(RecordFields{});
    // 200 bytes: geometry and ID present; usable blocks (216) lie beyond, so they read 0.
    dir.write("flash/200.txt", record.substr(0, 200));
    dir.write("flash/100.txt", record.substr(0, 100));
    thread->iChipCount = 1;
    ASSERT_EQ(LoadFlashRecord(*thread, dir.file("flash/200.txt")), 1);
    for (size_t i = 200; i < 512; ++i)
        ASSERT_EQ(thread->CfgImage[i], 0) << i;
    EXPECT_EQ(thread->iUsableBlocksPerChip, 0u);
    EXPECT_EQ(LoadFlashRecord(*thread, dir.file("flash/100.txt")), 0);
    EXPECT_EQ(LoadFlashRecord(*thread, dir.file("flash/none.txt")), 0);
}

TEST_F(ThreadTest, RegistryBlocksPerChipOverridesTheRecord)
{
    dir.write("flash/r.txt", MakeRecord(RecordFields{}));
    thread->iChipCount = 2;
    ASSERT_TRUE(RegWriteInt("BlocksPerChip", 3000));
    ASSERT_EQ(LoadFlashRecord(*thread, dir.file("flash/r.txt")), 1);
    EXPECT_EQ(thread->iBlocksPerChip, 3000u);
    EXPECT_EQ(thread->bBlocksPerChipOverride, 1);

    ASSERT_TRUE(RegWriteInt("BlocksPerChip", 0));
    ASSERT_EQ(LoadFlashRecord(*thread, dir.file("flash/r.txt")), 1);
    EXPECT_EQ(thread->iBlocksPerChip, 1024u);
    EXPECT_EQ(thread->bBlocksPerChipOverride, 0);
}

TEST_F(ThreadTest, ImpossibleGeometryIsRefusedAndLeavesTheThreadAsItWas)
{
    struct Case {
        const char* what;
        uint32_t chips;
        RecordFields fields;
        int registryBlocks = 0;
    };
    auto fields = [](auto change) {
        RecordFields s;
        change(s);
        return s;
    };
    const Case cases[] = {
        {"1024 pages per block", 1, fields([](RecordFields& s) { s.pagesLog2 = 10; })},
        {"16 pages per block", 1, fields([](RecordFields& s) { s.pagesLog2 = 4; })},
        {"16384-byte pages", 1, fields([](RecordFields& s) { s.pageLog2 = 14; })},
        {"256-byte pages", 1, fields([](RecordFields& s) { s.pageLog2 = 8; })},
        {"usable above blocks per chip", 1, fields([](RecordFields& s) { s.usableBlocks = 1025; })},
        {"no chips", 0, RecordFields{}},
        {"more than 65536 blocks", 2, fields([](RecordFields& s) { s.blocksLog2 = 16; s.usableBlocks = 60000; })},
        {"shift beyond 32 bits", 1, fields([](RecordFields& s) { s.blocksLog2 = 40; })},
        {"bitmap pages beyond the bitmap", 1, fields([](RecordFields& s) { s.bitmapPages = 5; })},
        {"bitmap page count wraps", 2, fields([](RecordFields& s) { s.bitmapPages = 0; })},
        {"registry blocks too many", 32, RecordFields{}, 4096},
        {"registry blocks negative", 1, RecordFields{}, -5},
    };
    for (const auto& c : cases) {
        dir.write("flash/bad.txt", MakeRecord(c.fields));
        ASSERT_TRUE(RegWriteInt("BlocksPerChip", c.registryBlocks));
        thread->iChipCount = c.chips;
        thread->iBlocksPerChip = 7;
        thread->iPagesPerBlock = 7;
        thread->iPageSize = 7;
        EXPECT_EQ(LoadFlashRecord(*thread, dir.file("flash/bad.txt")), 0) << c.what;
        EXPECT_EQ(thread->iBlocksPerChip, 7u) << c.what;
        EXPECT_EQ(thread->iPagesPerBlock, 7u) << c.what;
        EXPECT_EQ(thread->iPageSize, 7u) << c.what;
    }
}

TEST_F(ThreadTest, LargestSoundGeometryLoads)
{
    RecordFields s;
    s.pagesLog2 = 9;   // 512 pages
    s.pageLog2 = 13;   // 8192 bytes
    s.blocksLog2 = 14; // 16384 blocks
    s.usableBlocks = 16384;
    s.bitmapPages = 1;
    dir.write("flash/big.txt", MakeRecord(s));
    thread->iChipCount = 4; // 65536 blocks in all
    EXPECT_EQ(LoadFlashRecord(*thread, dir.file("flash/big.txt")), 1);
}

} // namespace
