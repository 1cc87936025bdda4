#pragma once
// Helpers for judging built images with the real dosfstools and mtools: run a tool,
// unpack each volume of an image file into a raw volume file, build host trees.
#include <cstdint>
#include <string>
#include <vector>

namespace imagetest {

struct ToolRun {
    int exitCode = -1;
    std::string output;  // standard output and standard error together
};

// Runs a program from an argument list (no shell), with MTOOLS_SKIP_CHECK=1.
ToolRun Run(const std::vector<std::string>& argv);

struct ImageVolume {
    uint32_t sectorSize = 0;
    uint32_t firstRecordOffset = 0;
    uint32_t recordCount = 0;
};

struct ImageContents {
    uint32_t diskSizeMB = 0;
    ImageVolume volumes[2];
};

// Reads and checks the header; false with a reason.
bool ReadImageHeader(const std::string& imagePath, ImageContents& contents, std::string& error);

// Writes volume `index` of an image file into a sparse raw file of the volume's full
// size (disk size in MB x 1 MiB), each record at its sector. False with a reason when the
// header or a record is malformed (record past the volume end, file too short).
bool ExtractVolume(const std::string& imagePath, uint32_t index, const std::string& rawPath, std::string& error);

// Writes a file of `size` bytes with a pattern that depends on `seed` and the offset.
void WritePatternFile(const std::string& path, uint64_t size, uint32_t seed);
void MakeDirs(const std::string& path);

// fsck.fat -n on a raw volume; the output when it complains, empty when clean.
std::string FsckComplaints(const std::string& rawPath);

} // namespace imagetest
