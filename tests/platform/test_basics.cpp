#include "platform/AtomicFile.h"
#include "platform/Clock.h"
#include "platform/DeviceHandle.h"
#include "platform/DriveMap.h"
#include "platform/ProgramDir.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <filesystem>

using namespace platform;

TEST(DriveMap, HandsOutLettersFromDAndReusesFreedOnes)
{
    DriveMap map;
    EXPECT_EQ((std::string{map.assign({}), map.assign({})}), "DE");
    map.release('D');
    EXPECT_EQ(map.assign({}), 'D');
    for (int i = 0; i < 21; ++i)
        map.assign({});
    EXPECT_EQ(map.letters().size(), 23u);
    EXPECT_EQ(map.assign({}), 0) << "Z is the last letter";
    EXPECT_TRUE(map.bind('A', {}) && !map.bind('1', {}));

    // A letter that is not bound, or whose device does not open, gives no handle.
    DriveMap::global().clear();
    EXPECT_EQ(OpenDrive('Q'), INVALID_HANDLE_VALUE);
    DriveMap::global().bind('Q', DriveBinding{[] { return std::shared_ptr<ScsiTransport>(); }, {}, "gone"});
    EXPECT_EQ(OpenDrive('Q'), INVALID_HANDLE_VALUE);
    DriveMap::global().clear();
}

TEST(ProgramDir, ResolvesBackslashPathsAgainstTheProgramFolder)
{
    SetProgramDir("/station/");
    EXPECT_EQ(ProgramPath(".\\misc\\prefer.ini") + "|" + ProgramPath("log\\1.txt") + "|" + ProgramPath("/abs/x"),
              "/station/misc/prefer.ini|/station/log/1.txt|/abs/x");
}

TEST(AtomicFile, ReplacesWholeAndLeavesNoTemporaryFile)
{
    testsupport::TempDir dir;
    ASSERT_TRUE(WriteFileAtomic(dir.file("a.ini"), "old") && WriteFileAtomic(dir.file("a.ini"), "new"));
    EXPECT_EQ(dir.read("a.ini"), "new");
    // Root ignores permissions: a missing folder makes the temporary file fail instead.
    EXPECT_FALSE(WriteFileAtomic(dir.file("missing/x.ini"), "y"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(FakeClock, InstalledItTakesEverySleepWithoutWaiting)
{
    FakeClock clock;
    SetClock(&clock);
    const uint32_t t0 = GetTickCount();
    Sleep(5000);
    SetClock(nullptr);
    EXPECT_TRUE(clock.sleptMs() == 5000u && clock.nowMs() - t0 == 5000u);
}
