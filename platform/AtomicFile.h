#pragma once
// Settings, lists, registry and images are replaced whole: written to a temporary file
// beside the target, flushed, then renamed over it, so a failed write never destroys
// the previous good file.
#include <string>
#include <string_view>

namespace platform {

// False on failure, with errno telling why.
bool WriteFileAtomic(const std::string& path, std::string_view bytes);
// Reads a whole file; false when it cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::string& bytes);
// Creates a folder and its parents; true when it exists afterwards.
bool MakeDirs(const std::string& path);

} // namespace platform
