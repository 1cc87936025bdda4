#include "platform/AtomicFile.h"
#include "platform/Clock.h"
#include "platform/DeviceHandle.h"
#include "platform/DriveMap.h"
#include "platform/ProgramDir.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <filesystem>
#include <sys/stat.h>

using namespace platform;

TEST(DriveMap, HandsOutLettersFromDAndReusesFreedOnes)
{
    DriveMap map;
    EXPECT_EQ(map.assign({}), 'D');
    EXPECT_EQ(map.assign({}), 'E');
    map.release('D');
    EXPECT_EQ(map.assign({}), 'D');
    for (int i = 0; i < 21; ++i)
        map.assign({});
    EXPECT_EQ(map.letters().size(), 23u);
    EXPECT_EQ(map.assign({}), 0) << "Z is the last letter";
    EXPECT_FALSE(map.bind('1', {}));
}

TEST(DeviceHandle, OpenFailsForUnboundLetterAndForAFailingOpen)
{
    DriveMap::global().clear();
    EXPECT_EQ(OpenDrive('Q'), INVALID_HANDLE_VALUE);
    DriveMap::global().bind('Q', DriveBinding{[] { return std::shared_ptr<ScsiTransport>(); }, {}, "gone"});
    EXPECT_EQ(OpenDrive('Q'), INVALID_HANDLE_VALUE);
    DriveMap::global().clear();
}

TEST(ProgramDir, ResolvesBackslashPathsAgainstTheProgramFolder)
{
    SetProgramDir("/station/");
    EXPECT_EQ(ProgramPath(".\\misc\\prefer.ini"), "/station/misc/prefer.ini");
    EXPECT_EQ(ProgramPath("log\\1.txt"), "/station/log/1.txt");
    EXPECT_EQ(ProgramPath("/abs/x"), "/abs/x");
}

TEST(AtomicFile, FailedRewriteKeepsTheOldFile)
{
    testsupport::TempDir dir;
    std::string path = dir.file("a.ini");
    ASSERT_TRUE(WriteFileAtomic(path, "old"));
    ASSERT_TRUE(WriteFileAtomic(path, "new"));
    EXPECT_EQ(dir.read("a.ini"), "new");
    // A folder without write permission makes the temporary file fail; root ignores modes,
    // so make the target a directory-entry clash instead: a directory where the temp goes.
    std::filesystem::create_directory(dir.file("sub"));
    EXPECT_FALSE(WriteFileAtomic(dir.file("sub/missing/x.ini"), "y"));
    EXPECT_EQ(dir.read("a.ini"), "new");
    // No temporary files are left behind.
    int count = 0;
    for (auto& e : std::filesystem::directory_iterator(dir.path()))
        (void)e, ++count;
    EXPECT_EQ(count, 2);
}

TEST(FakeClock, SleepsAdvanceTimeWithoutWaiting)
{
    FakeClock clock;
    SetClock(&clock);
    uint32_t t0 = GetTickCount();
    Sleep(5000);
    EXPECT_EQ(GetTickCount() - t0, 5000u);
    SetClock(nullptr);
    EXPECT_EQ(clock.sleptMs(), 5000u);
}
