#include "ui/CopyList.h"

#include "platform/AtomicFile.h"

#include <cstdint>
#include <fstream>
#include <sys/stat.h>

namespace ui {

namespace {

void appendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Decodes UTF-8; a byte that starts no valid sequence stands for itself (Latin-1), so
// 8-bit text that is not UTF-8 is kept rather than dropped.
std::u32string decodeUtf8(std::string_view s)
{
    std::u32string out;
    size_t i = 0;
    while (i < s.size()) {
        unsigned char b = static_cast<unsigned char>(s[i]);
        int extra = b < 0x80 ? 0 : (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : -1;
        char32_t c = extra == 0 ? b : extra == 1 ? (b & 0x1F) : extra == 2 ? (b & 0x0F) : (b & 0x07);
        bool ok = extra >= 0 && i + static_cast<size_t>(extra) < s.size();
        for (int k = 1; ok && k <= extra; ++k) {
            unsigned char t = static_cast<unsigned char>(s[i + k]);
            if ((t & 0xC0) != 0x80)
                ok = false;
            else
                c = (c << 6) | (t & 0x3F);
        }
        if (!ok) {
            out += static_cast<char32_t>(b);
            ++i;
            continue;
        }
        out += c;
        i += static_cast<size_t>(extra) + 1;
    }
    return out;
}

std::u32string decodeUtf16(std::string_view s, bool bigEndian)
{
    std::u32string out;
    auto unit = [&](size_t i) -> char16_t {
        auto a = static_cast<unsigned char>(s[i]), b = static_cast<unsigned char>(s[i + 1]);
        return static_cast<char16_t>(bigEndian ? (a << 8) | b : (b << 8) | a);
    };
    size_t n = s.size() / 2 * 2; // a dangling last byte carries no character
    for (size_t i = 0; i < n; i += 2) {
        char16_t u = unit(i);
        if (u >= 0xD800 && u <= 0xDBFF && i + 2 < n) {
            char16_t v = unit(i + 2);
            if (v >= 0xDC00 && v <= 0xDFFF) {
                out += static_cast<char32_t>(0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00));
                i += 2;
                continue;
            }
        }
        out += (u >= 0xD800 && u <= 0xDFFF) ? U'\uFFFD' : static_cast<char32_t>(u);
    }
    return out;
}

void appendUtf16Le(std::string& out, char32_t c)
{
    auto put = [&](char16_t u) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
    };
    if (c >= 0x10000) {
        c -= 0x10000;
        put(static_cast<char16_t>(0xD800 + (c >> 10)));
        put(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
        put(static_cast<char16_t>(c));
    }
}

} // namespace

std::string PathListFile::Encode(const std::vector<std::string>& entries)
{
    std::string out("\xFF\xFE", 2);
    for (const auto& e : entries) {
        for (char32_t c : decodeUtf8(e))
            appendUtf16Le(out, c);
        appendUtf16Le(out, U'\r');
        appendUtf16Le(out, U'\n');
    }
    return out;
}

std::vector<std::string> PathListFile::Decode(std::string_view bytes)
{
    std::u32string text;
    if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE')
        text = decodeUtf16(bytes.substr(2), false);
    else if (bytes.size() >= 2 && bytes[0] == '\xFE' && bytes[1] == '\xFF')
        text = decodeUtf16(bytes.substr(2), true);
    else if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF")
        text = decodeUtf8(bytes.substr(3));
    else
        text = decodeUtf8(bytes); // the system code page is UTF-8 here

    std::vector<std::string> entries;
    std::string current;
    bool pending = false; // characters since the last line break
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c == U'\r' || c == U'\n' || c == U'\u2028') {
            if (c == U'\r' && i + 1 < text.size() && text[i + 1] == U'\n')
                ++i;
            entries.push_back(current);
            current.clear();
            pending = false;
            continue;
        }
        appendUtf8(current, c);
        pending = true;
    }
    if (pending)
        entries.push_back(current);
    return entries;
}

bool PathListFile::Load(const std::string& path, std::vector<std::string>& entries)
{
    entries.clear();
    std::string bytes;
    if (!platform::ReadWholeFile(path, bytes))
        return false;
    entries = Decode(bytes);
    return true;
}

bool PathListFile::Save(const std::string& path, const std::vector<std::string>& entries)
{
    return platform::WriteFileAtomic(path, Encode(entries));
}

size_t Utf16Length(std::string_view utf8)
{
    size_t n = 0;
    for (char32_t c : decodeUtf8(utf8))
        n += c >= 0x10000 ? 2 : 1;
    return n;
}

bool PathListEntryExists(const std::string& entry)
{
    if (entry.empty())
        return false;
    struct stat st{};
    if (stat(entry.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return true;
    std::ifstream f(entry, std::ios::binary);
    return f.is_open();
}

std::string FileNamePart(const std::string& path)
{
    auto pos = path.find_last_of("/\\:");
    return pos == std::string::npos ? path : path.substr(pos + 1);
}

} // namespace ui

// ---- the copy list of the main window ----

#include "device/HostUtil.h"
#include "toolkit/Dialogs.h"
#include "ui/LangStrings.h"
#include "ui/MessageCatalogue.h"
#include "ui/main.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

using namespace toolkit;

namespace {

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool Contains(const std::string& s, const char* part) { return s.find(part) != std::string::npos; }

// Size and byte 5 of a file; false when it does not open.
bool ReadSizeAndByte5(const std::string& path, uint64_t& size, int& byte5)
{
    std::ifstream f(path, std::ios::binary | std::ios::ate);
    if (!f.is_open())
        return false;
    size = static_cast<uint64_t>(f.tellg());
    byte5 = -1;
    f.seekg(5);
    char c;
    if (f.get(c))
        byte5 = static_cast<unsigned char>(c);
    return true;
}

uint64_t SizeOrZero(const std::string& path)
{
    uint64_t size = 0;
    int b = 0;
    return ReadSizeAndByte5(path, size, b) ? size : 0;
}

uint64_t RoundUp(uint64_t value, uint64_t unit) { return (value + unit - 1) / unit * unit; }

} // namespace

namespace ui {

uint32_t SystemAreaMegabytes(uint64_t firmware, uint64_t prefer, uint64_t iso, bool withIso)
{
    const uint64_t half = 524288;
    uint64_t s = RoundUp(firmware, half) + RoundUp(prefer, half) + (withIso ? RoundUp(iso, half) : 0);
    uint64_t t = RoundUp(2 * (s + 1048576), 4194304);
    return static_cast<uint32_t>(t / 1048576);
}

} // namespace ui

void TForm1::ScanFileList()
{
    int program = -1, prefer = -1, iso = -1, telbook = -1;
    int oldFw = -1, newFw = -1, plainFw = -1;
    const std::vector<std::string> entries = TntSelectFileList2->Items()->ToVector();
    for (int i = 0; i < static_cast<int>(entries.size()); ++i) {
        std::string name = Lower(ui::FileNamePart(entries[i]));
        bool isOld = Contains(name, "_old.bin");
        bool isNew = Contains(name, "_new.bin");
        if (isOld) {
            program = i;
            oldFw = i;
        }
        if (isNew)
            newFw = i;
        if (!isOld && !isNew && Contains(name, ".bin")) {
            program = i;
            plainFw = i;
        }
        if (Contains(name, "prefer.dat"))
            prefer = i;
        if (Contains(name, "image.iso"))
            iso = i;
        if (Contains(name, "telbook.dat"))
            telbook = i;
    }

    // Firmware: plain, then old, then new; the last step that runs wins. A file that no
    // longer opens gives size 0 rather than keeping another file's figures.
    uint64_t firmwareSize = 0;
    for (int index : {plainFw >= 0 ? program : -1, oldFw, newFw}) {
        if (index < 0)
            continue;
        uint64_t size = 0;
        int byte5 = -1;
        if (ReadSizeAndByte5(entries[index], size, byte5)) {
            firmwareSize = size;
            if (byte5 >= 0)
                iSdkType = static_cast<uint32_t>(byte5);
        } else {
            firmwareSize = 0;
        }
    }
    uint64_t preferSize = prefer >= 0 ? SizeOrZero(entries[prefer]) : 0;
    uint64_t isoSize = iso >= 0 ? SizeOrZero(entries[iso]) : 0;
    uint64_t telbookSize = telbook >= 0 ? SizeOrZero(entries[telbook]) : 0;

    iProgramIndex = program;
    iPreferIndex = prefer;
    iIsoIndex = iso;
    iTelbookIndex = telbook;
    iFirmwareSize = firmwareSize;
    iPreferSize = preferSize;
    iIsoSize = isoSize;
    iTelbookSize = telbookSize;

    uint32_t mb = ui::SystemAreaMegabytes(firmwareSize, preferSize, isoSize, chkISOupgrade->Checked());
    labSystemArea->SetCaption(SystemAreaSizeStr.get() + ": " + std::to_string(mb) + "MB");
}

void TForm1::AddFilesBtnClick(TControl*)
{
    FileDialogOptions options;
    options.title = SelectFileStr.get();
    options.multiSelect = true;
    std::vector<std::string> chosen = TheDialogs().OpenFiles(options);
    std::string tooLong;
    for (const auto& path : chosen) {
        TntSelectFileList2->Items()->Add(path);
        if (ui::Utf16Length(path) >= 129)
            tooLong += "\n" + path;
    }
    if (!tooLong.empty()) {
        unsigned lang = LanguageIndex;
        TheDialogs().MessageBox(std::string(MessageCatalogue(43, lang)) + tooLong, MessageCatalogue(27, lang),
                                MB_OK | MB_ICONERROR);
    }
    ReadFirmwareMultiplier();
    ScanFileList();
}

void TForm1::RemoveBtnClick(TControl*)
{
    for (int i = TntSelectFileList2->Items()->Count() - 1; i >= 0; --i)
        if (TntSelectFileList2->Selected(i))
            TntSelectFileList2->Items()->Delete(i);
    ScanFileList();
}

void TForm1::btnAddDirClick(TControl*)
{
    std::string path;
    if (!SelectDirectory("", "Select Directory", path) || path.empty())
        return;
    TntSelectFileList2->Items()->Add(path);
    RegWriteString("SoftWare\\KOV6125\\Vornagel28", "AddDir", path);
}

void TForm1::SystemAreachkClick(TControl*)
{
    SystemAreaComBo->SetEnabled(SystemAreachk->Checked());
    ScanFileList();
}

void TForm1::SystemAreaComBoChange(TControl*) { ScanFileList(); }

void TForm1::chkISOupgradeClick(TControl*) { ScanFileList(); }

void TForm1::chkUsbPortMouseUp(TControl*)
{
    if (chkUsbPort->Checked()) {
        unsigned lang = LanguageIndex;
        TheDialogs().MessageBox(MessageCatalogue(102, lang), MessageCatalogue(103, lang), MB_OK);
    }
}

void TForm1::chkClearFASHMouseUp(TControl*)
{
    if (chkClearFlash->Checked())
        chkBlankCheck->SetChecked(false);
}

void TForm1::chkBlankCheckMouseUp(TControl*)
{
    if (chkBlankCheck->Checked())
        chkClearFlash->SetChecked(false);
}
