#pragma once
// Host-side helpers of the production: the event log, formatting, labelling and checking
// a drive, the USB port identity, the tool's registry values, the folder chooser, copying
// folders onto a drive and setting bitmap bits.
//
// A drive is named by its letter ("E"; "E:" and "E:\" are taken as well); the letter maps
// to its volume (device node or disk file) through platform::DriveMap::global(). Paths on
// a drive are written "E:\folder\name" (either separator). Texts are UTF-8.
#include "platform/DeviceHandle.h"

#include <cstdint>
#include <optional>
#include <span>
#include <functional>
#include <string>

// The production tool's own registry key.
inline constexpr const char* kProductionRegistryKey = "SoftWare\\KOV6125\\MPTool";

// Time limits of the outside tools, in milliseconds.
inline constexpr uint32_t kDiskCheckTimeLimitMs = 15000; // the disk checker
inline constexpr uint32_t kPortIdentityTimeLimitMs = 10000;

// --- Drive paths ---------------------------------------------------------------------------

namespace hostutil {

struct DrivePath {
    char letter = 0;
    std::string inside; // "/Music/a.mp3", "/" for the root
};

// "E", "e:", "E:\Music\a.mp3" -> letter (upper-cased) and the path inside the drive;
// nullopt when no letter leads.
std::optional<DrivePath> ParseDrivePath(const std::string& text);
// The device node or disk file bound to the letter; "" when none.
std::string VolumeOf(char letter);

} // namespace hostutil

// --- Event log ---------------------------------------------------------------------------

// Appends text + CR LF to log/1.txt in the program folder (folder and file created when
// missing). Safe from any thread: every call's line lands whole, in call order.
// A line that cannot be written is said once on standard error and to the reporter (the
// window's box), until a line is written again.
void AppendLog(const std::string& text);
// Receives the one-line text when the event log cannot be written; any thread. {} for none.
void SetEventLogFailureReporter(std::function<void(const std::string& text)> reporter);

// --- Drive preparation ---------------------------------------------------------------------

// Formats the drive. fatFlag: 255 = FAT with 8192-byte clusters, 0 = FAT, any other
// value = FAT32. quick = false adds a bad-block read check. True only when the format
// tool ended by itself within its limit with status 0; a tool past its limit is killed
// and "Error timeout" is shown.
bool FormatDrive(const std::string& drive, bool quick, uint32_t fatFlag);

// Sets the volume label in the station's code page (ASCII letters upper-cased, as FAT
// keeps them); "" removes the label. False, with the reason in the event log, for a label
// FAT cannot hold (over 11 bytes in that code page, a character it lacks, a leading space,
// a control character, or one of *?.,;:/\|+=<>[]") and when the volume cannot be written;
// the volume is then unchanged.
bool SetDriveVolumeLabel(const std::string& drive, const std::string& label);

// The volume label decoded from the station's code page, or "" when there is none
// ("NO NAME") or it cannot be read.
std::string GetDriveVolumeLabel(char letter);

// True when a FAT volume is recognised on the drive (the "free space is readable" test).
bool DriveFreeSpaceReadable(const std::string& drive);

// Copies one host file onto the drive, overwriting: destination is "E:\NAME" or
// "E:\folder\NAME" (the folder must exist).
bool CopyFileToDrive(const std::string& sourceFile, const std::string& destination);

// The disk checker that RunChkdsk runs: fsck.fat repairing the drive's volume. True only
// when it ended by itself within timeLimitMs with status 0; past the limit our own child
// (and its process group) is killed and the result is false.
bool CheckDriveVolume(const std::string& drive, uint32_t timeLimitMs = kDiskCheckTimeLimitMs);

// --- Port identity --------------------------------------------------------------------------

// Runs misc/usbdos from the program folder with argument n (10 s limit) and returns its
// number: the one printed on standard output, else its exit status; 0 when it cannot be
// started, times out or is killed.
uint32_t RunUsbDos(int n);

// Reads the device's port number and turns it into the three port digits. Returns 0 when
// the port number is 0 (outputs untouched), the program's number r when r % 100 != 0
// (hundreds = r / 100 % 100, tens = r / 10 % 10, units = r % 10), else -1 (outputs
// untouched). Logs "Serial_num = <n>". Null outputs are allowed.
int GetSerialDigits(HANDLE handle, uint8_t* hundreds, uint8_t* tens, uint8_t* units);

// --- Registry (registry.ini in the program folder) ------------------------------------------

// The production key's integer values. A read creates the key when it is missing.
bool RegWriteInt(const std::string& name, int value);
int RegReadInt(const std::string& name, int defaultValue);

// Any key below the local machine root, e.g. "SoftWare\KOV6125\Vornagel28". Writes are
// false when the registry file cannot be written; reads give the default when the value
// is missing or not an integer.
bool RegWriteString(const std::string& key, const std::string& name, const std::string& value);
bool RegWriteInteger(const std::string& key, const std::string& name, int value);
int RegReadInteger(const std::string& key, const std::string& name, int defaultValue);

// --- Folders ---------------------------------------------------------------------------------

// The folder chooser of the dialogs service. True and the chosen folder in path when the
// operator chose one; false and "" when cancelled. An existing initialFolder is preselected.
bool SelectDirectory(const std::string& initialFolder, const std::string& title, std::string& path);

// Copies the host folder source with its files and sub-folders into destinationParent on a
// drive ("E:\" or "E:\folder"): into destinationParent\<last name of source>, or straight
// into destinationParent when source ends with '/'. Files before folders, each sorted by
// the system language's collation without regard to case (platform/Collation.h); hidden
// entries (names starting with '.') are skipped, existing files overwritten (keeping their
// modification time), linked folders not entered. False at the first folder that cannot
// be made or file that cannot be copied (what was copied stays).
bool CopyTree(const std::string& source, const std::string& destinationParent);

// --- Bitmaps -----------------------------------------------------------------------------------

// Sets (value true) or clears bit index, the most significant bit of each byte first.
// An index outside the bitmap changes nothing and gives false.
bool SetBit(std::span<uint8_t> bitmap, int index, bool value);
