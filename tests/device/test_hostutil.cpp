#include "device/HostUtil.h"
#include "platform/DriveMap.h"
#include "platform/Process.h"
#include "platform/ProgramDir.h"
#include "platform/VolumeTools.h"
#include "support/RecordingTransport.h"
#include "support/TempDir.h"
#include "toolkit/Dialogs.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

std::string minfo(const std::string& disk, const std::string& key)
{
    platform::ProcessOptions o;
    o.captureOutput = true;
    o.timeoutMs = 20000;
    o.environment = {{"MTOOLS_SKIP_CHECK", "1"}};
    std::string text = platform::RunProcess({"minfo", "-i", disk, "::"}, o).output;
    auto at = text.find(key);
    return at == std::string::npos ? "" : text.substr(at + key.size(), text.find('\n', at) - at - key.size());
}

bool fsckClean(const std::string& disk)
{
    platform::ProcessOptions o;
    o.captureOutput = true;
    o.timeoutMs = 20000;
    return platform::RunProcess({platform::FindProgram("fsck.fat", "/usr/sbin:/sbin:/usr/bin"), "-n", disk}, o).succeeded();
}

// A program folder with drive E bound to a sparse disk file, and scripted dialogs.
class HostUtil : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::SetProgramDir(dir.path());
        toolkit::SetDialogs(&dialogs);
        disk = makeDisk("disk.img", 64);
        bindE(disk);
    }
    void TearDown() override
    {
        platform::DriveMap::global().release('E');
        platform::SetVolumeToolConfig({});
        toolkit::SetDialogs(nullptr);
    }
    std::string makeDisk(const std::string& name, uint64_t mib)
    {
        std::string path = dir.file(name);
        int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
        EXPECT_EQ(::ftruncate(fd, static_cast<off_t>(mib << 20)), 0);
        ::close(fd);
        return path;
    }
    void bindE(const std::string& volume)
    {
        platform::DriveMap::global().bind('E', {{}, [volume] { return volume; }, "test disk"});
    }
    // A stand-in tool for outcomes the real ones rarely give; returns its folder.
    std::string fakeTool(const std::string& name, const std::string& body)
    {
        dir.write("bin/" + name, "#!/bin/sh\n" + body + "\n");
        ::chmod(dir.file("bin/" + name).c_str(), 0755);
        return dir.file("bin");
    }
    // The stand-in tool that wrote its process id has ended.
    bool toolGone()
    {
        int pid = std::atoi(dir.read("pid").c_str());
        return pid > 0 && !std::filesystem::exists("/proc/" + std::to_string(pid) + "/exe");
    }
    testsupport::TempDir dir;
    toolkit::ScriptedDialogs dialogs;
    std::string disk;
};

} // namespace

TEST_F(HostUtil, EventLogKeepsEveryLineWholeFromEightThreads)
{
    constexpr int kThreads = 8, kLines = 1000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i)
                AppendLog("thread " + std::to_string(t) + " line " + std::to_string(i) + " " + std::string(40, 'a' + t));
        });
    for (auto& th : threads)
        th.join();

    std::string log = dir.read("log/1.txt");
    int next[kThreads] = {};
    size_t count = 0, pos = 0;
    while (pos < log.size()) {
        size_t end = log.find("\r\n", pos);
        ASSERT_NE(end, std::string::npos) << "a line without its CR LF";
        std::string line = log.substr(pos, end - pos);
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(line.c_str(), "thread %d line %d", &t, &i), 2) << line;
        ASSERT_TRUE(t >= 0 && t < kThreads);
        EXPECT_EQ(i, next[t]++) << "each thread's lines in call order";
        EXPECT_EQ(line, "thread " + std::to_string(t) + " line " + std::to_string(i) + " " + std::string(40, 'a' + t));
        pos = end + 2;
        ++count;
    }
    EXPECT_EQ(count, static_cast<size_t>(kThreads * kLines));
}

TEST_F(HostUtil, EventLogLineRules)
{
    AppendLog("");
    AppendLog(std::string("cut\0here", 8));
    AppendLog("E:<--");
    EXPECT_EQ(dir.read("log/1.txt"), "\r\ncut\r\nE:<--\r\n");

    // A log that cannot be opened loses the entry and nothing else happens.
    testsupport::TempDir other;
    other.write("log", "a file where the folder should be");
    platform::SetProgramDir(other.path());
    AppendLog("lost");
    EXPECT_EQ(other.read("log"), "a file where the folder should be");
}

TEST_F(HostUtil, SerialDigitsFollowTheProgramsNumber)
{
    dir.write("misc/usbdos", "#!/bin/sh\necho \"$1\" >> \"$(dirname \"$0\")/args\"\ncat \"$(dirname \"$0\")/answer\"\n");
    ::chmod(dir.file("misc/usbdos").c_str(), 0755);
    struct Case {
        uint8_t port;
        const char* answer;
        int result;
        std::array<uint8_t, 3> digits; // 9 = left untouched
        const char* arg;               // what the program got; "" = not run
    } cases[] = {
        {0x85, "123", 123, {1, 2, 3}, "5"},
        {0x01, "1234", 1234, {12, 3, 4}, "1"},
        {0x7F, "5", 5, {0, 0, 5}, "127"},
        {0x02, "200", -1, {9, 9, 9}, "2"},
        {0x02, "0", -1, {9, 9, 9}, "2"},
        {0x03, "", -1, {9, 9, 9}, "3"},      // prints nothing and exits 0: no identity
        {0x80, "123", 123, {1, 2, 3}, "0"},  // the low seven bits are 0, still asked
        {0x00, "123", 0, {9, 9, 9}, ""},   // no port number: nothing asked, nothing logged
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.port) + " -> " + c.answer);
        dir.write("misc/answer", c.answer);
        ::unlink(dir.file("misc/args").c_str());
        ::unlink(dir.file("log/1.txt").c_str());
        auto transport = std::make_shared<testsupport::RecordingTransport>();
        transport->setFallback({{c.port}, true});
        HANDLE h = platform::OpenTransport(transport, 'E');
        uint8_t d[3] = {9, 9, 9};
        int r = GetSerialDigits(h, &d[0], &d[1], &d[2]);
        platform::CloseDrive(h);
        EXPECT_EQ(r, c.result);
        EXPECT_EQ(d[0], c.digits[0]);
        EXPECT_EQ(d[1], c.digits[1]);
        EXPECT_EQ(d[2], c.digits[2]);
        EXPECT_EQ(dir.read("misc/args"), *c.arg ? std::string(c.arg) + "\n" : "");
        EXPECT_EQ(dir.read("log/1.txt"), *c.arg ? "Serial_num = " + std::string(c.arg) + "\r\n" : "");
    }

    // A failed port query counts as port number 0; a missing program as no identity.
    auto transport = std::make_shared<testsupport::RecordingTransport>();
    transport->setFallback({{0x85}, false});
    HANDLE h = platform::OpenTransport(transport, 'E');
    EXPECT_EQ(GetSerialDigits(h, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(GetSerialDigits(INVALID_HANDLE_VALUE, nullptr, nullptr, nullptr), 0);
    transport->setFallback({{0x85}, true});
    ::unlink(dir.file("misc/usbdos").c_str());
    EXPECT_EQ(GetSerialDigits(h, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(RunUsbDos(5), 0u);
    platform::CloseDrive(h);
}

TEST_F(HostUtil, FormatLabelAndCheckADrive)
{
    // Each FAT flag, as the format runner receives it.
    struct Flag {
        uint32_t fatFlag;
        const char* type;
    } flags[] = {{1, "FAT32   \""}, {0, "FAT16   \""}, {255, "FAT16   \""}};
    for (const auto& f : flags) {
        SCOPED_TRACE(f.fatFlag);
        ASSERT_TRUE(FormatDrive("E", true, f.fatFlag));
        EXPECT_TRUE(fsckClean(disk));
        EXPECT_EQ(minfo(disk, "disk type=\""), f.type);
    }
    EXPECT_EQ(minfo(disk, "cluster size: "), "16 sectors") << "8192-byte clusters for flag 255";
    EXPECT_TRUE(DriveFreeSpaceReadable("E"));
    EXPECT_TRUE(CheckDriveVolume("E"));
    EXPECT_TRUE(dialogs.Messages().empty());

    EXPECT_EQ(GetDriveVolumeLabel('E'), "") << "NO NAME reads as no label";
    ASSERT_TRUE(SetDriveVolumeLabel("E", "Mp3 Player"));
    EXPECT_EQ(GetDriveVolumeLabel('E'), "MP3 PLAYER");
    for (const char* bad : {"TOO LONG A LABEL", "A*B", "A.B", " LEAD", "TAB\tX", "Q?", "A\"B", "A/B", "\u00c4B"})
        EXPECT_FALSE(SetDriveVolumeLabel("E:", bad)) << bad;
    EXPECT_EQ(GetDriveVolumeLabel('E'), "MP3 PLAYER") << "a refused label changes nothing";
    ASSERT_TRUE(SetDriveVolumeLabel("E:\\", "ABCDEFGHIJK"));
    EXPECT_EQ(GetDriveVolumeLabel('E'), "ABCDEFGHIJK");
    ASSERT_TRUE(SetDriveVolumeLabel("E", ""));
    EXPECT_EQ(GetDriveVolumeLabel('E'), "");
    EXPECT_TRUE(fsckClean(disk));

    EXPECT_EQ(GetDriveVolumeLabel('F'), "") << "no drive F";
    EXPECT_FALSE(SetDriveVolumeLabel("F", "X"));
    EXPECT_FALSE(DriveFreeSpaceReadable("F"));
    EXPECT_FALSE(FormatDrive("F", true, 0));
    EXPECT_FALSE(FormatDrive("", true, 0));
}

TEST_F(HostUtil, DriveToolsFailCleanlyWhenTheVolumeOrToolIsGone)
{
    ASSERT_TRUE(FormatDrive("E", true, 0));
    // The device went away: its node is gone.
    bindE(dir.file("unplugged.img"));
    EXPECT_FALSE(FormatDrive("E", true, 0));
    EXPECT_EQ(GetDriveVolumeLabel('E'), "");
    EXPECT_FALSE(SetDriveVolumeLabel("E", "X"));
    EXPECT_FALSE(DriveFreeSpaceReadable("E"));
    EXPECT_FALSE(CheckDriveVolume("E"));
    bindE(disk);

    platform::VolumeToolConfig config;
    config.searchPath = dir.file("no-tools-here");
    platform::SetVolumeToolConfig(config);
    EXPECT_FALSE(FormatDrive("E", true, 0));
    EXPECT_EQ(GetDriveVolumeLabel('E'), "");
    EXPECT_FALSE(CheckDriveVolume("E"));

    config.searchPath = fakeTool("mkfs.fat", "exit 1");
    fakeTool("fsck.fat", "exit 1");
    platform::SetVolumeToolConfig(config);
    EXPECT_FALSE(FormatDrive("E", true, 0));
    EXPECT_FALSE(CheckDriveVolume("E")) << "a checker that found errors";
    EXPECT_TRUE(dialogs.Messages().empty()) << "a failing tool shows nothing";
}

TEST_F(HostUtil, ToolsPastTheirLimitAreKilled)
{
    // The answers file goes to the format tool's standard input.
    dir.write("misc/response.txt", "\r\n");
    platform::VolumeToolConfig config;
    config.searchPath = fakeTool("mkfs.fat", "read answer || exit 3\nexit 0");
    platform::SetVolumeToolConfig(config);
    EXPECT_TRUE(FormatDrive("E", true, 1));

    config.searchPath = fakeTool("mkfs.fat", "echo $$ > \"" + dir.file("pid") + "\"\nsleep 30");
    config.formatTimeMs = 150;
    platform::SetVolumeToolConfig(config);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(FormatDrive("E", true, 1));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    auto messages = dialogs.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "Error timeout");
    EXPECT_EQ(messages[0].flags, toolkit::MB_OK);
    EXPECT_TRUE(toolGone());

    ::unlink(dir.file("pid").c_str());
    config.searchPath = fakeTool("fsck.fat", "echo $$ > \"" + dir.file("pid") + "\"\nsleep 30");
    platform::SetVolumeToolConfig(config);
    EXPECT_FALSE(CheckDriveVolume("E", 100));
    EXPECT_TRUE(toolGone());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
}

TEST_F(HostUtil, FormatWhoseEndCannotBeReadShowsErrorFormat)
{
    platform::VolumeToolConfig config;
    config.searchPath = fakeTool("mkfs.fat", "exit 0");
    platform::SetVolumeToolConfig(config);
    // With SIGCHLD ignored the system reaps the tool itself: its exit code is lost.
    struct sigaction ignore {}, old {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGCHLD, &ignore, &old), 0);
    bool formatted = FormatDrive("E", true, 0);
    ::sigaction(SIGCHLD, &old, nullptr);
    EXPECT_FALSE(formatted);
    auto messages = dialogs.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "Error Format");
    EXPECT_EQ(messages[0].flags, toolkit::MB_OK);
}

TEST_F(HostUtil, RegistryHelpers)
{
    EXPECT_EQ(RegReadInt("LogBiTable", 0), 0);
    EXPECT_EQ(RegReadInt("BlocksPerChip", 77), 77);
    EXPECT_NE(dir.read("registry.ini").find("[SoftWare\\KOV6125\\MPTool]"), std::string::npos)
        << "a read leaves the key created";
    ASSERT_TRUE(RegWriteInt("BlocksPerChip", 2048));
    EXPECT_EQ(RegReadInt("BlocksPerChip", 0), 2048);
    EXPECT_EQ(RegReadInteger(kProductionRegistryKey, "BlocksPerChip", 0), 2048);

    const std::string lang = "SoftWare\\KOV6125\\Vornagel28";
    EXPECT_EQ(RegReadInteger(lang, "LanguageID", 0), 0);
    ASSERT_TRUE(RegWriteInteger(lang, "LanguageID", 3));
    ASSERT_TRUE(RegWriteString(lang, "AddDir", "/home/op/Music"));
    EXPECT_EQ(RegReadInteger(lang, "LanguageID", 0), 3);
    EXPECT_EQ(RegReadInteger(lang, "AddDir", -1), -1) << "a string is no integer";

    // Another program folder holds another registry.
    testsupport::TempDir other;
    platform::SetProgramDir(other.path());
    EXPECT_EQ(RegReadInt("BlocksPerChip", 5), 5);
}

TEST(SetBit, MostSignificantBitFirstAndBounded)
{
    std::array<uint8_t, 4> bitmap{};
    EXPECT_TRUE(SetBit(bitmap, 0, true));
    EXPECT_EQ(bitmap[0], 0x80);
    EXPECT_TRUE(SetBit(bitmap, 9, true));
    EXPECT_EQ(bitmap[1], 0x40);
    EXPECT_TRUE(SetBit(bitmap, 8, true));
    EXPECT_TRUE(SetBit(bitmap, 9, false));
    EXPECT_EQ(bitmap[1], 0x80) << "only bit 9 cleared";
    EXPECT_TRUE(SetBit(bitmap, 31, true));
    EXPECT_EQ(bitmap[3], 0x01);
    EXPECT_FALSE(SetBit(bitmap, 32, true));
    EXPECT_FALSE(SetBit(bitmap, -1, true));
    EXPECT_EQ(bitmap, (std::array<uint8_t, 4>{0x80, 0x80, 0x00, 0x01}));
}

TEST_F(HostUtil, SelectDirectoryThroughTheDialogs)
{
    std::string path = "left over";
    dialogs.QueueFolder(std::nullopt);
    EXPECT_FALSE(SelectDirectory("", "Select Directory", path));
    EXPECT_EQ(path, "");

    dialogs.QueueFolder(std::string("/home/op/Music"));
    EXPECT_TRUE(SelectDirectory(dir.path(), "Select Directory", path));
    EXPECT_EQ(path, "/home/op/Music");
    dialogs.QueueFolder(std::nullopt);
    SelectDirectory(dir.file("not-there"), "Select Directory", path);
    auto log = dialogs.Log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[1].kind, toolkit::ScriptedDialogs::Asked::Folder);
    EXPECT_EQ(log[1].text, "Select Directory");
    EXPECT_EQ(log[1].caption, dir.path()) << "an existing folder is preselected";
    EXPECT_EQ(log[2].caption, "") << "a missing one is not";
}
