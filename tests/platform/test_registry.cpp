#include "platform/ProgramDir.h"
#include "platform/Registry.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <thread>

using namespace platform;

static const std::string kKey = "SoftWare\\KOV6125\\MPTool";

// Production threads store their values side by side; the window reads them back.
TEST(Registry, WritersOnManyThreadsLoseNothingAndNamesIgnoreCase)
{
    testsupport::TempDir dir;
    SetProgramDir(dir.path());
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 10; ++i)
                registry::WriteInteger(kKey, "v" + std::to_string(t * 10 + i), t * 10 + i);
        });
    for (auto& th : threads)
        th.join();
    for (int i = 0; i < 80; ++i)
        EXPECT_EQ(registry::ReadInteger(kKey, "v" + std::to_string(i)), i);
    ASSERT_TRUE(registry::WriteInteger("software\\kov6125\\mptool", "V7", -7)) << "a rewrite replaces, never adds";
    EXPECT_EQ(registry::ReadInteger(kKey, "v7"), -7);
    EXPECT_EQ(dir.read("registry.ini").find("v7=7"), std::string::npos);
}
