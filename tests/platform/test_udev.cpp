// The udev monitor's decisions, fed with devices as libudev presents them (no kernel needed).
#include "platform/UdevMonitor.h"

#include "platform/DeviceAccess.h"
#include "platform/DeviceHandle.h"
#include "platform/DriveMap.h"
#include "support/RecordingTransport.h"

#include <gtest/gtest.h>

#include <cerrno>

#include <string>
#include <vector>

using platform::UdevDevice;

namespace {

UdevDevice Usb(const std::string& action, const std::string& node)
{
    return {action, "block", "disk", "usb", node};
}

// "+D" for an arrival on D, "-D" for a removal; then the bound letters as "D=/dev/sdb".
struct Outcome {
    std::string events;
    std::string letters;
};

Outcome Monitor(const std::vector<UdevDevice>& devices)
{
    platform::DriveMap drives;
    std::vector<std::string> opened;
    Outcome out;
    platform::UdevMonitor monitor(
        drives,
        [&opened](const std::string& node) -> std::shared_ptr<platform::ScsiTransport> {
            opened.push_back(node);
            return nullptr;
        },
        [&out](bool arrival, uint32_t mask) {
            for (int i = 0; i < 26; ++i)
                if (mask & (1u << i))
                    out.events += std::string(out.events.empty() ? "" : " ") + (arrival ? "+" : "-") + char('A' + i);
        });
    for (const UdevDevice& d : devices)
        monitor.handle(d);
    for (char letter : drives.letters()) {
        const auto binding = drives.find(letter);
        const std::string node = binding->volumePath();
        // The letter opens the node it stands for, and the monitor knows it by that node.
        binding->open();
        EXPECT_EQ(opened.back(), node);
        EXPECT_EQ(monitor.letterOf(node), letter);
        out.letters += std::string(out.letters.empty() ? "" : " ") + letter + "=" + node;
    }
    return out;
}

struct Row {
    const char* name;
    std::vector<UdevDevice> devices;
    Outcome expected;
};

std::vector<Row> Rows()
{
    std::vector<Row> rows = {
        {"UsbDiskArrivesAndLeaves", {Usb("add", "/dev/sdb"), Usb("remove", "/dev/sdb")}, {"+D -D", ""}},
        // Only a USB whole disk reaches production; a USB disk after the others still does.
        {"OtherDisksStayAway",
         {{"add", "block", "disk", "ata", "/dev/sda"},
          {"add", "block", "disk", "nvme", "/dev/nvme0n1"},
          {"add", "block", "disk", "", "/dev/mmcblk0"}, // a card reader on the PCI bus
          {"add", "block", "disk", "", "/dev/loop0"},
          {"add", "block", "disk", "scsi", "/dev/sdc"},
          {"add", "block", "partition", "usb", "/dev/sdb1"},
          {"add", "scsi_generic", "", "usb", "/dev/sg1"},
          Usb("add", "/dev/sde")},
         {"+D", "D=/dev/sde"}},
        {"NoNodeOrNoActionIsNoDevice", {Usb("add", ""), Usb("", "/dev/sdb")}, {"", ""}},
        // Media changes, our own mkfs.fat and `udevadm trigger` send "change" and repeated
        // "add"s for a disk in production: none of them is a new device.
        {"ChangesAndRepeatedAddsKeepTheLetter",
         {Usb("add", "/dev/sdb"), Usb("change", "/dev/sdb"), Usb("add", "/dev/sdb"), Usb("change", "/dev/sdc"),
          Usb("bind", "/dev/sdc")},
         {"+D", "D=/dev/sdb"}},
        // A removal carries what udev's database held; it releases by node alone.
        {"RemovalByNode",
         {Usb("add", "/dev/sdb"), Usb("remove", "/dev/sdc"), {"remove", "block", "disk", "ata", "/dev/sda"},
          {"remove", "block", "disk", "", "/dev/sdb"}},
         {"+D -D", ""}},
        {"FreedLetterGoesToTheNextDevice",
         {Usb("add", "/dev/sdb"), Usb("add", "/dev/sdc"), Usb("remove", "/dev/sdb"), Usb("add", "/dev/sdd"),
          Usb("add", "/dev/sdb")},
         {"+D +E -D +D +F", "D=/dev/sdd E=/dev/sdc F=/dev/sdb"}},
    };
    // 23 at once take every letter; the 24th is left unseen, and a freed letter goes to the
    // device plugged in after it.
    Row full{"TwentyFourAtOnce", {}, {"", ""}};
    for (char c = 'D'; c <= 'Z'; ++c)
        full.expected.events += std::string(c == 'D' ? "+" : " +") + c;
    full.expected.events += " -F +F";
    for (int i = 0; i < 24; ++i)
        full.devices.push_back(Usb("add", "/dev/sd" + std::to_string(i)));
    full.devices.push_back(Usb("remove", "/dev/sd2"));
    full.devices.push_back(Usb("add", "/dev/sdx"));
    for (int i = 0; i < 23; ++i)
        full.expected.letters += std::string(i ? " " : "") + char('D' + i) + "=/dev/" +
                                 (i == 2 ? std::string("sdx") : "sd" + std::to_string(i));
    rows.push_back(full);
    return rows;
}

} // namespace

TEST(UdevMonitor, DecisionsOnUdevDevices)
{
    for (const Row& row : Rows()) {
        SCOPED_TRACE(row.name);
        const Outcome got = Monitor(row.devices);
        EXPECT_EQ(got.events, row.expected.events);
        EXPECT_EQ(got.letters, row.expected.letters);
    }
    // A node the process may not open is told once per device: the next device plugged in
    // there after a removal is told afresh.
    using platform::ReportAccessRefused;
    ASSERT_TRUE(ReportAccessRefused("/dev/sdq", platform::AccessRefusal::Open, EACCES));
    EXPECT_FALSE(ReportAccessRefused("/dev/sdq", platform::AccessRefusal::Open, EACCES));
    Monitor({Usb("add", "/dev/sdq"), Usb("remove", "/dev/sdq")});
    EXPECT_TRUE(ReportAccessRefused("/dev/sdq", platform::AccessRefusal::Open, EACCES));
}

// A letter opens only while bound to something that opens.
TEST(DriveMap, LetterOpensOnlyThroughABindingThatOpens)
{
    auto& drives = platform::DriveMap::global();
    const auto transport = std::make_shared<testsupport::RecordingTransport>();
    drives.bind('X', {});
    drives.bind('Y', {[] { return std::shared_ptr<platform::ScsiTransport>(); }});
    drives.bind('A', {[transport] { return transport; }});
    drives.bind('z', {[transport] { return transport; }});
    drives.release('W');
    EXPECT_FALSE(drives.bind('1', {[transport] { return transport; }}) || drives.bind('[', {}));
    {
        // A thread pinned to one letter's binding reaches the other letters as before.
        platform::DrivePin pinned('A', drives.serialOf('A')), stale('z', drives.serialOf('Z') + 1000);
        EXPECT_TRUE(drives.find('A') && !drives.find('Z') && drives.serialOf('A') != 0);
    }
    for (char letter : {'W', 'X', 'Y', 'A', 'Z', '@'}) {
        HANDLE h = platform::OpenDrive(letter);
        EXPECT_EQ(h != INVALID_HANDLE_VALUE, letter == 'A' || letter == 'Z') << letter;
        platform::CloseDrive(h);
    }
    for (char letter : {'A', 'X', 'Y', 'Z'})
        drives.release(letter);
}
