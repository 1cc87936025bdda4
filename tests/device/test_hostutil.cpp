// Host utilities on real disk files, judged by the real dosfstools and mtools.
#include "device/HostUtil.h"
#include "platform/DriveMap.h"
#include "platform/Process.h"
#include "platform/ProgramDir.h"
#include "platform/VolumeTools.h"
#include "support/FatCheck.h"
#include "support/RecordingTransport.h"
#include "support/ScopedLocale.h"
#include "support/TempDir.h"
#include "toolkit/Dialogs.h"

#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

namespace {

const auto run = testsupport::RunTool;

std::string minfo(const std::string& disk, const std::string& key)
{
    std::string text = run({"minfo", "-i", disk, "::"}).output;
    auto at = text.find(key);
    return at == std::string::npos ? "" : text.substr(at + key.size(), text.find('\n', at) - at - key.size());
}

// A program folder with drive E bound to a sparse 64 MiB disk file, and scripted dialogs.
class HostUtil : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::SetProgramDir(dir.path());
        toolkit::SetDialogs(&dialogs);
        dir.write("disk.img", "");
        fs::resize_file(disk, 64 << 20);
        platform::DriveMap::global().bind('E', {{}, [volume = disk] { return volume; }, "disk"});
    }
    void TearDown() override
    {
        platform::DriveMap::global().release('E');
        platform::SetVolumeToolConfig({});
        toolkit::SetDialogs(nullptr);
    }
    void setLocale(const char* name) { locale.set(name); }
    bool fsckClean() { return run({"fsck.fat", "-n", disk}).succeeded(); }
    void script(const std::string& path, const std::string& body)
    {
        dir.write(path, "#!/bin/sh\n" + body + "\n");
        ::chmod(dir.file(path).c_str(), 0755);
    }
    // Puts a stand-in tool for outcomes the real ones rarely give on the tools' path.
    void fakeTool(const std::string& name, const std::string& body, uint32_t formatTimeMs = 120000)
    {
        script("bin/" + name, body);
        platform::SetVolumeToolConfig({.searchPath = dir.file("bin"), .formatTimeMs = formatTimeMs});
    }
    testsupport::ScopedLocale locale{"C.UTF-8"}; // the station's language: label code page, copy order
    testsupport::TempDir dir;
    toolkit::ScriptedDialogs dialogs;
    const std::string disk = dir.file("disk.img");
};

} // namespace

TEST_F(HostUtil, EventLogKeepsEveryLineWholeFromEightThreadsAndItsLineRules)
{
    // A log that cannot be written is said once per outage, on standard error and to the reporter;
    // the first outage comes before any line was written.
    std::vector<std::string> said;
    SetEventLogFailureReporter([&said](const std::string& text) { said.push_back(text + "\n"); });
    ::testing::internal::CaptureStderr();
    dir.write("log", ""), AppendLog("a"), AppendLog("b"), fs::remove(dir.file("log")), AppendLog("c");
    fs::remove(dir.file("log/1.txt")), fs::create_symlink("/dev/full", dir.file("log/1.txt")), AppendLog("d"), AppendLog("e");
    fs::remove(dir.file("log/1.txt")), SetEventLogFailureReporter({});
    const std::string why = "The event log " + dir.file("log/1.txt") + " cannot be written (", then = "): results are shown only in the device panels.\n";
    EXPECT_EQ(said, Strings({why + "Not a directory" + then, why + "No space left on device" + then}));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "mptool: " + why + "Not a directory" + then + "mptool: " + why + "No space left on device" + then);

    auto line = [](int t, int i) { return "thread " + std::to_string(t) + " line " + std::to_string(i) + std::string(40, 'a' + t); };
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([t, line] {
            for (int i = 0; i < 1000; ++i)
                AppendLog(line(t, i));
        });
    for (auto& th : threads)
        th.join();
    std::string log = dir.read("log/1.txt");
    int next[8] = {}, count = 0;
    for (size_t pos = 0, end; pos < log.size(); pos = end + 2, ++count) {
        end = log.find("\r\n", pos);
        ASSERT_NE(end, std::string::npos) << "a line without its CR LF";
        const int t = log[pos + 7] - '0';
        ASSERT_TRUE(t >= 0 && t < 8);
        EXPECT_EQ(log.substr(pos, end - pos), line(t, next[t]++)) << "each thread's lines whole, in call order";
    }
    EXPECT_EQ(count, 8000);

    ::unlink(dir.file("log/1.txt").c_str());
    AppendLog("");
    AppendLog(std::string("cut\0here", 8));
    const int input = ::dup(0); // a program started without standard input gets descriptor 0
    ::close(0);
    AppendLog("E:<--");
    ::dup2(input, 0), ::close(input);
    EXPECT_EQ(dir.read("log/1.txt"), "\r\ncut\r\nE:<--\r\n");
}

TEST_F(HostUtil, SerialDigitsFollowTheProgramsNumber)
{
    script("misc/usbdos", "echo \"$1\" >> \"$(dirname \"$0\")/args\"\ncat \"$(dirname \"$0\")/answer\"");
    // Digits 9 are left untouched; arg is what the program got ("" = not run).
    const struct { uint8_t port; const char* answer; int result; std::array<uint8_t, 3> digits; const char* arg; } cases[] = {
        {0x85, "123", 123, {1, 2, 3}, "5"}, {0x7F, "1234", 1234, {12, 3, 4}, "127"},
        {0x04, "10", 10, {0, 1, 0}, "4"}, {0x04, " 110 \r\n", 110, {1, 1, 0}, "4"}, {0x04, "12345", 12345, {23, 4, 5}, "4"},
        {0x02, "200", -1, {9, 9, 9}, "2"}, {0x03, "", -1, {9, 9, 9}, "3"}, // prints nothing, exits 0
        {0x80, "123", 123, {1, 2, 3}, "0"}, // the low seven bits are 0, still asked
        {0x00, "123", 0, {9, 9, 9}, ""},    // no port number (or no answer): nothing asked, nothing logged
    };
    auto transport = std::make_shared<testsupport::RecordingTransport>();
    HANDLE h = platform::OpenTransport(transport, 'E');
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.port) + " -> " + c.answer);
        dir.write("misc/answer", c.answer);
        fs::remove(dir.file("misc/args")), fs::remove(dir.file("log/1.txt"));
        transport->setFallback({{c.port}, true});
        std::array<uint8_t, 3> d = {9, 9, 9};
        EXPECT_EQ(GetSerialDigits(h, &d[0], &d[1], &d[2]), c.result);
        EXPECT_EQ(d, c.digits);
        EXPECT_EQ(dir.read("misc/args"), *c.arg ? std::string(c.arg) + "\n" : "");
        EXPECT_EQ(dir.read("log/1.txt"), *c.arg ? "Serial_num = " + std::string(c.arg) + "\r\n" : "");
    }

    transport->setFallback({{0x85}, true});
    ::unlink(dir.file("misc/usbdos").c_str());
    EXPECT_EQ(GetSerialDigits(h, nullptr, nullptr, nullptr), -1) << "no program: no number";
    platform::CloseDrive(h);
}

TEST_F(HostUtil, FormatLabelAndCheckADrive)
{
    EXPECT_FALSE(DriveFreeSpaceReadable("E")) << "not formatted yet";
    for (auto [flag, mib, type] : {std::tuple{7u, 64u, "FAT32"}, {0u, 8u, "FAT12"}, {0u, 600u, "FAT16"}, {255u, 64u, "FAT16"}}) {
        fs::resize_file(disk, 0), fs::resize_file(disk, uint64_t(mib) << 20);
        ASSERT_TRUE(FormatDrive("E", true, flag)) << flag << ", " << mib << " MiB";
        EXPECT_TRUE(fsckClean() && minfo(disk, "disk type=\"") == std::string(type) + "   \"") << flag << ", " << mib << " MiB";
    }
    EXPECT_EQ(minfo(disk, "cluster size: "), "16 sectors") << "flag 255: 8192-byte clusters";
    EXPECT_TRUE(DriveFreeSpaceReadable("E") && CheckDriveVolume("E") && dialogs.Messages().empty());

    // The label rules themselves are the platform tests'; here the drive and the station's code page.
    EXPECT_EQ(GetDriveVolumeLabel('E'), "") << "NO NAME reads as no label";
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(SetDriveVolumeLabel("E:", "\u4e2d")) << "code page 437 cannot hold it";
    EXPECT_EQ(::testing::internal::GetCapturedStderr().rfind("label E:: ", 0), 0u);
    EXPECT_EQ(dir.read("log/1.txt").rfind("Set Volume Label E: ", 0), 0u) << "the log says why";
    setLocale("zh_CN.UTF-8"); // a Chinese station: GBK
    ASSERT_TRUE(SetDriveVolumeLabel("E", "\u97f3\u4e50mp3"));
    EXPECT_EQ(GetDriveVolumeLabel('E') + "|" + testsupport::ReadRawLabels(disk).root, "\u97f3\u4e50MP3|\xd2\xf4\xc0\xd6MP3    ");
    EXPECT_TRUE(SetDriveVolumeLabel("E:\\", "") && GetDriveVolumeLabel('E') == "" && GetDriveVolumeLabel('F') == "" && fsckClean());
    EXPECT_FALSE(SetDriveVolumeLabel("F", "X") || FormatDrive("", true, 0) || CheckDriveVolume("F") || CopyFileToDrive(disk, "F:\\x") ||
                 CopyFileToDrive(disk, "1:\\x"));
    platform::DriveMap::global().bind('F', {[] { return std::shared_ptr<platform::ScsiTransport>(); }, {}, ""});
    EXPECT_FALSE(DriveFreeSpaceReadable("F")) << "a drive without a volume";
    platform::DriveMap::global().release('F');

    // The checker repairs what it finds (here a volume not properly unmounted).
    std::fstream(disk, std::ios::in | std::ios::out | std::ios::binary).seekp(37).put('\x01');
    ASSERT_FALSE(fsckClean());
    CheckDriveVolume("E");
    EXPECT_TRUE(fsckClean());
}

TEST(DrivePath, LetterAndPathInsideTheDrive)
{
    const std::pair<const char*, const char*> cases[] = {{"e", "E /"}, {"a:\\Music\\a.mp3", "A /Music/a.mp3"}, {"Z:x", "Z /x"},
        {"A:/", "A /"}, {"z:", "Z /"}, {"EF", ""}, {"1:", ""}, {"@:", ""}, {"[:", ""}, {"", ""}};
    for (const auto& [text, expected] : cases) {
        const auto path = hostutil::ParseDrivePath(text);
        EXPECT_EQ(path ? path->letter + (" " + path->inside) : "", expected) << text;
    }
}

// MP3 players with 2048-byte sectors: the large-cluster flag still means 8 KiB clusters.
TEST_F(HostUtil, FatWith8KiBClustersOnADeviceOf2048ByteSectors)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "loop devices need root";
    const auto loop = run({"losetup", "--find", "--show", "--sector-size", "2048", disk});
    if (!loop.succeeded())
        GTEST_SKIP() << "no loop device: " << loop.errorOutput;
    const std::string node = loop.output.substr(0, loop.output.find('\n'));
    std::unique_ptr<const std::string, void (*)(const std::string*)> detach(&node, [](const std::string* n) { run({"losetup", "-d", *n}); });
    platform::DriveMap::global().bind('E', {{}, [node] { return node; }, "disk"});
    ASSERT_TRUE(FormatDrive("E", true, 255));
    EXPECT_EQ(minfo(node, "sector size: ") + ", " + minfo(node, "cluster size: "), "2048 bytes, 4 sectors");
}

TEST_F(HostUtil, DriveToolsFailCleanlyWhenTheVolumeOrToolIsGoneOrPastItsLimit)
{
    ASSERT_TRUE(FormatDrive("E", true, 0));
    fakeTool("fsck.fat", "exit 1"), fakeTool("mkfs.fat", "exit 1");
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(FormatDrive("E", true, 0) || CheckDriveVolume("E:") || CopyFileToDrive("none", "E:\\x"));
    const std::string said = ::testing::internal::GetCapturedStderr();
    for (const char* line : {"\nformat E: ", "\ncheck E:: ", "\ncopy to E:\\x: "})
        EXPECT_NE(("\n" + said).find(line), std::string::npos) << said;
    EXPECT_TRUE(dialogs.Messages().empty()) << "a failing tool shows nothing";

    dir.write("misc/response.txt", "\r\n");
    fakeTool("mkfs.fat", "read answer || exit 3\necho \"$@\" >> \"" + dir.file("args") + "\"");
    EXPECT_TRUE(FormatDrive("E", true, 1) && FormatDrive("E", false, 1)) << "the answers file goes to the tool's standard input";
    EXPECT_EQ(dir.read("args"), "-F 32 -I " + disk + "\n-F 32 -c -I " + disk + "\n") << "not quick: a bad-block read check";

    fakeTool("mkfs.fat", "sleep 30", 150); // stopped at its limit (the process tests time it)
    EXPECT_FALSE(FormatDrive("E", true, 1));

    // With SIGCHLD ignored the system reaps the tool itself: its exit code is lost.
    fakeTool("mkfs.fat", "exit 0");
    struct sigaction ignore {}, old {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGCHLD, &ignore, &old), 0);
    bool formatted = FormatDrive("E", true, 0);
    ::sigaction(SIGCHLD, &old, nullptr);
    EXPECT_FALSE(formatted);

    const auto shown = dialogs.Messages();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].text + "|" + shown[1].text, "Error timeout|Error Format");
}

TEST_F(HostUtil, FolderChooserPreselectsOnlyAnExistingFolder)
{
    dialogs.QueueFolder("/music"), dialogs.QueueFolder(std::nullopt);
    std::string chosen = "old";
    EXPECT_TRUE(SelectDirectory(dir.path(), "Add Dir", chosen) && chosen == "/music");
    EXPECT_FALSE(SelectDirectory(dir.file("gone"), "Add Dir", chosen) || !chosen.empty()) << "cancelled";
    EXPECT_EQ(dialogs.Log().at(0).caption + "|" + dialogs.Log().at(1).caption, dir.path() + "|");
}

TEST(SetBit, MostSignificantBitFirstAndBounded)
{
    std::array<uint8_t, 4> bitmap{};
    EXPECT_TRUE(SetBit(bitmap, 0, true) && SetBit(bitmap, 9, true) && SetBit(bitmap, 8, true) && SetBit(bitmap, 31, true) &&
                SetBit(bitmap, 8, false));
    EXPECT_FALSE(SetBit(bitmap, 32, true) || SetBit(bitmap, -1, true));
    EXPECT_EQ(bitmap, (std::array<uint8_t, 4>{0x80, 0x40, 0x00, 0x01}));
}

// Folder trees copied onto the formatted disk, read back with mtools.
class CopyTreeTest : public HostUtil {
protected:
    void SetUp() override
    {
        HostUtil::SetUp();
        ASSERT_TRUE(platform::FormatVolume(disk, 0, true).ok);
    }
    // The volume's entries of one folder in directory order (folders end in '/').
    Strings listing(const std::string& folder)
    {
        std::istringstream out(run({"mdir", "-i", disk, "-b", "::" + folder}).output);
        Strings names;
        for (std::string line; std::getline(out, line);)
            names.push_back(line.substr(line.rfind('/', line.size() - 2) + 1));
        return names;
    }
    std::string cat(const std::string& path) { return run({"mcopy", "-i", disk, "::" + path, "-"}).output; }
    testsupport::TempDir host;
};

TEST_F(CopyTreeTest, CopiesTheTreeFilesFirstSortedWithoutCaseHiddenAndLinkedFoldersSkipped)
{
    for (const char* name : {"c.txt", "B.txt", "a.txt", "beta/deep/x.bin", "\u00dcn\u00ef \u6b4c.mp3", "Alpha/one.txt",
                             "empty/.keep", ".hidden.txt", ".config/settings", "Long file name.mp3"})
        host.write(std::string("A/") + name, name);
    // FAT keeps local time in two-second steps: an even second survives exactly.
    std::tm when{.tm_sec = 42, .tm_min = 30, .tm_hour = 8, .tm_mday = 17, .tm_mon = 4, .tm_year = 109, .tm_isdst = -1};
    const std::time_t stamp = std::mktime(&when);
    const struct timespec times[2] = {{stamp, 0}, {stamp, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, host.file("A/beta/deep/x.bin").c_str(), times, 0), 0);
    host.write("elsewhere/loop.txt", "outside");
    fs::create_directory_symlink(host.path(), host.file("A/link to top"));
    fs::create_symlink(host.file("elsewhere/loop.txt"), host.file("A/linked file.txt"));

    ASSERT_TRUE(CopyTree(host.file("A"), "E:\\"));
    EXPECT_EQ(listing("/A"), (Strings{"a.txt", "B.txt", "c.txt", "linked file.txt", "Long file name.mp3",
                                      "\u00dcn\u00ef \u6b4c.mp3", "Alpha/", "beta/", "empty/"}));
    EXPECT_EQ(listing("/A/empty"), Strings{}) << "a folder of hidden entries arrives empty";
    EXPECT_EQ(cat("/A/beta/deep/x.bin") + "|" + cat("/A/linked file.txt"), "beta/deep/x.bin|outside");
    ASSERT_TRUE(run({"mcopy", "-i", disk, "-m", "-o", "::/A/beta/deep/x.bin", dir.file("back")}).succeeded());
    struct stat st {};
    EXPECT_TRUE(::stat(dir.file("back").c_str(), &st) == 0 && st.st_mtime == stamp) << "the modification time is kept";
}

// A folder's files go in one tool run, not one each: the tools are counted on their way
// to the real ones. A folder made by the copy needs no look for its sub-folders.
TEST_F(CopyTreeTest, OneToolRunPerFolder)
{
    for (int i = 0; i < 300; ++i)
        host.write("Many/track " + std::to_string(1000 - i) + ".mp3", std::to_string(i));
    host.write("Many/Sub/x.txt", "x");
    for (const char* tool : {"mcopy", "mmd", "mdir", "minfo"})
        script(std::string("bin/") + tool, std::string("echo ") + tool + " >> \"" + dir.file("runs") + "\"\nexec " +
                                               platform::FindProgram(tool, "/usr/bin:/bin") + " \"$@\"");
    platform::SetVolumeToolConfig({.searchPath = dir.file("bin")});
    ASSERT_TRUE(CopyTree(host.file("Many"), "E:\\"));
    EXPECT_EQ(dir.read("runs"), "mdir\nmmd\nmcopy\nmmd\nmcopy\n");
    Strings names = listing("/Many");
    ASSERT_EQ(names.size(), 301u);
    EXPECT_EQ(names[0] + "|" + names[1] + "|" + names[299] + "|" + names[300], "track 1000.mp3|track 701.mp3|track 999.mp3|Sub/");
    EXPECT_EQ(cat("/Many/track 701.mp3") + cat("/Many/Sub/x.txt"), "299x");
    fs::remove(dir.file("runs"));
    ASSERT_TRUE(CopyTree(host.file("Many"), "E:\\"));
    EXPECT_EQ(dir.read("runs"), "mdir\nmcopy\nmdir\nmcopy\n") << "folders already there are looked at, not made";
}

TEST_F(CopyTreeTest, OverwritesTheTrailingSeparatorRuleAndFailuresKeepWhatWasCopied)
{
    // Brackets are pattern characters to mtools; here they are plain names.
    host.write("Music [live]/song [1].mp3", "first");
    ASSERT_TRUE(CopyTree(host.file("Music [live]"), "E:\\"));
    host.write("Music [live]/song [1].mp3", "second take");
    ASSERT_TRUE(CopyTree(host.file("Music [live]"), "E:"));
    EXPECT_EQ(cat("/Music [[]live]/song [[]1].mp3"), "second take");

    // A trailing separator copies the contents straight in.
    host.write("Top/x.txt", "x");
    host.write("Top/Sub/y.txt", "y");
    ASSERT_TRUE(platform::MakeVolumeFolder(disk, "/Dest").ok);
    ASSERT_TRUE(CopyTree(host.file("Top") + "/", "E:\\Dest"));
    EXPECT_EQ(listing("/Dest"), (Strings{"x.txt", "Sub/"}));
    ASSERT_TRUE(CopyTree(host.file("Top/Sub") + "/", "E:\\"));
    EXPECT_EQ(listing("/"), (Strings{"Music [live]/", "Dest/", "y.txt"}));

    // Failures stop the copy and keep what was copied.
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(CopyTree(host.file("no such folder"), "E:\\")) << "a source that cannot be read is no success";
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("copy tree: cannot list " + host.file("no such folder")), std::string::npos);
    EXPECT_FALSE(CopyTree(host.file("Top"), "E:\\Missing\\Parent")) << "one level is made, not more";
    EXPECT_FALSE(CopyTree(host.file("Top"), "Q:\\") || CopyTree(host.file("Top"), "nonsense") );
    platform::SetProgramDir(host.file("Top")); // relative sources are the program folder's; "" names none
    EXPECT_FALSE(CopyTree("", "E:\\"));
    EXPECT_EQ(listing("/"), (Strings{"Music [live]/", "Dest/", "y.txt"}));
    host.write("Broken/1.txt", "one");
    host.write("Broken/In/1.txt", "one");
    fs::create_symlink(host.file("nowhere"), host.file("Broken/In/2 dangling.txt"));
    host.write("Broken/In/3.txt", "three");
    host.write("Broken/Later/x.txt", "x");
    EXPECT_FALSE(CopyTree(host.file("Broken"), "E:\\")) << "a failure inside a folder fails the whole copy";
    EXPECT_EQ(listing("/Broken"), (Strings{"1.txt", "In/"}));
    EXPECT_EQ(listing("/Broken/In"), Strings{"1.txt"});

    // A folder that cannot be made inside a fresh one fails the copy, also with nothing to copy into it.
    host.write("Fresh/Bad/.keep", "");
    script("bin/mmd", "case \"$*\" in *Bad*) exit 1;; esac\nexec " + platform::FindProgram("mmd", "/usr/bin:/bin") + " \"$@\"");
    platform::SetVolumeToolConfig({.searchPath = dir.file("bin") + ":/usr/bin:/bin"});
    EXPECT_FALSE(CopyTree(host.file("Fresh"), "E:\\"));
}
