// Whole runs on the simulator, one row per stage and per failure caption of the production
// sequence. Each row names its settings, the fault it injects, the caption the run ends
// with, the counters, the gauge steps, and what the device holds afterwards: the vendor
// commands it received after the loader, the data streams and their files, and its disks
// as fsck.fat and mtools read them. Every row runs beside another device's run.
#include "StationRun.h"

#include "platform/ByteOrder.h"
#include "platform/PathListFile.h"
#include "platform/Process.h"
#include "production/ppthread.h"
#include "support/FatCheck.h"

#include <cstdio>
#include <set>
#include <thread>

using namespace e2e;
using sim::FaultKind;

namespace {

using Profile = sim::FlashProfile (*)();

struct Row {
    const char* name;
    Setup setup = nullptr;    // settings and station files (null: a plain run)
    Profile profile = sim::Nand128M; // null: no device behind the drive at all
    Fault fault = {};         // injected into the device of the last run
    const char* caption = "successful";
    const char* result = "";  // the panel's flash or result text
    uint64_t waited = 0;      // simulated milliseconds of the (last) run, when given
    const char* steps = "";   // gauge steps, repeats and the scans' progress left out
    const char* commands = ""; // after the loader: code, *count of repeats, ! not done
    const char* holds = "";   // the description sent, the data streams (~ cut short), module
    const char* disks = "";   // "user LABEL: root entries; hidden ..." (fsck.fat -n clean)
    const char* shown = "";   // captions shown on the way, in order, '|' between
    const char* logged = "";  // event-log lines, or "<file>: text" that a file holds; '|' between
    Setup again = nullptr;    // a second run after this change; the fault goes to that one
};
void PrintTo(const Row& r, std::ostream* os) { *os << r.name; }

std::string SearchPath()
{
    const char* path = std::getenv("PATH");
    return std::string(path ? path : "/usr/bin:/bin") + ":/usr/local/sbin:/usr/sbin:/sbin";
}
std::string Tool(std::vector<std::string> argv) { return testsupport::RunTool(std::move(argv)).output; }
// The format tool found first in the search path writes "CALLS FIRST-ARGUMENT" to
// brokenbin/calls and fails, or hands on to the real tool when `fails` is false.
void BreakFormatTool(const testsupport::SimStation& station, bool fails = true)
{
    const std::string bin = station.file("brokenbin");
    std::string real = "exit 1";
    std::stringstream dirs(SearchPath());
    for (std::string d; !fails && std::getline(dirs, d, ':');)
        if (real == "exit 1" && std::filesystem::exists(d + "/mkfs.fat"))
            real = "exec '" + d + "/mkfs.fat' \"$@\"";
    MakeFile(station, "brokenbin/mkfs.fat",
             "#!/bin/sh\nn=$(cut -d' ' -f1 '" + bin + "/calls' 2>/dev/null || echo 0)\necho \"$((n + 1)) $1\" > '" + bin +
                 "/calls'\n" + real + "\n");
    std::filesystem::permissions(bin + "/mkfs.fat", std::filesystem::perms::owner_all);
    platform::VolumeToolConfig config = platform::GetVolumeToolConfig();
    config.searchPath = bin + ":" + SearchPath();
    platform::SetVolumeToolConfig(config);
}

std::string Trimmed(std::string text)
{
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
}
// Repeats in a row folded into "x*n".
std::string Folded(const std::vector<std::string>& items)
{
    std::string out;
    for (size_t i = 0; i < items.size();) {
        size_t n = 1;
        while (i + n < items.size() && items[i + n] == items[i])
            ++n;
        out += (out.empty() ? "" : " ") + items[i] + (n > 1 ? "*" + std::to_string(n) : "");
        i += n;
    }
    return out;
}
// The captions of `shown` ('|' between) appear in this order; one starting with '!' never does.
bool ShowsInOrder(const std::vector<std::string>& captions, const std::string& shown)
{
    auto at = captions.begin();
    std::stringstream in(shown);
    for (std::string c; std::getline(in, c, '|');) {
        if (c[0] == '!' ? std::count(captions.begin(), captions.end(), c.substr(1)) > 0
                        : (at = std::find(at, captions.end(), c)) == captions.end())
            return false;
        if (c[0] != '!')
            ++at;
    }
    return true;
}

// ---- what the device holds ----

std::string Hex4(uint16_t code)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04X", code);
    return text;
}

// The commands after the last loader upload (EF 79), repeats folded into "*n".
std::string Commands(const sim::SimulatedDevice& device)
{
    const auto log = device.commandLog();
    size_t from = 0;
    for (size_t i = 0; i < log.size(); ++i)
        if (log[i].code == 0xEF79)
            from = i + 1;
    std::vector<std::string> codes;
    for (size_t i = from; i < log.size(); ++i)
        codes.push_back(Hex4(log[i].code) + (log[i].ok ? "" : "!"));
    return Folded(codes);
}

// The first `n` bytes of a file (all of a small one).
std::string FileBytes(const std::string& path, size_t n = 1 << 20)
{
    std::ifstream in(path, std::ios::binary);
    std::string bytes(n, '\0');
    in.read(bytes.data(), std::streamsize(n));
    bytes.resize(size_t(in.gcount()));
    return bytes;
}

// An SPI hidden file's stream: "spi:TYPE:SIZE" from its 8 KiB header, "?" added when the
// header's other bytes or the body are not audio/a.wav's.
std::string SpiFile(const std::string& data, uint32_t announced, const testsupport::SimStation& station)
{
    const auto* h = reinterpret_cast<const uint8_t*>(data.data());
    const uint32_t size = uint32_t(h[5]) << 24 | uint32_t(h[6]) << 16 | uint32_t(h[7]) << 8 | h[8];
    const bool body = announced == size + 2048 && data.find_first_not_of('\0', 9) == 8192 &&
                      data.substr(8192) == FileBytes(station.file("audio/a.wav"));
    char text[32];
    std::snprintf(text, sizeof text, "spi:%02X:%u%s", h[4], size, body ? "" : "?");
    return text;
}

// Each stream by the station file it carries ("?" for none), "~" when it did not end.
std::string Holds(const sim::SimulatedDevice& device, const testsupport::SimStation& station)
{
    std::vector<std::string> parts;
    const auto description = device.flashDescription();
    if (!description.empty()) {
        std::string name = "?";
        for (const auto& entry : std::filesystem::directory_iterator(station.file("flash"))) {
            const std::string bytes = FileBytes(entry.path().string(), 512);
            if (bytes == std::string(description.begin(), description.end()))
                name = entry.path().filename().string();
        }
        parts.push_back(name == sim::FlashIdText(device.profile()) + ".txt" ? "record" : "record " + name);
    }
    const std::pair<const char*, const char*> files[] = {
        {"program", sim::kKitFirmware}, {"prefer", sim::kKitPrefer}, {"telbook", sim::kKitTelbook},
        {"iso", "cd/image.iso"},        {"pass", sim::kKitPassImage}};
    std::vector<std::string> streams;
    for (const sim::StreamRecord& s : device.streams()) {
        const std::string data(s.data.begin(), s.data.end());
        std::string name = data.size() > 8192 && data.compare(0, 4, "6105") == 0 ? SpiFile(data, s.announced, station) : "?";
        for (const auto& [label, file] : files) {
            // One byte past the announced size tells a longer file from an equal one.
            const std::string bytes = FileBytes(station.file(file), size_t(s.announced) + 1);
            if (bytes.size() == s.announced && bytes.compare(0, data.size(), data) == 0)
                name = label;
        }
        streams.push_back(name + (s.ended ? "" : "~"));
    }
    if (!streams.empty())
        parts.push_back(Folded(streams));
    if (device.moduleNumber() >= 0)
        parts.push_back("module " + std::to_string(device.moduleNumber()));
    std::string out;
    for (const std::string& p : parts)
        out += (out.empty() ? "" : "; ") + p;
    return out;
}

// A disk as the FAT tools see it: "LABEL: root entries" for a clean volume, "blank" or the
// first bytes for anything else.
std::string DiskHolds(const std::string& path)
{
    if (!testsupport::CheckFat(path).clean) {
        const std::string head = FileBytes(path, 12);
        if (head.find_first_not_of('\0') == std::string::npos)
            return "blank";
        // A signed file area: its signature, entry count and first entry (index/sector/size).
        const std::string h = FileBytes(path, 28) + std::string(28, '\0'); // a short disk reads zeros
        const auto* bytes = reinterpret_cast<const uint8_t*>(h.data());
        const auto le = [&](size_t at) { return std::to_string(platform::GetLe32(bytes + at)); };
        return "raw " + head + " " + le(12) + " " + le(16) + "/" + le(20) + "/" + le(24);
    }
    std::string label = platform::ReadVolumeLabel(path).value_or("-"); // in the station's code page
    label.erase(label.find_last_not_of(' ') + 1);
    const std::string boot = FileBytes(path, 90);
    const std::string type = boot.size() == 90 && boot.compare(82, 5, "FAT32") == 0 ? "FAT32 " : "";
    std::vector<std::string> names;
    std::istringstream list(Tool({"mdir", "-b", "-i", path, "::/"}));
    for (std::string line; std::getline(list, line);)
        if (line.rfind("::/", 0) == 0)
            names.push_back(line.substr(3));
    std::sort(names.begin(), names.end());
    std::string out = type + (label.empty() ? "-" : label) + ":";
    for (const std::string& n : names)
        out += " " + n;
    return out;
}

std::string Disks(const sim::SimulatedDevice& device)
{
    std::string out;
    if (!device.userDiskPath().empty())
        out = "user " + DiskHolds(device.userDiskPath());
    if (!device.hiddenDiskPath().empty())
        out += (out.empty() ? "" : "; ") + std::string("hidden ") + DiskHolds(device.hiddenDiskPath());
    return out;
}

size_t Threads() { return size_t(std::distance(std::filesystem::directory_iterator("/proc/self/task"), {})); }

// A run's thread counts as ended before its system thread has gone, and the sanitizers'
// runtime briefly opens a pipe of its own in a thread that is leaving: files are counted
// once the threads the runs started have left.
void WaitForEndedThreadsToLeave(size_t threads)
{
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Threads() > threads && std::chrono::steady_clock::now() < giveUp)
        std::this_thread::yield();
}

// The process's open files, by what they lead to, so a failed check names what stayed open.
std::multiset<std::string> OpenFiles()
{
    std::multiset<std::string> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const auto target = std::filesystem::read_symlink(entry.path(), error);
        if (!error && target.string().rfind("/proc/", 0) != 0) // the listing's own descriptor
            files.insert(target.string());
    }
    return files;
}

// ---- settings the rows share ----

using Station = testsupport::SimStation;

void Hidden(TForm1& f, Station& s, uint8_t feature, int ratio)
{
    f.eDeviceFeature = feature;
    f.iHideDiskRatio = ratio;
    f.sHideDiskLabel = "VAULT";
    MakeFile(s, "vault/docs/plan.txt", "plan\n");
    f.HideFileList.Assign({MakeFile(s, "vault/secret.txt", "kept\n"), s.file("vault/docs")});
}
// An image file holding a FAT volume "IMAGE" with one file.
void HiddenImage(TForm1& f, Station& s, int ratio, bool made = true)
{
    Hidden(f, s, 2, ratio);
    f.bUseImgFile = true;
    f.ImageFile = s.file("hidden.img");
    if (made) {
        Tool({"mkfs.fat", "-C", "-n", "IMAGE", f.ImageFile, "2048"});
        Tool({"mcopy", "-i", f.ImageFile, MakeFile(s, "inimage.txt", "in the image\n"), "::/"});
    }
}
void LogTables(TForm1&, Station&) { RegWriteInteger(kProductionRegistryKey, "LogBiTable", 1); }
void Spi(TForm1& f, Station& s)
{
    f.SpiFileList.Assign({MakeFile(s, "audio/a.wav", std::string(10000, 'w')), MakeFile(s, "audio/notes.txt", "x")});
    f.chknor->SetChecked(true);
    f.SaveSpiImage = true;
}
void Telbook(TForm1& f, Station& s) { List(f, s, {sim::kKitTelbook}); }
void Iso(TForm1& f, Station& s)
{
    List(f, s, {MakeFile(s, "cd/image.iso", std::string(6000, 'i'))});
    f.chkISOupgrade->SetChecked(true);
}
// The first 800 blocks bad: a clear-flash scan finds no good block before it gives up.
sim::FlashProfile DeadStart()
{
    sim::FlashProfile p = sim::Nand128M();
    for (uint32_t b = 0; b < 800; ++b)
        p.factoryBadBlocks.push_back(b);
    return p;
}
// The kit's description of the 128M flash, one byte changed.
void PatchRecord(Station& s, size_t offset, uint8_t value)
{
    const std::string name = "flash/" + sim::FlashIdText(sim::Nand128M()) + ".txt";
    std::string record = ReadFile(s.file(name));
    record[offset] = char(value);
    MakeFile(s, name, record);
}
void PatchProgram(Station& s, size_t offset, uint8_t value)
{
    std::string program = ReadFile(s.file(sim::kKitFirmware));
    program[offset] = char(value);
    MakeFile(s, sim::kKitFirmware, program);
}
// The bonding ID the program file asks for.
template <uint8_t id>
void SdkId(TForm1&, Station& s)
{
    PatchProgram(s, sim::kFirmwareBondingIdOffset, id);
}
// A second run after the description changed its write mode: the device's record is of
// another mode, so it gets its own record back, then the description, and is formatted.
void OtherWriteMode(TForm1& f, Station& s)
{
    PatchRecord(s, 96, 0x02);
    f.chkFormat->SetChecked(false);
    List(f, s, {MakeFile(s, "second.txt", "2")});
}
void BreakFormat(TForm1&, Station& s) { BreakFormatTool(s); }

// Command runs that many rows share.
#define IDENTIFY "EF9A EF84 EF70 EE71 EF8B " // port, chips, flash ID, description, bonding ID
#define OWN_TABLE "EF80 EF98 "               // the device's info block and bitmap
#define CFG "EF94 EE95*2 EF94 EE95*2 EF97 "  // the CFG block in two good blocks, loader init
#define STREAMS "EF7A EE7B*49 EF7C EF7A EE7B*5 EF7C " // program file and prefer data
#define FINISH "EF94*2 "                     // the failure path checks two more good blocks

#define NAND "ID:5AF1801540 SIM NAND 128M" // the flash text of the kit's 128M flash
#define TO_PREFER "2 5 10 17 20 21 25 30 35 " // the steps up to the prefer data

// clang-format off
const Row kRows[] = {
    // ---- runs that succeed, one stage or option each ----
    {.name = "Plain",
     .setup = [](TForm1& f, Station& s) {
         MakeFile(s, "music/album/track.wav", std::string(5000, 'w'));
         List(f, s, {"readme.txt", "music", MakeFile(s, "extra/UPDATE.BIN", "never copied")});
     }, .result = "122MB, 16Sec", .waited = 16100, .steps = TO_PREFER "75 80 85 95 100",
     .commands = IDENTIFY OWN_TABLE CFG STREAMS "EF73 0025*2", .holds = "record; program prefer",
     .disks = "user MY_AUDIO: music/ readme.txt", .shown = "FILE Writing...", .logged = "D Port:0-0-0"},
    // The sample kit as it ships, with its own copy list (the README's simulated run).
    {.name = "KitCopyListAsShipped",
     .setup = [](TForm1& f, Station& s) {
         std::vector<std::string> kit;
         platform::PathListFile::Load(s.file(sim::kKitCopyList), kit);
         f.TntSelectFileList2->Items()->Assign(kit);
         f.ScanFileList();
     }, .result = "122MB, 16Sec", .steps = TO_PREFER "75 80 85 95 100",
     .commands = IDENTIFY OWN_TABLE CFG STREAMS "EF7A EE7B*2 EF7C EF73 0025*2", .holds = "record; program prefer telbook",
     .disks = "user MY_AUDIO:"},
    {.name = "WithoutFirmwareEndsAfterTheTables",
     .setup = [](TForm1& f, Station&) { f.chkFwUpgrade->SetChecked(false); }, .result = "0MB, 10Sec",
     .steps = "2 5 10 100", .commands = "EF9A EF84 EF70 EE71 " OWN_TABLE CFG, .holds = "record"},
    {.name = "ClearFlashWithTheTableLog",
     .setup = [](TForm1& f, Station& s) { f.chkClearFlash->SetChecked(true); LogTables(f, s); },
     .result = "2/1016, 122MB, 15Sec", .steps = "2 5 17 20 21 25 30 35 75 80 85 95 100",
     .commands = IDENTIFY "EF94*1017 EE95*2 EF94 EE95*2 EF97 " STREAMS "EF73 0025*2", .holds = "record; program prefer",
     .disks = "user MY_AUDIO: readme.txt", .shown = "Blanking Check 0/1016 Bad: 0|Blanking Check 5/1016 Bad: 1",
     .logged = "log/0_bi_tab.txt: =Flash Type: SIM NAND 128M=|log/0_bi_tab.txt: list ecc detail=|"
               "log/0_bi_tab.txt: =\r\n0003(0)  0517(0)  1016(0)  1017(0)  1018(0)  1019(0)  1020(0)  1021(0)  \r\n"
               "1022(0)  1023(0)  \r\n\r\n====|"
               "log/0_bi_tab.txt: =\r\nTotal blocks: 1024 \r\nTotal bad bind blocks: 10 \r\n"},
    {.name = "ClearFlashGivesUpAndTheRunGoesOn",
     .setup = [](TForm1& f, Station&) { f.chkClearFlash->SetChecked(true); }, .profile = DeadStart,
     .caption = "No Good block1", .result = NAND, .steps = "2 5", .commands = IDENTIFY "EF94*768", .holds = "record",
     .shown = "Too many bad block|Write CFG|No Good block2"},
    {.name = "BlankingCheckOverTheClearFlash",
     .setup = [](TForm1& f, Station& s) {
         f.chkBlankCheck->SetChecked(true);
         f.chkClearFlash->SetChecked(true);
         f.iScanLevel = 4;
         std::filesystem::remove(s.file(sim::kKitSuccessBmp)); // a missing picture is no failure
     }, .result = "3/1016, 122MB, 15Sec", .steps = "2 5 305 317 320 321 325 330 335 375 380 385 395 400",
     .commands = IDENTIFY "EF93*2029 " CFG STREAMS "EF73 0025*2", .holds = "record; program prefer",
     .disks = "user MY_AUDIO: readme.txt"},
    // 120 of the 128 pages are taken: the run degrades and logs its tables.
    {.name = "PageScanOfAllPages",
     .setup = [](TForm1& f, Station& s) {
         f.chkBlankCheck->SetChecked(true);
         f.iScanLevel = 4;
         f.PageMode = true;
         f.PageModeSel = 6;
         LogTables(f, s);
     }, .profile = sim::Nand1G, .caption = "successful(Degrade)", .result = "2/4064, 1007MB, 15Sec",
     .steps = "2 5 305 317 320 321 325 330 335 375 380 385 395 400",
     .commands = IDENTIFY "EE9B EF93*8126 " CFG STREAMS "EF73 0025*2", .holds = "record; program prefer",
     .disks = "user FAT32 MY_AUDIO: readme.txt",
     .logged = "log/0_page_tab.txt: Valid Page  120|log/0_Ecc_Tab.txt: page ECC table|log/0_bi_tab_cfg.txt: Total"},
    {.name = "WornFlashDegradesAtTheThreshold", .setup = [](TForm1& f, Station&) { f.iBadThreshold = 3; },
     .profile = sim::Nand128MWorn, .caption = "successful(Degrade)", .result = "60MB, 16Sec",
     .steps = TO_PREFER "75 80 85 95 100", .commands = IDENTIFY OWN_TABLE CFG STREAMS "EF73 0025*2",
     .holds = "record; program prefer", .disks = "user MY_AUDIO: readme.txt"},
    {.name = "RegisteredBlocksPerChipTakesEveryBlockAsGood",
     .setup = [](TForm1& f, Station&) {
         f.iBadThreshold = 2;
         RegWriteInteger(kProductionRegistryKey, "BlocksPerChip", 1024);
     }, .profile = sim::Nand128MWorn, .result = "123MB, 15Sec", .steps = TO_PREFER "75 80 85 95 100",
     .commands = IDENTIFY CFG STREAMS "EF73 0025*2", .holds = "record; program prefer",
     .disks = "user MY_AUDIO: readme.txt"},
    // A 108 MB system area leaves an 18 MB disk: labelled, not formatted.
    {.name = "SmallDiskIsNotFormatted",
     .setup = [](TForm1& f, Station& s) {
         f.SystemAreachk->SetChecked(true);
         f.SystemAreaComBo->SetItemIndex(26);
         BreakFormatTool(s);
     }, .result = "18MB, 16Sec", .steps = TO_PREFER "75 80 85 95 100",
     .commands = IDENTIFY OWN_TABLE CFG STREAMS "EF73 0025*2", .holds = "record; program prefer",
     .disks = "user MY_AUDIO: readme.txt"},
    {.name = "Fat32Box", .setup = [](TForm1& f, Station&) { f.chkFAT32->SetChecked(true); }, .result = "122MB, 16Sec",
     .steps = TO_PREFER "75 80 85 95 100", .commands = IDENTIFY OWN_TABLE CFG STREAMS "EF73 0025*2",
     .holds = "record; program prefer", .disks = "user FAT32 MY_AUDIO: readme.txt", .shown = "FormatFAT32..."},
    {.name = "ReadableDiskGetsOnlyTheLabel", .result = "122MB, 13Sec", .waited = 13900,
     .steps = "0 2 5 10 17 20 21 25 30 35 75 80 85 95 100", .commands = IDENTIFY OWN_TABLE CFG STREAMS "EF73 0025",
     .holds = "record; program prefer", .disks = "user PLAYER2: readme.txt second.txt", .shown = "Set Volume Label...",
     .again = [](TForm1& f, Station& s) {
         f.chkFormat->SetChecked(false);
         f.LabelEdit->SetText("PLAYER2");
         List(f, s, {MakeFile(s, "second.txt", "2")});
         BreakFormatTool(s);
     }},
    {.name = "DeviceInfoOfAnotherWriteModeIsResentAndFormatted", .result = "122MB, 16Sec",
     .steps = "0 2 5 10 17 20 21 25 30 35 75 80 85 95 100",
     .commands = IDENTIFY "EF80 EE71 EF98 EE71 " CFG STREAMS "EF73 0025*2", .holds = "record; program prefer",
     .disks = "user MY_AUDIO: second.txt", .shown = "FormatFAT16...", .again = OtherWriteMode},
    // A Chinese station labels in its code page, and a label read back equal is left alone.
    {.name = "GbkStation",
     .setup = [](TForm1& f, Station& s) {
         setenv("LC_ALL", "zh_CN.UTF-8", 1);
         f.LabelEdit->SetText("\u97f3\u4e50\u64ad\u653e\u5668"); // 音乐播放器
         List(f, s, {MakeFile(s, "\u6b4c/\u97f3\u4e50.mp3", "song")});
     }, .result = "122MB, 13Sec", .steps = "0 2 5 10 17 20 21 25 30 35 75 80 85 95 100",
     .commands = IDENTIFY OWN_TABLE CFG STREAMS "EF73 0025", .holds = "record; program prefer",
     .disks = "user \u97f3\u4e50\u64ad\u653e\u5668: \u97f3\u4e50.mp3", .shown = "!Set Volume Label...",
     .again = [](TForm1& f, Station&) { f.chkFormat->SetChecked(false); }},
    // Nine broken program streams, the set-up sent again each time; the phone book from the
    // second list position; the image of a box that cannot be changed (prefer steps + 5).
    {.name = "ProgramRetriesPhoneBookAndImage",
     .setup = [](TForm1& f, Station& s) {
         Telbook(f, s);
         Iso(f, s);
         f.TntSelectFileList2->Items()->Assign({s.file(sim::kKitFirmware), s.file(sim::kKitTelbook), s.file(sim::kKitPrefer), s.file("cd/image.iso")});
         f.ScanFileList();
         f.chkISOupgrade->SetEnabled(false);
     }, .fault = {0xEE7B, 1, FaultKind::StatusClear, 9}, .result = "122MB, 18Sec", .waited = 18900,
     .steps = "2 5 10 17 20 21 30 35 40 45 50 75 80 85 95 100",
     .commands = IDENTIFY OWN_TABLE CFG "EF7A EE7B! EF7A EE7B! EF7A EE7B! EF7A EE7B! EF7A EE7B! EF7A EE7B! EF7A EE7B! EF7A EE7B! EF7A EE7B! " STREAMS "EF7A EE7B*2 EF7C EF7A EE7B*3 EF7C EF73 0025*2",
     .holds = "record; program~*9 program prefer telbook iso", .disks = "user MY_AUDIO:",
     .shown = "Program Writing Retry 1|Program Writing Retry 9|!Program Writing Retry 10"},
    // A file that grows between its set-up and its data is never sent past what was
    // announced: the program stream is cut and announced again; an area without retries fails.
    {.name = "ProgramGrowsAfterItsSetUp", .fault = {.unplugWhenShown = "17", .growWhenShown = sim::kKitFirmware},
     .result = "122MB, 16Sec", .steps = TO_PREFER "75 80 85 95 100",
     .commands = IDENTIFY OWN_TABLE CFG "EF7A EE7B*47 EF7A EE7B*83 EF7C EF7A EE7B*5 EF7C EF73 0025*2",
     .holds = "record; ?~ program prefer", .disks = "user MY_AUDIO: readme.txt", .shown = "Program Writing Retry 1"},
    {.name = "ImageGrowsAfterItsSetUp", .setup = Iso, .fault = {.unplugWhenShown = "40", .growWhenShown = "cd/image.iso"},
     .caption = "ISO Writing fail", .result = NAND, .steps = TO_PREFER "40",
     .commands = IDENTIFY OWN_TABLE CFG STREAMS "EF7A EE7B*2 " FINISH, .holds = "record; program prefer ?~"},
    {.name = "PhoneBookInTheFirstPositionIsNotUsed",
     .setup = [](TForm1& f, Station& s) {
         f.TntSelectFileList2->Items()->Assign({s.file(sim::kKitTelbook), s.file(sim::kKitFirmware), s.file(sim::kKitPrefer)});
         f.ScanFileList();
     }, .result = "122MB, 16Sec", .steps = TO_PREFER "75 80 85 95 100",
     .commands = IDENTIFY OWN_TABLE CFG STREAMS "EF73 0025*2", .holds = "record; program prefer",
     .disks = "user MY_AUDIO:"},
    {.name = "ParityAndModuleNumber",
     .setup = [](TForm1& f, Station&) {
         f.chkParityCheck->SetChecked(true);
         f.iFlashModuleNo = 3;
     }, .result = "122MB, 16Sec", .steps = TO_PREFER "72 75 80 85 95 100",
     .commands = IDENTIFY OWN_TABLE CFG STREAMS "EF87 EF8D EF73 0025*2", .holds = "record; program prefer; module 3",
     .disks = "user MY_AUDIO: readme.txt"},
    {.name = "HiddenDiskFromTheFileList", .setup = [](TForm1& f, Station& s) { Hidden(f, s, 2, 50); },
     .result = "61MB, 16Sec", .steps = TO_PREFER "75 80 85 90 95 100",
     .commands = IDENTIFY OWN_TABLE CFG STREAMS "EF73 0025*2 EF92 0025*2", .holds = "record; program prefer",
     .disks = "user MY_AUDIO: readme.txt; hidden VAULT: docs/ secret.txt"},
    // A 44 MB system area leaves a hidden disk of 32 MB: formatted (quick, as the user disk).
    {.name = "HiddenDiskAtTheFormatThreshold",
     .setup = [](TForm1& f, Station& s) {
         Hidden(f, s, 2, 40);
         f.SystemAreachk->SetChecked(true);
         f.SystemAreaComBo->SetItemIndex(10);
         BreakFormatTool(s, false);
     }, .result = "49MB, 16Sec", .steps = TO_PREFER "75 80 85 90 95 100",
     .commands = IDENTIFY OWN_TABLE CFG STREAMS "EF73 0025*2 EF92 0025*2", .holds = "record; program prefer",
     .disks = "user MY_AUDIO: readme.txt; hidden VAULT: docs/ secret.txt", .logged = "brokenbin/calls: 2 -I"},
    {.name = "WholeDiskEncrypted", .setup = [](TForm1& f, Station& s) { Hidden(f, s, 1, 100); }, .result = "3MB, 14Sec",
     .waited = 14500, .steps = TO_PREFER "55 65 70 75 90 95 100",
     .commands = IDENTIFY OWN_TABLE CFG STREAMS "EF7A EE7B*9 EF7C EF73 0025 EF92 0025*2",
     .holds = "record; program prefer pass", .disks = "user -:; hidden VAULT: docs/ secret.txt"},
    {.name = "EncryptedBelowTheWholeDisk", .setup = [](TForm1& f, Station& s) { Hidden(f, s, 1, 50); },
     .result = "61MB, 16Sec", .waited = 16700, .steps = TO_PREFER "55 65 70 75 80 85 90 95 100",
     .commands = IDENTIFY OWN_TABLE CFG STREAMS "EF7A EE7B*9 EF7C EF73 0025*2 EF92 0025*2",
     .holds = "record; program prefer pass", .disks = "user MY_AUDIO: readme.txt; hidden VAULT: docs/ secret.txt"},
    {.name = "SignedFileArea", .setup = [](TForm1& f, Station& s) { Hidden(f, s, 2, 50); f.bNonFileSystem = true; },
     .result = "61MB, 16Sec", .steps = TO_PREFER "75 80 85 100",
     .commands = IDENTIFY OWN_TABLE CFG STREAMS "EF73 0025*2 EF92 0025 002A*2 001B", .holds = "record; program prefer",
     .disks = "user MY_AUDIO: readme.txt; hidden raw KOV6125X2947 2 0/1/5"},
    {.name = "HiddenDiskFromAnImage", .setup = [](TForm1& f, Station& s) { HiddenImage(f, s, 50); },
     .result = "2MB, 16Sec", .steps = TO_PREFER "75 80 85 90 91 92 93 94 95 96 97 100",
     .commands = IDENTIFY OWN_TABLE CFG STREAMS "EF73 0025*2 EF92 0025 002A*64 001B", .holds = "record; program prefer",
     .disks = "user MY_AUDIO: readme.txt; hidden IMAGE: inimage.txt"},
    {.name = "WholeHiddenDiskFromAnImage", .setup = [](TForm1& f, Station& s) { HiddenImage(f, s, 100); },
     .result = "2MB, 16Sec", .steps = TO_PREFER "75 80 85 90 91 92 93 94 95 96 97 100",
     .commands = IDENTIFY OWN_TABLE CFG STREAMS "EF73 0025*2 EF92 0025 002A*64 001B", .holds = "record; program prefer",
     .disks = "user MY_AUDIO: readme.txt; hidden IMAGE: inimage.txt"},
    {.name = "NandOfMakerFFIsNoSpiFlash",
     .profile = [] { auto p = sim::NandUnlisted(); p.flashId[0] = 0xFF; return p; }, .result = "122MB, 16Sec",
     .steps = TO_PREFER "75 80 85 95 100", .commands = IDENTIFY OWN_TABLE CFG STREAMS "EF73 0025*2",
     .holds = "record DEFAULT; program prefer", .disks = "user MY_AUDIO: readme.txt"},
    {.name = "SpiReadBackAndFlashImage", .setup = Spi, .profile = sim::SpiNor4M, .result = "4MB, 13Sec",
     .waited = 13400, .steps = "2 10 17 20 21 25 30 35 75 78 80 100",
     .commands = "EF9A EF84 EF70 EF72 " STREAMS "EF7A EE7B*3 EF7C EF73 EF9D*228 EF9C", .holds = "program prefer spi:C3:10000",
     .logged = "NorImage.bin: "},
    // ---- every failure caption ----
    {.name = "DeviceGoneBeforeTheRunOpensIt", .profile = nullptr, .caption = "FileHandle fail"},
    {.name = "PreferDataMissing",
     .setup = [](TForm1& f, Station& s) {
         f.TntSelectFileList2->Items()->Assign({s.file(sim::kKitFirmware)});
         f.ScanFileList();
     }, .caption = "Cannot findprefer.dat"},
    {.name = "ImageIsoPastTheList", // the list lost its last entry since it was scanned
     .setup = [](TForm1& f, Station&) { f.chkISOupgrade->SetChecked(true); f.iIsoIndex = f.TntSelectFileList2->Items()->Count(); },
     .caption = "Cannot findImage.ISO"},
    {.name = "FlashIdUnreadable", .fault = {0xEF70, 1, FaultKind::Transport}, .caption = "Flash Check fail",
     .steps = "2", .commands = "EF9A EF84 EF70!"},
    {.name = "FlashIdRefused", .fault = {0xEF70}, .caption = "Flash Check fail", .steps = "2",
     .commands = "EF9A EF84 EF70"},
    {.name = "SpiBadBlockCheck", .profile = [] { auto p = sim::SpiNor4M(); p.spiCheckPasses = false; return p; },
     .caption = "Bad Block Check fail", .result = "SPI Flash", .steps = "2", .commands = "EF9A EF84 EF70 EF72"},
    {.name = "UnknownFlashWithoutDefaultRecord",
     .setup = [](TForm1&, Station& s) { std::filesystem::remove(s.file(sim::kKitDefaultRecord)); },
     .profile = sim::NandUnlisted, .caption = "FILE Writing fail", .result = "ID:5ADA109544 GENERIC NAND", .steps = "2",
     .commands = "EF9A EF84 EF70"},
    {.name = "DescriptionRefused", .fault = {0xEE71, 1, FaultKind::Transport}, .caption = "FILE Writing fail",
     .result = NAND, .steps = "2", .commands = "EF9A EF84 EF70 EE71!"},
    {.name = "DescriptionOfImpossibleGeometry", .setup = [](TForm1&, Station& s) { PatchRecord(s, 87, 10); },
     .caption = "Parse CFGfail", .result = NAND, .steps = "2 5", .commands = "EF9A EF84 EF70 EE71", .holds = "record"},
    {.name = "NoProgramFileForTheModule",
     .setup = [](TForm1&, Station& s) { PatchProgram(s, sim::kFirmwareModuleBlockOffset + 2, 5); },
     .caption = "Can not find the suitable program.bin!!", .result = NAND, .steps = "2 5",
     .commands = "EF9A EF84 EF70 EE71", .holds = "record"},
    {.name = "BondingIdMismatch", .setup = SdkId<3>,
     .profile = [] { auto p = sim::Nand128M(); p.bondingId = 5; return p; },
     .caption = "SDK bonding ID not match 3 (program.bin)", .result = NAND, .steps = "2 5", .commands = IDENTIFY,
     .holds = "record"},
    {.name = "ProgramWithoutBondingId", .setup = SdkId<0>,
     .profile = [] { auto p = sim::Nand128M(); p.bondingId = 5; return p; },
     .caption = "SDK bonding ID check fail 0 (program.bin)", .result = NAND, .steps = "2 5", .commands = IDENTIFY,
     .holds = "record"},
    {.name = "ChipBondingIdOutOfRange", .setup = SdkId<3>,
     .profile = [] { auto p = sim::Nand128M(); p.bondingId = 16; return p; },
     .caption = "Chip bonding ID check fail16 (program.bin)", .result = NAND, .steps = "2 5", .commands = IDENTIFY,
     .holds = "record"},
    {.name = "BlankingCheckFails", .setup = [](TForm1& f, Station&) { f.chkBlankCheck->SetChecked(true); },
     .fault = {0xEF93, 3, FaultKind::Transport}, .caption = "Blanking Checkfail", .result = NAND, .steps = "2 5",
     .commands = IDENTIFY "EF93*2 EF93!", .holds = "record"},
    {.name = "BlankingCheckFindsNoGoodBlock", .setup = [](TForm1& f, Station&) { f.chkBlankCheck->SetChecked(true); },
     .profile = DeadStart, .caption = "Too many bad block", .result = NAND, .steps = "2 5",
     .commands = IDENTIFY "EF93*768", .holds = "record"},
    {.name = "DeviceInfoResendRefused", .fault = {0xEE71, 2, FaultKind::Transport}, .caption = "FILE Writing fail",
     .result = NAND, .steps = "0 2 5", .commands = IDENTIFY "EF80 EE71!", .holds = "record",
     .disks = "user MY_AUDIO: readme.txt", .again = OtherWriteMode},
    {.name = "BitmapUnreadable", .fault = {0xEF98, 1, FaultKind::Transport}, .caption = "Bad Block Checkfail",
     .result = NAND, .steps = "2 5", .commands = IDENTIFY "EF80 EF98!", .holds = "record"},
    {.name = "DescriptionResendRefused", .fault = {0xEE71, 3, FaultKind::Transport}, .caption = "FILE Writing fail",
     .result = NAND, .steps = "0 2 5", .commands = IDENTIFY "EF80 EE71 EF98 EE71!", .holds = "record ?",
     .disks = "user MY_AUDIO: readme.txt", .again = OtherWriteMode},
    {.name = "BadBlockRateOverTheThreshold", .setup = [](TForm1& f, Station&) { f.iBadThreshold = 2; },
     .profile = sim::Nand128MWorn, .caption = "Please do blanking check", .result = NAND, .steps = "2 5",
     .commands = IDENTIFY OWN_TABLE, .holds = "record"},
    {.name = "CfgWriteFailsTwice", .fault = {0xEE95, 1, FaultKind::Transport, 2}, .caption = "Write CFGfail",
     .result = NAND, .steps = "2 5 10", .commands = IDENTIFY OWN_TABLE "EF94 EE95! " FINISH "EE95! " FINISH,
     .holds = "record", .shown = "Write CFG1"},
    {.name = "CapacityShortfallShownAsError",
     .setup = [](TForm1& f, Station&) { f.iBadThreshold = 3; f.DealCapError = 1; }, .profile = sim::Nand128MWorn,
     .caption = "Bad Block no Exceed", .result = NAND, .steps = "2 5 10", .commands = IDENTIFY OWN_TABLE,
     .holds = "record"},
    {.name = "ValidSizeTooSmall", .setup = [](TForm1& f, Station&) { f.iMinValidSize = 32; },
     .caption = "Valid Size too smallfail", .result = NAND, .steps = "2 5 10", .commands = IDENTIFY OWN_TABLE,
     .holds = "record"},
    {.name = "LoaderInitFails", .fault = {0xEF97, 1, FaultKind::Transport}, .caption = "FSM initfail", .result = NAND,
     .steps = "2 5 10", .commands = IDENTIFY OWN_TABLE "EF94 EE95*2 EF94 EE95*2 EF97! " FINISH, .holds = "record"},
    {.name = "SmallPageFirmwareOnLargePages", .setup = [](TForm1& f, Station&) { f.iSdkType = 1; },
     .caption = "SDK Ver and NAND Flash no match  fail", .result = NAND, .steps = "2 5 10",
     .commands = IDENTIFY OWN_TABLE CFG FINISH, .holds = "record"},
    {.name = "ProgramSetupFails", .fault = {0xEF7A}, .caption = "Program Write Setup fail", .result = NAND,
     .steps = "2 5 10", .commands = IDENTIFY OWN_TABLE CFG "EF7A " FINISH, .holds = "record"},
    {.name = "ProgramWriteFailsTenTimes", .fault = {0xEE7B, 1, FaultKind::StatusClear, 10},
     .caption = "Program Writing fail", .result = NAND, .steps = "2 5 10 17",
     .commands = IDENTIFY OWN_TABLE CFG "EF7A EE7B! EF7A EE7B! EF7A EE7B! EF7A EE7B! EF7A EE7B! EF7A EE7B! EF7A EE7B! EF7A EE7B! EF7A EE7B! EF7A EE7B! " FINISH,
     .holds = "record; program~*10"},
    {.name = "ProgramEndFails", .fault = {0xEF7C}, .caption = "Program Write End fail", .result = NAND,
     .steps = "2 5 10 17 20", .commands = IDENTIFY OWN_TABLE CFG "EF7A EE7B*49 EF7C " FINISH,
     .holds = "record; program~"},
    {.name = "PreferSetupFails", .fault = {0xEF7A, 2}, .caption = "Prefer Write Setup fail", .result = NAND,
     .steps = "2 5 10 17 20 21", .commands = IDENTIFY OWN_TABLE CFG "EF7A EE7B*49 EF7C EF7A " FINISH,
     .holds = "record; program"},
    {.name = "PreferWriteFailsTenTimes", .fault = {0xEE7B, 50, FaultKind::StatusClear, 10},
     .caption = "Prefer Writing fail", .result = NAND, .steps = "2 5 10 17 20 21 25",
     .commands = IDENTIFY OWN_TABLE CFG "EF7A EE7B*49 EF7C EF7A EE7B! EF7A EE7B! EF7A EE7B! EF7A EE7B! EF7A EE7B! EF7A EE7B! EF7A EE7B! EF7A EE7B! EF7A EE7B! EF7A EE7B! " FINISH,
     .holds = "record; program prefer~*10"},
    {.name = "PreferEndFails", .fault = {0xEF7C, 2}, .caption = "Prefer Write End fail", .result = NAND,
     .steps = "2 5 10 17 20 21 25 30", .commands = IDENTIFY OWN_TABLE CFG STREAMS FINISH,
     .holds = "record; program prefer~"},
    {.name = "SpiHiddenFilesFail", .setup = Spi, .profile = sim::SpiNor4M, .fault = {0xEF7A, 3},
     .caption = "SPI hidden files write fail", .result = "SPI Flash", .steps = "2 10 17 20 21 25 30 35",
     .commands = "EF9A EF84 EF70 EF72 " STREAMS "EF7A", .holds = "program prefer"},
    {.name = "PhoneBookWriteFails", .setup = Telbook, .fault = {0xEE7B, 55}, .caption = "Telbook Writing fail",
     .result = NAND, .steps = TO_PREFER, .commands = IDENTIFY OWN_TABLE CFG STREAMS "EF7A EE7B! " FINISH,
     .holds = "record; program prefer telbook~"},
    {.name = "ImageIsoEndFails", .setup = Iso, .fault = {0xEF7C, 3}, .caption = "ISO Write End fail", .result = NAND,
     .steps = TO_PREFER "40 45", .commands = IDENTIFY OWN_TABLE CFG STREAMS "EF7A EE7B*3 EF7C " FINISH,
     .holds = "record; program prefer iso~"},
    {.name = "PassSetupFails", .setup = [](TForm1& f, Station& s) { Hidden(f, s, 1, 50); }, .fault = {0xEF7A, 3},
     .caption = "PASS Write Setup fail", .result = NAND, .steps = TO_PREFER,
     .commands = IDENTIFY OWN_TABLE CFG STREAMS "EF7A " FINISH, .holds = "record; program prefer"},
    {.name = "ParityFails", .setup = [](TForm1& f, Station&) { f.chkParityCheck->SetChecked(true); }, .fault = {0xEF87},
     .caption = "FW Parity Check fail", .result = NAND, .steps = TO_PREFER,
     .commands = IDENTIFY OWN_TABLE CFG STREAMS "EF87 " FINISH, .holds = "record; program prefer"},
    {.name = "StartDiskFails", .fault = {0xEF73}, .caption = "Start Diskfail", .result = NAND, .steps = TO_PREFER,
     .commands = IDENTIFY OWN_TABLE CFG STREAMS "EF73 " FINISH, .holds = "record; program prefer"},
    {.name = "SpiReadBackFails", .setup = Spi, .profile = sim::SpiNor4M, .fault = {0xEF9D, 3, FaultKind::Transport},
     .caption = "Check Data fail", .result = "SPI Flash", .steps = "2 10 17 20 21 25 30 35 75 78",
     .commands = "EF9A EF84 EF70 EF72 " STREAMS "EF7A EE7B*3 EF7C EF73 EF9D*2 EF9D!", .holds = "program prefer spi:C3:10000"},
    {.name = "SpiFlashImageFails", .setup = [](TForm1& f, Station&) { f.SaveSpiImage = true; },
     .profile = sim::SpiNor4M, .fault = {0xEF9D, 3, FaultKind::Transport}, .caption = "Save Flash Imagefail",
     .result = "SPI Flash", .steps = "2 10 17 20 21 25 30 35 75",
     .commands = "EF9A EF84 EF70 EF72 " STREAMS "EF73 EF9D*2 EF9D!", .holds = "program prefer"},
    {.name = "DeviceGoneBeforeTheDisk", .fault = {.unplugWhenShown = "75"}, .caption = "FileHandle fail",
     .result = NAND, .steps = TO_PREFER "75 0", .commands = IDENTIFY OWN_TABLE CFG STREAMS "EF73",
     .holds = "record; program prefer", .disks = "user blank"},
    {.name = "DiskSizeUnreadable", .fault = {0x25, 1, FaultKind::Transport}, .caption = "Disk Size Error",
     .result = NAND, .steps = TO_PREFER "75", .commands = IDENTIFY OWN_TABLE CFG STREAMS "EF73 0025! " FINISH,
     .holds = "record; program prefer", .disks = "user blank", .logged = "bGetDiskSizeMB(drive) <= 0"},
    {.name = "LabelRefused", .setup = [](TForm1& f, Station&) { f.LabelEdit->SetText("BAD*LABEL"); },
     .caption = "Set Volume Label fail", .result = NAND, .steps = TO_PREFER "75",
     .commands = IDENTIFY OWN_TABLE CFG STREAMS "EF73 0025*2 " FINISH, .holds = "record; program prefer",
     .disks = "user -:"},
    {.name = "FormatFailsFourTimes", .setup = BreakFormat, .caption = "Format fail", .result = NAND,
     .steps = TO_PREFER "75", .commands = IDENTIFY OWN_TABLE CFG STREAMS "EF73 0025*2 " FINISH,
     .holds = "record; program prefer", .disks = "user blank", .logged = "brokenbin/calls: 4 -I"},
    {.name = "CopyFails", .setup = [](TForm1& f, Station& s) { List(f, s, {"gone.txt"}); }, .caption = "Copy Filesfail",
     .result = NAND, .steps = TO_PREFER "75 80", .commands = IDENTIFY OWN_TABLE CFG STREAMS "EF73 0025*2 " FINISH,
     .holds = "record; program prefer", .disks = "user MY_AUDIO:"},
    {.name = "RemovedDuringTheCopy", .fault = {.unplugWhenShown = "80", .windowHears = true},
     .caption = "Waiting device...", .steps = TO_PREFER "75 80 0",
     .commands = IDENTIFY OWN_TABLE CFG STREAMS "EF73 0025*2", .holds = "record; program prefer",
     .disks = "user MY_AUDIO:"},
    {.name = "RemovedBeforeTheGaugeShows", .fault = {.unplugWhenShown = "<0-0-0>", .windowHears = true},
     .caption = "Waiting device...", .steps = "2 0", .commands = "EF9A EF84! EF70!"},
    {.name = "ChangeToHiddenRefused", .setup = [](TForm1& f, Station& s) { Hidden(f, s, 2, 50); }, .fault = {0xEF92},
     .caption = "Change to Hidden disk fail", .result = NAND, .steps = TO_PREFER "75 80 85",
     .commands = IDENTIFY OWN_TABLE CFG STREAMS "EF73 0025*2 EF92 " FINISH, .holds = "record; program prefer",
     .disks = "user MY_AUDIO: readme.txt"},
    {.name = "DeviceGoneBeforeTheHiddenDisk", .setup = [](TForm1& f, Station& s) { Hidden(f, s, 2, 50); },
     .fault = {.unplugWhenShown = "85"}, .caption = "FileHandle fail", .result = NAND, .steps = TO_PREFER "75 80 85 0",
     .commands = IDENTIFY OWN_TABLE CFG STREAMS "EF73 0025*2", .holds = "record; program prefer",
     .disks = "user MY_AUDIO: readme.txt"},
    {.name = "SignedFileAreaWriteFails",
     .setup = [](TForm1& f, Station& s) { Hidden(f, s, 2, 50); f.bNonFileSystem = true; },
     .fault = {0x2A, 1, FaultKind::Transport}, .caption = "Map Image filefail", .result = NAND,
     .steps = TO_PREFER "75 80 85", .commands = IDENTIFY OWN_TABLE CFG STREAMS "EF73 0025*2 EF92 0025 002A! " FINISH,
     .holds = "record; program prefer", .disks = "user MY_AUDIO: readme.txt; hidden blank"},
    {.name = "ImageFileMissing", .setup = [](TForm1& f, Station& s) { HiddenImage(f, s, 50, false); },
     .caption = "IMG file error!", .result = NAND, .steps = TO_PREFER "75 80 85",
     .commands = IDENTIFY OWN_TABLE CFG STREAMS "EF73 0025*2 EF92 " FINISH, .holds = "record; program prefer",
     .disks = "user MY_AUDIO: readme.txt; hidden blank"},
    {.name = "ImageLargerThanTheHiddenDisk",
     .setup = [](TForm1& f, Station& s) {
         HiddenImage(f, s, 10, false);
         std::filesystem::resize_file(MakeFile(s, "hidden.img", ""), 64u << 20);
     }, .caption = "Hidden disk too small!", .result = NAND, .steps = TO_PREFER "75 80 85",
     .commands = IDENTIFY OWN_TABLE CFG STREAMS "EF73 0025*2 EF92 0025 " FINISH, .holds = "record; program prefer",
     .disks = "user MY_AUDIO: readme.txt; hidden -:", .logged = "11"},
    {.name = "ImageWriteFails", .setup = [](TForm1& f, Station& s) { HiddenImage(f, s, 50); },
     .fault = {0x2A, 2, FaultKind::Transport}, .caption = "Map Image filefail", .result = NAND,
     .steps = TO_PREFER "75 80 85 90",
     .commands = IDENTIFY OWN_TABLE CFG STREAMS "EF73 0025*2 EF92 0025 002A 002A! " FINISH,
     .holds = "record; program prefer", .disks = "user MY_AUDIO: readme.txt; hidden IMAGE: inimage.txt"},
    {.name = "HiddenDiskFormatFails", .setup = [](TForm1& f, Station& s) { Hidden(f, s, 1, 100); BreakFormatTool(s); },
     .caption = "Format fail", .result = NAND, .steps = TO_PREFER "55 65 70 75 90",
     .commands = IDENTIFY OWN_TABLE CFG STREAMS "EF7A EE7B*9 EF7C EF73 0025 EF92 0025*2 " FINISH,
     .holds = "record; program prefer pass", .disks = "user -:; hidden blank", .logged = "brokenbin/calls: 1 -I"},
    {.name = "HiddenLabelRefused",
     .setup = [](TForm1& f, Station& s) { Hidden(f, s, 2, 50); f.sHideDiskLabel = "X*Y"; },
     .caption = "Set Volume Label fail", .result = NAND, .steps = TO_PREFER "75 80 85 90",
     .commands = IDENTIFY OWN_TABLE CFG STREAMS "EF73 0025*2 EF92 0025*2 " FINISH, .holds = "record; program prefer",
     .disks = "user MY_AUDIO: readme.txt; hidden -:"},
    {.name = "HiddenCopyFails",
     .setup = [](TForm1& f, Station& s) { Hidden(f, s, 2, 50); f.HideFileList.Add(s.file("gone.txt")); },
     .caption = "Hidden diskCopy Files fail", .result = NAND, .steps = TO_PREFER "75 80 85 90 95",
     .commands = IDENTIFY OWN_TABLE CFG STREAMS "EF73 0025*2 EF92 0025*2 " FINISH, .holds = "record; program prefer",
     .disks = "user MY_AUDIO: readme.txt; hidden VAULT: docs/ secret.txt"},
};
// clang-format on

class WholeRun : public StationRun, public ::testing::WithParamInterface<Row> {
protected:
    void TearDown() override
    {
        StationRun::TearDown();
        savedLocale_ ? setenv("LC_ALL", savedLocale_->c_str(), 1) : unsetenv("LC_ALL");
    }
    std::optional<std::string> savedLocale_ = std::getenv("LC_ALL") ? std::optional<std::string>(std::getenv("LC_ALL")) : std::nullopt;
};

TEST_P(WholeRun, EndsAsItsRowSays)
{
    const Row& r = GetParam();
    MakeFile("readme.txt", "hello device\n");
    SetCopyList({"readme.txt"});
    if (r.setup)
        r.setup(*form, *station);
    const auto files = OpenFiles();
    const size_t threads = Threads();
    std::shared_ptr<sim::SimulatedDevice> device;
    form->iRunningThreads = 1; // another device's run
    uint64_t start = station->clock().nowMs();
    if (!r.profile) {
        // The drive went away before the run opened it; its panel still holds it.
        auto& s = form->DeviceSlots[0];
        s.drive = 'D';
        RecordPanel();
        (new ProductThread('D', 0, s.status, s.gauge, s.image, "", s.textF, s.textP))->Resume();
        toolkit::TThread::WaitForAll();
    } else if (r.again) {
        device = Run(r.profile());
        ASSERT_EQ(Status(0), "successful");
        r.again(*form, *station);
        RecordPanel();
        start = station->clock().nowMs();
        Rerun(device, r.fault);
    } else {
        RecordPanel();
        device = Start(r.profile(), r.fault);
    }
    const uint64_t waited = station->clock().nowMs() - start;
    EXPECT_TRUE(!r.waited || waited == r.waited) << waited;
    const bool ok = std::string(r.caption).rfind("successful", 0) == 0;
    const bool reset = std::string(r.caption) == "Waiting device...";
    const std::string caption = Status(0), result = form->TextF1->Caption();
    EXPECT_EQ(caption, r.caption);
    EXPECT_EQ(result, r.result);
    EXPECT_EQ(Color(0), ok ? toolkit::clBlue : reset ? toolkit::clBtnText : toolkit::clRed);
    const char* picture = ok ? sim::kKitSuccessBmp : sim::kKitFailBmp;
    EXPECT_EQ(form->infoImage1->Visible(), !reset && std::filesystem::exists(station->file(picture)));
    if (form->infoImage1->Visible()) {
        EXPECT_EQ(form->infoImage1->Picture(), platform::ProgramPath(picture));
    }
    EXPECT_TRUE(!reset || !form->ProgressBar1->Visible());
    EXPECT_TRUE(LogHas(std::string("D ") + (ok ? "success!" : "fail!")));
    EXPECT_EQ(form->iRunningThreads, 1) << "only what a run counted is taken off";
    WaitForRuns();
    EXPECT_EQ(Counters(), r.again ? (ok ? "2/2/0" : "2/1/1") : (ok ? "1/1/0" : "1/0/1")); // total/success/fail
    WaitForEndedThreadsToLeave(threads);
    EXPECT_EQ(OpenFiles(), files) << "every file the run opened is closed";
    EXPECT_EQ(StepsShown(), Trimmed(r.steps));
    EXPECT_TRUE(ShowsInOrder(Captions(), r.shown)) << ::testing::PrintToString(Captions());
    std::stringstream logs(r.logged);
    for (std::string logged; std::getline(logs, logged, '|');) {
        const size_t colon = logged.find(": ");
        if (colon != std::string::npos && logged.substr(0, colon).find(' ') == std::string::npos) {
            const std::string file = station->file(logged.substr(0, colon));
            EXPECT_TRUE(std::filesystem::exists(file)) << file;
            EXPECT_THAT(ReadFile(file), ::testing::HasSubstr(logged.substr(colon + 2)));
        } else {
            EXPECT_TRUE(LogHas(logged)) << logged;
        }
    }
    if (device) {
        EXPECT_EQ(Commands(*device), Trimmed(r.commands));
        EXPECT_EQ(Holds(*device, *station), r.holds);
        EXPECT_EQ(Disks(*device), r.disks);
    }
    form->iRunningThreads = 0;
    form->DeviceSlots[0].drive = 0;
}

INSTANTIATE_TEST_SUITE_P(Rows, WholeRun, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

} // namespace
