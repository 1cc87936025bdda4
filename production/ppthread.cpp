// The per-device production thread: panel updates, the block table, and Execute.
#include "production/ppthread.h"

#include "device/HostUtil.h"
#include "platform/DriveMap.h"
#include "platform/SgIoTransport.h"
#include "production/FlashRecord.h"
#include "production/Sequence.h"
#include "production/WindowLink.h"
#include "text/LangStrings.h"

#include <cstring>
#include <exception>

ProductThread::ProductThread(char drive, int slot, toolkit::TStaticText* status,
                             toolkit::TGauge* gauge, toolkit::TImage* image,
                             const char* volumeLabel, toolkit::TStaticText* textF,
                             toolkit::TStaticText* textP)
    : toolkit::TThread(true),
      sDrive(1, drive),
      pStatusText(status),
      pTextF(textF),
      pTextP(textP),
      pGauge(gauge),
      pResultImage(image),
      sVolumeLabel(volumeLabel ? volumeLabel : ""),
      iSlot(static_cast<uint32_t>(slot))
{
    SetFreeOnTerminate(true);
    std::memset(CfgImage, 0, sizeof CfgImage);
    std::memset(GoodBlockBitmap, 0, sizeof GoodBlockBitmap);
    std::memset(PageTable, 0xFF, sizeof PageTable);
    std::memset(DeviceInfoCopy, 0, sizeof DeviceInfoCopy);
    iLanguageIndex = production::Window().LanguageIndex();
}

ProductThread::~ProductThread() = default;

void ProductThread::SetStep(uint32_t step)
{
    iStep = step;
    Synchronize([this] { UpdateGauge(); });
}

void ProductThread::UpdateGauge()
{
    if (pGauge)
        pGauge->SetProgress(static_cast<int>(iStep));
}

void ProductThread::SetStatus(const std::string& caption)
{
    if (pStatusText)
        pStatusText->SetCaption(caption);
}

std::string ProductThread::Status() const
{
    return pStatusText ? pStatusText->Caption() : std::string();
}

void ProductThread::SetStatusColor(toolkit::TColor color)
{
    if (pStatusText)
        pStatusText->Font()->SetColor(color);
}

toolkit::TColor ProductThread::StatusColor() const
{
    return pStatusText ? pStatusText->Font()->Color() : toolkit::clBtnText;
}

bool ProductThread::AllocateBlockTable()
{
    FreeBlockTable();
    if (!GeometryIsSound(*this))
        return false;
    iBlockTableEntries = iChipCount * iBlocksPerChip;
    pBlockTable = std::make_unique<uint8_t[]>(iBlockTableEntries); // zeroed
    return true;
}

void ProductThread::FreeBlockTable()
{
    pBlockTable.reset();
    iBlockTableEntries = 0;
}

void ProductThread::UpdateTotals()
{
    production::Window().CountResult(iResult == 1 ? 1 : 0);
}

// The production sequence, once; the thread frees itself afterwards.
void ProductThread::Execute()
{
    const platform::DrivePin pin(sDrive.empty() ? 0 : sDrive[0], iDeviceSerial);
    production::SequenceState run;
    iResult = 0;
    (void)platform::TakeTransportFailure(); // what failed before this run is not its reason
    bool ok = false;
    try {
        ok = production::IdentifyAndTables(*this, run) && production::FirmwareAndDisk(*this, run);
    } catch (const std::exception& e) {
        // Out of memory or a broken file system call: the device fails, the counters and
        // the panel still get their end of the run, and the log line says what was thrown.
        run.reason = e.what();
        production::Fail(*this, run, FailMsg.get());
        ok = false;
    }
    if (ok)
        production::SuccessPath(*this, run);
    else
        production::FailurePath(*this, run);
    production::CommonEnd(*this, run);
}
