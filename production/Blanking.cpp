// The blanking check: the scan level run over the usable blocks, or the special scan.
#include "production/Blanking.h"

#include "production/FlashRecord.h"
#include "production/ScanLevel.h"
#include "production/SpecialScan.h"
#include "production/WindowLink.h"
#include "production/ppthread.h"
#include "text/LangStrings.h"

#include <algorithm>
#include <cstring>

namespace {

// Settings arrive as the window stores them; a negative value is as far out of range as
// a huge one.
uint32_t Unsigned(int value)
{
    return static_cast<uint32_t>(value);
}

} // namespace

BlankingSettings ReadBlankingSettings(const ProductThread& thread)
{
    auto& window = production::Window();
    BlankingSettings s;
    s.scanLevel = Unsigned(window.ScanLevel());
    s.pattern = Unsigned(window.Pattern());
    s.pageSkip = Unsigned(window.PageSkip());
    s.readTimes = Unsigned(window.ReadTimes());
    s.specialScan = thread.bSpecialScan != 0;
    s.pageMode = Unsigned(window.PageModeSel());
    s.fastCheck = window.FastBlankCheck();
    return s;
}

int BlankingCheck(ProductThread& thread, int stepFrom, int stepTo)
{
    return BlankingCheck(thread, stepFrom, stepTo, ReadBlankingSettings(thread));
}

int BlankingCheck(ProductThread& thread, int stepFrom, int stepTo,
                  const BlankingSettings& settings)
{
    // Every address below comes from the geometry; scan nothing the table does not cover.
    if (!GeometryIsSound(thread) || !thread.pBlockTable
        || thread.iBlockTableEntries != thread.iChipCount * thread.iBlocksPerChip) {
        thread.SetStatus(RealBlankingCheckStr.get() + FailMsg.get());
        return 0;
    }
    std::memset(thread.pBlockTable.get(), 0, thread.iBlockTableEntries);

    BlankingRun run(thread, settings);
    run.stepFrom = stepFrom;
    run.stepTo = stepTo;
    run.total = thread.iChipCount * thread.iUsableBlocksPerChip;
    if (settings.specialScan && !SpecialScanSetup(run))
        return 0;

    thread.SetStatus(BlankingCheckSetupStr.get() + "...");
    thread.SetStatusColor(toolkit::clBtnText);
    thread.SetStep(static_cast<uint32_t>(std::max(stepFrom, 0)));

    if (!RunScanLevel(run)) {
        ReleasePageEccTable(thread);
        return 0;
    }
    if (settings.specialScan)
        SpecialScanClose(run);
    thread.SetStep(static_cast<uint32_t>(std::max(stepTo, 0)));
    return 1;
}
