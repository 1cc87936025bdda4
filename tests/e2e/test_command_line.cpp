// The program's command line is read before Qt starts: --help needs no display, and a
// wrong option, a missing station folder or no display end with one clear line and a
// non-zero status instead of Qt's abort.
#include "platform/Process.h"
#include "sim/StationKit.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

struct Start {
    const char* name;
    std::vector<std::string> args;
    bool display;
    int status;
    const char* says; // the start of standard error, or of standard output for status 0
};
void PrintTo(const Start& s, std::ostream* os) { *os << s.name; }

class CommandLine : public ::testing::TestWithParam<Start> {};

TEST_P(CommandLine, IsCheckedBeforeQtStarts)
{
    const std::string program = std::string(MPTOOL_BINARY_DIR) + "/app/mptool";
    if (!std::filesystem::exists(program))
        GTEST_SKIP() << "the program is not built";
    const Start& s = GetParam();
    testsupport::TempDir dir;
    std::vector<std::string> argv = {program};
    for (const std::string& a : s.args)
        argv.push_back(a == "DIR" ? dir.path() : a);
    platform::ProcessOptions options;
    options.timeoutMs = 60000;
    options.captureOutput = true;
    // No display at all: as from a console or a service.
    options.environment = {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", s.display ? "offscreen" : ""}};
    const platform::ProcessResult r = platform::RunProcess(argv, options);
    ASSERT_TRUE(r.started) << r.error;
    EXPECT_EQ(r.signal, 0) << "no abort";
    EXPECT_EQ(r.exitCode, s.status) << r.errorOutput;
    const std::string& said = s.status == 0 ? r.output : r.errorOutput;
    EXPECT_EQ(said.rfind(s.says, 0), 0u) << said;
    EXPECT_EQ(said.find("Reinstalling"), std::string::npos);
}

const Start kStarts[] = {
    {"HelpWithoutADisplay", {"--help"}, false, 0, "usage: mptool [--station DIR]"},
    {"UnknownOption", {"--stations", "DIR"}, false, 2, "usage: mptool [--station DIR]"},
    {"StationFolderMissing", {"--station", "DIR/none"}, true, 2, "mptool: the station folder "},
    {"NoDisplay", {"--station", "DIR"}, false, 2, "mptool: no display (neither DISPLAY nor WAYLAND_DISPLAY is set)"},
};
// An unattended run whose time limit passes while devices still run ends with status 1 at
// once: the window's close would only ask and wait for them.
TEST(UnattendedRun, TimeLimitEndsItWhileDevicesRun)
{
    const std::string program = std::string(MPTOOL_BINARY_DIR) + "/app/mptool";
    if (!std::filesystem::exists(program))
        GTEST_SKIP() << "the program is not built";
    testsupport::TempDir dir;
    ASSERT_TRUE(sim::WriteStationKit(dir.path()));
    platform::ProcessOptions options;
    options.timeoutMs = 60000;
    options.captureOutput = true;
    options.environment = {{"QT_QPA_PLATFORM", "offscreen"}};
    const platform::ProcessResult r = platform::RunProcess(
        {program, "--station", dir.path(), "--simulate", "1", "--exit-when-done", "--time-limit", "1"}, options);
    ASSERT_TRUE(r.started) << r.error;
    EXPECT_FALSE(r.timedOut) << "the program hung after its time limit";
    EXPECT_EQ(r.exitCode, 1) << r.errorOutput;
    EXPECT_NE(r.errorOutput.find("time limit reached"), std::string::npos) << r.errorOutput;
}

INSTANTIATE_TEST_SUITE_P(Starts, CommandLine, ::testing::ValuesIn(kStarts),
                         [](const ::testing::TestParamInfo<Start>& info) { return std::string(info.param.name); });

} // namespace
