// The device copy of a folder against one `mcopy -s -m` of the same tree: 20000 small
// files in folders of 100 copied onto a freshly formatted 512 MiB disk file, as the
// production fills a simulated device. The sides take turns going first, each on a new
// disk after a sync. Prints the medians of both times and of their ratio.
//
//   bench_device_copy [--reps N] [--work DIR]
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "BenchCommon.h"
#include "device/HostUtil.h"
#include "platform/DriveMap.h"

namespace fs = std::filesystem;

namespace {

void WriteFile(const std::string& path, size_t size, uint32_t seed)
{
    std::vector<uint8_t> data(size);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : data)
        b = uint8_t((x = x * 1103515245u + 12345u) >> 16);
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(data.data(), 1, data.size(), f);
    std::fclose(f);
}

bool FreshDisk(const std::string& disk)
{
    fs::remove(disk);
    sync();
    return bench::RunChild({"mkfs.fat", "-F", "32", "-C", disk, std::to_string(512 * 1024)}).ok;
}

} // namespace

int main(int argc, char** argv)
{
    const bench::Options options = bench::ReadOptions(argc, argv);
    const int reps = options.reps;
    const std::string& base = options.base;
    setenv("MTOOLS_SKIP_CHECK", "1", 1);
    setenv("LC_ALL", "C.UTF-8", 1);
    std::string work = base + "/copy-bench-XXXXXX";
    if (!mkdtemp(work.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string tree = work + "/tree", disk = work + "/disk.raw";
    for (int i = 0; i < 20000; ++i) {
        const std::string dir = tree + "/folder" + std::to_string(i / 100);
        fs::create_directories(dir);
        WriteFile(dir + "/track " + std::to_string(i) + ".mp3", 1000 + size_t(i % 17) * 517, uint32_t(i));
    }
    platform::DriveMap::global().bind('E', {{}, [disk] { return disk; }, "bench disk"});

    std::vector<double> copy, tool, ratio;
    bool ok = true;
    for (int rep = 0; rep < reps && ok; ++rep) {
        double copySeconds = 0, toolSeconds = 0;
        for (int side = 0; side < 2 && ok; ++side) {
            ok = FreshDisk(disk);
            if (!ok)
                break;
            if ((side == 0) == (rep % 2 == 0)) {
                const double start = bench::Now();
                ok = CopyTree(tree, "E:\\");
                copySeconds = bench::Now() - start;
            } else {
                const bench::ChildRun run = bench::RunChild({"mcopy", "-i", disk, "-s", "-m", tree, "::/"});
                ok = run.ok;
                toolSeconds = run.seconds;
            }
        }
        if (!ok) {
            std::fprintf(stderr, "device copy: a copy failed\n");
            break;
        }
        copy.push_back(copySeconds);
        tool.push_back(toolSeconds);
        ratio.push_back(copySeconds / toolSeconds);
    }
    fs::remove_all(work);
    if (!ok)
        return 1;
    const std::string name = "device copy of 20000 small files in folders";
    bench::Figure(name + ": copy", copy, "s");
    bench::Figure(name + ": one mcopy -s -m", tool, "s");
    return bench::Figure(name + ": copy / one mcopy -s -m", ratio, "x", bench::Goal::AtMost, 2.0) ? 0 : 2;
}
