// An unattended run ends when every device it plugged has a result or a failed arrival,
// whatever the panels show: in fixed-port mode a device whose loader is refused gets none.
// Its exit status is 0 only when devices ran and every one of them succeeded.
#include "StationRun.h"

#include "app/UnattendedEnd.h"

using namespace e2e;

namespace {

struct Arrivals {
    const char* name;
    bool fixedPort;
    bool manualStart;
    const char* counts; // runs ended / failed arrivals / panels holding a device
    bool settled;
    int exitCode = 1;              // once settled
    bool loaderRefused = true;     // the second device's loader upload is refused
    uint16_t failOnFirst = 0;      // a command the first device refuses
};
void PrintTo(const Arrivals& c, std::ostream* os) { *os << c.name; }
class UnattendedEnd : public StationRun, public ::testing::WithParamInterface<Arrivals> {};

TEST_P(UnattendedEnd, ComesWhenEveryDeviceHasAResultOrAFailedArrival)
{
    const Arrivals& c = GetParam();
    form->chkUsbPort->SetChecked(c.fixedPort);
    form->CheckManuupgrade->SetChecked(c.manualStart);
    auto first = station->bus().plug(sim::Nand128M(), 1);
    if (c.failOnFirst)
        first->failCommand(c.failOnFirst, 1, sim::FaultKind::StatusClear);
    auto second = station->bus().plug(sim::Nand128M(), 2);
    if (c.loaderRefused)
        second->failCommand(0xEF77, 1, sim::FaultKind::Transport);
    EXPECT_FALSE(EveryDeviceSettled(DeviceTallyOf(*form, 2))) << "nothing has arrived yet";
    EXPECT_EQ(UnattendedExitCode(DeviceTallyOf(*form, 2)), 1) << "none ran";
    Deliver();
    WaitForRuns();
    int held = 0;
    for (const auto& slot : form->DeviceSlots)
        held += slot.drive != 0;
    EXPECT_EQ(std::to_string(form->iTotalCount) + "/" + std::to_string(form->iFailedArrivals) + "/" +
                  std::to_string(held),
              c.counts);
    EXPECT_EQ(EveryDeviceSettled(DeviceTallyOf(*form, 2)), c.settled);
    if (c.settled) {
        EXPECT_EQ(UnattendedExitCode(DeviceTallyOf(*form, 2)), c.exitCode);
    }
    EXPECT_EQ(Status(0), c.manualStart ? "device plugin" : c.failOnFirst ? "Flash Check fail" : "successful");
}

INSTANTIATE_TEST_SUITE_P(Runs, UnattendedEnd,
                         ::testing::Values(Arrivals{"LoaderRefusedInFixedPortMode", true, false, "1/1/1", true},
                                           Arrivals{"LoaderRefused", false, false, "1/1/2", true},
                                           // The other device waits for the start button.
                                           Arrivals{"ManualStartPending", false, true, "0/1/2", false},
                                           Arrivals{"EveryDeviceSucceeds", false, false, "2/0/2", true, 0, false},
                                           Arrivals{"OneRunFails", false, false, "2/0/2", true, 1, false, 0xEF70}),
                         [](const ::testing::TestParamInfo<Arrivals>& info) { return std::string(info.param.name); });

} // namespace
