// The simulated USB bus: letters, volume events, re-plugging, and eight devices at once.
#include "RawCommands.h"
#include "platform/DeviceHandle.h"
#include "platform/DriveMap.h"
#include "support/SimStation.h"

#include <latch>
#include <mutex>
#include <thread>

using namespace simtest;

namespace {

using Events = std::vector<std::pair<bool, uint32_t>>; // arrival, letter mask
uint32_t bit(char letter) { return 1u << (letter - 'A'); }

class SimBusTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        bus().setVolumeCallback([this](bool arrival, uint32_t mask) {
            std::lock_guard<std::mutex> lock(mutex);
            events.emplace_back(arrival, mask);
        });
    }
    Events takeEvents()
    {
        bus().waitForEvents();
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(events, {});
    }
    sim::SimBus& bus() { return station.bus(); }
    uint8_t port(platform::ScsiTransport& t) { return In(t, Cdb({0xEF, 0x9A}), 1)[0]; }

    testsupport::SimStation station{false};
    std::mutex mutex;
    Events events;
};

TEST_F(SimBusTest, PlugBindsLettersAndRaisesArrivals)
{
    auto a = bus().plug(sim::Nand128M(), 1);
    auto b = bus().plug(sim::Nand1G(), 2);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(bus().letterOf(a), 'D');
    EXPECT_EQ(bus().letterOf(b), 'E');
    EXPECT_EQ(takeEvents(), (Events{{true, bit('D')}, {true, bit('E')}}));

    HANDLE h = platform::OpenDrive('E');
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(h->transport.get(), b.get());
    ASSERT_TRUE(UploadLoader(*h->transport, SampleLoader()));
    EXPECT_EQ(port(*h->transport), 0x82);

    auto binding = platform::DriveMap::global().find('E');
    ASSERT_TRUE(binding);
    EXPECT_EQ(binding->volumePath(), "");
    ASSERT_TRUE(In(*h->transport, Cdb({0xEF, 0x73}), 2, 30).status());
    EXPECT_EQ(binding->volumePath(), b->userDiskPath());
    platform::CloseDrive(h);

    // With every letter taken, a further device is refused.
    for (char c = 'F'; c < 'Z'; ++c)
        platform::DriveMap::global().bind(c, platform::DriveBinding{});
    EXPECT_TRUE(bus().plug(sim::Nand128M()));
    EXPECT_EQ(bus().plug(sim::Nand128M()), nullptr);
}

TEST_F(SimBusTest, UnplugReplugResetAndInjectedUnplug)
{
    auto dev = bus().plug(sim::Nand128M());
    ASSERT_TRUE(UploadLoader(*dev, SampleLoader()));
    ASSERT_TRUE(WritePage(*dev, 64, Bytes(2048, 0x36)));
    HANDLE h = platform::OpenDrive('D');
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    takeEvents();
    EXPECT_TRUE(bus().unplug('D'));
    EXPECT_EQ(takeEvents(), (Events{{false, bit('D')}}));
    EXPECT_FALSE(In(*h->transport, Cdb({0x12}), 36).ok);
    EXPECT_EQ(platform::OpenDrive('D'), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(bus().unplug('D'));
    platform::CloseDrive(h);

    EXPECT_FALSE(bus().replug(nullptr));
    ASSERT_TRUE(bus().replug(dev, 4));
    EXPECT_FALSE(bus().replug(dev)); // already plugged
    EXPECT_EQ(dev->state(), SimulatedDevice::State::Rom);
    EXPECT_EQ(dev->storedPage(64), Bytes(2048, 0x36));
    ASSERT_TRUE(UploadLoader(*dev, SampleLoader()));
    EXPECT_EQ(port(*dev), 0x84);

    // A reset makes the device leave and come back; an injected unplug makes it leave.
    takeEvents();
    ASSERT_TRUE(In(*dev, Cdb({0xEF, 0x81}), 0).ok);
    EXPECT_EQ(takeEvents(), (Events{{false, bit('D')}, {true, bit('D')}}));
    EXPECT_EQ(bus().letterOf(dev), 'D');
    bus().setReenumerateOnReset(false);
    ASSERT_TRUE(In(*dev, Cdb({0xEF, 0x81}), 0).ok);
    EXPECT_TRUE(takeEvents().empty());

    dev->unplugAfter(1);
    In(*dev, Cdb({0x12}), 36);
    EXPECT_EQ(takeEvents(), (Events{{false, bit('D')}}));
    EXPECT_EQ(bus().letterOf(dev), 0);
    EXPECT_FALSE(platform::DriveMap::global().find('D'));
}

TEST_F(SimBusTest, DeviceOutlivesItsBus)
{
    std::shared_ptr<SimulatedDevice> dev;
    {
        testsupport::TempDir disks;
        sim::SimBus other(disks.path());
        dev = other.plug(sim::Nand128M());
        ASSERT_TRUE(dev);
    }
    EXPECT_FALSE(dev->plugged());
    EXPECT_FALSE(In(*dev, Cdb({0x12}), 36).ok);
    dev->unplugAfter(0); // no bus to tell: must not crash
}

TEST_F(SimBusTest, EightDevicesFromEightThreads)
{
    constexpr int kDevices = 8;
    sim::FlashProfile profile = sim::Nand128M();
    profile.blocksPerChip = 128;
    profile.usableBlocksPerChip = 120;
    profile.factoryBadBlocks = {7};
    profile.pageFaults.clear();
    std::vector<std::shared_ptr<SimulatedDevice>> devices;
    for (int i = 0; i < kDevices; ++i) // latency slept on the fake clock
        devices.emplace_back(bus().plug(profile, uint8_t(i + 1)))->setLatency(sim::Latency::RealisticNand());
    std::vector<std::string> failures(kDevices);
    // Each session waits at two points for all eight, so all uploads end before any scan.
    std::latch started(kDevices), uploaded(kDevices);
    auto session = [&](int i) -> std::string {
        started.arrive_and_wait();
        HANDLE h = platform::OpenDrive(char('D' + i));
        bool loaded = h != INVALID_HANDLE_VALUE && UploadLoader(*h->transport, SampleLoader());
        uploaded.arrive_and_wait();
        if (h == INVALID_HANDLE_VALUE)
            return "open";
        std::unique_ptr<platform::DeviceHandle, decltype(&platform::CloseDrive)> closer(h, &platform::CloseDrive);
        auto& t = *h->transport;
        if (!loaded || port(t) != (0x80 | (i + 1)))
            return "upload or port";
        for (uint32_t b = 0; b < 120; ++b) {
            Reply r = RunScan(t, Scan{b, uint16_t(0x1000 + i), 2, 3}, 64);
            if (!r.status() || r[1] != (b == 7 ? 0x00 : 0xFF))
                return "scan";
        }
        if (!Stream(t, Pattern(10000, uint8_t(i))) || !In(t, Cdb({0xEF, 0x73}), 2, 30).status())
            return "stream or start disk";
        Bytes data = Pattern(512 * 64, uint8_t(i));
        for (uint32_t lba = 0; lba < 64 * 20; lba += 64)
            if (!Write10(t, lba, data) || Read10(t, lba, 64).data != data)
                return "disk";
        return "";
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < kDevices; ++i)
        threads.emplace_back([&, i] { failures[i] = session(i); });
    for (auto& t : threads)
        t.join();
    for (int i = 0; i < kDevices; ++i) {
        EXPECT_EQ(failures[i], "") << "device " << i;
        EXPECT_EQ(devices[i]->streams().at(0).data, Pattern(10000, uint8_t(i)));
    }
    const auto& ms = sim::Latency::RealisticNand().ms;
    EXPECT_GE(station.clock().sleptMs(),
              uint64_t(kDevices) * (120 * ms[size_t(sim::CommandKind::Scan)] + ms[size_t(sim::CommandKind::StartDisk)]));
}

} // namespace
