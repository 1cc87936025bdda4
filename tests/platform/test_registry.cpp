#include "platform/ProgramDir.h"
#include "platform/Registry.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/resource.h>
#include <thread>

using namespace platform;

namespace {

const std::string kKey = "SoftWare\\KOV6125\\MPTool";

class Registry : public ::testing::Test {
protected:
    void SetUp() override { SetProgramDir(dir.path()); }
    long files() const { return std::distance(std::filesystem::directory_iterator(dir.path()), {}); }
    testsupport::TempDir dir;
};

} // namespace

TEST_F(Registry, ValuesSurviveAReopenAndNamesIgnoreCase)
{
    ASSERT_TRUE(registry::WriteInteger(kKey, "BlocksPerChip", 4096) && registry::WriteInteger(kKey, "LogBiTable", -7));
    ASSERT_TRUE(registry::WriteString("SoftWare\\KOV6125\\Vornagel28", "AddDir", "  /data/My \"Songs\" "));
    EXPECT_EQ(registry::FilePath(), dir.file("registry.ini"));

    EXPECT_EQ(registry::ReadInteger("software\\kov6125\\mptool", "blockspERCHIP"), 4096);
    EXPECT_EQ(registry::ReadInteger(kKey, "LogBiTable"), -7);
    EXPECT_EQ(registry::ReadString("SoftWare\\KOV6125\\Vornagel28", "AddDir"), "  /data/My \"Songs\" ");

    ASSERT_TRUE(registry::WriteInteger(kKey, "blockspERCHIP", 8192)) << "a rewrite replaces, never adds";
    EXPECT_EQ(registry::ReadInteger(kKey, "BlocksPerChip"), 8192);
    EXPECT_EQ(dir.read("registry.ini").find("4096"), std::string::npos);
}

TEST_F(Registry, MissingCorruptOrUnwritableGiveNothingAndAReadCreatesTheKey)
{
    EXPECT_FALSE(registry::ReadInteger(kKey, "LogBiTable") || registry::ReadString("SoftWare\\Other", "x"));
    EXPECT_NE(dir.read("registry.ini").find("[SoftWare\\KOV6125\\MPTool]\r\n"), std::string::npos);

    ASSERT_TRUE(registry::WriteString(kKey, "LogBiTable", "on"));
    EXPECT_FALSE(registry::ReadInteger(kKey, "LogBiTable")) << "no number";

    dir.write("registry.ini", std::string("\x00\xff\x13[Soft\x01=\n\xfe garbage", 20));
    EXPECT_FALSE(registry::ReadInteger(kKey, "BlocksPerChip"));
    ASSERT_TRUE(registry::WriteInteger(kKey, "BlocksPerChip", 12)) << "a corrupt file stays writable";
    EXPECT_EQ(registry::ReadInteger(kKey, "BlocksPerChip"), 12);

    for (const char* name : {"", "a=b", "line\nbreak", "[section", ";comment"})
        EXPECT_FALSE(registry::WriteInteger(kKey, name, 1) || registry::WriteString(kKey, name, "1")) << name;
    EXPECT_FALSE(registry::WriteInteger("Bad]Key", "x", 1) || registry::WriteString("Bad]Key", "x", "1"));

    std::filesystem::remove(dir.file("registry.ini"));
    std::filesystem::create_directory(dir.file("registry.ini")); // a folder where the file goes
    EXPECT_FALSE(registry::WriteInteger(kKey, "x", 1) || registry::ReadInteger(kKey, "x"));
}

TEST_F(Registry, WritersOnManyThreadsLoseNothingAndAFailedRewriteLeavesTheFileWhole)
{
    auto name = [](int t, int i) { return "v" + std::to_string(t) + "_" + std::to_string(i); };
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([t, name] {
            for (int i = 0; i < 10; ++i) {
                registry::WriteInteger(kKey, name(t, i), t * 1000 + i);
                registry::ReadInteger(kKey, "v0_0");
            }
        });
    for (auto& th : threads)
        th.join();
    for (int t = 0; t < 8; ++t)
        for (int i = 0; i < 10; ++i)
            EXPECT_EQ(registry::ReadInteger(kKey, name(t, i)), t * 1000 + i);
    EXPECT_EQ(files(), 1) << "only registry.ini, no temporary files";
    const std::string before = dir.read("registry.ini");

    rlimit old{}; // the disk fills up mid-write: no file may grow past its present size
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit tight = old;
    tight.rlim_cur = before.size();
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
    bool written = registry::WriteString(kKey, "Long", std::string(200, 'x'));
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(written);
    EXPECT_EQ(dir.read("registry.ini"), before);
    EXPECT_EQ(files(), 1) << "no temporary file left behind";
}
