// The main window's copy list: adding and removing files and folders, and classifying them.
#include "ui/CopyList.h"

#include "device/HostUtil.h"
#include "platform/PathListFile.h"
#include "platform/TextCodec.h"
#include "text/LangStrings.h"
#include "text/MessageCatalogue.h"
#include "toolkit/Dialogs.h"
#include "ui/main.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sys/stat.h>

using namespace toolkit;

namespace {

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool Contains(const std::string& s, const char* part) { return s.find(part) != std::string::npos; }

// Size and byte 5 of a file; false when it does not open. A folder is no file, although
// the stream library opens one and reports a nonsense length.
bool ReadSizeAndByte5(const std::string& path, uint64_t& size, int& byte5)
{
    struct stat st{};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
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
        std::string name = Lower(platform::FileNamePart(entries[i]));
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

    // Firmware: plain, then old, then new; the last step that runs wins. Its figures come
    // from its own file only: one that no longer opens gives size 0, and one without a
    // byte 5 SDK type 0 (as before any scan), rather than keeping another file's figures.
    uint64_t firmwareSize = 0;
    for (int index : {plainFw >= 0 ? program : -1, oldFw, newFw}) {
        if (index < 0)
            continue;
        uint64_t size = 0;
        int byte5 = -1;
        if (!ReadSizeAndByte5(entries[index], size, byte5))
            size = 0;
        firmwareSize = size;
        iSdkType = byte5 >= 0 ? static_cast<uint32_t>(byte5) : 0;
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
        if (platform::Utf16Length(path) >= 129)
            tooLong += "\n" + path;
    }
    if (!tooLong.empty()) {
        unsigned lang = LanguageIndex;
        TheDialogs().MessageBox(std::string(MessageCatalogue(kRowPathTooLong, lang)) + tooLong, MessageCatalogue(kRowWarning, lang),
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
        TheDialogs().MessageBox(MessageCatalogue(kRowInsertFixedPort, lang), MessageCatalogue(kRowFixUsbIoPort, lang), MB_OK);
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
