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

TEST_F(Registry, NamesIgnoreCaseARewriteReplacesAndACorruptFileStaysWritable)
{
    ASSERT_TRUE(registry::WriteInteger(kKey, "BlocksPerChip", 4096) && registry::WriteInteger(kKey, "blockspERCHIP", -7));
    EXPECT_EQ(registry::ReadInteger("software\\kov6125\\mptool", "BlocksPerChip"), -7);
    EXPECT_EQ(dir.read("registry.ini").find("4096"), std::string::npos);
    EXPECT_FALSE(registry::WriteInteger(kKey, "a=b", 1) || registry::WriteString("Bad]Key", "x", "1"));
    dir.write("registry.ini", std::string("\x00\xff\x13[Soft\x01=\n\xfe garbage", 20));
    ASSERT_TRUE(registry::WriteInteger(kKey, "BlocksPerChip", 12));
    EXPECT_EQ(registry::ReadInteger(kKey, "BlocksPerChip"), 12);
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
