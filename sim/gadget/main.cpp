// mptool-gadget: one simulated 6205 controller as a real USB disk. It serves a FunctionFS
// function of a configfs gadget with Bulk-Only Transport and binds the gadget to a USB
// device controller (dummy_hcd in the VM check), so the kernel's usb-storage, sd and sg
// drivers see a USB disk whose vendor commands the simulator answers.
//
//   mptool-gadget --ffs DIR --udc-file FILE --udc NAME --disks DIR [--id NAME] [--port N]
//                 [--fail CODE:NTH] [--unplug-after CODE:NTH]
//
// --ffs DIR          the mounted FunctionFS instance (ep0 is written, ep1/ep2 appear)
// --udc-file FILE    the gadget's UDC attribute in configfs; NAME is written to bind
// --disks DIR        where the device's disk files go; they stay when the program ends
// --id NAME          names the disk files (NAME-user.img, NAME-hidden.img)
// --port N           the USB port the device reports (EF 9A)
// --fail CODE:NTH    the NTH command with this code (hex, as EF70) is refused
// --unplug-after CODE:NTH  the device is pulled after answering that command
// --running-loader   the controller still runs a loader when plugged in (produced before
//                    and never powered off), so the tool resets it first
//
// A device reset (EF 81) unplugs and plugs the gadget in again; SIGTERM unplugs it and ends.
#include "sim/Profiles.h"
#include "sim/SimulatedDevice.h"
#include "sim/gadget/ScsiFront.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <endian.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint32_t kCbwSignature = 0x43425355; // "USBC"
constexpr uint32_t kCswSignature = 0x53425355; // "USBS"
constexpr int kCbwLength = 31;
constexpr uint32_t kPacket = 512;              // high-speed bulk packet
constexpr uint32_t kMaxTransfer = 16u << 20;

struct Options {
    std::string ffs, udcFile, udc, disks, id = "gadget";
    int port = 0;
    uint16_t failCode = 0, unplugCode = 0;
    uint32_t failNth = 0, unplugNth = 0;
    bool runningLoader = false;
};

bool parseCodeNth(const char* text, uint16_t& code, uint32_t& nth)
{
    unsigned c = 0, n = 0;
    if (std::sscanf(text, "%x:%u", &c, &n) != 2 || c > 0xFFFF || n == 0)
        return false;
    code = uint16_t(c);
    nth = n;
    return true;
}

bool parse(int argc, char** argv, Options& o)
{
    for (int i = 1; i < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--running-loader") {
            o.runningLoader = true;
            --i;
            continue;
        }
        if (i + 1 >= argc)
            return false;
        const char* v = argv[i + 1];
        if (a == "--ffs") o.ffs = v;
        else if (a == "--udc-file") o.udcFile = v;
        else if (a == "--udc") o.udc = v;
        else if (a == "--disks") o.disks = v;
        else if (a == "--id") o.id = v;
        else if (a == "--port") o.port = std::atoi(v);
        else if (a == "--fail") { if (!parseCodeNth(v, o.failCode, o.failNth)) return false; }
        else if (a == "--unplug-after") { if (!parseCodeNth(v, o.unplugCode, o.unplugNth)) return false; }
        else return false;
    }
    return !o.ffs.empty() && !o.udcFile.empty() && !o.udc.empty() && !o.disks.empty();
}

// ---- the USB side ----

struct __attribute__((packed)) Endpoints {
    usb_interface_descriptor intf;
    usb_endpoint_descriptor_no_audio in, out;
};

struct __attribute__((packed)) Descriptors {
    usb_functionfs_descs_head_v2 header;
    uint32_t fsCount, hsCount;
    Endpoints fs, hs;
};

Endpoints endpoints(uint16_t packet)
{
    Endpoints e{};
    e.intf = {USB_DT_INTERFACE_SIZE, USB_DT_INTERFACE, 0, 0, 2, USB_CLASS_MASS_STORAGE, 0x06, 0x50, 1};
    e.in = {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, 1 | USB_DIR_IN, USB_ENDPOINT_XFER_BULK, htole16(packet), 0};
    e.out = {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, 2 | USB_DIR_OUT, USB_ENDPOINT_XFER_BULK, htole16(packet), 0};
    return e;
}

constexpr char kInterfaceName[] = "6205 mass storage";
struct __attribute__((packed)) Strings {
    usb_functionfs_strings_head header;
    uint16_t language;
    char text[sizeof kInterfaceName];
};

// Uploads a small loader the way the tool does (size, piece, 16-bit byte sum).
bool startLoader(sim::SimulatedDevice& device)
{
    std::vector<uint8_t> loader(512, 0x5A);
    uint32_t sum = 0;
    for (uint8_t b : loader)
        sum += b;
    uint8_t reply = 0;
    const uint8_t begin[6] = {0xEF, 0x77, 0, 0, uint8_t(loader.size() >> 8), uint8_t(loader.size())};
    const uint8_t piece[6] = {0xEE, 0x78};
    const uint8_t end[6] = {0xEF, 0x79, uint8_t(sum >> 8), uint8_t(sum)};
    using platform::Direction;
    return device.execute(begin, 6, Direction::In, &reply, 1, 5) &&
           device.execute(piece, 6, Direction::Out, loader.data(), uint32_t(loader.size()), 5) &&
           device.execute(end, 6, Direction::In, &reply, 1, 5) && device.state() == sim::SimulatedDevice::State::Loader;
}

bool writeAll(int fd, const void* data, size_t size)
{
    return ::write(fd, data, size) == ssize_t(size);
}

// Unbinds the gadget from its controller (an unplug) or binds it (a plug). Safe in a
// signal handler.
int g_udcFd = -1;
bool setUdc(const char* name, size_t length)
{
    return ::pwrite(g_udcFd, name, length, 0) == ssize_t(length);
}
void unplugUsb() { setUdc("\n", 1); }

void onTerminate(int)
{
    unplugUsb();
    // The disk files are the run's result: no destructor removes them.
    ::_exit(0);
}

class Control {
public:
    explicit Control(int ep0) : ep0_(ep0) {}
    void run()
    {
        usb_functionfs_event events[4];
        for (;;) {
            ssize_t n = ::read(ep0_, events, sizeof events);
            if (n < 0) {
                if (errno == EINTR || errno == EAGAIN)
                    continue;
                return;
            }
            for (size_t i = 0; i < size_t(n) / sizeof events[0]; ++i)
                handle(events[i]);
        }
    }
    // Waits until the host has configured the device.
    void waitEnabled()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [this] { return enabled_; });
    }

private:
    void handle(const usb_functionfs_event& e)
    {
        switch (e.type) {
        case FUNCTIONFS_ENABLE:
            setEnabled(true);
            break;
        case FUNCTIONFS_DISABLE:
        case FUNCTIONFS_UNBIND:
            setEnabled(false);
            break;
        case FUNCTIONFS_SETUP:
            setup(e.u.setup);
            break;
        default:
            break;
        }
    }
    void setEnabled(bool on)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        enabled_ = on;
        cv_.notify_all();
    }
    // Get Max LUN and Bulk-Only Mass Storage Reset; anything else is stalled. Answered on
    // this thread so they never wait behind a bulk transfer.
    void setup(const usb_ctrlrequest& r)
    {
        const bool in = r.bRequestType & USB_DIR_IN;
        if (r.bRequestType == 0xA1 && r.bRequest == 0xFE) {
            const uint8_t maxLun = 0;
            (void)::write(ep0_, &maxLun, 1);
        } else if (r.bRequestType == 0x21 && r.bRequest == 0xFF) {
            (void)::read(ep0_, nullptr, 0);
        } else if (in) {
            (void)::read(ep0_, nullptr, 0); // the wrong direction stalls
        } else {
            (void)::write(ep0_, nullptr, 0);
        }
    }

    int ep0_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool enabled_ = false;
};

bool readFull(int fd, uint8_t* data, uint32_t length)
{
    uint32_t done = 0;
    while (done < length) {
        ssize_t n = ::read(fd, data + done, length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += uint32_t(n);
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    if (!parse(argc, argv, o)) {
        std::fprintf(stderr, "usage: mptool-gadget --ffs DIR --udc-file FILE --udc NAME --disks DIR "
                             "[--id NAME] [--port N] [--fail CODE:NTH] [--unplug-after CODE:NTH] "
                             "[--running-loader]\n");
        return 2;
    }
    const std::string tag = "mptool-gadget " + o.id + ": ";
    g_udcFd = ::open(o.udcFile.c_str(), O_WRONLY | O_CLOEXEC);
    int ep0 = ::open((o.ffs + "/ep0").c_str(), O_RDWR | O_CLOEXEC);
    if (g_udcFd < 0 || ep0 < 0) {
        std::fprintf(stderr, "%scannot open %s or %s/ep0: %s\n", tag.c_str(), o.udcFile.c_str(),
                     o.ffs.c_str(), std::strerror(errno));
        return 1;
    }

    Descriptors d{};
    d.header.magic = htole32(FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
    d.header.flags = htole32(FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
    d.header.length = htole32(sizeof d);
    d.fsCount = htole32(3);
    d.hsCount = htole32(3);
    d.fs = endpoints(64);
    d.hs = endpoints(uint16_t(kPacket));
    Strings s{};
    s.header.magic = htole32(FUNCTIONFS_STRINGS_MAGIC);
    s.header.length = htole32(sizeof s);
    s.header.str_count = htole32(1);
    s.header.lang_count = htole32(1);
    s.language = htole16(0x0409);
    std::memcpy(s.text, kInterfaceName, sizeof kInterfaceName);
    if (!writeAll(ep0, &d, sizeof d) || !writeAll(ep0, &s, sizeof s)) {
        std::fprintf(stderr, "%sthe descriptors were refused: %s\n", tag.c_str(), std::strerror(errno));
        return 1;
    }
    const int epIn = ::open((o.ffs + "/ep1").c_str(), O_RDWR | O_CLOEXEC);
    const int epOut = ::open((o.ffs + "/ep2").c_str(), O_RDWR | O_CLOEXEC);
    if (epIn < 0 || epOut < 0) {
        std::fprintf(stderr, "%sno bulk endpoints: %s\n", tag.c_str(), std::strerror(errno));
        return 1;
    }

    sim::SimulatedDevice device(sim::Nand128M(), o.disks, o.id, uint8_t(o.port));
    if (o.runningLoader && !startLoader(device)) {
        std::fprintf(stderr, "%sthe loader did not start\n", tag.c_str());
        return 1;
    }
    if (o.failCode)
        device.failCommand(o.failCode, o.failNth, sim::FaultKind::Transport);
    std::atomic<bool> restarted{false};
    device.setListener([&restarted](sim::SimulatedDevice::Event e) {
        if (e == sim::SimulatedDevice::Event::Reset)
            restarted = true;
    });
    sim::gadget::ScsiFront front(device);
    front.pluggedIn();

    Control control(ep0);
    std::thread(&Control::run, &control).detach();
    std::signal(SIGTERM, onTerminate);
    std::signal(SIGINT, onTerminate);
    if (!setUdc(o.udc.c_str(), o.udc.size())) {
        std::fprintf(stderr, "%scannot bind to %s: %s\n", tag.c_str(), o.udc.c_str(), std::strerror(errno));
        return 1;
    }

    // MPTOOL_GADGET_TRACE=1: one line per command on standard error.
    const bool trace = std::getenv("MPTOOL_GADGET_TRACE") != nullptr;
    uint32_t unplugCount = 0;
    std::vector<uint8_t> data;
    for (;;) {
        control.waitEnabled();
        uint8_t cbw[kPacket];
        ssize_t n = ::read(epOut, cbw, sizeof cbw);
        if (n < 0) {
            if (errno != EINTR)
                ::usleep(10000); // disabled meanwhile: wait for the host again
            continue;
        }
        if (n != kCbwLength || le32toh(*reinterpret_cast<uint32_t*>(cbw)) != kCbwSignature)
            continue; // not a command block: the host resets the transport
        uint32_t tag32, length;
        std::memcpy(&tag32, cbw + 4, 4);
        std::memcpy(&length, cbw + 8, 4);
        length = le32toh(length);
        const bool dataIn = cbw[12] & 0x80;
        const int cdbLength = cbw[14] & 0x1F;
        const uint8_t* cdb = cbw + 15;

        sim::gadget::Answer answer;
        answer.good = false;
        bool carried = length <= kMaxTransfer;
        data.assign(carried ? length : 0, 0);
        if (carried && !dataIn && length > 0)
            carried = readFull(epOut, data.data(), length);
        if (carried)
            answer = front.run(cdb, cdbLength, dataIn, data.data(), length);
        uint32_t residue = 0;
        if (dataIn && length > 0) {
            const uint32_t sent = answer.good ? answer.dataLength : 0;
            if (sent > 0 && !writeAll(epIn, data.data(), sent))
                continue;
            residue = length - sent;
            // A short reply that ends on a packet boundary is not seen as short: the halt
            // tells the host the data phase is over.
            if (residue > 0 && sent % kPacket == 0)
                (void)::read(epIn, cbw, 1);
        } else if (!dataIn && !carried) {
            residue = length;
        }
        uint8_t csw[13];
        const uint32_t signature = htole32(kCswSignature);
        const uint32_t residueLe = htole32(residue);
        std::memcpy(csw, &signature, 4);
        std::memcpy(csw + 4, &tag32, 4);
        std::memcpy(csw + 8, &residueLe, 4);
        csw[12] = answer.good ? 0 : 1;
        if (!writeAll(epIn, csw, sizeof csw))
            continue;

        const uint16_t code = sim::CommandCode(cdb, cdbLength);
        if (trace)
            std::fprintf(stderr, "%s%04X %s %u: %s\n", tag.c_str(), code, dataIn ? "in" : "out", length,
                         answer.good ? "good" : "check condition");
        if (o.unplugCode && code == o.unplugCode && ++unplugCount == o.unplugNth) {
            std::fprintf(stderr, "%spulled after command %04X #%u\n", tag.c_str(), code, unplugCount);
            onTerminate(0);
        }
        if (restarted.exchange(false)) {
            // The controller restarted: it leaves the bus and comes back in ROM state. It
            // stays away as long as a controller's restart takes: back within the host's
            // debounce, the host would only reset the port and keep the old device.
            const bool left = setUdc("\n", 1);
            ::sleep(3);
            device.powerCycle();
            front.pluggedIn();
            const bool back = setUdc(o.udc.c_str(), o.udc.size());
            std::fprintf(stderr, "%srestarted: %s, %s\n", tag.c_str(), left ? "unplugged" : "not unplugged",
                         back ? "plugged in again" : std::strerror(errno));
        }
    }
}
