#pragma once
// Whole-file replacement through a temporary file and a rename.
// Settings, lists, registry and images are replaced whole: written to a temporary file
// beside the target, flushed, then renamed over it, so a failed write never destroys
// the previous good file.
#include <string>
#include <string_view>

namespace platform {

// False on failure, with errno telling why.
bool WriteFileAtomic(const std::string& path, std::string_view bytes);
// Station text files (settings, lists, lang.ini, flash.ini) are small; one past this is no
// such file and would take minutes to read.
inline constexpr unsigned long long kMaxStationTextFile = 16ull << 20;
// Reads a whole file; false when it cannot be opened or read, and, with a line on standard
// error, when it holds more than `limit` bytes.
bool ReadWholeFile(const std::string& path, std::string& bytes, unsigned long long limit = kMaxStationTextFile);
// Creates a folder and its parents; true when it exists afterwards.
bool MakeDirs(const std::string& path);

} // namespace platform
