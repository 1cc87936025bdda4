// The sample station kit: every file is there and reads as the tool reads it.
#include "sim/Profiles.h"
#include "sim/StationKit.h"
#include "support/TempDir.h"
#include "text/LangStrings.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/stat.h>

namespace {

using Bytes = std::vector<uint8_t>;

struct Ini {
    std::map<std::string, std::map<std::string, std::string>> values; // raw value bytes
    std::map<std::string, std::vector<std::string>> keys;              // in file order
    std::map<std::string, std::string> joined;                         // "key=value|" in file order
};

Ini parseIni(const std::string& text)
{
    Ini out;
    std::string section;
    for (size_t pos = 0; pos < text.size();) {
        size_t end = std::min(text.find("\r\n", pos), text.size());
        std::string line = text.substr(pos, end - pos);
        pos = end + 2;
        if (line.size() > 1 && line.front() == '[' && line.back() == ']') {
            section = line.substr(1, line.size() - 2);
        } else if (auto eq = line.find('='); eq != std::string::npos) {
            out.values[section][line.substr(0, eq)] = line.substr(eq + 1);
            out.keys[section].push_back(line.substr(0, eq));
            out.joined[section] += line + "|";
        }
    }
    return out;
}

uint32_t be16(const Bytes& b, size_t at) { return uint32_t(b.at(at)) << 8 | b.at(at + 1); }

// The record's 40-bit flash ID (bytes 155-159), or the device's.
uint64_t id40(const uint8_t* b)
{
    uint64_t id = 0;
    for (int i = 0; i < 5; ++i)
        id = id << 8 | b[i];
    return id;
}

// The lookup's two rules: an exact 40-bit match, or bits 8-39 equal with bit 7 masked.
bool matches(uint64_t fileId, uint64_t devId)
{
    return (fileId != 0 && fileId == devId) ||
           ((fileId >> 8) != 0 && ((fileId >> 8) & 0xFFFFFF7F) == ((devId >> 8) & 0xFFFFFF7F));
}

class StationKitFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(sim::WriteStationKit(dir.path(), &error)) << error;
    }
    Bytes bytes(const std::string& name) const { std::string s = dir.read(name); return {s.begin(), s.end()}; }
    Bytes record(const sim::FlashProfile& p) const { return bytes("flash/" + sim::FlashIdText(p) + ".txt"); }
    testsupport::TempDir dir;
};

// Each record with the field positions the tool reads; the lookup finds each simulated
// flash's own record and no other; exactly one program file fits each record: the flag bit
// at 38910 agrees with record byte 220, byte 38911 equals byte 218, the SDK type the page size.
TEST_F(StationKitFiles, FlashRecordsDescribeTheSimulatedFlashes)
{
    Ini ini = parseIni(dir.read(sim::kKitFlashIni));
    auto profiles = sim::KitNandProfiles(), devices = profiles;
    profiles.push_back(sim::DefaultRecordProfile());
    devices.push_back(sim::NandUnlisted()); // served by DEFAULT, never matched by ID
    const Bytes firmware[] = {bytes(sim::kKitFirmware), bytes(sim::kKitFirmwareSmallPage)};
    bool smallPage = false, largePage = false, twoChips = false;
    for (size_t i = 0; i < profiles.size(); ++i) {
        const auto& p = profiles[i];
        const std::string name = i + 1 < profiles.size() ? sim::FlashIdText(p) + ".txt" : "DEFAULT";
        SCOPED_TRACE(name);
        Bytes r = bytes("flash/" + name);
        ASSERT_EQ(r.size(), 512u);
        EXPECT_EQ(std::string(r.begin(), r.begin() + 4), "6205");
        EXPECT_EQ(1u << r[83], p.sectorSize);
        EXPECT_EQ(1u << r[84], p.pageSize);
        EXPECT_EQ(1u << r[87], p.pagesPerBlock);
        EXPECT_EQ(1u << r[90], p.blocksPerChip);
        EXPECT_EQ(r[96], p.writeParameter);
        EXPECT_EQ(id40(r.data() + 155), id40(p.flashId.data()));
        EXPECT_EQ(be16(r, 216), p.usableBlocksPerChip);
        EXPECT_EQ(r[218], p.moduleNumber);
        EXPECT_EQ(r[220], p.firmwareFlag);
        uint32_t bitmapPages = (r[137] - 1u) * p.chips + 1; // fits the configuration image
        EXPECT_GE(bitmapPages * p.pageSize * 8, p.totalBlocks());
        EXPECT_LE(bitmapPages * p.pageSize, 8192u);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.data() + 480)), i == 0 ? p.name : "");
        EXPECT_FALSE(ini.values[name]["1"].empty());
        smallPage |= p.pageSize == 512;
        largePage |= p.pageSize > 512 && p.chips == 1;
        twoChips |= p.chips == 2;
        for (const auto& q : devices)
            EXPECT_EQ(matches(id40(r.data() + 155), id40(q.flashId.data())), p.name == q.name) << q.name;
        int fitting = 0;
        for (const Bytes& fw : firmware) {
            ASSERT_EQ(fw.size(), sim::kFirmwareBytes);
            if (bool(fw[38910] & 0x20) == (r[220] != 0) && fw[38911] == r[218]) {
                EXPECT_EQ(fw[5], p.pageSize <= 512 ? 1 : 2);
                ++fitting;
            }
        }
        EXPECT_EQ(fitting, 1);
    }
    EXPECT_TRUE(smallPage && largePage && twoChips);
    EXPECT_EQ(ini.values["5AD3819558.txt"]["2"], "SIM NAND 1G");
    EXPECT_EQ(ini.values["DEFAULT"]["1"], "GENERIC NAND");
}

TEST_F(StationKitFiles, LanguageFileHasTheKeyedStringsInThreeCodePages)
{
    // The keyed interface strings with their built-in English texts, in the window's order.
    std::string english;
    for (const UiString* string : KeyedUiStrings())
        english += std::string(string->key()) + "=" + string->builtIn() + "|";
    Ini ini = parseIni(dir.read(sim::kKitLang));
    ASSERT_EQ(ini.keys.size(), 3u);
    EXPECT_EQ(ini.joined["English"], english);
    EXPECT_EQ(ini.keys["Chinese (PRC)"], ini.keys["English"]);
    EXPECT_EQ(ini.keys["Chinese (Taiwan)"], ini.keys["English"]);
    auto& prc = ini.values["Chinese (PRC)"];
    auto& taiwan = ini.values["Chinese (Taiwan)"];
    EXPECT_EQ(prc["FailMsg"], "\xCA\xA7\xB0\xDC");                  // 失败 in GBK
    EXPECT_EQ(taiwan["FailMsg"], "\xA5\xA2\xB1\xD1");               // 失敗 in Big5
    EXPECT_EQ(prc["HiddenDiskStr"], "\xD2\xFE\xB2\xD8\xC5\xCC");    // 隐藏盘 in GBK
    EXPECT_EQ(taiwan["HiddenDiskStr"], "\xC1\xF4\xC2\xC3\xBA\xD0"); // 隱藏碟 in Big5
}

TEST_F(StationKitFiles, ProgramFilesLoaderPicturesDataFilesAndPortScript)
{
    const struct {
        const char* name;
        uint8_t sdkType;   // 2: pages above 512 bytes, 1: pages of 512 bytes
        uint8_t flagsByte; // after 'U'; bit 0x20 is the firmware flag
    } cases[] = {{sim::kKitFirmware, 2, 0xAA}, {sim::kKitFirmwareSmallPage, 1, 0x8A}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_NE(std::string(c.name).find("program"), std::string::npos);
        Bytes b = bytes(c.name);
        ASSERT_EQ(b.size(), sim::kFirmwareBytes);
        EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "6205");
        EXPECT_EQ(b[5], c.sdkType);
        EXPECT_EQ(be16(b, 16) * 512, b.size());
        EXPECT_TRUE(b[2044] == 'I' && b[2045] == 'D' && b[2047] == 0xFF); // bonding ID tag and byte
        EXPECT_EQ(Bytes(b.begin() + 38909, b.begin() + 38912), (Bytes{'U', c.flagsByte, 0}));
    }

    Bytes loader = bytes(sim::kKitLoader);
    ASSERT_GT(loader.size(), 8192u + 255);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(loader.data() + 8192)), sim::kKitLoaderVersion);

    for (const char* name : {sim::kKitSuccessBmp, sim::kKitFailBmp}) { // 24-bit, 32-pixel rows: no padding
        Bytes b = bytes(name);
        ASSERT_GE(b.size(), 54u) << name;
        EXPECT_TRUE(b[0] == 'B' && b[1] == 'M' && b[14] == 40 && b[28] == 24) << name;
        EXPECT_EQ(b[2] | b[3] << 8 | b[4] << 16 | uint32_t(b[5]) << 24, b.size());
        EXPECT_EQ(54u + b[18] * b[22] * 3, b.size());
    }

    struct stat st {};
    ASSERT_EQ(stat(dir.file(sim::kKitUsbDos).c_str(), &st), 0);
    EXPECT_TRUE(st.st_mode & S_IXUSR);
    for (auto [arg, expected] : {std::pair{"5", "105\n"}, {"12", "112\n"}, {"0", "0\n"}, {"x", "0\n"}}) {
        std::string out;
        FILE* p = popen(("'" + dir.file(sim::kKitUsbDos) + "' " + arg).c_str(), "r");
        ASSERT_TRUE(p);
        char buf[64];
        while (fgets(buf, sizeof buf, p))
            out += buf;
        pclose(p);
        EXPECT_EQ(out, expected) << arg;
    }
}

// The build writes the kit into <build>/station; it is the kit the generator makes.
TEST_F(StationKitFiles, BuildFolderHoldsTheGeneratedKit)
{
    const std::string built = std::string(MPTOOL_BINARY_DIR) + "/station/";
    std::vector<std::string> files = {sim::kKitLoader, sim::kKitFirmware, sim::kKitFirmwareSmallPage, sim::kKitPrefer,
        sim::kKitTelbook, sim::kKitLang, sim::kKitSuccessBmp, sim::kKitFailBmp, sim::kKitUsbDos, sim::kKitFlashIni,
        sim::kKitDefaultRecord, sim::kKitPassImage};
    for (const auto& p : sim::KitNandProfiles())
        files.push_back("flash/" + sim::FlashIdText(p) + ".txt");
    for (const auto& f : files) {
        std::ifstream in(built + f, std::ios::binary);
        ASSERT_TRUE(in) << built + f;
        std::ostringstream content;
        content << in.rdbuf();
        EXPECT_EQ(content.str(), dir.read(f)) << f;
    }
}

} // namespace
