#pragma once
// The production sequence that ProductThread::Execute runs once per device:
//
//   IdentifyAndTables  open the device, check the copy list's data files, prepare the
//                      panel, identify the flash (NAND or SPI NOR), send its description,
//                      build the block table, write the CFG block, initialise the loader;
//   FirmwareAndDisk    the firmware and data areas, parity, start disk, then either the
//                      SPI read-back or the disk: format, label, copy, hidden part;
//   SuccessPath / FailurePath / CommonEnd   the end of every run: result text, caption,
//                      colour, image, log line, counters, and the panel of a removed device.
//
// A stage that fails paints the caption red, sets iResult to 0 and returns false; the run
// then ends through FailurePath. Every wait goes through platform::Sleep.
#include "text/MessageRows.h"

#include <cstdint>
#include <string>

class ProductThread;

namespace production {

// Gauge steps the blanking check adds in front of the rest (the gauge runs to B + 100).
inline constexpr uint32_t kBlankCheckSteps = 300;
// Attempts of the program and prefer streams, and of the format.
inline constexpr int kStreamAttempts = 10;
inline constexpr int kFormatAttempts = 4;
// A disk below this size (MB) is not formatted.
inline constexpr int32_t kMinFormatMB = 32;

// Run-local state of one run.
struct SequenceState {
    uint32_t B = 0;              // kBlankCheckSteps with the blanking check, else 0
    bool spi = false;            // SPI NOR flash
    bool earlyFailure = false;   // failed before the tables were complete
    bool counted = false;        // this run raised iRunningThreads
    uint32_t rate = 0;           // bad-block rate of the device's own bitmap, percent
    std::string recordPath;      // the flash description file sent and loaded
    uint64_t startMs = 0;        // clock at the panel preparation
    int32_t mb = 0;              // disk size (or image size, or SPI size) in MB
    std::string reason;          // why the run failed (device sense, exception), for its log line
};

bool IdentifyAndTables(ProductThread& thread, SequenceState& run);
bool FirmwareAndDisk(ProductThread& thread, SequenceState& run);
void SuccessPath(ProductThread& thread, SequenceState& run);
void FailurePath(ProductThread& thread, SequenceState& run);
void CommonEnd(ProductThread& thread, SequenceState& run);

// ---- shared by the stages ----

// The catalogue row in the thread's language.
std::string Row(const ProductThread& thread, MessageRow row);
// A stage caption in the running colour.
void StageCaption(ProductThread& thread, const std::string& caption);
// A failure: caption (when given) in red, iResult 0, early failures marked. Returns false.
bool Fail(ProductThread& thread, SequenceState& run, const std::string& caption, bool early = false);
// A failure whose stage left its own caption: red, iResult 0. Returns false.
bool FailKeepCaption(ProductThread& thread, SequenceState& run, bool early = false);
// The last path component ("a/b\\c.bin" -> "c.bin").
std::string FileNamePart(const std::string& path);
// Opens the thread's drive again (closing the handle first when open); false with the
// "FileHandle fail" caption when it does not open.
bool ReopenDevice(ProductThread& thread, SequenceState& run, bool early = false);
// "ID:" + the maker byte (2 hex digits) + the other four bytes (8 hex digits).
std::string FlashIdText(const ProductThread& thread);
// The result text of a successful run.
std::string ResultText(const ProductThread& thread, bool scanned, int32_t mb, int64_t seconds);

} // namespace production
