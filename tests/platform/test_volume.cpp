// Volume tools on sparse disk files with the real dosfstools and mtools.
#include "platform/Process.h"
#include "platform/VolumeTools.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

using namespace platform;

namespace {

std::string makeDisk(const testsupport::TempDir& dir, const std::string& name, uint64_t bytes)
{
    std::string path = dir.file(name);
    int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::ftruncate(fd, static_cast<off_t>(bytes)), 0);
    ::close(fd);
    return path;
}

std::string tool(std::vector<std::string> argv, bool* ok = nullptr)
{
    ProcessOptions o;
    o.captureOutput = true;
    o.timeoutMs = 20000;
    o.environment = {{"MTOOLS_SKIP_CHECK", "1"}};
    argv[0] = FindProgram(argv[0], std::string(getenv("PATH")) + ":/usr/sbin:/sbin");
    auto r = RunProcess(argv, o);
    if (ok)
        *ok = r.succeeded();
    return r.output;
}

std::string field(const std::string& text, const std::string& key)
{
    auto at = text.find(key);
    if (at == std::string::npos)
        return "";
    auto end = text.find('\n', at);
    return text.substr(at + key.size(), end - at - key.size());
}

// A stand-in tool in a folder of its own, for failures the real tools rarely give.
std::string fakeTool(const testsupport::TempDir& dir, const std::string& name, const std::string& body)
{
    dir.write("bin/" + name, "#!/bin/sh\n" + body + "\n");
    ::chmod(dir.file("bin/" + name).c_str(), 0755);
    return dir.file("bin");
}

class VolumeTools : public ::testing::Test {
protected:
    void TearDown() override { SetVolumeToolConfig({}); }
    testsupport::TempDir dir;
};

} // namespace

TEST_F(VolumeTools, FormatsEachFatFlagAsTheToolsJudgeIt)
{
    struct Case {
        uint32_t flag;
        uint64_t mib;
        const char* type;
        const char* clusterSectors; // "" = whatever the tool chose
    } cases[] = {
        {255, 64, "FAT16", "16"},  // 8192-byte clusters
        {255, 8, "FAT12", "16"},   // too few clusters for 16 bits
        {1, 64, "FAT32", ""},
        {7, 64, "FAT32", ""},      // any other nonzero flag
        {0, 64, "FAT16", ""},
        {0, 8, "FAT12", ""},
        {0, 600, "FAT16", ""},     // never FAT32, although the tool would pick it here
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("flag " + std::to_string(c.flag) + ", " + std::to_string(c.mib) + " MiB");
        std::string disk = makeDisk(dir, "disk.img", c.mib << 20);
        auto out = FormatVolume(disk, c.flag, true);
        ASSERT_TRUE(out.ok) << out.message;
        bool clean = false;
        tool({"fsck.fat", "-n", disk}, &clean);
        EXPECT_TRUE(clean);
        std::string info = tool({"minfo", "-i", disk, "::"});
        EXPECT_EQ(field(info, "disk type=\""), std::string(c.type) + std::string(8 - strlen(c.type), ' ') + "\"");
        if (*c.clusterSectors)
            EXPECT_EQ(field(info, "cluster size: "), std::string(c.clusterSectors) + " sectors");
        EXPECT_TRUE(IsFatVolume(disk));
    }
    // A full (not quick) format reads the whole volume first.
    std::string disk = makeDisk(dir, "disk.img", 8 << 20);
    ASSERT_TRUE(FormatVolume(disk, 0, false).ok);
    EXPECT_TRUE(IsFatVolume(disk));
}

TEST_F(VolumeTools, FormatFailuresAreFalseWithTheChildGone)
{
    std::string disk = makeDisk(dir, "disk.img", 64 << 20);
    EXPECT_FALSE(FormatVolume(dir.file("vanished.img"), 0, true).ok);
    EXPECT_FALSE(FormatVolume("/dev/mptool-no-such-node", 0, true).ok);
    // 600 MiB cannot be FAT with 8192-byte clusters: the tool refuses.
    std::string big = makeDisk(dir, "big.img", 600ull << 20);
    auto out = FormatVolume(big, 255, true);
    EXPECT_FALSE(out.ok);
    EXPECT_NE(out.message.find("mkfs.fat failed"), std::string::npos) << out.message;

    VolumeToolConfig config;
    config.searchPath = dir.file("empty-bin");
    SetVolumeToolConfig(config);
    out = FormatVolume(disk, 0, true);
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.message, "mkfs.fat not found");

    config.searchPath = fakeTool(dir, "mkfs.fat", "exit 1");
    SetVolumeToolConfig(config);
    EXPECT_FALSE(FormatVolume(disk, 0, true).ok);

    // The answers file reaches the tool's standard input.
    dir.write("response.txt", "Y\r\n");
    config.searchPath = fakeTool(dir, "mkfs.fat", "read a; [ \"$a\" = \"$(printf 'Y\\r')\" ]");
    SetVolumeToolConfig(config);
    EXPECT_TRUE(FormatVolume(disk, 0, true, dir.file("response.txt")).ok);

    config.searchPath = fakeTool(dir, "mkfs.fat", "echo $$ > " + dir.file("pid") + "; sleep 30");
    SetVolumeToolConfig(config);
    auto start = std::chrono::steady_clock::now();
    out = FormatVolume(disk, 1, true, "", 150);
    EXPECT_FALSE(out.ok);
    EXPECT_TRUE(out.timedOut);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    std::string pid = dir.read("pid");
    ASSERT_FALSE(pid.empty());
    std::string proc = "/proc/" + std::to_string(std::atoi(pid.c_str()));
    EXPECT_FALSE(std::filesystem::exists(proc + "/exe")) << "the timed-out tool still runs";
}

TEST_F(VolumeTools, LabelsAsFatHoldsThem)
{
    std::string disk = makeDisk(dir, "disk.img", 32 << 20);
    ASSERT_TRUE(FormatVolume(disk, 0, true).ok);
    EXPECT_EQ(ReadVolumeLabel(disk), std::optional<std::string>("")) << "a fresh volume reads NO NAME";

    ASSERT_TRUE(WriteVolumeLabel(disk, "usb disk").ok);
    EXPECT_EQ(ReadVolumeLabel(disk), std::optional<std::string>("USB DISK"));
    EXPECT_NE(tool({"mlabel", "-i", disk, "-s", "::"}).find("USB DISK"), std::string::npos);

    for (const char* bad : {"ABCDEFGHIJKL", "A*B", "A.B", " LEAD", "TAB\tX", "Q?", "A\"B"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(FatLabelText(bad));
        EXPECT_FALSE(WriteVolumeLabel(disk, bad).ok);
    }
    EXPECT_EQ(ReadVolumeLabel(disk), std::optional<std::string>("USB DISK")) << "a refused label changes nothing";
    EXPECT_EQ(FatLabelText("ABCDEFGHIJK"), std::optional<std::string>("ABCDEFGHIJK"));

    ASSERT_TRUE(WriteVolumeLabel(disk, "").ok);
    EXPECT_EQ(ReadVolumeLabel(disk), std::optional<std::string>(""));

    std::string blank = makeDisk(dir, "blank.img", 1 << 20);
    EXPECT_FALSE(ReadVolumeLabel(blank));
    EXPECT_FALSE(ReadVolumeLabel(dir.file("gone.img")));
    EXPECT_FALSE(WriteVolumeLabel(dir.file("gone.img"), "X").ok);
    EXPECT_FALSE(IsFatVolume(blank));
    EXPECT_FALSE(IsFatVolume(dir.file("gone.img")));
}

TEST_F(VolumeTools, FoldersAndFilesOnTheVolume)
{
    std::string disk = makeDisk(dir, "disk.img", 32 << 20);
    ASSERT_TRUE(FormatVolume(disk, 0, true).ok);
    dir.write("host/song one.mp3", "first");
    EXPECT_TRUE(VolumeFolderExists(disk, "\\"));
    EXPECT_FALSE(VolumeFolderExists(disk, "\\Music"));
    ASSERT_TRUE(MakeVolumeFolder(disk, "\\Music").ok);
    EXPECT_TRUE(VolumeFolderExists(disk, "/Music/"));
    EXPECT_FALSE(MakeVolumeFolder(disk, "/Missing/Child").ok);

    ASSERT_TRUE(CopyFileToVolume(disk, dir.file("host/song one.mp3"), "\\Music\\song one.mp3").ok);
    EXPECT_FALSE(VolumeFolderExists(disk, "/Music/song one.mp3")) << "a file is no folder";
    dir.write("host/song one.mp3", "second, longer");
    ASSERT_TRUE(CopyFileToVolume(disk, dir.file("host/song one.mp3"), "/Music/song one.mp3").ok);
    EXPECT_EQ(tool({"mcopy", "-i", disk, "::/Music/song one.mp3", "-"}), "second, longer");

    EXPECT_FALSE(CopyFileToVolume(disk, dir.file("host/none.mp3"), "/x.mp3").ok);
    EXPECT_FALSE(CopyFileToVolume(disk, dir.file("host"), "/x").ok);
    EXPECT_FALSE(CopyFileToVolume(disk, dir.file("host/song one.mp3"), "/NoFolder/x.mp3").ok);
    EXPECT_FALSE(CopyFileToVolume(dir.file("gone.img"), dir.file("host/song one.mp3"), "/x.mp3").ok);
}

TEST_F(VolumeTools, CheckerResultAndTimeLimit)
{
    std::string disk = makeDisk(dir, "disk.img", 32 << 20);
    ASSERT_TRUE(FormatVolume(disk, 1, true).ok);
    EXPECT_TRUE(CheckVolume(disk, 20000).ok);
    EXPECT_FALSE(CheckVolume(makeDisk(dir, "blank.img", 1 << 20), 20000).ok);
    EXPECT_FALSE(CheckVolume(dir.file("gone.img"), 20000).ok);

    VolumeToolConfig config;
    config.searchPath = fakeTool(dir, "fsck.fat", "sleep 30");
    SetVolumeToolConfig(config);
    auto out = CheckVolume(disk, 100);
    EXPECT_FALSE(out.ok);
    EXPECT_TRUE(out.timedOut);
}
