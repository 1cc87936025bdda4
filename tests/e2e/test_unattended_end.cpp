// An unattended run ends when every device it plugged has a result or a failed arrival,
// whatever the panels show: in fixed-port mode a device whose loader is refused gets none.
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
};
void PrintTo(const Arrivals& c, std::ostream* os) { *os << c.name; }
class UnattendedEnd : public StationRun, public ::testing::WithParamInterface<Arrivals> {};

TEST_P(UnattendedEnd, ComesWhenEveryDeviceHasAResultOrAFailedArrival)
{
    const Arrivals& c = GetParam();
    form->chkUsbPort->SetChecked(c.fixedPort);
    form->CheckManuupgrade->SetChecked(c.manualStart);
    station->bus().plug(sim::Nand128M(), 1);
    station->bus().plug(sim::Nand128M(), 2)->failCommand(0xEF77, 1, sim::FaultKind::Transport);
    EXPECT_FALSE(EveryDeviceSettled(DeviceTallyOf(*form, 2))) << "nothing has arrived yet";
    Deliver();
    WaitForRuns();
    int held = 0;
    for (const auto& slot : form->DeviceSlots)
        held += slot.drive != 0;
    EXPECT_EQ(std::to_string(form->iTotalCount) + "/" + std::to_string(form->iFailedArrivals) + "/" +
                  std::to_string(held),
              c.counts);
    EXPECT_EQ(EveryDeviceSettled(DeviceTallyOf(*form, 2)), c.settled);
    EXPECT_EQ(Status(0), c.manualStart ? "device plugin" : "successful");
}

INSTANTIATE_TEST_SUITE_P(Runs, UnattendedEnd,
                         ::testing::Values(Arrivals{"LoaderRefusedInFixedPortMode", true, false, "1/1/1", true},
                                           Arrivals{"LoaderRefused", false, false, "1/1/2", true},
                                           // The other device waits for the start button.
                                           Arrivals{"ManualStartPending", false, true, "0/1/2", false}),
                         [](const ::testing::TestParamInfo<Arrivals>& info) { return std::string(info.param.name); });

} // namespace
