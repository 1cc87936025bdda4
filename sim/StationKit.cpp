// Writes the sample station kit for the simulated devices.
#include "sim/StationKit.h"

#include "platform/AtomicFile.h"
#include "platform/ByteOrder.h"
#include "platform/PathListFile.h"
#include "sim/Profiles.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iconv.h>
#include <sys/stat.h>

namespace sim {

namespace {

using Bytes = std::vector<uint8_t>;

// Made-up but repeatable filler, so the kit is the same on every build.
class Filler {
public:
    explicit Filler(uint32_t seed) : state_(seed ? seed : 1) {}
    uint8_t next()
    {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return uint8_t(state_ >> 8);
    }
    void fill(Bytes& b, size_t from, size_t to)
    {
        for (size_t i = from; i < to && i < b.size(); ++i)
            b[i] = next();
    }

private:
    uint32_t state_;
};

uint8_t log2Of(uint32_t v)
{
    uint8_t n = 0;
    while (v > 1) {
        v >>= 1;
        ++n;
    }
    return n;
}

void put(Bytes& b, size_t at, const std::string& text)
{
    std::memcpy(b.data() + at, text.data(), text.size());
}

bool writeFile(const std::string& folder, const std::string& name, const std::string& bytes,
               std::string* error)
{
    std::string path = folder + "/" + name;
    auto slash = path.rfind('/');
    if (!platform::MakeDirs(path.substr(0, slash)) || !platform::WriteFileAtomic(path, bytes)) {
        if (error)
            *error = "cannot write " + path;
        return false;
    }
    return true;
}

bool writeFile(const std::string& folder, const std::string& name, const Bytes& bytes, std::string* error)
{
    return writeFile(folder, name, std::string(bytes.begin(), bytes.end()), error);
}

// UTF-8 to a Chinese code page through iconv.
bool encode(const std::string& utf8, const char* codePage, std::string& out)
{
    iconv_t cd = iconv_open(codePage, "UTF-8");
    if (cd == iconv_t(-1))
        return false;
    std::string in = utf8;
    out.assign(in.size() * 2 + 16, '\0');
    char* src = in.data();
    size_t srcLeft = in.size();
    char* dst = out.data();
    size_t dstLeft = out.size();
    size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    iconv_close(cd);
    if (r == size_t(-1) || srcLeft != 0)
        return false;
    out.resize(out.size() - dstLeft);
    return true;
}

struct LangRow {
    const char* key;
    const char* english;
    const char* simplified;
    const char* traditional;
};

// The 66 keyed interface strings, in the order the window reads them.
const LangRow kLangRows[] = {
    {"TitleStr", "MP3 Mass Production Tool", "MP3 量产工具", "MP3 量產工具"},
    {"PageStr", "Mass Production", "量产", "量產"},
    {"DeviceStr", "Device", "设备", "裝置"},
    {"LabelStr", "Label", "卷标", "磁碟標籤"},
    {"SysPreCopyStr", "System files and Pre-copy files:", "系统文件和预拷贝文件:", "系統檔案和預拷貝檔案:"},
    {"FormatStr", "Format", "格式化", "格式化"},
    {"AddFileStr", "Add files", "添加文件", "加入檔案"},
    {"RemoveStr", "Remove", "移除", "移除"},
    {"LogStr", "Log", "记录", "記錄"},
    {"SelectFileStr", "Select files", "选择文件", "選擇檔案"},
    {"StatusMsg", "Status", "状态", "狀態"},
    {"SuccessMsg", "successful", "成功", "成功"},
    {"FailMsg", "fail", "失败", "失敗"},
    {"ExceedLimitMsg", "Exceed the device limit!", "超过设备数量上限!", "超過裝置數量上限!"},
    {"BadBlockStr", "Bad Block Check", "坏块检查", "壞塊檢查"},
    {"TotalMsg", "Total", "总数", "總數"},
    {"WaitDeviceMsg", "Waiting device...", "等待设备...", "等待裝置..."},
    {"CopyFileMsg", "Copy Files", "拷贝文件", "拷貝檔案"},
    {"ChkdskMsg", "Check Disk", "检查磁盘", "檢查磁碟"},
    {"SettingMsg", "Setting", "设置", "設定"},
    {"FILEWriteStr", "FILE Writing", "文件写入", "檔案寫入"},
    {"BlankingCheckStr", "Blanking Check", "空片检查", "空片檢查"},
    {"RealBlankingCheckStr", "Blanking Check", "空片检查", "空片檢查"},
    {"ProgramWriteStr", "Program Writing", "程序写入", "程式寫入"},
    {"ProgramWriteEndStr", "Program Write End", "程序写入结束", "程式寫入結束"},
    {"ProgramWriteSetupStr", "Program Write Setup", "程序写入设置", "程式寫入設定"},
    {"PreferWriteStr", "Prefer Writing", "参数写入", "參數寫入"},
    {"PreferWriteEndStr", "Prefer Write End", "参数写入结束", "參數寫入結束"},
    {"PreferWriteSetupStr", "Prefer Write Setup", "参数写入设置", "參數寫入設定"},
    {"ISOWriteStr", "ISO Writing", "光盘映像写入", "光碟映像寫入"},
    {"ISOWriteEndStr", "ISO Write End", "光盘映像写入结束", "光碟映像寫入結束"},
    {"ISOWriteSetupStr", "ISO Write Setup", "光盘映像写入设置", "光碟映像寫入設定"},
    {"PassWriteStr", "PASS Write Setup", "PASS 写入设置", "PASS 寫入設定"},
    {"PassWriteEndStr", "PASS Write End", "PASS 写入结束", "PASS 寫入結束"},
    {"PassWriteSetupStr", "PASS Write Setup", "PASS 写入设置", "PASS 寫入設定"},
    {"StringReset", "Reset", "复位", "重置"},
    {"FSMWrite", "FSM Writing", "FSM 写入", "FSM 寫入"},
    {"VirtualCDROMStr", "Virtual CDROM", "虚拟光驱", "虛擬光碟機"},
    {"FlashBrandStr", "Flash Brand", "闪存品牌", "快閃記憶體品牌"},
    {"FlashSerialStr", "Flash Serial", "闪存型号", "快閃記憶體型號"},
    {"FlashEraseStr", "Erase Flash", "擦除闪存", "抹除快閃記憶體"},
    {"MenuUpgradeStr", "Menual Upgrade Mode", "手动升级模式", "手動升級模式"},
    {"MenuUpgradeStartStr", "Start Upgrade", "开始升级", "開始升級"},
    {"DevicePluginStr", "device plugin", "设备已插入", "裝置已插入"},
    {"BarFixedStr", "Bar Fixed", "进度条固定", "進度條固定"},
    {"SystemAreaSizeStr", "System Area Size", "系统区大小", "系統區大小"},
    {"SetLabelStr", "Set Volume Label", "设置卷标", "設定磁碟標籤"},
    {"FlashCheckStr", "Flash Check", "闪存检查", "快閃記憶體檢查"},
    {"FwParityCheckStr", "FW Parity Check", "固件校验", "韌體校驗"},
    {"FwUpgradeStr", "Firmware Upgrade", "固件升级", "韌體升級"},
    {"FixSystemAreaSizeStr", "Fix System Area Size", "固定系统区大小", "固定系統區大小"},
    {"FixUsbIOPortStr", "Fix Usb IO", "固定 USB 端口", "固定 USB 埠"},
    {"UnresetMsg", "Unresetted device", "未复位的设备", "未重置的裝置"},
    {"HubPortExeccdStr", "Exceed USB Port limitation", "超过 USB 端口限制", "超過 USB 埠限制"},
    {"SDKBidErrorStr", "SDK bonding ID check fail", "SDK 绑定 ID 检查失败", "SDK 綁定 ID 檢查失敗"},
    {"ChipBidErrorStr", "Chip bonding ID check fail", "芯片绑定 ID 检查失败", "晶片綁定 ID 檢查失敗"},
    {"SDKBidNoMatchStr", "SDK bonding ID not match", "SDK 绑定 ID 不匹配", "SDK 綁定 ID 不符"},
    {"ApplyStr", "Apply", "应用", "套用"},
    {"CancelStr", "Cancel", "取消", "取消"},
    {"FactorSetStr", "Factory Setting", "出厂设置", "出廠設定"},
    {"ModuleNoStr", "Flash Module No", "闪存模块号", "快閃記憶體模組號"},
    {"AdvanceStr", "Advance", "高级", "進階"},
    {"ProcessStatusStr", "Processing Status", "处理状态", "處理狀態"},
    {"BadBlockWarningStr", "Please do blanking check", "请做空片检查", "請做空片檢查"},
    {"ChangeDiskStr", "Change to Hidden disk", "切换到隐藏盘", "切換到隱藏碟"},
    {"HiddenDiskStr", "Hidden disk", "隐藏盘", "隱藏碟"},
};

bool langIni(std::string& out, std::string* error)
{
    struct Section {
        const char* name;
        const char* codePage; // null: ASCII as it is
        const char* LangRow::*text;
    };
    const Section sections[] = {
        {"Chinese (PRC)", "GBK", &LangRow::simplified},
        {"Chinese (Taiwan)", "BIG5", &LangRow::traditional},
        {"English", nullptr, &LangRow::english},
    };
    out.clear();
    for (const auto& s : sections) {
        out += std::string("[") + s.name + "]\r\n";
        for (const auto& row : kLangRows) {
            std::string value = row.*(s.text);
            if (s.codePage) {
                std::string encoded;
                if (!encode(value, s.codePage, encoded)) {
                    if (error)
                        *error = std::string("cannot encode ") + row.key + " as " + s.codePage;
                    return false;
                }
                value = encoded;
            }
            out += std::string(row.key) + "=" + value + "\r\n";
        }
        out += "\r\n";
    }
    return true;
}

Bytes loader()
{
    Bytes b(8192 + 512, 0);
    Filler f(0x6205F5u);
    f.fill(b, 0, 8192);
    put(b, 0, "6205LDR");
    put(b, 8192, kKitLoaderVersion);
    return b;
}

// A program file: sdkType 2 for pages above 512 bytes, 1 for pages of 512 bytes. The
// byte after 'U' is 0xAA (firmware flag bit set) for flash records with a non-zero
// firmware flag, 0x8A (bit clear) for records whose flag is 0.
Bytes firmware(uint8_t sdkType, bool flagSet, uint32_t seed)
{
    Bytes b(kFirmwareBytes, 0);
    Filler f(seed);
    f.fill(b, 0, b.size());
    put(b, 0, "6205");
    b[4] = 0;
    b[kFirmwareSdkTypeOffset] = sdkType;
    const uint32_t units = kFirmwareBytes / 512;
    platform::PutBe16(b.data() + kFirmwareCodeSizeOffset, units);
    put(b, kFirmwareBondingTagOffset, "ID");
    b[kFirmwareBondingTagOffset + 2] = 0;
    b[kFirmwareBondingIdOffset] = 0xFF; // any chip
    b[kFirmwareModuleBlockOffset] = 'U';
    b[kFirmwareModuleBlockOffset + 1] = flagSet ? 0xAA : uint8_t(0xAA & ~kFirmwareFlagBit);
    b[kFirmwareModuleBlockOffset + 2] = 0; // module number
    return b;
}

// A data file: a tag, a zero gap up to headerBytes, then repeatable filler.
Bytes dataFile(size_t size, size_t headerBytes, const char* tag, uint32_t seed)
{
    Bytes b(size, 0);
    Filler f(seed);
    f.fill(b, headerBytes, b.size());
    put(b, 0, tag);
    return b;
}

// The image the encrypted-disk mode sends as it is.
Bytes passImage() { return dataFile(16384, 512, "PASS6205SIM", 0x50415353u); }

Bytes preferData() { return dataFile(8192, 16, "PREF6205SIM", 0x50524546u); }

std::string telbook()
{
    std::string t;
    const char* names[] = {"Alice", "Bob", "Carol", "Dave", "Erin", "Frank", "Grace", "Heidi"};
    for (int i = 0; i < 8; ++i)
        t += std::string(names[i]) + ",+49 30 5550" + std::to_string(100 + i) + "\r\n";
    t.resize(2048, '\0');
    return t;
}

// A 32 x 32 24-bit picture: a coloured field with a lighter frame.
Bytes bitmapPicture(uint8_t r, uint8_t g, uint8_t b)
{
    const uint32_t w = 32, h = 32, row = w * 3, image = row * h, size = 54 + image;
    Bytes out(size, 0);
    auto le32 = [&](size_t at, uint32_t v) { platform::PutLe32(out.data() + at, v); };
    out[0] = 'B';
    out[1] = 'M';
    le32(2, size);
    le32(10, 54);
    le32(14, 40);
    le32(18, w);
    le32(22, h);
    out[26] = 1;  // planes
    out[28] = 24; // bits per pixel
    le32(34, image);
    le32(38, 2835);
    le32(42, 2835);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            bool frame = x < 2 || y < 2 || x >= w - 2 || y >= h - 2;
            uint8_t* px = out.data() + 54 + y * row + x * 3;
            px[0] = frame ? 0xFF : b; // stored blue, green, red
            px[1] = frame ? 0xFF : g;
            px[2] = frame ? 0xFF : r;
        }
    return out;
}

const char* kUsbDos =
    "#!/bin/sh\n"
    "# Port identity of a simulated device. The tool passes the port number the device\n"
    "# reports (1-99); the identity printed is 1, 0 and that number as hundreds, tens and\n"
    "# units. 0 means no identity.\n"
    "n=\"${1:-0}\"\n"
    "case \"$n\" in\n"
    "  ''|*[!0-9]*) echo 0; exit 0 ;;\n"
    "esac\n"
    "if [ \"$n\" -ge 1 ] && [ \"$n\" -le 99 ]; then\n"
    "  echo $((100 + n))\n"
    "else\n"
    "  echo 0\n"
    "fi\n";

} // namespace

std::vector<uint8_t> FlashRecordFor(const FlashProfile& p, bool storeName)
{
    Bytes r(512, 0);
    put(r, 0, "6205");
    r[83] = log2Of(p.sectorSize);
    r[84] = log2Of(p.pageSize);
    r[87] = log2Of(p.pagesPerBlock);
    r[90] = log2Of(p.blocksPerChip);
    r[96] = p.writeParameter;
    r[137] = p.bitmapPagesPerChip;
    for (int i = 0; i < 5; ++i)
        r[155 + i] = p.flashId[size_t(i)];
    r[160] = 0; // system-area blocks use every page
    platform::PutBe16(r.data() + 216, p.usableBlocksPerChip);
    r[218] = p.moduleNumber;
    r[220] = p.firmwareFlag;
    if (storeName)
        std::memcpy(r.data() + 480, p.name.data(), std::min<size_t>(p.name.size(), 31));
    return r;
}

bool WriteStationKit(const std::string& folder, std::string* error)
{
    if (!platform::MakeDirs(folder)) {
        if (error)
            *error = "cannot create " + folder;
        return false;
    }
    std::string flashIni;
    bool first = true;
    for (const auto& p : KitNandProfiles()) {
        const std::string file = FlashIdText(p) + ".txt";
        // The first record names its flash itself; the others leave it to flash.ini.
        if (!writeFile(folder, "flash/" + file, FlashRecordFor(p, first), error))
            return false;
        flashIni += "[" + file + "]\r\n";
        if (p.chips == 1) {
            flashIni += "1=" + p.name + "\r\n";
        } else {
            flashIni += "1=" + p.name + " (1 CE)\r\n";
            flashIni += std::to_string(p.chips) + "=" + p.name + "\r\n";
        }
        flashIni += "\r\n";
        first = false;
    }
    // Unknown flashes: a record without flash ID or name; flash.ini names the type.
    if (!writeFile(folder, kKitDefaultRecord, FlashRecordFor(DefaultRecordProfile(), false), error))
        return false;
    flashIni += "[DEFAULT]\r\n1=GENERIC NAND\r\n\r\n";
    std::string lang;
    if (!langIni(lang, error))
        return false;
    bool ok = writeFile(folder, kKitFlashIni, flashIni, error) &&
              writeFile(folder, kKitLoader, loader(), error) &&
              writeFile(folder, kKitFirmware, firmware(2, true, 0x46574152u), error) &&
              writeFile(folder, kKitFirmwareSmallPage, firmware(1, false, 0x46573531u), error) &&
              writeFile(folder, kKitPassImage, passImage(), error) &&
              writeFile(folder, kKitPrefer, preferData(), error) &&
              writeFile(folder, kKitTelbook, telbook(), error) &&
              writeFile(folder, kKitLang, lang, error) &&
              writeFile(folder, kKitSuccessBmp, bitmapPicture(0x20, 0xB0, 0x40), error) &&
              writeFile(folder, kKitFailBmp, bitmapPicture(0xD0, 0x20, 0x20), error) &&
              writeFile(folder, kKitUsbDos, std::string(kUsbDos), error);
    if (!ok)
        return false;
    // The copy list names its files by full path, so the kit runs from where it was written.
    std::error_code ec;
    const std::string at = std::filesystem::absolute(folder, ec).lexically_normal().string();
    const std::string base = at.empty() || at.back() == '/' ? at : at + "/";
    if (ec || !writeFile(folder, kKitCopyList,
                         platform::PathListFile::Encode({base + kKitFirmware, base + kKitPrefer, base + kKitTelbook}),
                         error)) {
        if (error && ec)
            *error = "cannot resolve " + folder;
        return false;
    }
    if (::chmod((folder + "/" + kKitUsbDos).c_str(), 0755) != 0) {
        if (error)
            *error = std::string("cannot make the port script executable: ") + std::strerror(errno);
        return false;
    }
    return true;
}

} // namespace sim
