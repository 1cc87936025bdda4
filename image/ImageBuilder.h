#pragma once
// Builds a disk image file from host files and folders: the same FAT volume twice, with
// 512-byte and with 1024-byte sectors, each holding the label and the listed entries.
// A listed folder lands in the image root under its own name with everything below it
// (files before subfolders, each sorted without regard to case; names starting with "."
// inside a listed folder are hidden and skipped, linked folders are not entered); a listed
// file lands in the root. Folders appear when their first file is copied, so a folder with
// no visible file anywhere below it is left out. The folders are listed once for both
// volumes, and a file that reads differently the second time fails the build.
//
// The file is written beside the target and renamed over it only when both volumes are
// complete, so a failed build leaves no partial image at the target path; SIGINT and
// SIGTERM during a build remove it too, and a build removes what a killed one left.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "image/RamDisk.h"

namespace image {

constexpr uint32_t kImageMinSizeMB = 128;
constexpr uint32_t kImageMaxSizeMB = 8192;
constexpr uint32_t kImageSizeStepMB = 32;
constexpr uint32_t kImageSectorSizes[2] = {512, 1024};

struct ImageBuildRequest {
    std::vector<std::string> hostPaths;  // files and folders, in list order
    std::string label;                   // up to 11 characters; empty for none
    uint32_t diskSizeMB = 256;           // 128 .. 8192, a multiple of 32
    std::string outputPath;
};

enum class ImageBuildStage {
    None,    // success
    Create,  // the volume could not be set up, or the list could not be copied into it
    Output,  // the image file could not be written
};

struct ImageBuildResult {
    bool ok = false;
    ImageBuildStage failedStage = ImageBuildStage::None;
    uint32_t failedVolume = 0;
    std::string error;  // what failed and why, naming the host, image or record file concerned
};

struct ImageBuildOptions {
    uint32_t chunkBytes = RamDisk::kDefaultChunkBytes;
    uint32_t maxChunks = RamDisk::kDefaultMaxChunks;
    // Runs regularly (per file block, per folder entry, per saved chunk) so a window can
    // keep painting during a long build.
    std::function<void()> pump;
};

ImageBuildResult BuildImage(const ImageBuildRequest& request, const ImageBuildOptions& options = {});

// The label as it goes onto the volume (upper case); false with a reason, naming the
// label, when it cannot be a FAT volume label.
bool NormaliseVolumeLabel(const std::string& label, std::string& normalised, std::string& reason);

} // namespace image
