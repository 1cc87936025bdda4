// Whole builds judged by dosfstools and mtools: each volume of the image file is unpacked
// to a raw volume, checked with fsck.fat -n, read back with mcopy and compared with the
// host tree, and its label read with mlabel.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "ImageTestTools.h"
#include "image/ImageBuilder.h"
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

    void ExpectSameTree(const std::string& a, const std::string& b) {
        const auto r = imagetest::Run({"diff", "-r", a, b});
        EXPECT_EQ(r.exitCode, 0) << r.output;
    }
};

TEST_F(ImageBuild, FolderTreeReadsBackOnBothVolumes) {
    File("D/a.txt", 10);
    File("D/b.bin", 5000, 2);
    File("D/S/c.dat", 70000, 3);
    ASSERT_TRUE(Build({Src("D")}).ok);
    ExpectCleanVolumes();
    for (uint32_t v = 0; v < 2; ++v)
        ExpectSameTree(Src(), ReadBack(v));
}

} // namespace
