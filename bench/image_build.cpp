// Times the image builder against mkfs.fat followed by mcopy for the same tree: 2000
// small files, then a few large ones. Both sides build two volumes (512- and 1024-byte
// sectors), as an image file holds both. Prints both times and their ratio.
//
//   bench_image_build [--small N] [--large-mb M]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "image/ImageBuilder.h"

extern char** environ;
namespace fs = std::filesystem;

namespace {

int Run(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void WriteFile(const std::string& path, size_t size, uint32_t seed) {
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

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

bool Compare(const char* title, const std::string& tree, const std::string& work, uint32_t mb) {
    image::ImageBuildRequest req;
    req.hostPaths = {tree};
    req.label = "BENCH";
    req.diskSizeMB = mb;
    req.outputPath = work + "/bench.IMG";
    // Both sides start with no dirty pages waiting, so neither pays for the other's writeback.
    sync();
    auto start = std::chrono::steady_clock::now();
    const image::ImageBuildResult r = image::BuildImage(req);
    const double ours = Seconds(start);
    if (!r.ok) {
        std::fprintf(stderr, "%s: image build failed: %s\n", title, r.error.c_str());
        return false;
    }

    sync();
    start = std::chrono::steady_clock::now();
    for (uint32_t sectorSize : {512u, 1024u}) {
        const std::string raw = work + "/bench" + std::to_string(sectorSize) + ".raw";
        fs::remove(raw);
        if (Run({"mkfs.fat", "-S", std::to_string(sectorSize), "-n", "BENCH", "-C", raw,
                 std::to_string(uint64_t(mb) * 1024)}) != 0 ||
            Run({"mcopy", "-i", raw, "-s", "-Q", tree, "::/"}) != 0) {
            std::fprintf(stderr, "%s: mkfs.fat or mcopy failed\n", title);
            return false;
        }
    }
    const double tools = Seconds(start);
    std::printf("%-28s image builder %8.3f s   mkfs.fat + mcopy %8.3f s   ratio %.2f\n", title, ours, tools,
                tools > 0 ? ours / tools : 0.0);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    int small = 2000;
    int largeMB = 64;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--small"))
            small = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--large-mb"))
            largeMB = std::atoi(argv[i + 1]);
    }
    setenv("MTOOLS_SKIP_CHECK", "1", 1);
    std::string work = (fs::temp_directory_path() / "image-bench-XXXXXX").string();
    if (!mkdtemp(work.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    bool ok = true;
    {
        const std::string tree = work + "/small";
        for (int i = 0; i < small; ++i) {
            const std::string dir = tree + "/folder" + std::to_string(i / 100);
            fs::create_directories(dir);
            WriteFile(dir + "/track " + std::to_string(i) + ".mp3", 1000 + size_t(i % 17) * 517, uint32_t(i));
        }
        ok = Compare((std::to_string(small) + " small files").c_str(), tree, work, 256) && ok;
    }
    {
        const std::string tree = work + "/large";
        fs::create_directories(tree);
        for (int i = 0; i < 4; ++i)
            WriteFile(tree + "/movie" + std::to_string(i) + ".bin", size_t(largeMB) << 20, uint32_t(i));
        ok = Compare(("4 files of " + std::to_string(largeMB) + " MB").c_str(), tree, work, 1024) && ok;
    }
    fs::remove_all(work);
    return ok ? 0 : 1;
}
