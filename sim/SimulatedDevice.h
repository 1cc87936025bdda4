#pragma once
// A simulated 6205 controller with its NAND (or SPI NOR) flash, reached through the same
// ScsiTransport interface as a real device. It answers the vendor command set the way the
// production tool expects, keeps what it was sent (loader, flash description, pages,
// streams, disks) and lets tests inject faults and latency.
//
// Device states: a device starts in ROM state; a loader upload (EF 77 size, EE 78 pieces,
// EF 79 16-bit byte sum) that adds up moves it to loader state; EF 81 resets it to ROM.
// In ROM state only INQUIRY, the upload commands, EF 81 and EF 82 (which then does not
// answer "6205") are served; every other command fails.
//
// The flash, as the device answers for it:
// - EF 93 operation 2 erases the block and writes the pattern word (with its data mode),
//   1 reads back against the block's last pattern word (another word, or an erased block,
//   reads every page with 255 bit errors), 3 does both. Only pages of the page table (EE 9B,
//   all pages after a reset) are read, and with page skip k one page is read and k passed
//   over. Per page the reply is 255 - bit errors (0xFF for pages not read); per block 0xFF
//   when no page read has more bit errors than the ECC threshold, else the worst page's
//   byte. Factory-bad blocks answer 0.
// - EF 94 erases the block; it fails on factory-bad and erase-failing blocks.
// - EE 95 pages are kept. EF 80 answers the first 512 bytes of the configuration record
//   (the first written page of the lowest block whose page starts with "6205", or "62X5"
//   when the tool marked it), zeros when there is none; EF 98 answers the pages written after it in its block, or, without a
//   record, the factory bitmap (usable blocks not marked bad).
// - EF 73 sizes the user disk: good blocks (EF 98's bitmap) x pages in use x page size,
//   less the system area (record byte 161 x 4 MiB, else 4 MiB), less the hidden part
//   (record byte 162 / 256 of the rest; 255: all but a 4 MiB public part). A disk made
//   anew that is too small for the tool to format (32 MiB at most) comes with an empty
//   FAT volume; larger ones start blank.
//
// Command codes: vendor commands are named by their first two bytes (0xEF93, 0xEE7B),
// standard SCSI commands by their opcode (0x12, 0x25, 0x28, 0x2A, 0x1B).
#include "platform/ScsiTransport.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

// The code of a command block: (byte0 << 8 | byte1) for 0xEF/0xEE blocks, else byte 0.
uint16_t CommandCode(const uint8_t* cdb, int cdbLength);

// Bit errors one page (or every page of a block) shows when read back.
struct PageFault {
    enum class When {
        Always,       // whatever was written
        PatternIs,    // only when the block holds this pattern word
        PatternIsNot, // only when it holds any other pattern word
    };
    uint32_t block = 0; // block address: chip x blocks per chip + block
    int32_t page = -1;  // -1: every page of the block
    uint8_t bits = 0;   // bit errors added to the page
    When when = When::Always;
    uint16_t pattern = 0;
};

// Pages that are weak because of where they sit in a block (as some flash types are).
struct WeakPages {
    enum class Where { OddPages, EvenPages, FirstHalf, SecondHalf };
    Where where = Where::OddPages;
    uint8_t bits = 0;             // bit errors added to each such page
    std::vector<uint32_t> blocks; // block addresses; empty: every block
};

struct FlashProfile {
    std::string name = "SIM NAND";      // flash-type name (kit records, flash.ini)
    std::array<uint8_t, 5> flashId{};   // EF 70 reply, maker byte first
    bool spi = false;                   // SPI NOR variant: EF 70 answers FF 00 FF 00 FF
    uint8_t chips = 1;                  // EF 84
    uint32_t blocksPerChip = 1024;      // power of two
    uint32_t usableBlocksPerChip = 1000;
    uint32_t pagesPerBlock = 64;        // power of two
    uint32_t pageSize = 2048;           // power of two
    uint32_t sectorSize = 512;          // disk block length (READ CAPACITY)
    uint8_t writeParameter = 0;         // flash description byte 96
    uint8_t bitmapPagesPerChip = 1;     // flash description byte 137
    uint8_t moduleNumber = 0;           // flash description byte 218
    uint8_t firmwareFlag = 1;           // flash description byte 220
    std::vector<uint32_t> factoryBadBlocks; // block addresses marked bad at the factory
    std::vector<uint32_t> eraseFailBlocks;  // EF 94 fails on these (pages cannot be written)
    std::vector<PageFault> pageFaults;
    std::vector<WeakPages> weakPages;
    uint8_t bondingId = 0x0F;           // EF 8B (0x0F: accepts any firmware)
    uint8_t spiSizeMB = 4;              // EF 9C and the size of the SPI flash
    bool spiCheckPasses = true;         // EF 72 result on an SPI device

    uint32_t totalBlocks() const { return uint32_t(chips) * blocksPerChip; }
};

// Latency added to each command, by kind, in milliseconds. Sleeps go through
// platform::Sleep, so a test with a FakeClock never waits.
enum class CommandKind { Control, Upload, Stream, Scan, BlockCheck, PageIo, Disk, StartDisk, Count };
struct Latency {
    std::array<uint32_t, size_t(CommandKind::Count)> ms{};
    static Latency None() { return {}; }
    // Timing close to a real NAND device (block program/verify, erase, USB transfers).
    static Latency RealisticNand();
};
CommandKind KindOf(uint16_t code);

enum class FaultKind {
    Transport,   // the request is not carried out; execute() returns false
    StatusClear, // the device refuses: bit 0 of reply byte 0 is clear (a command without
                 // a reply, which cannot show that, fails as with Transport)
};

struct LoggedCommand {
    uint16_t code = 0;
    std::array<uint8_t, 16> cdb{};
    int cdbLength = 0;
    platform::Direction direction = platform::Direction::None;
    uint32_t length = 0;
    uint32_t timeoutSeconds = 0;
    bool ok = false;               // what execute() returned
    uint8_t replyByte0 = 0;        // first reply byte of a data-in command (0 when none)
    std::vector<uint8_t> dataOut;  // the first (up to 512) bytes a data-out command carried
};

// One EF 7A / EE 7B / EF 7C data stream. The production tool sends them in the order
// program, prefer, (SPI hidden files), phone book, CD-ROM image, PASS image.
struct StreamRecord {
    uint32_t announced = 0;     // EF 7A size
    uint64_t received = 0;      // bytes carried by EE 7B pieces
    uint32_t pieces = 0;
    bool ended = false;         // EF 7C accepted
    std::vector<uint8_t> data;  // the bytes received (the first 64 MiB)
};

struct DeviceState;

class SimulatedDevice : public platform::ScsiTransport {
public:
    enum class State { Rom, Loader };
    enum class Disk { None, User, Hidden };
    // What the device tells its bus about changes it makes itself.
    enum class Event { Reset, Unplugged };

    // diskFolder holds the device's disk files, named after id ("<id>-user.img",
    // "<id>-hidden.img"); they are removed when the device is destroyed.
    SimulatedDevice(FlashProfile profile, std::string diskFolder, std::string id = "sim0",
                    uint8_t usbPort = 0);
    ~SimulatedDevice() override;
    SimulatedDevice(const SimulatedDevice&) = delete;
    SimulatedDevice& operator=(const SimulatedDevice&) = delete;

    bool execute(const uint8_t* cdb, int cdbLength, platform::Direction direction,
                 uint8_t* buffer, uint32_t length, uint32_t timeoutSeconds) override;

    const FlashProfile& profile() const { return profile_; }
    const std::string& id() const { return id_; }

    // --- power and connection ---
    bool plugged() const;
    // Gone: every command fails from now on (the bus releases the letter).
    void unplug();
    // Plugged in again: ROM state, user disk selected, every page in use again; the flash
    // and the disk files are kept.
    void powerCycle();
    void setUsbPort(uint8_t port); // EF 9A answers 0x80 | port (0 when port is 0)
    void setListener(std::function<void(Event)> listener);

    // --- fault injection ---
    // The nth next command with this code (1 = the next one) fails, and the times - 1
    // after it as well. Rules for one code count side by side.
    void failCommand(uint16_t code, uint32_t nth, FaultKind kind, uint32_t times = 1);
    // After this many further commands the device is unplugged (the next one fails).
    void unplugAfter(uint32_t commands);
    void setLatency(const Latency& latency);
    void clearFaults();

    // --- command log ---
    std::vector<LoggedCommand> commandLog() const;
    size_t countOf(uint16_t code) const;
    void clearLog();

    // --- what the device holds ---
    State state() const;
    std::vector<uint8_t> loaderImage() const;            // the last uploaded loader
    std::vector<uint8_t> flashDescription() const;       // the last record by EE 71 (512 bytes)
    std::vector<uint8_t> pageTable() const;               // the last EE 9B table
    std::vector<uint8_t> storedPage(uint32_t page) const; // EE 95 data (empty when none)
    std::vector<StreamRecord> streams() const;
    int moduleNumber() const;                             // EF 8D value, -1 when none
    bool fsmInitDone() const;                             // EF 97 received
    std::vector<uint8_t> spiFlash(uint32_t offset, uint32_t length) const;
    Disk currentDisk() const;
    std::string userDiskPath() const;   // "" until EF 73
    std::string hiddenDiskPath() const; // "" until EF 92
    std::string currentDiskPath() const;
    uint64_t diskSectors(Disk disk) const;

private:
    FlashProfile profile_;
    std::string id_;
    std::unique_ptr<DeviceState> impl_; // sim/DeviceState.h
};

} // namespace sim
