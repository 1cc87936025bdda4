// Small disk operations around the format: disk check, FAT flag, disk size, port text.
#include "production/DrivePrep.h"

#include "device/Commands.h"
#include "device/HostUtil.h"
#include "production/WindowLink.h"
#include "production/ppthread.h"
#include "toolkit/Controls.h"

#include <cctype>
#include <limits>

namespace {

char LetterOf(const std::string& drive)
{
    return drive.empty() ? 0 : static_cast<char>(std::toupper(static_cast<unsigned char>(drive[0])));
}

// READ CAPACITY on the drive's own handle; false when it does not open or answer.
bool ReadCapacityOf(const std::string& drive, uint32_t& lastLba, uint32_t& blockLength)
{
    lastLba = 0;
    blockLength = 0;
    HANDLE handle = platform::OpenDrive(LetterOf(drive));
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    const int ok = cmd_bReadCapacity(handle, &lastLba, &blockLength);
    platform::CloseDrive(handle);
    return ok != 0;
}

} // namespace

bool RunChkdsk(const std::string& drive)
{
    return CheckDriveVolume(drive, kDiskCheckTimeLimitMs);
}

uint32_t FatFlagForCapacity(uint32_t lastLba, uint32_t blockLength)
{
    if (lastLba == 0 || blockLength == 0)
        return kFatFlagFat16;
    // 64-bit: a disk past 4 GiB must not wrap into the small-disk rule.
    const uint64_t mb = (static_cast<uint64_t>(lastLba) * blockLength) >> 20;
    if (mb >= 1 && mb < 128 && blockLength >= 2048)
        return kFatFlagLargeClusters;
    if (mb > 512)
        return kFatFlagFat32;
    return kFatFlagFat16;
}

uint32_t GetDriveFatFlag(ProductThread&, const std::string& drive)
{
    uint32_t lastLba = 0, blockLength = 0;
    if (!ReadCapacityOf(drive, lastLba, blockLength))
        return kFatFlagFat16;
    return FatFlagForCapacity(lastLba, blockLength);
}

int32_t DiskSizeMBForCapacity(uint32_t lastLba, uint32_t blockLength)
{
    // The divisions stay in their order (block units of 512 bytes first), but the product
    // is 64-bit so a large disk is not reported smaller than it is.
    const uint64_t mb = (static_cast<uint64_t>(blockLength >> 9) * lastLba) >> 11;
    const uint64_t limit = static_cast<uint64_t>(std::numeric_limits<int32_t>::max());
    return static_cast<int32_t>(mb > limit ? limit : mb);
}

int32_t GetDiskSizeMB(ProductThread&, const std::string& drive)
{
    uint32_t lastLba = 0, blockLength = 0;
    if (!ReadCapacityOf(drive, lastLba, blockLength) || lastLba == 0 || blockLength == 0)
        return 0;
    const int32_t mb = DiskSizeMBForCapacity(lastLba, blockLength);
    production::Window().SetDiskSizeLabel(std::to_string(mb) + "MB");
    return mb;
}

bool GetPortText(ProductThread& thread, const std::string& drive, toolkit::TStaticText* textP)
{
    uint8_t hundreds = 0, tens = 0, units = 0;
    if (GetSerialDigits(thread.hDevice, &hundreds, &tens, &units) < 0) {
        AppendLog(drive + ":Get port fail <1>!!");
        return false;
    }
    const std::string digits =
        std::to_string(hundreds) + "-" + std::to_string(tens) + "-" + std::to_string(units);
    AppendLog(drive + " Port:" + digits);
    if (textP)
        textP->SetCaption("<" + digits + ">");
    return true;
}
