// Page-mode detection, the per-block page test and the three table logs.
#include "test_blanking_fixture.h"

#include "device/PageMatrix.h"
#include "platform/AtomicFile.h"
#include "production/PageMode.h"

#include <cstdio>
#include <numeric>

using namespace blanktest;

namespace {

std::string ReadLog(const std::string& path)
{
    std::string text;
    EXPECT_TRUE(platform::ReadWholeFile(path, text)) << path;
    return text;
}

std::string Hex(const char* format, unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

TEST(PageMode, PageTestAndChoice)
{
    const struct { uint8_t table, ecc; int32_t pages; uint32_t threshold; int expected; } cases[] = {
        {0xFF, 250, 1, 4, 0}, // 5 bit errors on a used page
        {0x00, 250, 1, 4, 1}, // the same on an unused page
        {0xFE, 250, 1, 4, 1}, // only 0xFF marks a used page
        {0xFF, 251, 1, 4, 1}, // exactly the threshold
        {0xFF, 0, 0, 4, 1},   {0xFF, 0, -3, 4, 1}, {0xFF, 0, 1, 255, 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PageEccPass(&c.table, &c.ecc, c.pages, c.threshold), c.expected)
            << int(c.table) << " " << int(c.ecc) << " " << c.pages << " " << c.threshold;
    const uint8_t table[4] = {0xFF, 0x00, 0xFF, 0xFF};
    const uint8_t row[4] = {255, 0, 255, 240};
    EXPECT_EQ(PageEccPass(table, row, 3, 4), 1); // page 3 lies past the count
    EXPECT_EQ(PageEccPass(table, row, 4, 4), 0);

    // The first strict maximum wins.
    const uint32_t counts[4][7] = {{}, {1024, 0, 1024}, {512, 512, 512, 512, 512, 512, 513}, {0, 0, 0, 0, 0, 7, 7}};
    const int chosen[4] = {-1, 0, 6, 5};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(ChoosePageMode(counts[i]), chosen[i]) << i;
}

class Detection : public SimScanTest {
protected:
    ProductThread& PlugWeak(std::vector<sim::WeakPages> weak)
    {
        sim::FlashProfile p = SmallNand();
        p.weakPages = std::move(weak);
        return Plug(p, true);
    }
    std::vector<uint32_t> SampleBlocks() const
    {
        std::vector<uint32_t> blocks;
        for (const auto& c : Commands())
            if (c.opcode == 0x93 && blocks.size() < 16)
                blocks.push_back(c.block);
        return blocks;
    }
};

TEST_F(Detection, SixteenSamplesUnderEachOfTheSevenTablesAndTheirLog)
{
    ProductThread& t = PlugWeak({{sim::WeakPages::Where::OddPages, 10, {}}});
    t.bLogBiTable = 1;
    ASSERT_TRUE(platform::MakeDirs(station.file("log")));
    ASSERT_TRUE(platform::WriteFileAtomic(station.file("log/3_ModeEcc.txt"), "old run\r\n"));
    ASSERT_EQ(DetectPageMode(t), 2);
    const auto sent = Commands();
    ASSERT_EQ(sent.size(), 7u * 17u);
    const auto samples = SampleBlocks();
    for (uint32_t i = 0; i < 16; ++i) {
        EXPECT_GE(samples[i], i * 64); // one in each sixteenth of the 1024 blocks
        EXPECT_LT(samples[i], (i + 1) * 64);
    }
    std::string expected;
    int pass = 0;
    for (int mode : {6, 0, 1, 2, 3, 4, 5}) {
        EXPECT_EQ(sent[pass * 17].opcode, 0x9B);
        for (uint32_t i = 0; i < 16; ++i) {
            const ScanCommand& c = sent[pass * 17 + 1 + i];
            EXPECT_EQ(c, Scan(samples[i], c.pattern, 1, 3, 0, 4, 1));
            EXPECT_LT(c.pattern, 32768);
        }
        ++pass;
        expected += "Mode " + production::DefaultPageModeName(mode) + "\r\n" + std::string(44, '=') + "\r\n";
        std::vector<uint8_t> table(32);
        FillPattern(table.data(), uint32_t(mode), 32);
        for (uint32_t block : samples) {
            expected += Hex("%04u:", block);
            for (uint32_t p = 0; p < 32; ++p)
                expected += table[p] == 0xFF && p % 2 ? " F5" : " FF"; // unread pages: FF
            expected += "\r\n";
        }
    }
    EXPECT_EQ(ReadLog(station.file("log/3_ModeEcc.txt")), expected);
    EXPECT_EQ(t.iLastModeEccMode, 5);
    std::vector<uint8_t> last(32); // the device keeps the last table sent: mode 5's
    FillPattern(last.data(), 5, 32);
    EXPECT_EQ(device->pageTable(), last);
}

// A table scores the pages it keeps per block against the samples that pass: every mode
// scores passing samples x 32 pages / 2, All Pages the pages it keeps x passing samples.
TEST_F(Detection, AllPagesWinsOnlyWhenItKeepsMoreThanHalfTheScore)
{
    std::vector<uint32_t> firstTenSixteenths(640);
    std::iota(firstTenSixteenths.begin(), firstTenSixteenths.end(), 0u);
    const struct { const char* what; std::vector<sim::WeakPages> weak; int mode; } cases[] = {
        {"no weak page: 32 x 16 against 16 x 32 / 2", {}, 6},
        {"odd pages weak in 10 samples: 32 x 6 against even pages' 16 x 32 / 2", {{sim::WeakPages::Where::OddPages, 10, firstTenSixteenths}}, 2},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DetectPageMode(PlugWeak(c.weak)), c.mode) << c.what;
}

class TableLogs : public prodtest::ThreadTest {
protected:
    void SetUp() override
    {
        ThreadTest::SetUp();
        thread->sFlashTypeName = "K9F1G08";
    }
    const std::string head = "====Flash Type: K9F1G08==========================\r\n";
};

TEST_F(TableLogs, PageTableAndEccTableLogsByteForByte)
{
    SetGeometry(2, 16, 16, 64);
    FillPattern(thread->PageTable, 2, 64);
    WritePageTableLog(*thread, "0_page_tab.txt");
    std::string expected = head + "=========page table ========\r\n";
    for (int line = 0; line < 8; ++line)
        expected += std::string(line ? "\r\n" : "") + "0xFF 0x00 0xFF 0x00 0xFF 0x00 0xFF 0x00 ";
    EXPECT_EQ(ReadLog(dir.file("log/0_page_tab.txt")), expected + "\r\nValid Page  32\r\n");

    SetGeometry(2, 16, 16, 32);
    thread->pPageEccTable = std::make_unique<uint8_t[]>(2 * 16 * 32);
    for (uint32_t i = 0; i < 2 * 16 * 32; ++i)
        thread->pPageEccTable[i] = uint8_t(i / 32); // the row number
    WriteEccTableLog(*thread, "5_Ecc_Tab.txt");
    expected = head + "=========page ECC table ========\r\n";
    for (uint32_t b = 0; b < 16; ++b) { // the first chip only
        expected += Hex("%04u: ", b);
        for (int p = 0; p < 32; ++p)
            expected += Hex("%02X ", b);
        expected += "\r\n";
    }
    EXPECT_EQ(ReadLog(dir.file("log/5_Ecc_Tab.txt")), expected);
}

TEST_F(TableLogs, ModeEccLogHeadsEachNewModeAndNeedsTheFolder)
{
    const uint8_t row[3] = {0xFF, 0x0A, 0x00};
    EXPECT_EQ(WriteModeEccLog(*thread, 1, 2, 6, 7, row, 3), 0); // the folder is not made here
    ASSERT_TRUE(platform::MakeDirs(dir.file("log")));
    thread->iLastModeEccMode = -1;
    EXPECT_EQ(WriteModeEccLog(*thread, 1, 2, 6, 7, row, 3), 1);
    EXPECT_EQ(WriteModeEccLog(*thread, 0, 2, 6, 12345, row, 2), 1);
    EXPECT_EQ(WriteModeEccLog(*thread, 0, 2, 1, 0, row, 1), 1);
    EXPECT_EQ(ReadLog(dir.file("log/2_ModeEcc.txt")),
              "Mode All Pages\r\n============================================\r\n"
              "0007: FF 0A 00\r\n"
              "12345: FF 0A\r\n"
              "Mode Specific mode 2\r\n============================================\r\n"
              "0000: FF\r\n");
}

} // namespace
