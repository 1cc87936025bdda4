// The simulated USB bus: letters, volume events, re-plugging, and eight devices at once.
#include "RawCommands.h"
#include "platform/DeviceHandle.h"
#include "platform/DriveMap.h"
#include "sim/Profiles.h"
#include "support/SimStation.h"

#include <gtest/gtest.h>

#include <latch>
#include <mutex>
#include <thread>

using namespace simtest;
using sim::SimulatedDevice;

namespace {

struct VolumeEvent {
    bool arrival;
    uint32_t mask;
    bool operator==(const VolumeEvent& o) const { return arrival == o.arrival && mask == o.mask; }
};

uint32_t bit(char letter) { return 1u << (letter - 'A'); }

class SimBusTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        station.bus().setVolumeCallback([this](bool arrival, uint32_t mask) {
            std::lock_guard<std::mutex> lock(mutex);
            events.push_back({arrival, mask});
        });
    }
    std::vector<VolumeEvent> takeEvents()
    {
        station.bus().waitForEvents();
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(events, {});
    }

    testsupport::SimStation station{false};
    std::mutex mutex;
    std::vector<VolumeEvent> events;
};

TEST_F(SimBusTest, PlugBindsLettersAndRaisesArrivals)
{
    auto a = station.bus().plug(sim::Nand128M(), 1);
    auto b = station.bus().plug(sim::Nand1G(), 2);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(station.bus().letterOf(a), 'D');
    EXPECT_EQ(station.bus().letterOf(b), 'E');
    EXPECT_EQ(takeEvents(), (std::vector<VolumeEvent>{{true, bit('D')}, {true, bit('E')}}));
    EXPECT_EQ(platform::DriveMap::global().letters(), (std::vector<char>{'D', 'E'}));

    HANDLE h = platform::OpenDrive('E');
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(h->transport.get(), b.get());
    EXPECT_EQ(In(*h->transport, Cdb({0xEF, 0x9A}, 6), 1).ok, false); // ROM state
    ASSERT_TRUE(UploadLoader(*h->transport, SampleLoader()));
    EXPECT_EQ(In(*h->transport, Cdb({0xEF, 0x9A}, 6), 1)[0], 0x82);

    auto binding = platform::DriveMap::global().find('E');
    ASSERT_TRUE(binding);
    EXPECT_EQ(binding->name, "sim:" + b->id());
    EXPECT_EQ(binding->volumePath(), "");
    ASSERT_TRUE(In(*h->transport, Cdb({0xEF, 0x73}, 6), 2, 30).status());
    EXPECT_EQ(binding->volumePath(), b->userDiskPath());
    EXPECT_EQ(b->userDiskPath().rfind(station.bus().diskFolder(), 0), 0u);
    platform::CloseDrive(h);
}

TEST_F(SimBusTest, UnplugReleasesTheLetterAndFailsOpenHandles)
{
    auto dev = station.bus().plug(sim::Nand128M());
    HANDLE h = platform::OpenDrive('D');
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    takeEvents();
    EXPECT_TRUE(station.bus().unplug('D'));
    EXPECT_EQ(takeEvents(), (std::vector<VolumeEvent>{{false, bit('D')}}));
    EXPECT_FALSE(In(*h->transport, Cdb({0x12}, 6), 36).ok);
    EXPECT_EQ(platform::OpenDrive('D'), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(station.bus().unplug('D'));
    platform::CloseDrive(h);
}

TEST_F(SimBusTest, ReplugKeepsTheFlashAndStartsInRom)
{
    auto dev = station.bus().plug(sim::Nand128M());
    ASSERT_TRUE(UploadLoader(*dev, SampleLoader()));
    ASSERT_TRUE(WritePage(*dev, 64, Bytes(2048, 0x36)));
    ASSERT_TRUE(station.bus().unplug(dev));
    EXPECT_FALSE(station.bus().replug(nullptr));
    ASSERT_TRUE(station.bus().replug(dev, 4));
    EXPECT_FALSE(station.bus().replug(dev)); // already plugged
    EXPECT_EQ(dev->state(), SimulatedDevice::State::Rom);
    EXPECT_EQ(dev->storedPage(64), Bytes(2048, 0x36));
    ASSERT_TRUE(UploadLoader(*dev, SampleLoader()));
    EXPECT_EQ(In(*dev, Cdb({0xEF, 0x9A}, 6), 1)[0], 0x84);
}

TEST_F(SimBusTest, ResetMakesTheDeviceLeaveAndComeBack)
{
    auto dev = station.bus().plug(sim::Nand128M());
    takeEvents();
    ASSERT_TRUE(UploadLoader(*dev, SampleLoader()));
    ASSERT_TRUE(NoData(*dev, Cdb({0xEF, 0x81}, 6)));
    EXPECT_EQ(takeEvents(), (std::vector<VolumeEvent>{{false, bit('D')}, {true, bit('D')}}));
    EXPECT_EQ(station.bus().letterOf(dev), 'D');

    station.bus().setReenumerateOnReset(false);
    ASSERT_TRUE(NoData(*dev, Cdb({0xEF, 0x81}, 6)));
    EXPECT_TRUE(takeEvents().empty());
}

TEST_F(SimBusTest, InjectedUnplugRaisesRemoval)
{
    auto dev = station.bus().plug(sim::Nand128M());
    takeEvents();
    dev->unplugAfter(1);
    In(*dev, Cdb({0x12}, 6), 36);
    EXPECT_EQ(takeEvents(), (std::vector<VolumeEvent>{{false, bit('D')}}));
    EXPECT_EQ(station.bus().letterOf(dev), 0);
    EXPECT_FALSE(platform::DriveMap::global().find('D'));
}

TEST_F(SimBusTest, NoFreeLetter)
{
    for (char c = 'D'; c < 'Z'; ++c)
        platform::DriveMap::global().bind(c, platform::DriveBinding{});
    EXPECT_TRUE(station.bus().plug(sim::Nand128M()));
    EXPECT_EQ(station.bus().plug(sim::Nand128M()), nullptr);
}

TEST_F(SimBusTest, DeviceOutlivesItsBus)
{
    std::shared_ptr<SimulatedDevice> dev;
    {
        testsupport::TempDir disks;
        sim::SimBus bus(disks.path());
        dev = bus.plug(sim::Nand128M());
        ASSERT_TRUE(dev);
    }
    EXPECT_FALSE(dev->plugged());
    EXPECT_FALSE(In(*dev, Cdb({0x12}, 6), 36).ok);
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
    for (int i = 0; i < kDevices; ++i) {
        devices.push_back(station.bus().plug(profile, uint8_t(i + 1)));
        devices.back()->setLatency(sim::Latency::RealisticNand()); // slept on the fake clock
    }
    std::vector<std::string> failures(kDevices);
    // Every session is held at two points until all eight have reached it, so the
    // sessions overlap: all uploads are done before any scan starts.
    std::latch started(kDevices), uploaded(kDevices);

    std::vector<std::thread> threads;
    for (int i = 0; i < kDevices; ++i) {
        threads.emplace_back([&, i] {
            started.arrive_and_wait();
            HANDLE h = platform::OpenDrive(char('D' + i));
            bool opened = h != INVALID_HANDLE_VALUE;
            bool loaded = opened && UploadLoader(*h->transport, SampleLoader());
            uploaded.arrive_and_wait();
            if (!opened) {
                failures[i] = "open";
                return;
            }
            auto& t = *h->transport;
            auto fail = [&](const char* what) {
                failures[i] = what;
                platform::CloseDrive(h);
            };
            if (!loaded)
                return fail("upload");
            if (In(t, Cdb({0xEF, 0x9A}, 6), 1)[0] != (0x80 | (i + 1)))
                return fail("port");
            for (uint32_t b = 0; b < 120; ++b) {
                Reply r = RunScan(t, Scan{b, uint16_t(0x1000 + i), 2, 3}, 64);
                if (!r.status() || r[1] != (b == 7 ? 0x00 : 0xFF))
                    return fail("scan");
            }
            if (!Stream(t, Pattern(10000, uint8_t(i))))
                return fail("stream");
            if (!In(t, Cdb({0xEF, 0x73}, 6), 2, 30).status())
                return fail("start disk");
            Bytes data = Pattern(512 * 64, uint8_t(i));
            for (uint32_t lba = 0; lba < 64 * 20; lba += 64)
                if (!Write10(t, lba, data) || Read10(t, lba, 64).data != data)
                    return fail("disk");
            platform::CloseDrive(h);
        });
    }
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
