// The flash description: finding its file for a flash ID, loading it, reading its fields.
#include "production/FlashRecord.h"

#include "device/HostUtil.h"
#include "device/Stream.h"
#include "platform/ByteOrder.h"
#include "platform/IniFile.h"
#include "platform/ProgramDir.h"
#include "production/WindowLink.h"
#include "production/ppthread.h"
#include "text/LangStrings.h"
#include "text/MessageCatalogue.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string LowerAscii(std::string s)
{
    for (auto& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// The description files of the flash folder, in name order. Hidden entries (a leading
// '.'), folders and names whose extension is not ".txt" in any case are left out.
std::vector<std::string> DescriptionFiles(const std::string& folder)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.empty() || name[0] == '.')
            continue;
        std::error_code typeEc;
        if (it->is_directory(typeEc))
            continue;
        const auto dot = name.rfind('.');
        if (dot == std::string::npos || LowerAscii(name.substr(dot)) != ".txt")
            continue;
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// 2 to the power of a record byte; nothing for exponents a 32-bit field cannot hold.
bool PowerOfTwo(uint8_t exponent, uint32_t& value)
{
    if (exponent > 31)
        return false;
    value = uint32_t{1} << exponent;
    return true;
}

} // namespace

int64_t TotalBitmapPages(uint8_t perChip, uint32_t chips)
{
    return (static_cast<int64_t>(perChip) - 1) * static_cast<int64_t>(chips) + 1;
}

std::string FindFlashRecordFile(ProductThread& thread, uint32_t idLow, uint32_t idHigh,
                                uint32_t chipCount)
{
    const std::string folder = platform::ProgramPath("flash");
    const uint64_t deviceId = (static_cast<uint64_t>(idHigh & 0xFF) << 32) | idLow;
    const uint64_t nearMask = 0xFFFFFF7Full;

    std::string chosen;
    std::string nearMatch;
    for (const auto& name : DescriptionFiles(folder)) {
        const uint64_t fileId = ReadFileBigEndianValue(5, folder + "/" + name);
        if (fileId != 0 && fileId == deviceId) {
            chosen = name;
            break;
        }
        if (nearMatch.empty() && (fileId >> 8) != 0
            && ((fileId >> 8) & nearMask) == ((deviceId >> 8) & nearMask))
            nearMatch = name;
    }
    if (chosen.empty())
        chosen = nearMatch;
    if (chosen.empty())
        chosen = kDefaultRecordName;

    const std::string iniPath = platform::ProgramPath("flash/flash.ini");
    platform::IniFile ini(iniPath);
    std::string typeName = ini.ReadString(chosen, std::to_string(chipCount), "");
    if (typeName.empty()) {
        const std::string single = ini.ReadString(chosen, "1", "");
        if (!single.empty()) {
            char tail[32];
            std::snprintf(tail, sizeof tail, " x %u", chipCount);
            typeName = single + tail;
        } else {
            typeName = kDefaultRecordName;
        }
    }
    thread.sFlashTypeName = typeName;
    return chosen;
}

std::string ReadRecordName(const std::string& path)
{
    std::string result = kDefaultRecordName;
    FILE* f = std::fopen(platform::ProgramPath(path).c_str(), "rb");
    if (!f)
        return result;
    char name[FlashRecord::kNameLength] = {};
    if (std::fseek(f, static_cast<long>(FlashRecord::kName), SEEK_SET) == 0)
        (void)std::fread(name, 1, sizeof name, f);
    std::fclose(f);
    const std::string text(name, strnlen(name, sizeof name));
    if (!text.empty())
        result = text;
    return result;
}

int LoadFlashRecord(ProductThread& thread, const std::string& path)
{
    FILE* f = std::fopen(platform::ProgramPath(path).c_str(), "rb");
    if (!f)
        return 0;
    const size_t got = std::fread(thread.CfgImage, 1, FlashRecord::kSize, f);
    std::fclose(f);
    if (got < FlashRecord::kMinFileBytes)
        return 0;

    const uint8_t* r = thread.CfgImage;
    uint32_t blocksPerChip = 0, pageSize = 0, sectorSize = 0, pagesPerBlock = 0;
    if (!PowerOfTwo(r[FlashRecord::kBlocksPerChipLog2], blocksPerChip)
        || !PowerOfTwo(r[FlashRecord::kPageSizeLog2], pageSize)
        || !PowerOfTwo(r[FlashRecord::kSectorSizeLog2], sectorSize)
        || !PowerOfTwo(r[FlashRecord::kPagesPerBlockLog2], pagesPerBlock))
        return 0;

    const int registryBlocks = RegReadInt("BlocksPerChip", 0);
    const uint8_t overrideFlag = registryBlocks != 0 ? 1 : 0;
    if (overrideFlag)
        blocksPerChip = static_cast<uint32_t>(RegReadInt("BlocksPerChip", static_cast<int>(blocksPerChip)));

    const int eccLevel = production::Window().EccLevel();

    // Derived into a copy first: a record the tables cannot hold leaves the thread as it was.
    GeometryFields g;
    g.iChipCount = thread.iChipCount;
    g.iBlocksPerChip = blocksPerChip;
    g.iPageSize = pageSize;
    g.iSectorSize = sectorSize;
    g.iPagesPerBlock = pagesPerBlock;
    g.iUsableBlocksPerChip = platform::GetBe16(r + FlashRecord::kUsableBlocks);
    if (!GeometryFieldsAreSound(g))
        return 0;
    const int64_t bitmapPages = TotalBitmapPages(r[FlashRecord::kBitmapPages], g.iChipCount);
    if (bitmapPages < 0 || bitmapPages > 255
        || bitmapPages * static_cast<int64_t>(pageSize) > GeometryLimits::kBitmapBytes)
        return 0;

    thread.iBlocksPerChip = blocksPerChip;
    thread.bBlocksPerChipOverride = overrideFlag;
    thread.iPageSize = pageSize;
    thread.iSectorSize = sectorSize;
    thread.iPagesPerBlock = pagesPerBlock;
    thread.iRecordByte96 = r[FlashRecord::kWriteParameter];
    thread.iEccThreshold = eccLevel <= 0 ? 2u : static_cast<uint32_t>(eccLevel - 1);
    thread.iSysAreaPagesPerBlock = r[FlashRecord::kSysAreaPagesPerBlock];
    thread.iUsableBlocksPerChip = g.iUsableBlocksPerChip;
    thread.iModuleNumber = r[FlashRecord::kModuleNumber];
    thread.iFirmwareFlag = r[FlashRecord::kFirmwareFlag];
    return 1;
}

int LoadFlashRecordStage(ProductThread& thread, const std::string& path)
{
    if (LoadFlashRecord(thread, path))
        return 1;
    thread.iResult = 0;
    thread.SetStatusColor(toolkit::clRed);
    thread.SetStatus(MessageCatalogue(kRowParseCfg, thread.iLanguageIndex) + FailMsg.get());
    return 0;
}

bool GeometryFieldsAreSound(const GeometryFields& g)
{
    if (g.iChipCount < 1)
        return false;
    if (g.iPagesPerBlock < GeometryLimits::kMinPagesPerBlock
        || g.iPagesPerBlock > GeometryLimits::kMaxPagesPerBlock)
        return false;
    if (g.iPageSize < GeometryLimits::kMinPageSize || g.iPageSize > GeometryLimits::kMaxPageSize)
        return false;
    if (g.iUsableBlocksPerChip > g.iBlocksPerChip)
        return false;
    const uint64_t total = static_cast<uint64_t>(g.iChipCount) * g.iBlocksPerChip;
    return total >= 1 && total <= GeometryLimits::kMaxTotalBlocks;
}

bool GeometryIsSound(const ProductThread& thread)
{
    GeometryFields g;
    g.iChipCount = thread.iChipCount;
    g.iBlocksPerChip = thread.iBlocksPerChip;
    g.iPageSize = thread.iPageSize;
    g.iSectorSize = thread.iSectorSize;
    g.iPagesPerBlock = thread.iPagesPerBlock;
    g.iUsableBlocksPerChip = thread.iUsableBlocksPerChip;
    return GeometryFieldsAreSound(g);
}
