#pragma once
// Judging built images with the real dosfstools and mtools: run a tool, unpack a volume
// of an image file into a raw volume file, check it, read it back.
#include <cstdint>
#include <string>
#include <vector>

namespace imagetest {

struct ToolRun {
    int exitCode = -1;
    std::string output;  // standard output and standard error together
};
// Runs a program from an argument list (quoted, never interpreted), with MTOOLS_SKIP_CHECK=1.
ToolRun Run(const std::vector<std::string>& argv);

struct ImageContents {
    uint32_t diskSizeMB = 0;
    struct {
        uint32_t sectorSize = 0, firstRecordOffset = 0, recordCount = 0;
    } volumes[2];
};
bool ReadImageHeader(const std::string& imagePath, ImageContents& contents, std::string& error);

// Writes volume `index` into a sparse raw file of the volume's full size, each record at
// its sector; false with a reason when a record is malformed or past the volume end.
bool ExtractVolume(const std::string& imagePath, uint32_t index, const std::string& rawPath, std::string& error);

// A file of `size` bytes whose pattern depends on `seed` and the offset.
void WritePatternFile(const std::string& path, uint64_t size, uint32_t seed);

// fsck.fat -n on a raw volume: its complaints, empty when clean.
std::string FsckComplaints(const std::string& rawPath);

// Unpacks volume v of `image` into work/vol<v>.raw, expects fsck.fat to find nothing, and
// copies the volume back with mcopy -s into a fresh work/back<v>, which it returns.
std::string CheckVolume(const std::string& image, uint32_t v, const std::string& work);
void ExpectSameTree(const std::string& expected, const std::string& actual);
std::string LabelOf(const std::string& rawPath);  // mlabel -s output

} // namespace imagetest
