// The firmware (program) file: its choice for the loaded flash and the bonding-ID check.
#include "production/Firmware.h"

#include "device/Stream.h"
#include "platform/PathListFile.h"
#include "platform/ProgramDir.h"
#include "production/WindowLink.h"
#include "production/ppthread.h"
#include "text/LangStrings.h"

#include <cstdio>
#include <string>

namespace {

std::string LowerAscii(std::string s)
{
    for (auto& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// Reads length bytes at offset; false when the file does not open or is too short.
bool ReadAt(const std::string& path, long offset, uint8_t* out, size_t length)
{
    FILE* f = std::fopen(platform::ProgramPath(path).c_str(), "rb");
    if (!f)
        return false;
    const bool ok = std::fseek(f, offset, SEEK_SET) == 0 && std::fread(out, 1, length, f) == length;
    std::fclose(f);
    return ok;
}

// The header fits the description: the firmware-flag bit agrees with the record's flag and
// the module numbers are equal. A file too short to hold them never fits.
bool FitsFlash(const ProductThread& thread, const std::string& path)
{
    uint8_t bytes[2] = {};
    if (!ReadAt(path, FirmwareHeader::kFirmwareFlag, bytes, sizeof bytes))
        return false;
    const bool flagSet = (bytes[0] & FirmwareHeader::kFirmwareFlagBit) != 0;
    if (flagSet != (thread.iFirmwareFlag != 0))
        return false;
    return bytes[1] == thread.iModuleNumber;
}

} // namespace

int FindProgramBin(ProductThread& thread)
{
    const std::vector<std::string> items = production::Window().CopyList();
    for (size_t i = 0; i < items.size(); ++i) {
        // Names other than ASCII never lower-case into "program", so ASCII folding suffices.
        if (LowerAscii(platform::FileNamePart(items[i])).find("program") == std::string::npos)
            continue;
        if (!FitsFlash(thread, items[i]))
            continue;
        thread.iProgramIndex = static_cast<int32_t>(i);
        thread.sProgramFile = items[i];
        return 1;
    }
    thread.iProgramIndex = -1;
    thread.sProgramFile.clear();
    return 0;
}

int CheckBondingId(ProductThread& thread)
{
    uint8_t tag[4] = {};
    uint8_t sdkId = 0;
    if (ReadAt(thread.sProgramFile, FirmwareHeader::kBondingTag, tag, sizeof tag)
        && tag[0] == 'I' && tag[1] == 'D')
        sdkId = tag[3];

    if (!production::Window().FwUpgradeChecked())
        return 1;
    const uint8_t chipId = ReadDeviceFlag(thread.hDevice);
    if (sdkId == FirmwareHeader::kAnyChip || chipId == FirmwareHeader::kChipAcceptsAny)
        return 1;
    if (sdkId == 0) {
        thread.SetStatus(SDKBidErrorStr.get() + " 0");
        return 0;
    }
    if (chipId == 0 || chipId > FirmwareHeader::kChipAcceptsAny) {
        thread.SetStatus(ChipBidErrorStr.get() + std::to_string(chipId));
        return 0;
    }
    if (chipId == sdkId)
        return 1;
    thread.SetStatus(SDKBidNoMatchStr.get() + " " + std::to_string(sdkId));
    return 0;
}
