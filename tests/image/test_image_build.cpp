// Whole builds judged by dosfstools and mtools: each volume of the image file is unpacked
// to a raw volume, checked with fsck.fat -n, read back with mcopy and compared with the
// host tree, and its label read with mlabel.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "ImageTestTools.h"
#include "image/FatFiles.h"
#include "image/ImageFile.h"
#include "image/ImageBuilder.h"
#include "platform/AtomicFile.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kSmallChunk = 256 * 1024;

struct Built {
    std::string image;
    std::string raw[2];
};

class ImageBuild : public ::testing::Test {
protected:
    testsupport::TempDir tmp;

    std::string Src(const std::string& rel = "") const { return tmp.file("src/" + rel); }

    void File(const std::string& rel, uint64_t size, uint32_t seed = 1) {
        fs::create_directories(fs::path(Src(rel)).parent_path());
        imagetest::WritePatternFile(Src(rel), size, seed);
    }

    image::ImageBuildResult Build(const std::vector<std::string>& paths, const std::string& label = "PASS WD",
                                  uint32_t mb = 128, const std::string& out = "out.IMG") {
        image::ImageBuildRequest req;
        req.hostPaths = paths;
        req.label = label;
        req.diskSizeMB = mb;
        req.outputPath = tmp.file(out);
        image::ImageBuildOptions opt;
        opt.chunkBytes = kSmallChunk;
        opt.maxChunks = 1u << 16;
        return image::BuildImage(req, opt);
    }

    // Unpacks both volumes and checks each with fsck.fat.
    void ExpectCleanVolumes(const std::string& out = "out.IMG") {
        for (uint32_t v = 0; v < 2; ++v) {
            const std::string raw = tmp.file("vol" + std::to_string(v) + ".raw");
            std::string error;
            ASSERT_TRUE(imagetest::ExtractVolume(tmp.file(out), v, raw, error)) << error;
            EXPECT_EQ(imagetest::FsckComplaints(raw), "") << "volume " << v;
        }
    }

    std::string Raw(uint32_t v) const { return tmp.file("vol" + std::to_string(v) + ".raw"); }

    // mcopy -s of the whole volume into a fresh folder; returns that folder.
    std::string ReadBack(uint32_t v) {
        const std::string dest = tmp.file("back" + std::to_string(v));
        fs::remove_all(dest);
        fs::create_directories(dest);
        const auto r = imagetest::Run({"mcopy", "-i", Raw(v), "-s", "-n", "-Q", "::/", dest});
        EXPECT_EQ(r.exitCode, 0) << r.output;
        return dest;
    }

    std::string Label(uint32_t v) {
        const auto r = imagetest::Run({"mlabel", "-i", Raw(v), "-s", "::"});
        EXPECT_EQ(r.exitCode, 0) << r.output;
        return r.output;
    }

    // Builds, then checks both volumes: fsck.fat clean, mcopy gives back `expected`.
    void BuildAndCompare(const std::vector<std::string>& paths, const std::string& expected, uint32_t mb = 128,
                         const std::string& label = "PASS WD") {
        const auto r = Build(paths, label, mb);
        ASSERT_TRUE(r.ok) << r.error;
        ExpectCleanVolumes();
        for (uint32_t v = 0; v < 2; ++v)
            ExpectSameTree(expected, ReadBack(v));
    }

    // Files left in the output folder besides those named.
    std::vector<std::string> Leftovers() const {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(tmp.path()))
            if (e.path().filename() != "src")
                out.push_back(e.path().filename().string());
        return out;
    }

    void ExpectSameTree(const std::string& a, const std::string& b) {
        const auto r = imagetest::Run({"diff", "-r", a, b});
        EXPECT_EQ(r.exitCode, 0) << r.output;
    }
};

TEST_F(ImageBuild, FolderTreeReadsBackWithItsLabel) {
    File("D/a.txt", 10);
    File("D/b.bin", 5000, 2);
    File("D/S/c.dat", 70000, 3);
    BuildAndCompare({Src("D")}, Src());
    for (uint32_t v = 0; v < 2; ++v)
        EXPECT_NE(Label(v).find("Volume label is PASS WD"), std::string::npos) << Label(v);
}

TEST_F(ImageBuild, ImageFileHeaderAndRecordOffsets) {
    File("f.txt", 3000);
    ASSERT_TRUE(Build({Src("f.txt")}, "X", 256).ok);
    EXPECT_NE(fs::status(tmp.file("out.IMG")).permissions() & fs::perms::others_read, fs::perms::none)
        << "not left private like a temporary file";
    imagetest::ImageContents c;
    std::string error;
    ASSERT_TRUE(imagetest::ReadImageHeader(tmp.file("out.IMG"), c, error)) << error;
    EXPECT_EQ(c.diskSizeMB, 256u);
    EXPECT_EQ(c.volumes[0].sectorSize, 512u);
    EXPECT_EQ(c.volumes[0].firstRecordOffset, 512u);
    EXPECT_EQ(c.volumes[1].sectorSize, 1024u);
    EXPECT_EQ(c.volumes[1].firstRecordOffset, 512u + c.volumes[0].recordCount * 516u);
    EXPECT_EQ(fs::file_size(tmp.file("out.IMG")),
              c.volumes[1].firstRecordOffset + uint64_t(c.volumes[1].recordCount) * 1028u);
    // Only touched sectors are stored: boot sector, both FATs, the root, the file.
    EXPECT_LT(c.volumes[0].recordCount, 1000u);
    std::string header;
    {
        std::ifstream in(tmp.file("out.IMG"), std::ios::binary);
        header.resize(512);
        in.read(header.data(), 512);
    }
    EXPECT_EQ(header.substr(0, 12), std::string("61X5 IMG\0\0\0\0", 12));
    EXPECT_EQ(header.substr(28, 4), std::string(4, '\0'));
    EXPECT_EQ(header.substr(44), std::string(468, '\0'));
    ExpectCleanVolumes();
}

TEST_F(ImageBuild, LongShortAndUnusualNames) {
    const std::vector<std::string> names = {
        "abcdefgh.txt",                      // 12 units, a plain 8.3 name
        "abcdefghi.txt",                     // 13
        "abcdefghij.txt",                    // 14
        "abcdefghijklmnopqrstuv.txt",        // 26: two full pieces, no terminator
        "abcdefghijklmnopqrstuvw.txt",       // 27
        std::string(251, 'n') + ".txt",      // 255
        "readme.txt", "MixedCase.Txt", "a.b.c.d.txt", "archive.tar.gz",
        " leading blank.txt", "x+y=z;w.txt", "many   blanks  .txt",
        "\xE4\xB8\xAD\xE6\x96\x87\xE5\x90\x8D\xE5\xAD\x97.mp3",            // CJK
        "\xC3\x84rger \xC3\xBC" "ber.txt",
    };
    uint32_t seed = 1;
    for (const std::string& n : names)
        File("N/" + n, seed * 37, seed), ++seed;
    for (int i = 1; i <= 12; ++i)  // aliases LONGFI~1 .. LONGFI~9, then LONGF~10 ..
        File("N/longfilename" + std::to_string(100 + i) + ".txt", uint64_t(i), uint32_t(i));
    // mtools spells each half of a surrogate pair as '_', so that file is compared by
    // content (its UTF-16 units are checked on the volume itself in the entry tests).
    const std::string pair = "\xF0\x9F\x98\x80 smile \xF0\x9F\x8E\xB5.txt";
    File("P/" + pair, 999, 77);
    const auto built = Build({Src("N"), Src("P/" + pair)});
    ASSERT_TRUE(built.ok) << built.error;
    ExpectCleanVolumes();
    for (uint32_t v = 0; v < 2; ++v) {
        const std::string back = ReadBack(v);
        const std::string moved = back + "/__ smile __.txt";
        ASSERT_TRUE(fs::exists(moved));
        EXPECT_EQ(imagetest::Run({"cmp", moved, Src("P/" + pair)}).exitCode, 0);
        fs::remove(moved);
        ExpectSameTree(Src("N"), back + "/N");
    }

    const auto r = imagetest::Run({"mdir", "-i", Raw(0), "::/N"});
    EXPECT_NE(r.output.find("LONGFI~9 TXT"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("LONGF~10 TXT"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("LONGF~12 TXT"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("README   TXT"), std::string::npos) << r.output;
}

TEST_F(ImageBuild, FoldersDifferingOnlyInCaseAreOneFolder) {
    File("one/Music/a.mp3", 10, 1);
    File("two/MUSIC/b.mp3", 20, 2);
    File("want/Music/a.mp3", 10, 1);
    File("want/Music/b.mp3", 20, 2);
    const auto r = Build({Src("one/Music"), Src("two/MUSIC")});
    ASSERT_TRUE(r.ok) << r.error;
    ExpectCleanVolumes();
    for (uint32_t v = 0; v < 2; ++v)
        ExpectSameTree(Src("want"), ReadBack(v));
}

TEST_F(ImageBuild, HiddenEmptyAndDirectlyListedEntries) {
    File("D/visible.txt", 5);
    File("D/.hidden", 5);
    File("D/.hiddendir/x.txt", 5);
    File("D/onlyhidden/.secret", 5);
    fs::create_directories(Src("D/empty/emptier"));
    File(".profile", 7);
    ASSERT_TRUE(Build({Src("D"), Src(".profile")}).ok);
    ExpectCleanVolumes();
    for (uint32_t v = 0; v < 2; ++v) {
        const std::string back = ReadBack(v);
        EXPECT_TRUE(fs::exists(back + "/D/visible.txt"));
        EXPECT_TRUE(fs::exists(back + "/.profile")) << "a hidden file listed directly is copied";
        EXPECT_FALSE(fs::exists(back + "/D/.hidden"));
        EXPECT_FALSE(fs::exists(back + "/D/.hiddendir"));
        EXPECT_FALSE(fs::exists(back + "/D/onlyhidden")) << "folders appear with their first file";
        EXPECT_FALSE(fs::exists(back + "/D/empty"));
    }
}

TEST_F(ImageBuild, GrowingFoldersAndDeepTrees) {
    // 300 names of two slots each: the folder grows across five 4 KiB clusters.
    for (int i = 0; i < 300; ++i)
        File("T/wide/file" + std::to_string(i) + ".txt", uint64_t(i % 3), uint32_t(i));
    std::string deep = "T/deep";
    for (int level = 0; level < 40; ++level) {
        deep += "/level " + std::to_string(level);
        if (level % 10 == 9)
            File(deep + "/at" + std::to_string(level) + ".txt", 100, uint32_t(level));
    }
    BuildAndCompare({Src("T")}, Src());
}

TEST_F(ImageBuild, FileSizesAroundSectorAndClusterBounds) {
    // 128 MB: 4 KiB clusters; 1024 MB: 32 KiB clusters. Sector sizes 512 and 1024.
    for (uint32_t mb : {128u, 1024u}) {
        SCOPED_TRACE(mb);
        fs::remove_all(Src());
        const uint64_t cluster = mb == 128 ? 4096 : 32768;
        uint32_t seed = 1;
        for (uint64_t size : {uint64_t(0), uint64_t(1), uint64_t(511), uint64_t(512), uint64_t(513), uint64_t(1023),
                              uint64_t(1024), uint64_t(1025), cluster - 1, cluster, cluster + 1, 3 * cluster + 7})
            File("S/size" + std::to_string(size) + ".bin", size, seed++);
        BuildAndCompare({Src("S")}, Src(), mb);
    }
}

TEST_F(ImageBuild, RootFillsUpAtFiveHundredTwelveSlots) {
    // The label takes one slot, each short-named file two: 255 files fit, 256 do not.
    std::vector<std::string> paths;
    for (int i = 0; i < 256; ++i) {
        File("R/r" + std::to_string(1000 + i), 1, uint32_t(i));
        paths.push_back(Src("R/r" + std::to_string(1000 + i)));
    }
    const auto full = Build(paths);
    EXPECT_FALSE(full.ok);
    EXPECT_EQ(full.failedStage, image::ImageBuildStage::Create);
    EXPECT_NE(full.error.find("root folder is full"), std::string::npos) << full.error;
    EXPECT_TRUE(Leftovers().empty());

    paths.pop_back();
    fs::remove(Src("R/r1255"));
    BuildAndCompare(paths, Src("R"));
}

TEST_F(ImageBuild, Fat32RootGrowsAndLowerCaseLabelIsUpperCased) {
    std::vector<std::string> paths;
    for (int i = 0; i < 300; ++i) {
        File("R/root file " + std::to_string(i), 3, uint32_t(i));
        paths.push_back(Src("R/root file " + std::to_string(i)));
    }
    BuildAndCompare(paths, Src("R"), 2048, "music");
    EXPECT_NE(Label(0).find("Volume label is MUSIC"), std::string::npos) << Label(0);
    const auto info = imagetest::Run({"minfo", "-i", Raw(1), "::"});
    EXPECT_NE(info.output.find("FAT32"), std::string::npos);
}

TEST_F(ImageBuild, LargestSizeBuildsCleanly) {
    File("L/one.bin", 100000, 1);
    File("L/sub/two.bin", 5, 2);
    BuildAndCompare({Src("L")}, Src(), 8192, "BIG");
    EXPECT_NE(Label(1).find("Volume label is BIG"), std::string::npos) << Label(1);
}

TEST_F(ImageBuild, EmptyLabelLeavesNoLabel) {
    File("a", 1);
    BuildAndCompare({Src("a")}, Src(), 128, "");
    EXPECT_NE(Label(0).find("has no label"), std::string::npos) << Label(0);
}

TEST_F(ImageBuild, FailuresLeaveThePreviousImageUntouched) {
    tmp.write("out.IMG", "previous image");
    const auto check = [&](const image::ImageBuildResult& r, const std::string& needle) {
        EXPECT_FALSE(r.ok);
        EXPECT_NE(r.error.find(needle), std::string::npos) << r.error;
        EXPECT_EQ(tmp.read("out.IMG"), "previous image");
        EXPECT_EQ(Leftovers(), std::vector<std::string>{"out.IMG"});
    };
    File("A/Readme.txt", 1);
    File("A/README.TXT", 2);
    check(Build({Src("A")}), "already exists");
    File("B/x.txt", 1);
    File("C/x.txt", 1);
    check(Build({Src("B/x.txt"), Src("C/x.txt")}), "already exists");
    check(Build({Src("missing.txt")}), "cannot open");
    File("bad/na:me.txt", 1);
    check(Build({Src("bad")}), "na:me.txt");
    check(Build({Src("B")}, "A*B"), "label");
    check(Build({Src("B")}, "PASS", 100), "multiple of 32");

    // 4 GiB and more cannot be one FAT file; checked before anything is copied.
    {
        std::ofstream(Src("huge.bin"));
        fs::resize_file(Src("huge.bin"), 4ull << 30);
    }
    check(Build({Src("huge.bin")}), "4 GiB");

    // 130 MB of data cannot fit a 128 MB volume.
    {
        std::ofstream(Src("big.bin"));
        fs::resize_file(Src("big.bin"), 130ull << 20);
    }
    check(Build({Src("big.bin")}), "volume is full");
}

TEST_F(ImageBuild, ImageSavedIntoAListedFolderIsNotCopiedIntoItself) {
    File("D/a.txt", 100);
    image::ImageBuildRequest req;
    req.hostPaths = {Src("D")};
    req.diskSizeMB = 128;
    req.outputPath = Src("D/out.IMG");
    const auto r = image::BuildImage(req);
    ASSERT_TRUE(r.ok) << r.error;
    fs::rename(Src("D/out.IMG"), tmp.file("out.IMG"));
    ExpectCleanVolumes();
    for (uint32_t v = 0; v < 2; ++v)
        ExpectSameTree(Src(), ReadBack(v));
}

TEST_F(ImageBuild, StoreThatCannotGrowFailsClearly) {
    File("f.bin", 1 << 20);
    image::ImageBuildRequest req;
    req.hostPaths = {Src("f.bin")};
    req.diskSizeMB = 128;
    req.outputPath = tmp.file("out.IMG");
    image::ImageBuildOptions opt;
    opt.chunkBytes = 64 * 1024;
    opt.maxChunks = 8;
    const auto r = image::BuildImage(req, opt);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find("sector store"), std::string::npos) << r.error;
    EXPECT_FALSE(fs::exists(req.outputPath));
}

// Positions past 4 GiB: a file placed in the last clusters of an 8 GiB volume.
TEST_F(ImageBuild, FileBeyondFourGiB) {
    image::RamDisk store(1 << 20, 1u << 14);
    image::FatVolume volume(store);
    std::string error;
    ASSERT_TRUE(volume.CreateVolume(uint32_t((8192ull << 20) / 512), 512, &error)) << error;
    image::FatFiles files(volume);
    ASSERT_TRUE(files.SetVolumeLabel("FAR"));
    volume.nextFreeHint = volume.clusterCount - 20;
    File("far/away.bin", 200000, 9);
    std::string data;
    platform::ReadWholeFile(Src("far/away.bin"), data);
    auto h = files.FileCreate({"far", "away.bin"});
    ASSERT_TRUE(h) << files.lastError();
    ASSERT_EQ(files.FileWrite(reinterpret_cast<const uint8_t*>(data.data()), uint32_t(data.size()), *h), data.size());
    EXPECT_GT(volume.ClusterPos(h->currentCluster), 4ull << 30);
    ASSERT_TRUE(files.FileClose(std::move(h)));
    ASSERT_TRUE(volume.Flush());
    ASSERT_TRUE(image::SaveImageFile(store, tmp.file("out.IMG"), 0, 8192, &error)) << error;
    ASSERT_TRUE(imagetest::ExtractVolume(tmp.file("out.IMG"), 0, Raw(0), error)) << error;
    EXPECT_EQ(imagetest::FsckComplaints(Raw(0)), "");
    ExpectSameTree(Src(), ReadBack(0));
}

} // namespace
