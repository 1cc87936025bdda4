// Folder trees copied onto a formatted disk file, read back with mtools.
#include "device/HostUtil.h"
#include "platform/DriveMap.h"
#include "platform/Process.h"
#include "platform/ProgramDir.h"
#include "platform/VolumeTools.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

namespace {

platform::ProcessResult run(const std::vector<std::string>& argv)
{
    platform::ProcessOptions o;
    o.captureOutput = true;
    o.timeoutMs = 20000;
    o.environment = {{"MTOOLS_SKIP_CHECK", "1"}, {"LC_ALL", "C.UTF-8"}};
    return platform::RunProcess(argv, o);
}

class CopyTreeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::SetProgramDir(dir.path());
        disk = dir.file("disk.img");
        int fd = ::open(disk.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
        ASSERT_EQ(::ftruncate(fd, 32 << 20), 0);
        ::close(fd);
        ASSERT_TRUE(platform::FormatVolume(disk, 0, true).ok);
        std::string volume = disk;
        platform::DriveMap::global().bind('E', {{}, [volume] { return volume; }, "test disk"});
    }
    void TearDown() override { platform::DriveMap::global().release('E'); }

    // The volume's entries of one folder in directory order (folders end in '/').
    std::vector<std::string> listing(const std::string& folder)
    {
        auto r = run({"mdir", "-i", disk, "-b", "::" + folder});
        std::vector<std::string> names;
        size_t pos = 0;
        while (pos < r.output.size()) {
            size_t end = r.output.find('\n', pos);
            std::string line = r.output.substr(pos, end - pos);
            names.push_back(line.substr(line.rfind('/', line.size() - 2) + 1));
            pos = end + 1;
        }
        return names;
    }
    // Reads the whole volume back into a host folder.
    std::string readBack()
    {
        std::string out = dir.file("readback");
        std::filesystem::remove_all(out);
        std::filesystem::create_directories(out);
        EXPECT_TRUE(run({"mcopy", "-i", disk, "-s", "-n", "::/", out}).succeeded());
        return out;
    }

    testsupport::TempDir dir;
    testsupport::TempDir host;
    std::string disk;
};

} // namespace

TEST_F(CopyTreeTest, CopiesTheTreeFilesFirstSortedWithoutCaseHiddenSkipped)
{
    host.write("A/c.txt", "c");
    host.write("A/B.txt", "b");
    host.write("A/a.txt", "a");
    host.write("A/Long file name.mp3", std::string(70000, 'x'));
    host.write("A/beta/deep/x.bin", "deep");
    host.write("A/\u00dcn\u00ef \u6b4c.mp3", "unicode name");
    host.write("A/Alpha/one.txt", "1");
    host.write("A/empty/.keep", "hidden");
    host.write("A/.hidden.txt", "secret");
    host.write("A/.config/settings", "secret");
    host.write("elsewhere/loop.txt", "outside");
    std::filesystem::create_directory_symlink(host.path(), host.file("A/link to top"));
    std::filesystem::create_symlink(host.file("elsewhere/loop.txt"), host.file("A/linked file.txt"));

    ASSERT_TRUE(CopyTree(host.file("A"), "E:\\"));

    EXPECT_EQ(listing("/A"), (std::vector<std::string>{"a.txt", "B.txt", "c.txt", "linked file.txt", "Long file name.mp3",
                                                       "\u00dcn\u00ef \u6b4c.mp3", "Alpha/", "beta/", "empty/"}));
    EXPECT_EQ(listing("/A/empty"), std::vector<std::string>{}) << "a folder of hidden entries arrives empty";

    std::string back = readBack();
    auto diff = run({"diff", "-r", "-x", ".*", "-x", "link to top", host.file("A"), back + "/A"});
    EXPECT_TRUE(diff.succeeded()) << diff.output << diff.errorOutput;
    EXPECT_FALSE(std::filesystem::exists(back + "/A/.hidden.txt"));
    EXPECT_FALSE(std::filesystem::exists(back + "/A/.config"));
    EXPECT_FALSE(std::filesystem::exists(back + "/A/link to top")) << "linked folders are not entered";
    auto clean = run({platform::FindProgram("fsck.fat", "/usr/sbin:/sbin:/usr/bin"), "-n", disk});
    EXPECT_TRUE(clean.succeeded()) << clean.output;
}

TEST_F(CopyTreeTest, ReusesAnExistingTargetAndOverwritesItsFiles)
{
    // Brackets are pattern characters to mtools; here they are plain names.
    host.write("Music [live]/song [1].mp3", "first");
    host.write("Music [live]/Set [2]/x.mp3", "x");
    ASSERT_TRUE(CopyTree(host.file("Music [live]"), "E:\\"));
    host.write("Music [live]/song [1].mp3", "second take");
    host.write("Music [live]/new.mp3", "new");
    ASSERT_TRUE(CopyTree(host.file("Music [live]"), "E:"));
    EXPECT_EQ(run({"mcopy", "-i", disk, "::/Music [[]live]/song [[]1].mp3", "-"}).output, "second take");
    EXPECT_EQ(listing("/"), std::vector<std::string>{"Music [live]/"});
    std::string back = readBack();
    auto diff = run({"diff", "-r", host.file("Music [live]"), back + "/Music [live]"});
    EXPECT_TRUE(diff.succeeded()) << diff.output << diff.errorOutput;
}

TEST_F(CopyTreeTest, TrailingSeparatorCopiesTheContentsStraightIn)
{
    host.write("Top/x.txt", "x");
    host.write("Top/Sub/y.txt", "y");
    ASSERT_TRUE(platform::MakeVolumeFolder(disk, "/Dest").ok);
    ASSERT_TRUE(CopyTree(host.file("Top") + "/", "E:\\Dest"));
    EXPECT_EQ(listing("/Dest"), (std::vector<std::string>{"x.txt", "Sub/"}));
    EXPECT_EQ(run({"mcopy", "-i", disk, "::/Dest/Sub/y.txt", "-"}).output, "y");

    // Into the root itself.
    ASSERT_TRUE(CopyTree(host.file("Top/Sub") + "/", "E:\\"));
    EXPECT_EQ(listing("/"), (std::vector<std::string>{"Dest/", "y.txt"}));
}

TEST_F(CopyTreeTest, FailuresStopTheCopyAndKeepWhatWasCopied)
{
    host.write("Only hidden/.a", "a");
    ASSERT_TRUE(CopyTree(host.file("Only hidden"), "E:\\"));
    EXPECT_EQ(listing("/Only hidden"), std::vector<std::string>{});

    EXPECT_FALSE(CopyTree(host.file("no such folder"), "E:\\")) << "a source that cannot be read is no success";
    EXPECT_EQ(listing("/"), std::vector<std::string>{"Only hidden/"});
    EXPECT_FALSE(CopyTree(host.file("Only hidden"), "E:\\Missing\\Parent")) << "one level is made, not more";
    EXPECT_FALSE(CopyTree(host.file("Only hidden"), "Q:\\")) << "no drive Q";
    EXPECT_FALSE(CopyTree(host.file("Only hidden"), ""));

    host.write("Broken/1.txt", "one");
    std::filesystem::create_symlink(host.file("nowhere"), host.file("Broken/2 dangling.txt"));
    host.write("Broken/3.txt", "three");
    EXPECT_FALSE(CopyTree(host.file("Broken"), "E:\\"));
    EXPECT_EQ(listing("/Broken"), std::vector<std::string>{"1.txt"});

    // The volume vanished.
    std::filesystem::remove(disk);
    EXPECT_FALSE(CopyTree(host.file("Only hidden"), "E:\\"));
}

TEST_F(CopyTreeTest, SingleFilesOntoTheDrive)
{
    host.write("prefer.dat", "prefs");
    EXPECT_TRUE(CopyFileToDrive(host.file("prefer.dat"), "E:\\prefer.dat"));
    host.write("prefer.dat", "prefs 2");
    EXPECT_TRUE(CopyFileToDrive(host.file("prefer.dat"), "E:/prefer.dat"));
    EXPECT_EQ(run({"mcopy", "-i", disk, "::/prefer.dat", "-"}).output, "prefs 2");
    EXPECT_FALSE(CopyFileToDrive(host.file("missing.dat"), "E:\\x.dat"));
    EXPECT_FALSE(CopyFileToDrive(host.file("prefer.dat"), "Q:\\x.dat"));
    EXPECT_FALSE(CopyFileToDrive(host.file("prefer.dat"), "nonsense"));
}
