// The sample station kit: every file is there and reads as the tool reads it.
#include "sim/Profiles.h"
#include "sim/StationKit.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
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
        EXPECT_EQ(r[218], p.moduleNumber);
        EXPECT_EQ(r[220], p.firmwareFlag);
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

uint64_t recordId(const Bytes& r)
{
    uint64_t id = 0;
    for (size_t i = 155; i < 160; ++i)
        id = id << 8 | r.at(i);
    return id;
}

uint64_t deviceId(const sim::FlashProfile& p)
{
    uint64_t id = 0;
    for (uint8_t b : p.flashId)
        id = id << 8 | b;
    return id;
}

// The lookup's two rules: an exact 40-bit match, or bits 8-39 equal with bit 7 masked.
bool matches(uint64_t fileId, uint64_t devId)
{
    if (fileId != 0 && fileId == devId)
        return true;
    return (fileId >> 8) != 0 && ((fileId >> 8) & 0xFFFFFF7F) == ((devId >> 8) & 0xFFFFFF7F);
}

TEST_F(StationKitFiles, KitCoversSmallPagesLargePagesAndTwoChips)
{
    bool smallPage = false, largePage = false, twoChips = false;
    for (const auto& p : sim::KitNandProfiles()) {
        smallPage |= p.pageSize == 512;
        largePage |= p.pageSize > 512 && p.chips == 1;
        twoChips |= p.chips == 2;
        // Each simulated flash finds its own record and no other.
        for (const auto& q : sim::KitNandProfiles()) {
            Bytes r = bytes("flash/" + sim::FlashIdText(q) + ".txt");
            EXPECT_EQ(matches(recordId(r), deviceId(p)), p.name == q.name) << p.name << " / " << q.name;
        }
    }
    EXPECT_TRUE(smallPage);
    EXPECT_TRUE(largePage);
    EXPECT_TRUE(twoChips);
}

TEST_F(StationKitFiles, DefaultRecordServesFlashesNoFileNames)
{
    Bytes r = bytes(sim::kKitDefaultRecord);
    ASSERT_EQ(r.size(), 512u);
    EXPECT_EQ(std::string(r.begin(), r.begin() + 4), "6205");
    EXPECT_EQ(recordId(r), 0u);                               // never matched by ID
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.data() + 480)), ""); // name "DEFAULT"
    const sim::FlashProfile unlisted = sim::NandUnlisted();
    EXPECT_EQ(1u << r[84], unlisted.pageSize);
    EXPECT_EQ(1u << r[87], unlisted.pagesPerBlock);
    EXPECT_EQ(1u << r[90], unlisted.blocksPerChip);
    EXPECT_EQ(be16(r, 216), unlisted.usableBlocksPerChip);
    for (const auto& p : sim::KitNandProfiles())
        EXPECT_FALSE(matches(recordId(bytes("flash/" + sim::FlashIdText(p) + ".txt")), deviceId(unlisted))) << p.name;
    auto ini = parseIni(dir.read(sim::kKitFlashIni));
    EXPECT_EQ(ini["DEFAULT"]["1"], "GENERIC NAND");
}

// The program-file choice: name holds "program", the flag bit at 38910 agrees with record
// byte 220, byte 38911 equals record byte 218; then the SDK type must fit the page size.
TEST_F(StationKitFiles, EveryRecordHasExactlyOneFittingFirmware)
{
    std::vector<Bytes> records;
    for (const auto& p : sim::KitNandProfiles())
        records.push_back(bytes("flash/" + sim::FlashIdText(p) + ".txt"));
    records.push_back(bytes(sim::kKitDefaultRecord));
    for (const auto& r : records) {
        const uint32_t pageSize = 1u << r[84];
        int fitting = 0;
        for (const char* name : {sim::kKitFirmware, sim::kKitFirmwareSmallPage}) {
            ASSERT_NE(std::string(name).find("program"), std::string::npos);
            Bytes fw = bytes(name);
            ASSERT_GT(fw.size(), 38911u);
            const bool flagWanted = r[220] != 0;
            if (bool(fw[38910] & 0x20) != flagWanted || fw[38911] != r[218])
                continue;
            const uint8_t sdk = fw[5];
            EXPECT_TRUE((sdk == 1 && pageSize <= 512) || (sdk == 2 && pageSize > 512))
                << name << " chosen for pages of " << pageSize;
            ++fitting;
        }
        EXPECT_EQ(fitting, 1) << "record for pages of " << pageSize;
    }
}

TEST_F(StationKitFiles, PassImageForTheEncryptedDisk)
{
    Bytes b = bytes(sim::kKitPassImage);
    EXPECT_GE(b.size(), 512u);
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
    struct Case {
        const char* name;
        uint8_t sdkType;     // 2: pages above 512 bytes, 1: pages of 512 bytes
        uint8_t flagsByte;   // after 'U'; bit 0x20 is the firmware flag
    } cases[] = {{sim::kKitFirmware, 2, 0xAA}, {sim::kKitFirmwareSmallPage, 1, 0x8A}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string name = c.name;
        EXPECT_NE(name.find("program"), std::string::npos);
        EXPECT_NE(name.find(".bin"), std::string::npos);
        Bytes b = bytes(name);
        ASSERT_EQ(b.size(), sim::kFirmwareBytes);
        EXPECT_GT(b.size(), 65536u + 2048); // long enough for the SPI read-back check
        EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "6205");
        EXPECT_EQ(b[5], c.sdkType);
        EXPECT_EQ(be16(b, 16) * 512, b.size());
        EXPECT_EQ(std::string(b.begin() + 2044, b.begin() + 2046), "ID");
        EXPECT_EQ(b[2047], 0xFF);
        EXPECT_EQ(b[38909], 'U');
        EXPECT_EQ(b[38910], c.flagsByte);
        EXPECT_EQ(b[38911], 0);
    }
    EXPECT_NE(bytes(sim::kKitFirmware), bytes(sim::kKitFirmwareSmallPage));
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

// The keyed interface strings with their built-in English texts, in the window's order.
TEST_F(StationKitFiles, LanguageFileKeysAreExactlyTheKeyedStrings)
{
    static const char* const kKeyed[66][2] = {
        {"TitleStr", "MP3 Mass Production Tool"}, {"PageStr", "Mass Production"}, {"DeviceStr", "Device"},
        {"LabelStr", "Label"}, {"SysPreCopyStr", "System files and Pre-copy files:"}, {"FormatStr", "Format"},
        {"AddFileStr", "Add files"}, {"RemoveStr", "Remove"}, {"LogStr", "Log"}, {"SelectFileStr", "Select files"},
        {"StatusMsg", "Status"}, {"SuccessMsg", "successful"}, {"FailMsg", "fail"},
        {"ExceedLimitMsg", "Exceed the device limit!"}, {"BadBlockStr", "Bad Block Check"}, {"TotalMsg", "Total"},
        {"WaitDeviceMsg", "Waiting device..."}, {"CopyFileMsg", "Copy Files"}, {"ChkdskMsg", "Check Disk"},
        {"SettingMsg", "Setting"}, {"FILEWriteStr", "FILE Writing"}, {"BlankingCheckStr", "Blanking Check"},
        {"RealBlankingCheckStr", "Blanking Check"}, {"ProgramWriteStr", "Program Writing"},
        {"ProgramWriteEndStr", "Program Write End"}, {"ProgramWriteSetupStr", "Program Write Setup"},
        {"PreferWriteStr", "Prefer Writing"}, {"PreferWriteEndStr", "Prefer Write End"},
        {"PreferWriteSetupStr", "Prefer Write Setup"}, {"ISOWriteStr", "ISO Writing"},
        {"ISOWriteEndStr", "ISO Write End"}, {"ISOWriteSetupStr", "ISO Write Setup"},
        {"PassWriteStr", "PASS Write Setup"}, {"PassWriteEndStr", "PASS Write End"},
        {"PassWriteSetupStr", "PASS Write Setup"}, {"StringReset", "Reset"}, {"FSMWrite", "FSM Writing"},
        {"VirtualCDROMStr", "Virtual CDROM"}, {"FlashBrandStr", "Flash Brand"}, {"FlashSerialStr", "Flash Serial"},
        {"FlashEraseStr", "Erase Flash"}, {"MenuUpgradeStr", "Menual Upgrade Mode"},
        {"MenuUpgradeStartStr", "Start Upgrade"}, {"DevicePluginStr", "device plugin"}, {"BarFixedStr", "Bar Fixed"},
        {"SystemAreaSizeStr", "System Area Size"}, {"SetLabelStr", "Set Volume Label"},
        {"FlashCheckStr", "Flash Check"}, {"FwParityCheckStr", "FW Parity Check"},
        {"FwUpgradeStr", "Firmware Upgrade"}, {"FixSystemAreaSizeStr", "Fix System Area Size"},
        {"FixUsbIOPortStr", "Fix Usb IO"}, {"UnresetMsg", "Unresetted device"},
        {"HubPortExeccdStr", "Exceed USB Port limitation"}, {"SDKBidErrorStr", "SDK bonding ID check fail"},
        {"ChipBidErrorStr", "Chip bonding ID check fail"}, {"SDKBidNoMatchStr", "SDK bonding ID not match"},
        {"ApplyStr", "Apply"}, {"CancelStr", "Cancel"}, {"FactorSetStr", "Factory Setting"},
        {"ModuleNoStr", "Flash Module No"}, {"AdvanceStr", "Advance"}, {"ProcessStatusStr", "Processing Status"},
        {"BadBlockWarningStr", "Please do blanking check"}, {"ChangeDiskStr", "Change to Hidden disk"},
        {"HiddenDiskStr", "Hidden disk"},
    };
    // Keys in file order, per section.
    std::map<std::string, std::vector<std::string>> order;
    std::string section, text = dir.read(sim::kKitLang);
    for (size_t pos = 0; pos < text.size();) {
        size_t end = std::min(text.find("\r\n", pos), text.size());
        std::string line = text.substr(pos, end - pos);
        pos = end + 2;
        if (!line.empty() && line.front() == '[')
            section = line.substr(1, line.size() - 2);
        else if (auto eq = line.find('='); eq != std::string::npos)
            order[section].push_back(line.substr(0, eq));
    }
    std::vector<std::string> expected;
    for (const auto& k : kKeyed)
        expected.push_back(k[0]);
    for (const char* s : {"Chinese (PRC)", "Chinese (Taiwan)", "English"})
        EXPECT_EQ(order[s], expected) << s;
    auto ini = parseIni(text);
    for (const auto& k : kKeyed)
        EXPECT_EQ(ini["English"][k[0]], k[1]) << k[0];
}

// The build writes the kit into <build>/station; it is the kit the generator makes.
TEST_F(StationKitFiles, BuildFolderHoldsTheGeneratedKit)
{
    const std::string built = std::string(MPTOOL_BINARY_DIR) + "/station/";
    for (const char* f : {sim::kKitLoader, sim::kKitFirmware, sim::kKitFirmwareSmallPage, sim::kKitPrefer,
                          sim::kKitTelbook, sim::kKitLang, sim::kKitSuccessBmp, sim::kKitFailBmp, sim::kKitUsbDos,
                          sim::kKitFlashIni, sim::kKitDefaultRecord, sim::kKitPassImage}) {
        FILE* file = std::fopen((built + f).c_str(), "rb");
        ASSERT_TRUE(file) << built + f;
        std::string content;
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, file)) > 0)
            content.append(buf, n);
        std::fclose(file);
        EXPECT_EQ(content, dir.read(f)) << f;
    }
    for (const auto& p : sim::KitNandProfiles()) {
        struct stat st {};
        EXPECT_EQ(stat((built + "flash/" + sim::FlashIdText(p) + ".txt").c_str(), &st), 0) << p.name;
    }
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
    for (const char* f : {sim::kKitLoader, sim::kKitFirmware, sim::kKitFirmwareSmallPage, sim::kKitLang,
                          sim::kKitFlashIni, sim::kKitDefaultRecord, sim::kKitPassImage})
        EXPECT_EQ(dir.read(f), other.read(f)) << f;
}

} // namespace
