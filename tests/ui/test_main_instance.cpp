// One program per station folder: the lock, and the raise request of a second start.
#include "platform/SingleInstance.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>

using platform::SingleInstance;

TEST(SingleInstance, SecondStartFindsTheFirstAndAsksItToRaiseItsWindow)
{
    testsupport::TempDir dir;
    SingleInstance first("MP3 Tool", dir.path());
    ASSERT_FALSE(first.CheckPreviousInstance());
    EXPECT_TRUE(first.owns());
    EXPECT_GE(first.listenFd(), 0);
    EXPECT_EQ(first.lockPath(), dir.path() + "/MP3 Tool.lock");
    EXPECT_EQ(first.takeRaiseRequests(), 0);

    SingleInstance second("MP3 Tool", dir.path());
    EXPECT_TRUE(second.CheckPreviousInstance());
    EXPECT_FALSE(second.owns());
    EXPECT_EQ(first.takeRaiseRequests(), 1);

    // Released on close: the next start owns the folder again.
    first.release();
    SingleInstance third("MP3 Tool", dir.path());
    EXPECT_FALSE(third.CheckPreviousInstance());
    EXPECT_TRUE(third.owns());
}

TEST(SingleInstance, OtherFoldersAndOtherNamesDoNotMeet)
{
    testsupport::TempDir a, b;
    SingleInstance one("MP3 Tool", a.path());
    SingleInstance two("MP3 Tool", b.path());
    SingleInstance other("Other", a.path());
    EXPECT_FALSE(one.CheckPreviousInstance());
    EXPECT_FALSE(two.CheckPreviousInstance());
    EXPECT_FALSE(other.CheckPreviousInstance());
    EXPECT_EQ(one.takeRaiseRequests(), 0);
}

TEST(SingleInstance, UnwritableProgramFolderLocksInTheRuntimeFolder)
{
    testsupport::TempDir runtime, station;
    setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
    const std::string missing = station.path() + "/not-there";
    SingleInstance first("MP3 Tool", missing);
    SingleInstance second("MP3 Tool", missing);
    EXPECT_FALSE(first.CheckPreviousInstance());
    EXPECT_EQ(first.lockPath().rfind(runtime.path() + "/mptool-", 0), 0u) << first.lockPath();
    EXPECT_TRUE(second.CheckPreviousInstance());
    EXPECT_EQ(first.takeRaiseRequests(), 1);
    unsetenv("XDG_RUNTIME_DIR");
}
