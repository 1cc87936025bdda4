// One fuzz harness per parser of outside input: program fuzz_<name> runs harness::<name>.
// With MPTOOL_FUZZ (clang) each is a libFuzzer program for long runs (scripts/fuzz); else
// main() replays a folder, so that every test run checks the seeds in corpus/<name>/.
#include "device/Stream.h"
#include "platform/IniFile.h"
#include "platform/PathListFile.h"
#include "platform/ProgramDir.h"
#include "platform/ScsiTransport.h"
#include "platform/TextCodec.h"
#include "production/DataAreas.h"
#include "production/Firmware.h"
#include "production/FlashRecord.h"
#include "production/ppthread.h"
#include "text/LangStrings.h"
#include "toolkit/Dialogs.h"
#include "ui/FirmwareInfo.h"
#include "ui/Language.h"
#include "ui/MpConfig.h"
#include "ui/SettingDlg.h"
#include "ui/Unit2.h"
#include "ui/main.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <unistd.h>

namespace {

// A broken invariant stops the fuzzer, which keeps the input as a finding.
[[noreturn]] void Fail(const char* file, int line, const char* condition)
{
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
    std::abort();
}
#define FUZZ_CHECK(condition) ((condition) ? void() : Fail(__FILE__, __LINE__, #condition))

// A fresh program folder, removed at exit; the name lives on the heap because the removal
// runs after the statics are gone.
const std::string& Folder()
{
    static const std::string* folder = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "mptool-fuzz-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            std::abort();
        for (const char* sub : {"/misc", "/flash", "/log"})
            std::filesystem::create_directories(pattern + sub);
        platform::SetProgramDir(pattern);
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(*folder, ec);
        });
        return new std::string(pattern);
    }();
    return *folder;
}

// Removing first spares the flush ext4 does for a file truncated and written again.
std::string Put(const std::string& relative, std::string_view bytes)
{
    const std::string path = Folder() + "/" + relative;
    std::remove(path.c_str());
    std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
    return path;
}

// The main window, made once, with dialogs that answer nothing.
TForm1& Window()
{
    static toolkit::ScriptedDialogs dialogs;
    static std::unique_ptr<TForm1> form = [] {
        Folder();
        toolkit::SetDialogs(&dialogs);
        return std::make_unique<TForm1>();
    }();
    dialogs.Clear();
    return *form;
}

// Data-in replies read 1 (done); data-out bytes are counted.
struct AcceptingDevice : platform::ScsiTransport {
    bool execute(const uint8_t*, int, platform::Direction direction, uint8_t* buffer, uint32_t length,
                 uint32_t) override
    {
        if (direction == platform::Direction::In && length > 0)
            buffer[0] = 1;
        if (direction == platform::Direction::Out)
            bytesOut += length;
        return true;
    }
    uint64_t bytesOut = 0;
};

template <class Control> bool InRange(const Control* c) { return c->Position() >= c->Min() && c->Position() <= c->Max(); }

bool InRange(const toolkit::TComboBox* box) { return box->ItemIndex() >= -1 && box->ItemIndex() < box->Items()->Count(); }

} // namespace

namespace harness {

// Firmware and loader files (the first byte picks the firmware flag and module number): the
// run's program-file choice and bonding check, the window's copy-list scan and loader version.
void firmware(std::string_view input)
{
    TForm1& form = Window();
    form.chkFwUpgrade->SetChecked(true);
    const std::string path = Put("program.bin", input);
    form.TntSelectFileList2->Items()->Assign({path});

    const uint8_t flags = input.empty() ? 0 : uint8_t(input[0]);
    ProductThread thread('Q', 0, nullptr, nullptr, nullptr, "", nullptr, nullptr);
    thread.iFirmwareFlag = flags & 1;
    thread.iModuleNumber = flags >> 1;
    thread.hDevice = platform::OpenTransport(std::make_shared<AcceptingDevice>(), 'Q');
    if (FindProgramBin(thread))
        FUZZ_CHECK(thread.sProgramFile == path);
    (void)CheckBondingId(thread);
    platform::CloseDrive(thread.hDevice);

    form.ScanFileList();
    FUZZ_CHECK(form.iFirmwareSize == input.size());
    form.sFsmPath = path;
    uint32_t size = 0;
    const std::string version = form.GetFsmVersion(size);
    FUZZ_CHECK(version == ui::kNoFsmVersion || (version.compare(0, 3, "FSM") == 0 && version.size() <= ui::kFsmVersionLength));
}

// Flash description files and flash/flash.ini (input: record, "\n--\n", ini; the last byte
// is the chip count): the file is chosen by the ID it holds, the type name is never empty,
// and a record that loads gives sound geometry.
void flashrecord(std::string_view input)
{
    const size_t mark = std::min(input.find("\n--\n"), input.size());
    const std::string_view record = input.substr(0, mark), ini = input.substr(std::min(mark + 4, input.size()));
    const std::string path = Put("flash/a.txt", record);
    Put("flash/flash.ini", ini);

    ProductThread thread('D', 0, nullptr, nullptr, nullptr, "", nullptr, nullptr);
    thread.iChipCount = input.empty() ? 1 : uint8_t(input.back());
    const uint64_t id = ReadFileBigEndianValue(5, path);
    FUZZ_CHECK(id < (uint64_t{1} << 40));
    const std::string chosen = FindFlashRecordFile(thread, uint32_t(id), uint32_t(id >> 32), thread.iChipCount);
    FUZZ_CHECK(chosen == (id ? "a.txt" : kDefaultRecordName));
    FUZZ_CHECK(!thread.sFlashTypeName.empty());
    FUZZ_CHECK(!ReadRecordName(".\\flash\\a.txt").empty());

    if (LoadFlashRecord(thread, path)) {
        FUZZ_CHECK(record.size() >= FlashRecord::kMinFileBytes);
        FUZZ_CHECK(GeometryIsSound(thread));
    }
}

// The image file a run writes raw onto the hidden disk: whatever its length the disk gets
// the whole file in 32 KiB chunks and nothing more.
void imagefile(std::string_view input)
{
    const std::string path = Put("hidden.img", input);
    auto device = std::make_shared<AcceptingDevice>();
    ProductThread thread('Q', 0, nullptr, nullptr, nullptr, "", nullptr, nullptr);
    thread.iSectorSize = input.size() % 2 ? 1024 : 512;
    thread.hDevice = platform::OpenTransport(device, 'Q');
    FUZZ_CHECK(OpenImageFile(thread, path) == int64_t(input.size()));
    if (WriteImageToDisk(thread, "Q", path, 0, 100)) {
        FUZZ_CHECK(input.size() >= 16);
        FUZZ_CHECK(device->bytesOut >= input.size() && device->bytesOut < input.size() + dataareas::kImageChunkSize);
        FUZZ_CHECK(device->bytesOut % dataareas::kImageChunkSize == 0);
    }
    platform::CloseDrive(thread.hDevice);
}

// INI files: every read of the parsed document; unchanged it is the file byte for byte.
void ini(std::string_view text)
{
    platform::IniFile ini = platform::IniFile::FromText(text);
    FUZZ_CHECK(ini.Text() == text);
    const std::vector<std::string> sections = ini.ReadSections();
    for (const std::string& section : sections) {
        FUZZ_CHECK(ini.SectionExists(section));
        for (const std::string& key : ini.ReadSection(section)) {
            FUZZ_CHECK(ini.ValueExists(section, key));
            (void)ini.ReadBool(section, key, true);
            int32_t parsed = 0;
            if (platform::IniFile::ParseInteger(ini.ReadString(section, key, ""), parsed))
                FUZZ_CHECK(ini.ReadInteger(section, key, 7) == parsed);
        }
    }
}

// misc/lang.ini: each of its three sections is loaded, and after a Chinese one (decoded
// from Big5 or GBK) every text is valid UTF-8, also in the window's captions.
void lang(std::string_view input)
{
    TForm1& form = Window();
    form.TntRdoLangSC->SetChecked(true);
    const std::string path = Put("misc/lang.ini", input);
    for (uint16_t id : {kLangIdEnglish, kLangIdTraditionalChinese, kLangIdSimplifiedChinese}) {
        InitLanguageStrings();
        LoadLanguageStrings(path, SectionForLangId(id));
        if (id == kLangIdEnglish)
            continue; // English is taken as it is
        for (UiString* text : AllUiStrings())
            FUZZ_CHECK(platform::IsValidUtf8(text->get()));
    }
    form.ApplyLanguage();
    FUZZ_CHECK(platform::IsValidUtf8(form.Caption() + form.chkBlankCheck->Caption() + form.btnSetup->Caption()));
}

// Settings configuration files (*.mp): loading one leaves every control of the settings
// dialog within its range.
void mp(std::string_view input)
{
    TForm1& form = Window();
    static std::unique_ptr<TfrmSetting> dialog;
    static std::unique_ptr<TForm2> password;
    if (!dialog) {
        dialog = std::make_unique<TfrmSetting>();
        password = std::make_unique<TForm2>();
        dialog->MainWindow = password->MainWindow = &form;
        dialog->PasswordDialog = password.get();
        password->SettingDialog = dialog.get();
        dialog->DoShow();
    }
    TfrmSetting& d = *dialog;
    ui::LoadMpConfig(d, Put("a.mp", input));
    for (const toolkit::TComboBox* box : {d.cboScanLevel, d.cboPageSkip, d.cboECC, d.cboRead})
        FUZZ_CHECK(InRange(box));
    FUZZ_CHECK(InRange(d.tbarHideDiskRatio) && InRange(d.UpDownBadThreshold));
}

// Path-list files (misc/*seting.ini): any bytes decode into entries without line breaks,
// the same as the file's.
void pathlist(std::string_view input)
{
    std::vector<std::string> entries;
    FUZZ_CHECK(platform::PathListFile::Load(Put("misc/seting.ini", input), entries));
    FUZZ_CHECK(entries == platform::PathListFile::Decode(input));
    for (const std::string& entry : entries)
        FUZZ_CHECK(entry.find_first_of("\r\n") == std::string::npos);
}

} // namespace harness

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Folder();
    harness::MPTOOL_FUZZ_HARNESS({reinterpret_cast<const char*>(data), size});
    return 0;
}

#ifdef MPTOOL_FUZZ_REPLAY
int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    std::vector<std::filesystem::path> inputs;
    for (const auto& entry : std::filesystem::directory_iterator(argv[1]))
        inputs.push_back(entry.path());
    std::sort(inputs.begin(), inputs.end());
    for (const auto& input : inputs) {
        std::ifstream in(input, std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::printf("%s (%zu bytes)\n", input.c_str(), bytes.size());
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    return inputs.empty() ? 1 : 0;
}
#endif
