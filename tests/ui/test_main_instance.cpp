// One program per station folder: the lock, and the raise request of a second start.
#include "platform/SingleInstance.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>

using platform::SingleInstance;

TEST(SingleInstance, SecondStartInTheSameFolderFindsTheFirstAndAsksItToRaiseItsWindow)
{
    testsupport::TempDir dir, other;
    SingleInstance first("MP3 Tool", dir.path());
    ASSERT_FALSE(first.CheckPreviousInstance());
    EXPECT_TRUE(first.owns());
    EXPECT_EQ(first.lockPath(), dir.path() + "/MP3 Tool.lock");
    // Other folders and other names do not meet.
    EXPECT_FALSE(SingleInstance("MP3 Tool", other.path()).CheckPreviousInstance());
    EXPECT_FALSE(SingleInstance("Other", dir.path()).CheckPreviousInstance());
    EXPECT_EQ(first.takeRaiseRequests(), 0);

    SingleInstance second("MP3 Tool", dir.path());
    EXPECT_TRUE(second.CheckPreviousInstance());
    EXPECT_FALSE(second.owns());
    EXPECT_EQ(first.takeRaiseRequests(), 1);

    // Released on close: the next start owns the folder again.
    first.release();
    EXPECT_FALSE(SingleInstance("MP3 Tool", dir.path()).CheckPreviousInstance());
}

TEST(SingleInstance, UnwritableProgramFolderLocksInTheRuntimeFolder)
{
    testsupport::TempDir runtime, station;
    setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
    const std::string missing = station.path() + "/not-there";
    SingleInstance first("MP3 Tool", missing);
    EXPECT_FALSE(first.CheckPreviousInstance());
    EXPECT_EQ(first.lockPath().rfind(runtime.path() + "/mptool-", 0), 0u) << first.lockPath();
    EXPECT_TRUE(SingleInstance("MP3 Tool", missing).CheckPreviousInstance());
    EXPECT_EQ(first.takeRaiseRequests(), 1);
    unsetenv("XDG_RUNTIME_DIR");
}
