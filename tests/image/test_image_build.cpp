// Whole builds judged by dosfstools and mtools: fsck.fat -n, mcopy back to the host tree, mlabel.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "image/FatFiles.h"
#include "image/ImageBuilder.h"
#include "image/ImageFile.h"
#include "support/ImageTestTools.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

using imagetest::ChildEnd;
using imagetest::InChild;

std::string Outcome(const image::ImageBuildResult& r) {
    return r.ok ? "ok" : std::to_string(int(r.failedStage)) + ": " + r.error;
}

// The hidden files a build leaves beside its target.
std::vector<std::string> Hidden(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder))
        if (e.path().filename().string()[0] == '.')
            names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class ImageBuild : public ::testing::Test {
protected:
    testsupport::TempDir tmp;
    const std::string out = tmp.file("out.IMG");

    std::string Src(const std::string& rel = "") const { return tmp.file("src/" + rel); }
    void File(const std::string& rel, uint64_t size, uint32_t seed = 1) {
        fs::create_directories(fs::path(Src(rel)).parent_path());
        imagetest::WritePatternFile(Src(rel), size, seed);
    }
    image::ImageBuildResult Build(const std::vector<std::string>& paths, const std::string& label = "PASS WD",
                                  uint32_t mb = 128, uint32_t chunkBytes = 256 * 1024, uint32_t maxChunks = 1u << 16) {
        image::ImageBuildOptions opt;
        opt.chunkBytes = chunkBytes;
        opt.maxChunks = maxChunks;
        return image::BuildImage({paths, label, mb, out}, opt);
    }
    // Builds; both volumes pass fsck.fat, read back as `expected` and show the label.
    void BuildAndCompare(const std::vector<std::string>& paths, const std::string& expected, uint32_t mb = 128,
                         const std::string& label = "PASS WD", const std::string& shown = "Volume label is PASS WD") {
        const auto r = Build(paths, label, mb);
        ASSERT_TRUE(r.ok) << r.error;
        imagetest::ExpectImageHolds(out, tmp.path(), expected, shown, mb);
    }
};

TEST_F(ImageBuild, LongShortAndUnusualNames) {
    const std::vector<std::string> names = {
        "abcdefgh.txt", "abcdefghi.txt", "abcdefghij.txt",               // 12, 13, 14 units
        "abcdefghijklmnopqrstuv.txt", "abcdefghijklmnopqrstuvw.txt",      // 26, 27
        std::string(251, 'n') + ".txt",                                   // 255
        "readme.txt", "MixedCase.Txt", "a.b.c.d.txt", "archive.tar.gz", " leading blank.txt", "x+y=z;w.txt",
        "many   blanks  .txt", "\xE4\xB8\xAD\xE6\x96\x87\xE5\x90\x8D\xE5\xAD\x97.mp3", "\xC3\x84rger \xC3\xBC" "ber.txt",
        "bb.txt", "A2.txt", "Ba.txt", "a1.txt", "a3.txt", "A4.txt",
    };
    for (uint32_t i = 0; i < names.size(); ++i)
        File("N/" + names[i], (i + 1) * 37, i + 1);
    for (int i = 1; i <= 12; ++i)  // aliases LONGFI~1 .. LONGFI~9, then LONGF~10 ..
        File("N/longfilename" + std::to_string(100 + i) + ".txt", uint64_t(i), uint32_t(i));
    BuildAndCompare({Src("N")}, Src());
    const auto r = imagetest::Run({"mdir", "-i", tmp.file("vol0.raw"), "::/N"});
    for (const char* alias : {"LONGFI~9 TXT", "LONGF~10 TXT", "LONGF~12 TXT", "README   TXT"})
        EXPECT_NE(r.output.find(alias), std::string::npos) << alias << "\n" << r.output;
    std::vector<size_t> at;  // a folder's entries lie in case-insensitive order
    for (const char* name : {" a1.txt", " A2.txt", " a3.txt", " A4.txt", " Ba.txt", " bb.txt"})
        at.push_back(r.output.find(name));
    EXPECT_TRUE(std::is_sorted(at.begin(), at.end()) && at.back() != std::string::npos) << r.output;
}

// Sizes around sector and cluster bounds with 4 KiB, 32 KiB and 16 KiB (FAT32) clusters; the
// FAT16 root fills up (the label takes one slot, each entry two: 255 entries fit, 256 do
// not), on FAT32 it grows past one cluster; the longest label is given in lower case.
TEST_F(ImageBuild, FileSizesAroundClusterBoundsAndTheRootFillingUp) {
    for (uint32_t mb : {128u, 1024u, 8192u}) {
        SCOPED_TRACE(mb);
        fs::remove_all(Src());
        const uint64_t cluster = mb == 128 ? 4096 : mb == 1024 ? 32768 : 16384;
        std::vector<std::string> paths = {Src("S")};
        uint32_t seed = 1;
        for (uint64_t size : std::initializer_list<uint64_t>{0, 1, 511, 512, 513, 1023, 1024, 1025, cluster - 1,
                                                              cluster, cluster + 1, 3 * cluster + 7})
            File("S/size" + std::to_string(size) + ".bin", size, seed++);
        for (int i = 0; i < (mb == 8192 ? 300 : mb == 128 ? 255 : 0); ++i)
            File("root file " + std::to_string(i), 3, uint32_t(i)), paths.push_back(Src("root file " + std::to_string(i)));
        if (mb == 128) {
            const auto full = Build(paths);
            EXPECT_EQ(full.failedStage, image::ImageBuildStage::Create);
            EXPECT_NE(full.error.find("root folder is full"), std::string::npos) << full.error;
            fs::remove(paths.back());
            paths.pop_back();
        }
        BuildAndCompare(paths, Src(), mb, "music label", "Volume label is MUSIC LABEL");  // 11: the most
    }
}

TEST_F(ImageBuild, FailuresLeaveThePreviousImageUntouched) {
    tmp.write("out.IMG", "previous image");
    File("A/Readme.txt", 1);
    File("A/README.TXT", 2);
    File("B/x.txt", 1);
    File("C/x.txt", 1);
    File("bad/na:me.txt", 1);
    File("f.bin", 1 << 20);
    File("L/sub/a.txt", 1);
    for (auto [name, size] :
         {std::pair{"huge.bin", 4ull << 30}, {"largest.bin", (4ull << 30) - 1}, {"big.bin", 130ull << 20}}) {
        std::ofstream(Src(name));
        fs::resize_file(Src(name), size);
    }
    fs::create_symlink(Src("nowhere"), Src("L/sub/broken"));
    // Each failure names the file or label concerned, and why.
    const std::pair<image::ImageBuildResult, std::string> cases[] = {
        {Build({Src("A")}), "cannot copy " + Src("A/Readme.txt") + " into the image: \\A\\Readme.txt already exists"},
        {Build({Src("B/x.txt"), Src("C/x.txt")}), "cannot copy " + Src("C/x.txt") + " into the image"},
        {Build({Src("B")}, "MY.DSK"), "the volume label \"MY.DSK\" cannot hold the character '.'"},
        {Build({Src("L")}), "cannot read " + Src("L/sub/broken") + ": No such file"},  // the entry, not its folder
        {Build({Src("missing.txt")}), "cannot open"},
        {Build({Src("bad")}), "na:me.txt"},
        {Build({Src("B")}, "A\x7F" "B"), "label"},
        {Build({Src("B")}, "TWELVE CHARS"), "label"},
        {Build({Src("B")}, "PASS", 144), "multiple of 32"},
        {Build({Src("huge.bin")}), "4 GiB"},  // cannot be one FAT file; found before copying
        {Build({Src("big.bin")}), "volume is full"},
        {Build({Src("largest.bin")}), "volume is full"},
        {Build({Src("f.bin")}, "X", 128, 64 * 1024, 8), "sector store"},
    };
    for (const auto& [r, needle] : cases) {
        EXPECT_FALSE(r.ok) << needle;
        EXPECT_NE(r.error.find(needle), std::string::npos) << r.error;
    }
    EXPECT_EQ(tmp.read("out.IMG"), "previous image");
    for (const auto& e : fs::directory_iterator(tmp.path()))
        EXPECT_TRUE(e.path().filename() == "src" || e.path().filename() == "out.IMG") << e.path();
}

// The window's message pump runs while folders are read: whatever it leaves in errno is
// no read error. An image saved into a listed folder is not copied into itself; folders
// appear with their first file, so empty ones are left out; an empty label is no label.
// (The image dialog's tests judge hidden entries.)
TEST_F(ImageBuild, APumpLeavingErrnoSetAnImageSavedIntoAListedFolderAndEmptyOnes) {
    File("D/a.txt", 10);
    File("D/S/b.txt", 20);
    fs::create_directories(Src("D/empty/emptier"));
    image::ImageBuildOptions opt;
    int pumped = 0;
    opt.pump = [&] { ++pumped, errno = EIO; };
    const auto r = image::BuildImage({{Src("D")}, "", 128, Src("D/out.IMG")}, opt);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_GT(pumped, 0);
    fs::rename(Src("D/out.IMG"), out);
    fs::remove_all(Src("D/empty"));
    imagetest::ExpectImageHolds(out, tmp.path(), Src(), "has no label", 128);
    EXPECT_NE(fs::status(out).permissions() & fs::perms::others_read, fs::perms::none)
        << "not left private like a temporary file";
    EXPECT_LT(fs::file_size(out), 1000u * 1028) << "only touched sectors are stored";
}

// 64-bit positions: files placed in the last clusters of an 8 GiB volume, one of them
// around a cluster the other holds.
TEST_F(ImageBuild, FilesBeyondFourGiBAndAroundATakenCluster) {
    image::RamDisk store(1 << 20, 1u << 14);
    image::FatVolume volume(store);
    ASSERT_TRUE(volume.CreateVolume(uint32_t((8192ull << 20) / 512), 512));
    image::FatFiles files(volume);
    using Path = std::vector<std::string>;
    for (auto [path, size, from] : {std::tuple{Path{"taken.bin"}, 20000u, 15u}, {Path{"far", "away.bin"}, 200000u, 20u}}) {
        const std::string name = path.size() == 1 ? path[0] : path[0] + "/" + path[1];
        std::string data(size, '\0');
        File(name, size, from);
        std::ifstream(Src(name), std::ios::binary).read(data.data(), std::streamsize(size));
        volume.nextFreeHint = volume.clusterCount - from;
        auto h = files.FileCreate(path);
        ASSERT_EQ(files.FileWrite(reinterpret_cast<const uint8_t*>(data.data()), size, *h), size);
        EXPECT_GT(volume.ClusterPos(h->currentCluster), 4ull << 30);
        ASSERT_TRUE(files.FileClose(std::move(h)));
    }
    ASSERT_TRUE(volume.Flush() && image::SaveImageFile(store, out, 0, 8192));
    imagetest::ExpectSameTree(Src(), imagetest::CheckVolume(out, 0, tmp.path()));
}

// A file-size limit the image passes fails the build with the system's reason and the file
// concerned (a full disk takes the same path); a limit the finished image fits does not.
TEST_F(ImageBuild, WriteFailuresNameTheirCauseAndTheFileGrowsOnlyAsWritten) {
    File("D/a.bin", 3 << 20, 1);
    File("D/b.bin", 700 << 10, 2);
    ASSERT_TRUE(Build({Src("D")}).ok);
    const uint64_t size = fs::file_size(out);
    struct stat st;  // the blocks asked for ahead of the records are given back
    ASSERT_EQ(::stat(out.c_str(), &st), 0);
    EXPECT_LT(uint64_t(st.st_blocks) * 512, size + (1u << 20));
    fs::remove(out);
    auto limited = [&](uint64_t limit) {
        return InChild([&] {
            const rlimit l{limit, limit};
            ::setrlimit(RLIMIT_FSIZE, &l);
            return Outcome(Build({Src("D")}));
        });
    };
    const ChildEnd fits = limited(size);
    EXPECT_EQ(fits.said, "ok") << "a file-size limit the image fits; signal " << fits.signal;
    const ChildEnd tooBig = limited(size / 2);
    EXPECT_EQ(tooBig.signal, 0);
    EXPECT_NE(tooBig.said.find("File too large"), std::string::npos) << tooBig.said;
    EXPECT_NE(tooBig.said.find(tmp.path() + "/.out.IMG."), std::string::npos) << tooBig.said;

    EXPECT_EQ(Hidden(tmp.path()), std::vector<std::string>{});
}

// Sources that change between the two volumes' reads fail the build with their name;
// a linked folder is not entered, even when it leads back up the tree.
TEST_F(ImageBuild, ChangedSourcesAndLinkedFolders) {
    const std::function<void(const std::string&)> changes[] = {
        [](const std::string& f) { std::ofstream(f, std::ios::app) << "grown"; },
        [](const std::string& f) { fs::resize_file(f, 100); },
        [](const std::string& f) { std::fstream(f, std::ios::in | std::ios::out | std::ios::binary) << "rewritten"; },
    };
    for (const auto& change : changes) {
        fs::remove_all(Src());
        File("C/a.bin", 5000, 1);
        File("C/z.bin", 300000, 2);
        bool changed = false;
        image::ImageBuildOptions opt;
        // Once volume 0 is saved (its header is in the temporary file), before volume 1 reads z.bin.
        opt.pump = [&] {
            for (const std::string& name : Hidden(tmp.path()))
                if (!changed && tmp.read(name).compare(0, 8, "61X5 IMG") == 0)
                    change(Src("C/z.bin")), changed = true;
        };
        const auto r = image::BuildImage({{Src("C")}, "", 128, out}, opt);
        EXPECT_TRUE(changed);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, Src("C/z.bin") + " changed while the image was being built; its two volumes would differ");
        EXPECT_FALSE(fs::exists(out));
    }

    fs::remove_all(Src());
    File("L/a.txt", 10);
    File("L/sub/b.txt", 20);
    File("want/L/a.txt", 10);
    File("want/L/sub/b.txt", 20);
    fs::create_directory_symlink("..", Src("L/sub/loop"));
    fs::create_directory_symlink(Src("want"), Src("L/elsewhere"));
    BuildAndCompare({Src("L")}, Src("want"));
}

// SIGTERM and SIGINT during a build leave no temporary file, whether they end the process
// or the program handles them; a build removes what a killed one left beside the same
// target, but never the file of a build still running.
TEST_F(ImageBuild, SignalsAndLeftoversOfKilledBuilds) {
    File("S/a.bin", 2 << 20, 1);
    static volatile sig_atomic_t handled = 0;
    for (auto [sig, handle] : {std::pair{SIGTERM, false}, {SIGINT, false}, {SIGTERM, true}}) {
        const ChildEnd end = InChild([&] {
            if (handle)
                std::signal(sig, [](int) { handled = 1; });
            image::BuildImage({{Src("S")}, "", 128, tmp.file("first.IMG")});  // handlers taken again after it
            image::ImageBuildOptions opt;
            int calls = 0;
            opt.pump = [&] {
                if (++calls == 5)
                    ::raise(sig);
            };
            const std::string said = Outcome(image::BuildImage({{Src("S")}, "", 128, out}, opt));
            return said + (handled ? " (handled)" : "");
        });
        EXPECT_EQ(end.signal, handle ? 0 : sig) << end.said;
        EXPECT_TRUE(!handle || end.said == "1: the build was interrupted by a signal (handled)") << end.said;
        EXPECT_EQ(Hidden(tmp.path()), std::vector<std::string>{});
    }
    EXPECT_FALSE(fs::exists(out));

    for (const char* name : {".out.IMG.aB3xY9", ".out.IMG.Zz0001", ".out.IMG.toolong7", ".other.IMG.aB3xY9"})
        tmp.write(name, "left over");
    const int running = ::open(tmp.file(".out.IMG.Zz0001").c_str(), O_RDONLY);
    ASSERT_EQ(::flock(running, LOCK_EX), 0);
    ASSERT_TRUE(Build({Src("S")}).ok);
    ::close(running);
    EXPECT_EQ(Hidden(tmp.path()), (std::vector<std::string>{".other.IMG.aB3xY9", ".out.IMG.Zz0001", ".out.IMG.toolong7"}));
}

} // namespace
