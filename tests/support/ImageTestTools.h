#pragma once
// Judging built images with the real dosfstools and mtools.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace imagetest {

struct ToolRun {
    int exitCode = -1;
    std::string output;  // standard output and standard error together
};
// Runs a program from an argument list (quoted, never interpreted), with MTOOLS_SKIP_CHECK=1.
ToolRun Run(const std::vector<std::string>& argv);

// Writes volume `index` of an image file into a sparse raw file of the volume's full size,
// each record at its sector; false with a reason when the header or a record is malformed.
bool ExtractVolume(const std::string& imagePath, uint32_t index, const std::string& rawPath, std::string& error);

// A file of `size` bytes whose pattern depends on `seed` and the offset.
void WritePatternFile(const std::string& path, uint64_t size, uint32_t seed);

// Unpacks volume v of `image` into work/vol<v>.raw, expects fsck.fat -n to find nothing,
// and copies the volume back with mcopy -s into a fresh work/back<v>, which it returns.
std::string CheckVolume(const std::string& image, uint32_t v, const std::string& work);
void ExpectSameTree(const std::string& expected, const std::string& actual);
// Both volumes: CheckVolume, the tree read back equals `expected`, mlabel -s shows
// `label`; and the header names `mb` unless it is 0.
void ExpectImageHolds(const std::string& image, const std::string& work, const std::string& expected,
                      const std::string& label, uint32_t mb = 0);

struct ChildEnd {
    int signal = 0;    // the signal that ended the child, 0 when it exited
    std::string said;  // what it wrote
};
// Runs `body` in a child process, for limits and signals that must not touch the tests.
ChildEnd InChild(const std::function<std::string()>& body);

} // namespace imagetest
