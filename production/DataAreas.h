#pragma once
// The device areas that lie outside the normal file system, written or read in the late
// stages of a run: a disk image copied raw onto the hidden disk, the signed file area of a
// hidden disk without a file system, the audio files of an SPI device's hidden area, the
// read-back of an SPI device's program and prefer areas, the saved SPI flash image, and the
// stop of the unit at the end of a hidden-disk run.
//
// Every operation uses the thread's open device handle (except EjectDevice, which is handed
// one), returns 1 on success and 0 at the first failed file or device operation, leaving
// the failure's status text. Nothing is retried here. Relative paths resolve against the
// program folder.
#include "platform/DeviceHandle.h"

#include <cstdint>
#include <string>
#include <vector>

class ProductThread;

namespace dataareas {

// Signed file area of a hidden disk: header in sector 0, the files from sector 1 on.
inline constexpr char kSignature[12] = {'K', 'O', 'V', '6', '1', '2', '5',
                                        'X', '2', '9', '4', '7'};
inline constexpr uint32_t kHeaderSize = 512;
inline constexpr uint32_t kMaxEntries = 31;      // list indexes that get an entry
inline constexpr uint32_t kPieceBufferSize = 1024; // the largest sector a piece may have

// SPI hidden files: an 8192-byte header, then the file in 8192-byte pieces.
inline constexpr uint32_t kSpiPieceSize = 8192;
inline constexpr uint8_t kSpiTypeWave = 0xC0;    // ".wma", ".wav"
inline constexpr uint8_t kSpiTypeMp3 = 0x80;     // ".mp3"

// SPI read-back: 256-byte units, 8 per read (2048 bytes).
inline constexpr uint32_t kSpiUnitSize = 256;
inline constexpr uint32_t kSpiUnitsPerRead = 8;
inline constexpr uint32_t kSpiAreaAlign = 65536; // program area rounding; prefer area offset
inline constexpr uint32_t kSpiBodyOffset = 2048; // source files' bytes from here are stored

// Image writing: 32 KiB per WRITE(10).
inline constexpr uint32_t kImageChunkSize = 32768;

// The 8192-byte header in front of an SPI hidden file (list index, file name for its type).
// False when the extension is none of ".wma", ".wav", ".mp3" (any case).
bool MakeSpiHeader(uint32_t listIndex, const std::string& path, uint64_t size, uint8_t* header);

// R: the program file's size rounded up to a multiple of 65536.
uint64_t SpiProgramAreaSize(uint64_t programSize);

// The signed-area and SPI operations on an explicit list (the wrappers below read the
// production settings' lists).
int WriteSignedFileArea(ProductThread& thread, const std::vector<std::string>& hideFiles);
int WriteSpiHiddenFiles(ProductThread& thread, const std::vector<std::string>& spiFiles);

} // namespace dataareas

// The file's size, stored in the thread; -1 when it does not exist or cannot be measured.
int64_t OpenImageFile(ProductThread& thread, const std::string& path);

// Copies the image unchanged onto the current disk (LBA 0 on) in 32 KiB WRITE(10)s, moving
// the gauge from first to last. drive plays no part. 1 when every chunk was written.
int WriteImageToDisk(ProductThread& thread, const std::string& drive, const std::string& path,
                     uint32_t first, uint32_t last);

// The hidden-file list written as a signed header sector and the files' sectors. The two
// progress arguments play no part. 1 when all files and the header were written.
int WriteSignedFileArea(ProductThread& thread, uint32_t first, uint32_t last);

// The SPI file list's audio files written to the SPI hidden area. 1 when the whole list
// was handled.
int WriteSpiHiddenFiles(ProductThread& thread);

// Reads the SPI program and prefer areas back into ".\log\" + name.
int DumpSpiProgramArea(ProductThread& thread, const std::string& programPath,
                       const std::string& name, const std::string& preferPath);

// Compares the dump ".\log\" + name with the thread's program file and the prefer file.
// programPath plays no part. 1 when equal.
int CompareSpiDump(ProductThread& thread, const std::string& programPath,
                   const std::string& name, const std::string& preferPath);

// Saves the SPI flash's program area and what follows it (R + 128 KiB) to outputPath.
int DumpSpiFlash(ProductThread& thread, const std::string& outputPath);

// START STOP UNIT on the handle; 1 when it succeeded.
int EjectDevice(ProductThread& thread, HANDLE handle);
