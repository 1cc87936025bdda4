#include "platform/FileIo.h"
#include "platform/IniFile.h"
#include "platform/ProgramDir.h"
#include "platform/TextCodec.h"
#include "support/ScopedLocale.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sys/resource.h>

using platform::IniFile;

TEST(IniRead, NamesIgnoreCaseFirstMatchWinsAndValuesLoseBlanksAndOnePairOfQuotes)
{
    auto ini = IniFile::FromText("[mp_setting]\r\n  FORMAT = 1 \r\nformat=2\r\n[MP_SETTING]\r\nLabel=second\r\n");
    EXPECT_EQ(ini.ReadInteger("MP_Setting", "Format", 9), 1);
    EXPECT_EQ(ini.ReadString("MP_Setting", "Label", "none"), "none") << "only the first section is read";
    EXPECT_TRUE(ini.SectionExists("Mp_Setting") && !ini.SectionExists("Other"));
    EXPECT_TRUE(ini.ReadSection("MP_SETTING") == std::vector<std::string>{"FORMAT"} && ini.ReadSections() == std::vector<std::string>{"mp_setting"});

    ini = IniFile::FromText("\xEF\xBB\xBF[S]\nA=  spaced out  \nB=\"quoted \"\nC='x'\nD=\"half\n"
                            "; E=comment\nnoequals\n=novalue\nF=a=b\nG=\"\"\n");
    const std::pair<const char*, const char*> values[] = {{"A", "spaced out"}, {"B", "quoted "}, {"C", "x"},
        {"D", "\"half"}, {"; E", "def"}, {"noequals", "def"}, {"F", "a=b"}, {"G", ""}};
    for (const auto& [key, value] : values)
        EXPECT_EQ(ini.ReadString("S", key, "def"), value) << key;
}

TEST(IniRead, IntegersFollowTheProfileRules)
{
    const std::pair<const char*, int32_t> cases[] = {{"0X1e", 30}, {"0xAf", 175}, {"0x", 7}, {"abc", 7}, {"12abc", 7}, {"-5", -5},
        {" 42 ", 42}, {"$10", 16}, {"0xFFFFFFFF", -1}, {"2147483648", 7}, {"-2147483648", INT32_MIN}, {"0x100000000", 7}};
    for (const auto& [value, expected] : cases)
        EXPECT_EQ(IniFile::FromText(std::string("[S]\r\nK=") + value + "\r\n").ReadInteger("S", "K", 7), expected)
            << "value \"" << value << "\"";
    auto ini = IniFile::FromText("[S]\r\nT=2\r\nF=0\r\nX=x\r\n");
    EXPECT_TRUE(ini.ReadBool("S", "T", false) && !ini.ReadBool("S", "F", true) && ini.ReadBool("S", "X", true));
}

TEST(IniWrite, UntouchedLinesStayByteForByte)
{
    const std::string original = "; head comment\n[A]\r\nx = 1 \r\nY=2\n\n[B]\r\nz=3";
    auto ini = IniFile::FromText(original);
    EXPECT_TRUE(ini.Text() == original && !ini.Modified());

    ini.WriteString("a", "Y", "20");
    EXPECT_EQ(ini.Text(), "; head comment\n[A]\r\nx = 1 \r\nY=20\n\n[B]\r\nz=3");
    ini.WriteInteger("A", "new", -4);
    EXPECT_EQ(ini.Text(), "; head comment\n[A]\r\nx = 1 \r\nY=20\nnew=-4\r\n\n[B]\r\nz=3")
        << "a new key follows the section's last non-blank line";
    ini.WriteBool("B", "w", true);
    EXPECT_EQ(ini.Text(), "; head comment\n[A]\r\nx = 1 \r\nY=20\nnew=-4\r\n\n[B]\r\nz=3\r\nw=1\r\n");
    ini.WriteString("C", "k", "v");
    EXPECT_EQ(ini.Text(), "; head comment\n[A]\r\nx = 1 \r\nY=20\nnew=-4\r\n\n[B]\r\nz=3\r\nw=1\r\n\r\n[C]\r\nk=v\r\n");

    // An existing key keeps its spelling; line breaks in a value cannot start a section.
    ini = IniFile::FromText("[S]\r\n  MyKey = old\r\n");
    ini.WriteString("s", "MYKEY", "line1\r\n[Evil]\r\nk=v");
    EXPECT_EQ(ini.Text(), "[S]\r\nMyKey=line1  [Evil]  k=v\r\n");
    EXPECT_FALSE(ini.SectionExists("Evil"));
    ini = IniFile::FromText("[A]\r\na=1\r\n[HIDE_FILES]\r\nf1=x\r\n[B]\r\n[hide_files]\r\nf2=y\r\n");
    ini.EraseSection("Hide_Files");
    EXPECT_EQ(ini.Text(), "[A]\r\na=1\r\n[B]\r\n") << "every copy of the section goes, the others stay";
}

TEST(IniFileOnDisk, MissingFileIsEmptySaveCreatesItAndAFailedSaveLeavesTheOldFileWhole)
{
    testsupport::TempDir dir;
    IniFile ini(dir.file("prefer.ini"));
    ini.WriteInteger("S", "K", 6);
    ASSERT_TRUE(!ini.Exists() && ini.UpdateFile());
    EXPECT_EQ(dir.read("prefer.ini"), "[S]\r\nK=6\r\n");

    ini.WriteString("S", "K", "a value longer than the limit allows");
    // Every write past a few bytes fails (for root too, unlike permissions).
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    const rlimit tight{8, saved.rlim_max};
    setrlimit(RLIMIT_FSIZE, &tight);
    EXPECT_THROW(ini.UpdateFileOrThrow(), platform::IniFileError);
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_EQ(dir.read("prefer.ini"), "[S]\r\nK=6\r\n");
    EXPECT_TRUE(ini.Modified() && ini.UpdateFile()) << "still to be saved";
    // A document without changes is not written unless forced.
    IniFile clean(dir.file("prefer.ini"));
    std::remove(dir.file("prefer.ini").c_str());
    clean.UpdateFileOrThrow();
    EXPECT_TRUE(clean.UpdateFile() && !std::filesystem::exists(dir.file("prefer.ini")));
    EXPECT_TRUE(clean.UpdateFile(true) && dir.read("prefer.ini") == "[S]\r\nK=a value longer than the limit allows\r\n");
}

// Station files written on Windows in their code page read as text, decided for the whole
// file (GBK and Big5 text that is valid UTF-8 too stays in its code page); ReadBytes keeps
// the bytes. What the program writes reads back exactly: text past ASCII makes the file
// marked UTF-8 (a code-page file is converted whole, its text kept); ASCII alone leaves a
// code-page file's other lines byte for byte.
TEST(IniFile, UnmarkedFilesReadInTheStationsCodePageAndWhatIsWrittenReadsBack)
{
    testsupport::ScopedLocale locale("C");
    testsupport::TempDir dir;
    struct Case { const char* locale; std::string stored, text; };
    const Case cases[] = {
        {"zh_CN.UTF-8", "\xD2\xF4\xC0\xD6", "\u97f3\u4e50"}, // GBK
        {"zh_TW.UTF-8", "\xAD\xB5\xBC\xD6", "\u97f3\u6a02"}, // Big5
        {"C", "\x8E\x84", "\u00c4\u00e4"},                   // code page 437
        {"zh_CN.UTF-8", "\u97f3\u4e50", "\u97f3\u4e50"},     // UTF-8 from before the mark: kept
        {"zh_TW.UTF-8", "\u97f3\u6a02", "\u97f3\u6a02"},
        {"zh_CN.UTF-8", "\xD1\xA7\xCF\xB0", "\u5b66\u4e60"}, // 学习 in GBK, "ѧϰ" in UTF-8
        {"zh_TW.UTF-8", "\xC3\xA1\xC4\xA1", "\u737a\u7e82"}, // 獺纂 in Big5, "áġ" in UTF-8
        {"zh_TW.UTF-8", "\xC9\xA1", "\u6c36"},             // rare 氶 in Big5, but Latin "ɡ" in UTF-8
        {"C", "\u00c4\u00e4", "\u00c4\u00e4"},               // UTF-8 on a 437 station
        {"C", "\u00c4 \u266b", "\u00c4 \u266b"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.locale + (" " + c.text));
        locale.set(c.locale);
        const auto ini = IniFile::FromText("[S]\r\nLabel=" + c.stored + "\r\nPath=\"/m/" + c.stored + "/a.mp3\"\r\n[L]\r\n/" +
                                           c.stored + "=\r\n");
        EXPECT_EQ(ini.ReadString("S", "Label", ""), c.text);
        EXPECT_EQ(ini.ReadString("S", "Path", ""), "/m/" + c.text + "/a.mp3");
        EXPECT_EQ(ini.ReadSection("L"), std::vector<std::string>{"/" + c.text}) << "paths stored as keys";
        EXPECT_EQ(ini.ReadBytes("S", "Label", ""), c.stored);
        EXPECT_EQ(ini.ReadString("S", "Missing", c.stored), c.stored) << "the caller's default is not decoded";
        EXPECT_EQ(platform::DecodeTextWithByteOrderMark(c.stored + "\r\n"), c.text + "\r\n") << "path lists without a mark";
        IniFile written(dir.file("new.ini"));
        written.WriteString("S", "Label", c.text);
        ASSERT_TRUE(written.UpdateFile());
        EXPECT_EQ(dir.read("new.ini").substr(0, 3), "\xEF\xBB\xBF");
        EXPECT_EQ(IniFile(dir.file("new.ini")).ReadString("S", "Label", ""), c.text);
        std::remove(dir.file("new.ini").c_str());
    }
    locale.set("zh_CN.UTF-8");
    const std::string gbk = "[S]\r\nLabel=\xD1\xA7\xCF\xB0\r\n";  // 学习, as the earlier tools wrote it
    dir.write("old.ini", gbk);
    IniFile ascii(dir.file("old.ini"));
    ascii.WriteInteger("S", "Pattern", 5);
    ASSERT_TRUE(ascii.UpdateFile());
    EXPECT_EQ(dir.read("old.ini"), gbk + "Pattern=5\r\n") << "still the station's file";
    IniFile text(dir.file("old.ini"));
    text.WriteString("S", "Path", "/m/\u266b");  // ♫: GBK has none
    ASSERT_TRUE(text.UpdateFile());
    const IniFile back(dir.file("old.ini"));
    EXPECT_EQ(back.ReadString("S", "Label", "") + "|" + back.ReadString("S", "Path", ""), "\u5b66\u4e60|/m/\u266b");
    EXPECT_EQ(dir.read("old.ini").substr(0, 3), "\xEF\xBB\xBF");
}

// A station file past 16 MiB is no settings file: it is refused at once, never read for
// minutes, and reads as missing; one at the bound still reads.
TEST(IniFileOnDisk, FilePastTheStationBoundIsRefused)
{
    testsupport::TempDir dir;
    dir.write("flash.ini", "[S]\r\nK=6\r\n");
    std::filesystem::resize_file(dir.file("flash.ini"), 16u << 20);
    EXPECT_EQ(IniFile(dir.file("flash.ini")).ReadInteger("S", "K", 0), 6);
    std::filesystem::resize_file(dir.file("flash.ini"), (16u << 20) + 1);
    const IniFile big(dir.file("flash.ini"));
    EXPECT_FALSE(big.Exists());
    EXPECT_EQ(big.ReadInteger("S", "K", 0), 0);
}

// A read that the file's end cuts short fails with EIO instead of waiting for more bytes.
TEST(FileIo, ReadPastTheEndFails)
{
    testsupport::TempDir dir;
    dir.write("f", "abcd");
    const int fd = ::open(dir.file("f").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    char bytes[4] = {};
    EXPECT_TRUE(platform::ReadFullyAt(fd, bytes, 2, 2));
    EXPECT_EQ(std::string(bytes, 2), "cd");
    errno = EINTR;  // left from an earlier call
    EXPECT_FALSE(platform::ReadFullyAt(fd, bytes, 4, 2));
    EXPECT_EQ(errno, EIO);
    EXPECT_FALSE(platform::ReadFullyAt(-1, bytes, 1, 0) || platform::WriteFullyAt(-1, bytes, 1, 0));
    ::close(fd);
}

// Station paths in either separator resolve against the program folder, by default the
// executable's.
TEST(ProgramPath, ResolvesAgainstTheProgramFolder)
{
    const std::string saved = platform::ProgramDir();
    platform::SetProgramDir("");
    EXPECT_EQ(platform::ProgramDir(), std::filesystem::canonical(MPTOOL_BINARY_DIR "/tests").string());
    platform::SetProgramDir("/station//");
    EXPECT_EQ(platform::ProgramPath(".\\misc\\prefer.ini"), "/station/misc/prefer.ini");
    EXPECT_EQ(platform::ProgramPath("././log/1.txt"), "/station/log/1.txt");
    EXPECT_EQ(platform::ProgramPath("/elsewhere/x"), "/elsewhere/x");
    platform::SetProgramDir("/");
    EXPECT_EQ(platform::ProgramDir(), "/");
    platform::SetProgramDir(saved);
}
