// The image builder against mkfs.fat + mcopy building the same trees: 2000 and 20000
// small files in folders of 100, 1 GiB in 4 files, an album-style tree (folders of 40
// tracks named "NN - Artist - Title.mp3", a few KiB to a few MiB each), and 20000 long
// names in one folder sharing their start: all of it, or 6 characters but not 8 (their
// aliases compete for the same "~N" tails; mtools is not run on those, and the figure is
// the builder's time against the same-prefix tree's). Both sides build the two volumes an
// image file holds (512- and 1024-byte sectors); each side runs as its own processes,
// after a sync, and the sides take turns going first. Prints per tree the medians of the
// builder's time, the tools' time, their ratio (of each repetition's pair) and the
// builder's peak memory.
//
//   bench_image_build [--reps N] [--work DIR]
//   bench_image_build --build OUT MB TREE      (one build, as the benchmark runs it)
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "BenchCommon.h"
#include "image/ImageBuilder.h"

namespace fs = std::filesystem;

namespace {

struct Tree {
    std::string name;
    std::string folder;
    uint32_t diskMB;
    double ratioTarget;     // 0: none
    double builderBelow;    // seconds, 0: none
    double peakTarget;      // MiB, 0: none
    double toolsLimit;      // seconds a tools run may take before it is stopped, 0: none
    bool tools = true;      // compared with mkfs.fat + mcopy
};

void WriteFile(const std::string& path, size_t size, uint32_t seed)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    std::vector<uint8_t> block(1 << 16);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t done = 0; done < size;) {
        const size_t n = std::min(block.size(), size - done);
        for (size_t i = 0; i < n; ++i) {
            x = x * 1103515245u + 12345u;
            block[i] = uint8_t(x >> 16);
        }
        std::fwrite(block.data(), 1, n, f);
        done += n;
    }
    std::fclose(f);
}

void SmallFiles(const std::string& root, int count)
{
    for (int i = 0; i < count; ++i) {
        const std::string dir = root + "/folder" + std::to_string(i / 100);
        fs::create_directories(dir);
        WriteFile(dir + "/track " + std::to_string(i) + ".mp3", 1000 + size_t(i % 17) * 517, uint32_t(i));
    }
}

// Folders of 40 tracks, sizes from 3 KiB to 3 MiB.
void Albums(const std::string& root, int albums)
{
    static const size_t kSizes[] = {3 << 10, 8 << 10, 20 << 10, 60 << 10, 150 << 10,
                                    400 << 10, 900 << 10, 1500 << 10, 2200 << 10, 3 << 20};
    for (int a = 0; a < albums; ++a) {
        const std::string dir = root + "/Artist " + std::to_string(a) + " - Album " + std::to_string(a);
        fs::create_directories(dir);
        for (int t = 1; t <= 40; ++t) {
            char name[128];
            std::snprintf(name, sizeof name, "/%02d - Artist %d - Title of track %d.mp3", t, a, t);
            WriteFile(dir + name, kSizes[(a * 7 + t) % 10] + size_t(t) * 333, uint32_t(a * 100 + t));
        }
    }
}

int Build(const std::string& out, uint32_t mb, const std::string& tree)
{
    image::ImageBuildRequest request;
    request.hostPaths = {tree};
    request.label = "BENCH";
    request.diskSizeMB = mb;
    request.outputPath = out;
    const image::ImageBuildResult r = image::BuildImage(request);
    if (!r.ok)
        std::fprintf(stderr, "image build failed: %s\n", r.error.c_str());
    return r.ok ? 0 : 1;
}

// mkfs.fat and mcopy for both volumes; false when a tool fails or the limit passes.
bool RunTools(const Tree& tree, const std::string& work, double& seconds)
{
    const double start = bench::Now();
    for (uint32_t sectorSize : {512u, 1024u}) {
        const std::string raw = work + "/tools" + std::to_string(sectorSize) + ".raw";
        fs::remove(raw);
        if (!bench::RunChild({"mkfs.fat", "-S", std::to_string(sectorSize), "-n", "BENCH", "-C", raw,
                              std::to_string(uint64_t(tree.diskMB) * 1024)}).ok)
            return false;
        std::vector<std::string> copy = {"mcopy", "-i", raw, "-s", "-Q", tree.folder, "::/"};
        if (tree.toolsLimit > 0)
            copy.insert(copy.begin(), {"timeout", std::to_string(int(tree.toolsLimit))});
        const bench::ChildRun run = bench::RunChild(copy);
        if (!run.ok) {
            seconds = bench::Now() - start;
            return false;
        }
    }
    seconds = bench::Now() - start;
    return true;
}

void Clean(const std::string& work)
{
    for (const char* f : {"/builder.IMG", "/tools512.raw", "/tools1024.raw"})
        fs::remove(work + f);
    sync();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && !std::strcmp(argv[1], "--build"))
        return Build(argv[2], uint32_t(std::atoi(argv[3])), argv[4]);
    const bench::Options options = bench::ReadOptions(argc, argv);
    const int reps = options.reps;
    const std::string& base = options.base;
    setenv("MTOOLS_SKIP_CHECK", "1", 1);
    std::string work = base + "/image-bench-XXXXXX";
    if (!mkdtemp(work.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string self = fs::canonical("/proc/self/exe").string();

    // mtools needs minutes for each volume of the long names (its ~N search tries every
    // earlier tail): its runs stop after a minute, so that figure is a lower bound.
    std::vector<Tree> trees = {
        {"2000 small files", work + "/small2000", 512, 0.5, 0, 0, 0},
        {"20000 small files", work + "/small20000", 512, 0.5, 0, 0, 0},
        {"1 GiB in 4 files", work + "/large", 8192, 1.0, 0, 256, 0},
        {"20000 same-prefix long names in one folder", work + "/names", 512, 0, 3.0, 0, 60},
        {"album-style tree (25 folders of 40 tracks)", work + "/albums", 2048, 0.5, 0, 0, 0},
        {"20000 long names sharing 6 but not 8 characters in one folder", work + "/names6", 512, 0, 0, 0, 0, false},
    };
    SmallFiles(trees[0].folder, 2000);
    SmallFiles(trees[1].folder, 20000);
    fs::create_directories(trees[2].folder);
    for (int i = 0; i < 4; ++i)
        WriteFile(trees[2].folder + "/movie" + std::to_string(i) + ".bin", size_t(256) << 20, uint32_t(i));
    fs::create_directories(trees[3].folder);
    for (int i = 0; i < 20000; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "/Same prefix name %05d.txt", i);
        WriteFile(trees[3].folder + name, 64, uint32_t(i));
    }

    Albums(trees[4].folder, 25);
    fs::create_directories(trees[5].folder);
    for (int i = 0; i < 20000; ++i) {
        static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
        char name[64];
        std::snprintf(name, sizeof name, "/Shared%c%c name %05d.txt", kChars[i % 36], kChars[i / 36 % 36], i);
        WriteFile(trees[5].folder + name, 64, uint32_t(i));
    }

    struct Results {
        std::vector<double> builder, tools, ratio, peak;
        bool toolsStopped = false;
    };
    std::vector<Results> results(trees.size());
    bool ok = true;
    for (int rep = 0; rep < reps && ok; ++rep) {
        for (size_t t = 0; t < trees.size() && ok; ++t) {
            const Tree& tree = trees[t];
            Results& r = results[t];
            double builder = 0, tools = 0;
            // The tools that only give a lower bound run once.
            const bool runTools = tree.tools && !(r.toolsStopped && tree.toolsLimit > 0);
            for (int side = 0; side < 2; ++side) {
                const bool builderTurn = (side == 0) == (rep % 2 == 0);
                Clean(work);
                if (builderTurn) {
                    const bench::ChildRun run = bench::RunChild(
                        {self, "--build", work + "/builder.IMG", std::to_string(tree.diskMB), tree.folder});
                    if (!run.ok) {
                        std::fprintf(stderr, "%s: the image builder failed\n", tree.name.c_str());
                        ok = false;
                        break;
                    }
                    builder = run.seconds;
                    r.peak.push_back(run.peakMiB);
                } else if (runTools) {
                    if (!RunTools(tree, work, tools)) {
                        if (tree.toolsLimit > 0 && tools >= tree.toolsLimit) {
                            r.toolsStopped = true;
                        } else {
                            std::fprintf(stderr, "%s: mkfs.fat or mcopy failed\n", tree.name.c_str());
                            ok = false;
                            break;
                        }
                    }
                }
            }
            if (!ok)
                break;
            r.builder.push_back(builder);
            if (runTools) {
                r.tools.push_back(tools);
                if (!r.toolsStopped)
                    r.ratio.push_back(builder / tools);
            }
        }
    }
    Clean(work);
    fs::remove_all(work);
    if (!ok)
        return 1;

    bool met = true;
    for (size_t t = 0; t < trees.size(); ++t) {
        const Tree& tree = trees[t];
        const Results& r = results[t];
        const std::string name = "image " + tree.name + " (" + std::to_string(tree.diskMB) + " MB)";
        met &= bench::Figure(name + ": builder", r.builder, "s", tree.builderBelow > 0 ? bench::Goal::Below
                                                                                          : bench::Goal::None,
                             tree.builderBelow);
        if (!tree.tools) {
            // Against the same-prefix names, repetition by repetition.
            std::vector<double> ratio;
            for (size_t i = 0; i < r.builder.size() && i < results[3].builder.size(); ++i)
                ratio.push_back(r.builder[i] / results[3].builder[i]);
            met &= bench::Figure(name + ": builder / same-prefix names builder", ratio, "x", bench::Goal::AtMost, 1.5);
        } else if (r.toolsStopped) {
            bench::Figure(name + ": mkfs.fat + mcopy stopped at (lower bound)", r.tools, "s");
            bench::Figure(name + ": builder / mkfs.fat + mcopy (upper bound)",
                          {bench::Median(r.builder) / bench::Median(r.tools)}, "x");
        } else {
            bench::Figure(name + ": mkfs.fat + mcopy", r.tools, "s");
            met &= bench::Figure(name + ": builder / mkfs.fat + mcopy", r.ratio, "x",
                                 tree.ratioTarget > 0 ? bench::Goal::AtMost : bench::Goal::None, tree.ratioTarget);
        }
        met &= bench::Figure(name + ": builder peak memory", r.peak, "MiB",
                             tree.peakTarget > 0 ? bench::Goal::AtMost : bench::Goal::None, tree.peakTarget);
    }
    return met ? 0 : 2;
}
