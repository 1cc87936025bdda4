#pragma once
// A station on simulated devices for one test: a temporary program folder holding the
// sample kit, a fake clock installed for the whole process, and a bus whose devices keep
// their disk files in the folder. Everything is undone when the object goes away.
#include "platform/Clock.h"
#include "sim/SimBus.h"
#include "support/TempDir.h"

#include <memory>
#include <string>

namespace testsupport {

class SimStation {
public:
    // withKit: write the sample station kit into the folder and make it the program folder.
    explicit SimStation(bool withKit = true);
    ~SimStation();
    SimStation(const SimStation&) = delete;
    SimStation& operator=(const SimStation&) = delete;

    const std::string& dir() const { return dir_.path(); }
    std::string file(const std::string& relative) const { return dir_.file(relative); }
    sim::SimBus& bus() { return *bus_; }
    platform::FakeClock& clock() { return clock_; }

private:
    TempDir dir_;
    TempDir disks_;
    platform::FakeClock clock_;
    std::unique_ptr<sim::SimBus> bus_;
};

} // namespace testsupport
