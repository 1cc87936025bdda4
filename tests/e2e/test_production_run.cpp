// Runs at once, each keeping the program file its own lookup chose.
#include "StationRun.h"


using namespace e2e;

namespace {

class WholeRun : public StationRun {};

TEST_F(WholeRun, EveryRunWritesTheProgramFileItsOwnLookupChose)
{
    // The 1G flash's description asks for module 1, which only program_m1.bin is built for.
    sim::FlashProfile module1 = sim::Nand1G();
    module1.moduleNumber = 1;
    const auto record = sim::FlashRecordFor(module1, false);
    MakeFile("flash/" + sim::FlashIdText(module1) + ".txt", std::string(record.begin(), record.end()));
    const std::string program = ReadFile(station->file(sim::kKitFirmware));
    std::string programM1 = program;
    programM1[sim::kFirmwareModuleBlockOffset + 2] = 1;
    MakeFile("program_m1.bin", programM1);
    SetCopyList({"program_m1.bin"});
    ASSERT_EQ(form->iProgramIndex, 2) << "the list's firmware entry, which SPI runs take";

    // Three runs at once, then an SPI run after a run that chose program.bin.
    std::vector<std::shared_ptr<sim::SimulatedDevice>> devices;
    for (const auto& profile : {sim::Nand128M(), module1, sim::SpiNor4M()})
        devices.push_back(station->bus().plug(profile));
    Deliver();
    WaitForRuns();
    devices.push_back(Run(sim::Nand128M()));
    devices.push_back(Run(sim::SpiNor4M()));

    const std::string* own[] = {&program, &programM1, &programM1, &program, &programM1};
    for (size_t i = 0; i < devices.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Status(int(i)), "successful");
        const auto streams = devices[i]->streams();
        ASSERT_FALSE(streams.empty());
        EXPECT_TRUE(std::string(streams[0].data.begin(), streams[0].data.end()) == *own[i]);
    }
    EXPECT_EQ(form->iProgramIndex, 2);
}

} // namespace
