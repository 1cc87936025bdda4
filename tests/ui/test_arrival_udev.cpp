// Real devices: udev disk events become drive letters and volume events.
#include "platform/UdevMonitor.h"

#include <gtest/gtest.h>

using platform::DriveMap;
using platform::UdevMonitor;

TEST(UdevMonitor, UsbDiskGetsTheFirstFreeLetterAndGivesItBackOnRemoval)
{
    DriveMap drives;
    std::vector<std::pair<bool, uint32_t>> events;
    std::vector<std::string> opened;
    UdevMonitor monitor(
        drives, [&](const std::string& node) { opened.push_back(node); return nullptr; },
        [&](bool arrival, uint32_t mask) { events.emplace_back(arrival, mask); });

    monitor.handle("add", "/dev/sdb", true);
    monitor.handle("add", "/dev/sdc", true);
    monitor.handle("add", "/dev/sda", false);  // not on USB: ignored
    monitor.handle("add", "/dev/sdb", true);   // repeated add: ignored
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0], std::make_pair(true, 1u << ('D' - 'A')));
    EXPECT_EQ(events[1], std::make_pair(true, 1u << ('E' - 'A')));
    EXPECT_EQ(monitor.letterOf("/dev/sdc"), 'E');

    auto binding = drives.find('D');
    ASSERT_TRUE(binding.has_value());
    EXPECT_EQ(binding->name, "/dev/sdb");
    EXPECT_EQ(binding->volumePath(), "/dev/sdb");
    binding->open();
    EXPECT_EQ(opened, std::vector<std::string>{"/dev/sdb"});

    monitor.handle("remove", "/dev/sdb", true);
    monitor.handle("remove", "/dev/sdz", true); // never seen: nothing
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[2], std::make_pair(false, 1u << ('D' - 'A')));
    EXPECT_FALSE(drives.find('D').has_value());
    EXPECT_EQ(monitor.letterOf("/dev/sdb"), 0);
}
