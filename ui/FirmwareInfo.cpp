// The loader's version text and the flash module number kept in the firmware file.
#include "ui/FirmwareInfo.h"

#include "platform/PathListFile.h"
#include "text/MessageCatalogue.h"
#include "toolkit/Dialogs.h"
#include "ui/main.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>

using namespace toolkit;

namespace {

bool HasBinExtension(const std::string& path)
{
    std::string name = platform::FileNamePart(path);
    auto dot = name.rfind('.');
    if (dot == std::string::npos)
        return false;
    std::string ext = name.substr(dot);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext == ".bin";
}

} // namespace

std::string TForm1::GetFsmVersion(uint32_t& size)
{
    std::ifstream f(sFsmPath, std::ios::binary | std::ios::ate);
    if (!f.is_open())
        return ui::kNoFsmVersion;
    auto length = static_cast<uint64_t>(f.tellg());
    size = static_cast<uint32_t>(std::min<uint64_t>(length, UINT32_MAX));
    char buf[ui::kFsmVersionLength] = {};
    f.seekg(ui::kFsmVersionOffset);
    f.read(buf, sizeof buf);
    auto got = static_cast<size_t>(std::max<std::streamsize>(f.gcount(), 0));
    if (got < 3 || std::memcmp(buf, "FSM", 3) != 0)
        return ui::kNoFsmVersion;
    // Up to the first NUL, at most 255 characters.
    return std::string(buf, strnlen(buf, got));
}

bool TForm1::ReadFirmwareMultiplier()
{
    for (const auto& entry : TntSelectFileList2->Items()->ToVector()) {
        if (!HasBinExtension(entry))
            continue;
        std::ifstream f(entry, std::ios::binary);
        if (!f.is_open())
            return false;
        unsigned char b[3] = {};
        f.seekg(ui::kModuleNumberOffset);
        f.read(reinterpret_cast<char*>(b), 3);
        if (f.gcount() == 3 && b[0] == 'U' && b[1] == 0xAA)
            iFlashModuleNo = b[2];
        return true;
    }
    return false;
}

bool TForm1::writeModuleNumber(int value)
{
    for (const auto& entry : TntSelectFileList2->Items()->ToVector()) {
        if (!HasBinExtension(entry))
            continue;
        std::fstream f(entry, std::ios::binary | std::ios::in | std::ios::out);
        if (!f.is_open())
            continue;
        char tag[4] = {};
        f.read(tag, 4);
        if (f.gcount() != 4 || std::memcmp(tag, "6205", 4) != 0)
            continue;
        unsigned char b[3] = {};
        f.seekg(ui::kModuleNumberOffset);
        f.read(reinterpret_cast<char*>(b), 3);
        if (f.gcount() != 3 || b[0] != 'U' || b[1] != 0xAA)
            return false;
        f.clear();
        f.seekp(ui::kModuleNumberOffset);
        const char out[3] = {'U', static_cast<char>(0xAA), static_cast<char>(value & 0xFF)};
        f.write(out, 3);
        f.flush();
        return static_cast<bool>(f);
    }
    TheDialogs().MessageBox(MessageCatalogue(kRowFirmwareNotFound, LanguageIndex), "MP Tool", MB_OK | MB_ICONERROR);
    return false;
}

bool TForm1::WriteFirmwareMultiplier(int value)
{
    if (value < 0) {
        TheDialogs().MessageBox(MessageCatalogue(kRowBadMultiplier, LanguageIndex), "MP Tool", MB_OK | MB_ICONERROR);
        return false;
    }
    return writeModuleNumber(value);
}

bool TForm1::ResetFirmwareMultiplier(int value) { return writeModuleNumber(value); }
