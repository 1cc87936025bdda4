#include "production/Blanking.h"

#include "production/ppthread.h"

BlankingSettings ReadBlankingSettings(const ProductThread& thread)
{
    BlankingSettings s;
    s.specialScan = thread.bSpecialScan != 0;
    return s;
}

void SetBlankingSettingsOverride(const BlankingSettings*) {}

int BlankingCheck(ProductThread& thread, int stepFrom, int stepTo)
{
    return BlankingCheck(thread, stepFrom, stepTo, ReadBlankingSettings(thread));
}

int BlankingCheck(ProductThread&, int, int, const BlankingSettings&)
{
    return 0;
}
