// The sample station kit: every file is there and reads as the tool reads it.
#include "sim/Profiles.h"
#include "sim/StationKit.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <iconv.h>
#include <map>
#include <sys/stat.h>

namespace {

using Bytes = std::vector<uint8_t>;

class StationKitFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(sim::WriteStationKit(dir.path(), &error)) << error;
    }
    Bytes bytes(const std::string& name) const
    {
        std::string s = dir.read(name);
        return Bytes(s.begin(), s.end());
    }
    testsupport::TempDir dir;
};

uint32_t be16(const Bytes& b, size_t at) { return uint32_t(b.at(at)) << 8 | b.at(at + 1); }

// Sections of an ini text: name -> key -> raw value bytes.
std::map<std::string, std::map<std::string, std::string>> parseIni(const std::string& text)
{
    std::map<std::string, std::map<std::string, std::string>> out;
    std::string section;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find("\r\n", pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 2;
        if (line.size() > 1 && line.front() == '[' && line.back() == ']')
            section = line.substr(1, line.size() - 2);
        else if (auto eq = line.find('='); eq != std::string::npos)
            out[section][line.substr(0, eq)] = line.substr(eq + 1);
    }
    return out;
}

std::string decode(const std::string& bytes, const char* codePage)
{
    iconv_t cd = iconv_open("UTF-8", codePage);
    std::string in = bytes, out(bytes.size() * 4 + 4, '\0');
    char* src = in.data();
    char* dst = out.data();
    size_t srcLeft = in.size(), dstLeft = out.size();
    size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    iconv_close(cd);
    if (r == size_t(-1))
        return "<invalid>";
    out.resize(out.size() - dstLeft);
    return out;
}

TEST_F(StationKitFiles, FlashRecordsDescribeTheSimulatedFlashes)
{
    auto ini = parseIni(dir.read(sim::kKitFlashIni));
    bool first = true;
    for (const auto& p : sim::KitNandProfiles()) {
        const std::string name = sim::FlashIdText(p) + ".txt";
        Bytes r = bytes("flash/" + name);
        ASSERT_EQ(r.size(), 512u) << name;
        EXPECT_EQ(std::string(r.begin(), r.begin() + 4), "6205");
        EXPECT_EQ(1u << r[83], p.sectorSize);
        EXPECT_EQ(1u << r[84], p.pageSize);
        EXPECT_EQ(1u << r[87], p.pagesPerBlock);
        EXPECT_EQ(1u << r[90], p.blocksPerChip);
        EXPECT_EQ(r[96], p.writeParameter);
        EXPECT_EQ(Bytes(r.begin() + 155, r.begin() + 160), Bytes(p.flashId.begin(), p.flashId.end()));
        EXPECT_EQ(be16(r, 216), p.usableBlocksPerChip);
        EXPECT_EQ(r[218], 0);    // module number the kit's firmware carries
        EXPECT_NE(r[220], 0);    // firmware flag: the firmware's 0xAA byte has bit 0x20
        // The bitmap fits the configuration image.
        uint32_t bitmapPages = (r[137] - 1u) * p.chips + 1;
        EXPECT_GE(bitmapPages * p.pageSize * 8, p.totalBlocks());
        EXPECT_LE(bitmapPages * p.pageSize, 8192u);
        std::string stored(reinterpret_cast<const char*>(r.data() + 480));
        EXPECT_EQ(stored, first ? p.name : "");
        ASSERT_TRUE(ini.count(name)) << name;
        EXPECT_FALSE(ini[name]["1"].empty());
        first = false;
    }
    EXPECT_EQ(ini["5AD3819558.txt"]["2"], "SIM NAND 1G");
}

TEST_F(StationKitFiles, LoaderCarriesItsVersionAt8192)
{
    Bytes b = bytes(sim::kKitLoader);
    ASSERT_GT(b.size(), 8192u + 255);
    std::string version(reinterpret_cast<const char*>(b.data() + 8192));
    EXPECT_EQ(version.substr(0, 3), "FSM");
    EXPECT_EQ(version, sim::kKitLoaderVersion);
}

TEST_F(StationKitFiles, FirmwareFieldsSitAtTheirOffsets)
{
    std::string name = sim::kKitFirmware;
    EXPECT_NE(name.find("program"), std::string::npos);
    EXPECT_NE(name.find(".bin"), std::string::npos);
    Bytes b = bytes(name);
    ASSERT_EQ(b.size(), sim::kFirmwareBytes);
    EXPECT_GT(b.size(), 65536u + 2048); // long enough for the SPI read-back check
    EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "6205");
    EXPECT_EQ(b[5], 2); // built for pages above 512 bytes, as the kit's flashes have
    EXPECT_EQ(be16(b, 16) * 512, b.size());
    EXPECT_EQ(std::string(b.begin() + 2044, b.begin() + 2046), "ID");
    EXPECT_EQ(b[2047], 0xFF);
    EXPECT_EQ(b[38909], 'U');
    EXPECT_EQ(b[38910], 0xAA);
    EXPECT_TRUE(b[38910] & 0x20);
    EXPECT_EQ(b[38911], 0);
}

TEST_F(StationKitFiles, LanguageFileHasThreeSectionsInTheirCodePages)
{
    auto ini = parseIni(dir.read(sim::kKitLang));
    ASSERT_EQ(ini.size(), 3u);
    for (const char* s : {"Chinese (PRC)", "Chinese (Taiwan)", "English"})
        EXPECT_EQ(ini[s].size(), 66u) << s;
    EXPECT_EQ(ini["English"]["FailMsg"], "fail");
    EXPECT_EQ(ini["English"]["PassWriteStr"], "PASS Write Setup");
    EXPECT_EQ(decode(ini["Chinese (PRC)"]["FailMsg"], "GBK"), "失败");
    EXPECT_EQ(decode(ini["Chinese (Taiwan)"]["FailMsg"], "BIG5"), "失敗");
    EXPECT_EQ(decode(ini["Chinese (PRC)"]["HiddenDiskStr"], "GBK"), "隐藏盘");
    EXPECT_EQ(decode(ini["Chinese (Taiwan)"]["HiddenDiskStr"], "BIG5"), "隱藏碟");
    // Not UTF-8: the GBK bytes of 失败 are C A7 B0 DC.
    EXPECT_EQ(ini["Chinese (PRC)"]["FailMsg"], "\xCA\xA7\xB0\xDC");
}

TEST_F(StationKitFiles, PicturesAreValidBitmaps)
{
    for (const char* name : {sim::kKitSuccessBmp, sim::kKitFailBmp}) {
        Bytes b = bytes(name);
        ASSERT_GE(b.size(), 54u) << name;
        EXPECT_EQ(b[0], 'B');
        EXPECT_EQ(b[1], 'M');
        uint32_t size = b[2] | b[3] << 8 | b[4] << 16 | uint32_t(b[5]) << 24;
        EXPECT_EQ(size, b.size());
        EXPECT_EQ(b[14], 40);
        EXPECT_EQ(b[28], 24);
        uint32_t w = b[18], h = b[22];
        EXPECT_EQ(54 + w * h * 3, b.size()); // 32-pixel rows need no padding
    }
}

TEST_F(StationKitFiles, DataFilesAndPortScript)
{
    EXPECT_GE(bytes(sim::kKitPrefer).size(), 4096u);
    EXPECT_FALSE(bytes(sim::kKitTelbook).empty());
    struct stat st {};
    ASSERT_EQ(stat(dir.file(sim::kKitUsbDos).c_str(), &st), 0);
    EXPECT_TRUE(st.st_mode & S_IXUSR);
    auto run = [&](const std::string& arg) {
        std::string out;
        FILE* p = popen(("'" + dir.file(sim::kKitUsbDos) + "' " + arg).c_str(), "r");
        char buf[64];
        while (fgets(buf, sizeof buf, p))
            out += buf;
        pclose(p);
        return out;
    };
    EXPECT_EQ(run("5"), "105\n");
    EXPECT_EQ(run("12"), "112\n");
    EXPECT_EQ(run("0"), "0\n");
    EXPECT_EQ(run("x"), "0\n");
}

TEST_F(StationKitFiles, GeneratingTwiceGivesTheSameFiles)
{
    testsupport::TempDir other;
    ASSERT_TRUE(sim::WriteStationKit(other.path()));
    for (const char* f : {sim::kKitLoader, sim::kKitFirmware, sim::kKitLang, sim::kKitFlashIni})
        EXPECT_EQ(dir.read(f), other.read(f)) << f;
}

} // namespace
