// The SPI device's areas: audio files written to its hidden area behind 8 KiB headers, and
// the read-back of its program and prefer areas.
#include "production/DataAreas.h"

#include "device/Commands.h"
#include "device/Stream.h"
#include "platform/AtomicFile.h"
#include "platform/ByteOrder.h"
#include "platform/Clock.h"
#include "platform/ProgramDir.h"
#include "production/DataAreasIo.h"
#include "production/WindowLink.h"
#include "production/ppthread.h"
#include "text/LangStrings.h"
#include "text/MessageCatalogue.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

namespace dataareas {

namespace {

constexpr uint32_t kReadBytes = kSpiUnitsPerRead * kSpiUnitSize;
// cmd_bReadArea addresses 256-byte units with a 16-bit index.
constexpr uint64_t kMaxUnits = uint64_t(std::numeric_limits<uint16_t>::max()) + 1;

std::string Row(const ProductThread& thread, MessageRow row)
{
    return MessageCatalogue(row, thread.iLanguageIndex);
}

void Fail(ProductThread& thread, const std::string& caption)
{
    thread.SetStatus(caption);
    thread.SetStatusColor(toolkit::clRed);
}

// The extension of the path's file name, lower-cased, with its dot ("" when none).
std::string LowerExtension(const std::string& path)
{
    size_t slash = path.find_last_of("/\\:");
    size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return "";
    std::string ext = path.substr(dot);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return ext;
}

// Reads `units` 256-byte units from unit 0 on, 8 per command, into the output.
bool ReadSpiUnits(ProductThread& thread, uint64_t units, OutputFile& out)
{
    if (units > kMaxUnits) {
        Fail(thread, Row(thread, kRowSpiReadError));
        return false;
    }
    uint8_t buffer[kReadBytes];
    for (uint64_t u = 0; u < units; u += kSpiUnitsPerRead) {
        if (!cmd_bReadArea(thread.hDevice, uint16_t(u), uint16_t(kSpiUnitsPerRead), buffer)) {
            Fail(thread, Row(thread, kRowSpiReadError));
            return false;
        }
        if (!out.write(buffer, sizeof buffer)) {
            Fail(thread, "Write file fail!");
            return false;
        }
    }
    if (!out.commit()) {
        Fail(thread, "Write file fail!");
        return false;
    }
    return true;
}

std::string LogPath(const std::string& name)
{
    return ".\\log\\" + name;
}

// Compares length bytes of a at offsetA with b at offsetB; false on a difference or when
// either file is too short.
bool SameBytes(BinaryFile& a, uint64_t offsetA, BinaryFile& b, uint64_t offsetB, uint64_t length)
{
    uint8_t x[8192], y[8192];
    while (length > 0) {
        size_t n = size_t(std::min<uint64_t>(length, sizeof x));
        if (!a.readAt(offsetA, x, n) || !b.readAt(offsetB, y, n) || std::memcmp(x, y, n) != 0)
            return false;
        offsetA += n;
        offsetB += n;
        length -= n;
    }
    return true;
}

// The program and prefer files the read-back covers, opened and measured.
struct SpiSources {
    SpiSources(const std::string& programPath, const std::string& preferPath)
        : program(programPath, "rb"), prefer(preferPath, "rb"),
          programSize(program.size()), preferSize(prefer.size())
    {
    }
    // False, with the failure's status text, when either cannot be read.
    bool opened(ProductThread& thread) const
    {
        if (!programSize)
            Fail(thread, "Open program file fail!");
        else if (!preferSize)
            Fail(thread, "Open perfer file fail!");
        return programSize && preferSize;
    }

    BinaryFile program, prefer;
    std::optional<uint64_t> programSize, preferSize;
};

} // namespace

bool MakeSpiHeader(uint32_t listIndex, const std::string& path, uint64_t size, uint8_t* header)
{
    const std::string ext = LowerExtension(path);
    uint8_t type;
    if (ext == ".wma" || ext == ".wav")
        type = kSpiTypeWave;
    else if (ext == ".mp3")
        type = kSpiTypeMp3;
    else
        return false;
    if (size > std::numeric_limits<uint32_t>::max())
        return false;
    std::memset(header, 0, kSpiPieceSize);
    std::memcpy(header, "6105", 4);
    header[4] = uint8_t(type | ((listIndex + 3) & 63));
    platform::PutBe32(header + 5, uint32_t(size));
    return true;
}

uint64_t SpiProgramAreaSize(uint64_t programSize)
{
    return (programSize + kSpiAreaAlign - 1) / kSpiAreaAlign * kSpiAreaAlign;
}

int WriteSpiHiddenFiles(ProductThread& thread, const std::vector<std::string>& spiFiles)
{
    for (size_t i = 0; i < spiFiles.size(); ++i) {
        platform::Sleep(100);
        const std::string stage = Row(thread, kRowSpiHiddenFiles);
        thread.SetStatus(stage + " " + std::to_string(i));
        thread.SetStatusColor(toolkit::clBtnText);
        const std::string failed = stage + FailMsg.get();

        const std::string& path = spiFiles[i];
        const std::string ext = LowerExtension(path);
        if (!IsExistingFile(path) || (ext != ".wma" && ext != ".wav" && ext != ".mp3"))
            continue;

        BinaryFile in(path, "rb");
        auto size = in.size();
        // The announced size (file + 2048) and the header's size field are 32-bit.
        uint8_t header[kSpiPieceSize];
        if (!in.isOpen() || !size || *size > std::numeric_limits<uint32_t>::max() - 2048 ||
            !MakeSpiHeader(uint32_t(i), path, *size, header)) {
            Fail(thread, failed);
            return 0;
        }
        if (!cmd_bWriteSetup(thread.hDevice, uint32_t(*size + 2048)) ||
            !cmd_bWriteData(thread.hDevice, header, kSpiPieceSize)) {
            Fail(thread, failed);
            return 0;
        }
        // Pieces until end of file: a size that is a multiple of 8192 ends with an empty one.
        std::vector<uint8_t> piece(kSpiPieceSize);
        uint64_t sent = 0;
        while (!std::feof(in.get())) {
            size_t n = std::fread(piece.data(), 1, piece.size(), in.get());
            sent += n;
            // A read error never reaches end of file; a file that grew would overrun the
            // announced size.
            if (std::ferror(in.get()) || sent > *size ||
                !cmd_bWriteData(thread.hDevice, piece.data(), uint32_t(n))) {
                Fail(thread, failed);
                return 0;
            }
        }
        in.close();
        if (sent != *size || !SendWriteEnd(thread.hDevice)) {
            Fail(thread, failed);
            return 0;
        }
    }
    return 1;
}

} // namespace dataareas

using namespace dataareas;

int WriteSpiHiddenFiles(ProductThread& thread)
{
    return dataareas::WriteSpiHiddenFiles(thread, production::Window().SpiFileList());
}

int DumpSpiProgramArea(ProductThread& thread, const std::string& programPath,
                       const std::string& name, const std::string& preferPath)
{
    platform::MakeDirs(platform::ProgramPath(".\\log"));
    OutputFile out(LogPath(name));
    if (!out.isOpen()) {
        Fail(thread, "Open file fail!");
        return 0;
    }
    SpiSources src(programPath, preferPath);
    if (!src.opened(thread))
        return 0;
    const uint64_t units =
        (SpiProgramAreaSize(*src.programSize) + kSpiAreaAlign + *src.preferSize) / kSpiUnitSize;
    return ReadSpiUnits(thread, units, out) ? 1 : 0;
}

int CompareSpiDump(ProductThread& thread, const std::string&, const std::string& name,
                   const std::string& preferPath)
{
    const std::string mismatch = Row(thread, kRowCompareData) + FailMsg.get();
    BinaryFile dump(LogPath(name), "rb");
    if (!dump.size()) {
        Fail(thread, "Open file fail!");
        return 0;
    }
    SpiSources src(thread.sProgramFile, preferPath);
    if (!src.opened(thread))
        return 0;
    const uint64_t programSize = *src.programSize, preferSize = *src.preferSize;
    // The program's body is compared for (size - 64 KiB) bytes: a program shorter than
    // that has nothing defined to compare and is refused.
    if (programSize < kSpiAreaAlign) {
        Fail(thread, mismatch);
        return 0;
    }
    const uint64_t r = SpiProgramAreaSize(programSize);
    // The prefer body's first 2048 bytes, or as many as the file has.
    const uint64_t preferBody =
        std::min<uint64_t>(2048, preferSize > kSpiBodyOffset ? preferSize - kSpiBodyOffset : 0);
    if (!SameBytes(src.program, 0, dump, 0, 4) ||
        !SameBytes(src.program, kSpiBodyOffset, dump, kSpiAreaAlign, programSize - kSpiAreaAlign) ||
        !SameBytes(src.prefer, kSpiBodyOffset, dump, r + kSpiAreaAlign, preferBody)) {
        Fail(thread, mismatch);
        return 0;
    }
    return 1;
}

int DumpSpiFlash(ProductThread& thread, const std::string& outputPath)
{
    OutputFile out(outputPath);
    if (!out.isOpen()) {
        Fail(thread, "Open file fail!");
        return 0;
    }
    BinaryFile program(thread.sProgramFile, "rb");
    auto programSize = program.size();
    if (!programSize) {
        Fail(thread, "Open file fail!");
        return 0;
    }
    const uint64_t units = (SpiProgramAreaSize(*programSize) + 2 * kSpiAreaAlign) / kSpiUnitSize;
    return ReadSpiUnits(thread, units, out) ? 1 : 0;
}
