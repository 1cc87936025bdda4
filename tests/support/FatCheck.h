#pragma once
// Judging FAT volumes with the real dosfstools and mtools: the label bytes read straight
// from the disk file, and fsck.fat -n's verdict.
#include "platform/Process.h"

#include <string>
#include <vector>

namespace testsupport {

// Runs a dosfstools, mtools or other outside program, found in PATH or the sbin folders,
// with MTOOLS_SKIP_CHECK=1 in the C.UTF-8 locale and a 60 s limit.
platform::ProcessResult RunTool(std::vector<std::string> argv);

// The 11 label bytes in each place: the boot sector's field, the FAT32 backup boot
// sector's ("" on FAT12/16) and the root folder's volume-label entry as stored ("" when
// there is none).
struct RawLabels {
    std::string boot, backup, root;
    long long rootWritten = 0; // the root entry's write time as the local clock read it, in seconds since 1970
};
RawLabels ReadRawLabels(const std::string& disk);

// fsck.fat -n. dosfstools 4.2 takes every label byte past 0x7F for a control character
// (a signed comparison, fixed upstream after 4.2), so it calls any code-page label "not
// valid". That complaint alone is accepted, and only when the label holds such a byte
// and its raw bytes meet FAT's rule in all places, which agree with each other.
struct FsckVerdict {
    bool clean = false;
    std::string output;
};
FsckVerdict CheckFat(const std::string& disk);

} // namespace testsupport
