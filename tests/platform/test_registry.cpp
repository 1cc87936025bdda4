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

TEST_F(Registry, ValuesSurviveAReopenNamesIgnoreCaseAndBadNamesOrFilesGiveNothing)
{
    EXPECT_FALSE(registry::ReadInteger(kKey, "BlocksPerChip"));
    EXPECT_NE(dir.read("registry.ini").find("[SoftWare\\KOV6125\\MPTool]\r\n"), std::string::npos) << "a read creates the key";
    ASSERT_TRUE(registry::WriteInteger(kKey, "BlocksPerChip", 4096) && registry::WriteString(kKey, "AddDir", "  /My \"Songs\" "));
    EXPECT_EQ(registry::ReadInteger("software\\kov6125\\mptool", "blockspERCHIP"), 4096);
    EXPECT_EQ(registry::ReadString(kKey, "AddDir"), "  /My \"Songs\" ");
    EXPECT_FALSE(registry::ReadInteger(kKey, "AddDir")) << "no number";
    ASSERT_TRUE(registry::WriteInteger(kKey, "blockspERCHIP", -7)) << "a rewrite replaces, never adds";
    EXPECT_EQ(registry::ReadInteger(kKey, "BlocksPerChip"), -7);
    EXPECT_EQ(dir.read("registry.ini").find("4096"), std::string::npos);

    for (const char* name : {"", " ", "a=b", "line\nbreak", "[section", ";comment"})
        EXPECT_FALSE(registry::WriteInteger(kKey, name, 1) || registry::WriteString(kKey, name, "1")) << name;
    EXPECT_FALSE(registry::WriteInteger("Bad]Key", "x", 1) || registry::WriteString("Bad]Key", "x", "1"));

    dir.write("registry.ini", std::string("\x00\xff\x13[Soft\x01=\n\xfe garbage", 20));
    EXPECT_FALSE(registry::ReadInteger(kKey, "BlocksPerChip"));
    ASSERT_TRUE(registry::WriteInteger(kKey, "BlocksPerChip", 12)) << "a corrupt file stays writable";
    EXPECT_EQ(registry::ReadInteger(kKey, "BlocksPerChip"), 12);
    std::filesystem::remove(dir.file("registry.ini"));
    std::filesystem::create_directory(dir.file("registry.ini")); // a folder where the file goes
    EXPECT_FALSE(registry::WriteInteger(kKey, "x", 1) || registry::ReadInteger(kKey, "x"));
}

TEST_F(Registry, WritersOnManyThreadsLoseNothingAndAFailedRewriteLeavesTheFileWhole)
{
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
    EXPECT_EQ(files(), 1) << "only registry.ini, no temporary file left behind";
}
