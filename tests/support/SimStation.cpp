#include "support/SimStation.h"

#include "platform/DriveMap.h"
#include "platform/ProgramDir.h"
#include "sim/StationKit.h"

#include <stdexcept>

namespace testsupport {

SimStation::SimStation(bool withKit)
{
    std::string error;
    if (withKit && !sim::WriteStationKit(dir_.path(), &error))
        throw std::runtime_error("station kit: " + error);
    platform::SetProgramDir(dir_.path());
    platform::SetClock(&clock_);
    platform::DriveMap::global().clear();
    bus_ = std::make_unique<sim::SimBus>(disks_.path());
}

SimStation::~SimStation()
{
    bus_.reset();
    platform::DriveMap::global().clear();
    platform::SetClock(nullptr);
}

} // namespace testsupport
