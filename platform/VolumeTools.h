#pragma once
// FAT volume work on an unmounted device node or a disk file: format, recognise, make
// folders and copy files onto it, check it, by dosfstools and mtools; the label by our own
// code (FatLabel.h), in the station's code page. Every tool runs from an argument list with
// a time limit; a missing tool, a vanished volume or a time-out is a failure with a
// message, never a hang.
#include "platform/SystemLanguage.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct VolumeToolConfig {
    // Folders searched for the tools (colon-separated); "" = PATH and the sbin folders.
    std::string searchPath;
    uint32_t formatTimeMs = 120000; // mkfs.fat
    uint32_t toolTimeMs = 30000;    // labels, information, folders
    uint32_t copyTimeMs = 60000;    // one file copy, plus copyMsPerMiB for each MiB of it
    uint32_t copyMsPerMiB = 1000;
};

// The settings every call uses (tests narrow them); safe from any thread.
void SetVolumeToolConfig(const VolumeToolConfig& config);
VolumeToolConfig GetVolumeToolConfig();

struct ToolOutcome {
    bool ok = false;
    bool timedOut = false;
    bool waitFailed = false; // the tool's end could not be waited for (it was stopped)
    std::string message; // what went wrong, for logs; "" when ok
};

// FAT flag of the format runner: 255 = FAT with 8192-byte clusters, 0 = FAT (12 or 16
// bits, never 32), any other value = FAT32. quick = false adds a bad-block read check.
// stdinPath (may be "") is fed to the tool's standard input.
ToolOutcome FormatVolume(const std::string& volume, uint32_t fatFlag, bool quick, const std::string& stdinPath = "",
                         std::optional<uint32_t> timeLimitMs = std::nullopt);

// Writes the label in code page cp with our own FAT code (see FatLabel.h); "" removes it.
// A label FAT cannot hold is refused with the reason and the volume is left as it was.
ToolOutcome WriteVolumeLabel(const std::string& volume, const std::string& label, CodePage cp = StationCodePage());
// The label decoded from code page cp; "" when the volume has none ("NO NAME"); nullopt
// when it cannot be read.
std::optional<std::string> ReadVolumeLabel(const std::string& volume, CodePage cp = StationCodePage());

// True when a FAT file system is recognised on the volume.
bool IsFatVolume(const std::string& volume);

// Paths inside the volume are written "/FOLDER/NAME" ("\" is taken as well).
bool VolumeFolderExists(const std::string& volume, const std::string& folder);
ToolOutcome MakeVolumeFolder(const std::string& volume, const std::string& folder);
// Copies a host file onto the volume, overwriting what is there and keeping its
// modification time.
ToolOutcome CopyFileToVolume(const std::string& volume, const std::string& hostFile, const std::string& target);
// Copies host files into an existing folder of the volume under their own names, in the
// order given, overwriting and keeping modification times as CopyFileToVolume does, with
// as few tool runs as the command line allows. A file that is not there or not a file
// ends the copy: the files before it are copied, none after it. A run the tool fails is
// reported with the tool's message, which names the file. `copied` (when given) counts
// the files of the runs that succeeded.
ToolOutcome CopyFilesToVolume(const std::string& volume, const std::vector<std::string>& hostFiles,
                              const std::string& targetFolder, size_t* copied = nullptr);

// fsck.fat repairing the volume (repair = false only reads). ok only when it ended by itself
// with status 0.
ToolOutcome CheckVolume(const std::string& volume, uint32_t timeLimitMs, bool repair = true);

} // namespace platform
