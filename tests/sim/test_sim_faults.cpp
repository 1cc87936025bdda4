// Fault injection, latency and the command log of the simulated controller.
#include "RawCommands.h"
#include "platform/Clock.h"

using namespace simtest;
using sim::FaultKind;

namespace {

class SimFaults : public LoadedDevice {
protected:
    void SetUp() override
    {
        platform::SetClock(&clock);
        LoadedDevice::SetUp();
    }
    void TearDown() override { platform::SetClock(nullptr); }
    Reply module(uint8_t n = 0) { return In(dev, Cdb({0xEF, 0x8D}).set(2, n), 1); }
    platform::FakeClock clock;
};

TEST_F(SimFaults, NthCommandFailsAsTransportFailureOrRefusal)
{
    dev.failCommand(0xEF8D, 2, FaultKind::Transport);
    EXPECT_TRUE(module(1).status());
    EXPECT_FALSE(module(2).ok);
    EXPECT_EQ(dev.moduleNumber(), 1); // the failed request was not carried out
    EXPECT_TRUE(module(3).status());
    // Two rules for one code count side by side.
    dev.failCommand(0xEF8D, 1, FaultKind::Transport);
    dev.failCommand(0xEF8D, 3, FaultKind::StatusClear);
    EXPECT_FALSE(module().ok);
    EXPECT_TRUE(module(3).status());
    EXPECT_TRUE(module(7).refused());
    EXPECT_EQ(dev.moduleNumber(), 3); // a refused request is not carried out either
    EXPECT_TRUE(module().status());
    // Other codes are not counted.
    dev.failCommand(0xEF84, 1, FaultKind::Transport);
    EXPECT_TRUE(In(dev, Cdb({0xEF, 0x8B}), 1).ok);
    EXPECT_FALSE(In(dev, Cdb({0xEF, 0x84}), 1).ok);

    // A data-out command has no status byte: the refusal fails the transfer. Nine failures in
    // a row, then the tenth stream goes through.
    const Bytes program = Pattern(3000, 1);
    dev.failCommand(0xEE7B, 1, FaultKind::StatusClear, 9);
    int attempts = 0;
    while (attempts < 10 && !Stream(dev, program))
        ++attempts;
    EXPECT_EQ(attempts, 9);
    ASSERT_EQ(dev.streams().size(), 10u);
    EXPECT_TRUE(dev.streams().back().ended);
    EXPECT_EQ(dev.streams().back().data, program);
}

TEST_F(SimFaults, UnplugAfterNCommandsAndClearingFaults)
{
    dev.failCommand(0xEF84, 1, FaultKind::Transport);
    dev.unplugAfter(1);
    dev.clearFaults();
    EXPECT_TRUE(In(dev, Cdb({0xEF, 0x84}), 1).ok);
    EXPECT_TRUE(dev.plugged());

    dev.unplugAfter(2);
    EXPECT_TRUE(In(dev, Cdb({0xEF, 0x84}), 1).ok);
    EXPECT_TRUE(In(dev, Cdb({0xEF, 0x84}), 1).ok);
    EXPECT_FALSE(dev.plugged());
    EXPECT_FALSE(In(dev, Cdb({0xEF, 0x84}), 1).ok);
    EXPECT_FALSE(In(dev, Cdb({0x12}), 36).ok);
    EXPECT_FALSE(dev.commandLog().back().ok);
}

TEST_F(SimFaults, LatencyGoesThroughTheClock)
{
    EXPECT_EQ(clock.sleptMs(), 0u); // none by default
    dev.setLatency(sim::Latency::RealisticNand());
    const auto& ms = sim::Latency::RealisticNand().ms;
    const uint64_t scan = ms[size_t(sim::CommandKind::Scan)];
    RunScan(dev, Scan{}, 64);
    EXPECT_EQ(clock.sleptMs(), scan);
    RunScan(dev, Scan{.count = 3}, 64);
    EXPECT_EQ(clock.sleptMs(), 4 * scan);
    In(dev, Cdb({0xEF, 0x73}), 2, 30);
    EXPECT_EQ(clock.sleptMs() - 4 * scan, ms[size_t(sim::CommandKind::StartDisk)]);
}

TEST_F(SimFaults, CommandLogRecordsWhatWasSent)
{
    dev.clearLog();
    module(9);
    WritePage(dev, 64, Bytes(2048, 0x5C), 0x01);
    In(dev, Cdb({0xEF, 0x01}), 1);
    auto log = dev.commandLog();
    ASSERT_EQ(log.size(), 3u);
    const auto& m = log[0];
    EXPECT_TRUE(m.code == 0xEF8D && m.cdb[2] == 9 && m.cdbLength == 6 && m.direction == Direction::In);
    EXPECT_TRUE(m.length == 1 && m.timeoutSeconds == 12 && m.ok && m.replyByte0 == 1);
    EXPECT_TRUE(log[1].code == 0xEE95 && log[1].cdb[8] == 0x01 && log[1].timeoutSeconds == 10);
    EXPECT_EQ(log[1].dataOut, Bytes(512, 0x5C)); // the first 512 bytes
    EXPECT_FALSE(log[2].ok);
    EXPECT_EQ(sim::CommandCode(log[2].cdb.data(), 6), 0xEF01);
    EXPECT_EQ(sim::CommandCode(Cdb({0x28}, 10).b, 10), 0x28);
    EXPECT_EQ(dev.countOf(0xEE95), 1u);
    dev.clearLog();
    EXPECT_TRUE(dev.commandLog().empty());
}

} // namespace
