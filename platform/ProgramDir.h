#pragma once
// Relative station paths (".\misc\prefer.ini", "log\1.txt") resolve against the
// program folder: the executable's folder, or the one given with --station. Never the
// process's current directory, so tests in parallel each use a folder of their own.
#include <string>

namespace platform {

void SetProgramDir(const std::string& dir);
std::string ProgramDir();
// "misc\prefer.ini", ".\misc/prefer.ini" -> "<program dir>/misc/prefer.ini".
// An absolute path is returned with its separators turned into '/'.
std::string ProgramPath(const std::string& relative);

} // namespace platform
