#pragma once
// Drive letters and drive paths ("E", "E:", "E:\Music\a.mp3") to the volume behind them.
#include <optional>
#include <string>

namespace hostutil {

struct DrivePath {
    char letter = 0;
    std::string inside; // "/Music/a.mp3", "/" for the root
};

// The letter (upper-cased) and the path inside the drive; nullopt when no letter leads.
std::optional<DrivePath> ParseDrivePath(const std::string& text);
// The device node or disk file bound to the letter; "" when none.
std::string VolumeOf(char letter);

} // namespace hostutil
