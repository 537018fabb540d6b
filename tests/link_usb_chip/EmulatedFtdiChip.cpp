#include "EmulatedFtdiChip.h"

#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int PACKET = 64;              // full-speed bulk packet
constexpr int PACKET_DATA = PACKET - 2; // after the two modem-status bytes
constexpr std::uint8_t MODEM_STATUS[2] = {0x01, 0x60};
constexpr std::uint8_t EP_IN = 0x81, EP_OUT = 0x02;

// FTDI vendor requests.
constexpr std::uint8_t SIO_RESET = 0, SIO_SET_MODEM_CTRL = 1, SIO_SET_FLOW_CTRL = 2, SIO_SET_BAUD_RATE = 3,
                       SIO_SET_DATA = 4, SIO_POLL_MODEM_STATUS = 5, SIO_SET_LATENCY_TIMER = 9,
                       SIO_GET_LATENCY_TIMER = 10, SIO_SET_BITMODE = 11, SIO_READ_EEPROM = 0x90;

std::string Hex(const std::vector<std::uint8_t>& bytes)
{
    std::string out;
    char b[3];
    for (auto v : bytes) {
        std::snprintf(b, sizeof b, "%02x", v);
        out += b;
    }
    return out;
}

// Device descriptor (FT232R: bcdDevice 6.00, strings 1..3) and its one
// configuration: interface 0, class ff, bulk IN 0x81 and OUT 0x02 of 64.
std::vector<std::uint8_t> Descriptors()
{
    return {0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00,   0x08, 0x03, 0x04, 0x01, 0x60, 0x00,
            0x06, 0x01, 0x02, 0x03, 0x01, 0x09, 0x02,   0x20, 0x00, 0x01, 0x01, 0x00, 0xa0,
            0x2d, 0x09, 0x04, 0x00, 0x00, 0x02, 0xff,   0xff, 0xff, 0x02, 0x07, 0x05, EP_IN,
            0x02, 0x40, 0x00, 0x00, 0x07, 0x05, EP_OUT, 0x02, 0x40, 0x00, 0x00};
}

std::vector<std::uint8_t> StringDescriptor(const std::string& text)
{
    std::vector<std::uint8_t> d{static_cast<std::uint8_t>(2 + 2 * text.size()), 0x03};
    for (char c : text) {
        d.push_back(static_cast<std::uint8_t>(c));
        d.push_back(0);
    }
    return d;
}

struct Urb {
    UMockdevIoctlData* data = nullptr; // the usbdevfs_urb, with its buffer resolved
    usbdevfs_urb* operator->() const { return reinterpret_cast<usbdevfs_urb*>(data->data); }
    std::uint8_t* Buffer() const { return static_cast<std::uint8_t*>((*this)->buffer); }
};

} // namespace

struct CEmulatedFtdiChip::CImpl {
    struct Chip {
        CChipIdentity identity;
        std::string syspath, devnode;
        int machine = -1;
        bool present = false;
        bool removed = false;
        bool inSysfs = false;
        bool driverBound = false;
        int latency = 16;
        std::vector<int> latencySets;
        int packetsPerUrb = 0;
        UMockdevIoctlClient* claimedBy = nullptr; // holds a reference
        // URBs belong to the open file that submitted them.
        struct Queues {
            std::deque<Urb> done; // reapable, in order
            std::deque<Urb> in;   // bulk IN waiting for the chip
        };
        std::map<UMockdevIoctlClient*, Queues> files; // each key holds a reference
        std::vector<std::uint8_t> rx;                 // from the machine, not yet sent
        Clock::time_point lastPacket = Clock::now();
        int dataUrbs = 0, dataPackets = 0;
        std::uint64_t bytesOut = 0, bytesIn = 0;
    };

    UMockdevTestbed* testbed = nullptr;
    UMockdevIoctlBase* handler = nullptr;
    mutable std::mutex mutex;
    std::vector<Chip> chips;
    std::set<int> buses;
    pid_t holder = -1;
    int holderPipe = -1;
    bool verbose = std::getenv("VELUNDA_CHIP_VERBOSE") != nullptr;

    static Chip::Queues& Files(Chip& c, UMockdevIoctlClient* client)
    {
        auto it = c.files.find(client);
        if (it == c.files.end())
            it = c.files.emplace(static_cast<UMockdevIoctlClient*>(g_object_ref(client)), Chip::Queues())
                     .first;
        return it->second;
    }

    // The kernel ends what is in flight on every open file.
    static void EndInFlight(Chip& c)
    {
        for (auto& [client, q] : c.files) {
            while (!q.in.empty()) {
                Urb u = q.in.front();
                q.in.pop_front();
                u->status = -ESHUTDOWN;
                u->actual_length = 0;
                q.done.push_back(u);
            }
        }
    }

    Chip* Find(const char* devnode)
    {
        for (auto& c : chips)
            if (c.present && c.devnode == devnode)
                return &c;
        return nullptr;
    }

    static gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self)
    {
        return static_cast<CImpl*>(self)->Handle(client) ? TRUE : FALSE;
    }

    void AddRootHub(int bus)
    {
        if (!buses.insert(bus).second)
            return;
        char text[1024];
        std::snprintf(text, sizeof text,
                      "P: /devices/pci0000:00/0000:00:14.0/usb%d\n"
                      "N: bus/usb/%03d/001\n"
                      "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n"
                      "E: BUSNUM=%03d\nE: DEVNUM=001\nE: DEVNAME=/dev/bus/usb/%03d/001\n"
                      "A: busnum=%d\\n\nA: devnum=1\\n\nA: bConfigurationValue=1\\n\nA: speed=480\\n\n"
                      "H: descriptors=12010002090001406b1d020006050302010109021900010100e0000904000001090000"
                      "000705810304000c\n",
                      bus, bus, bus, bus, bus);
        umockdev_testbed_add_from_string(testbed, text, nullptr);
    }

    void Plug(Chip& c, const std::string& machinePath)
    {
        const int addr = c.identity.port + 1;
        const std::string name = std::to_string(c.identity.bus) + "-" + std::to_string(c.identity.port);
        char node[64];
        std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", c.identity.bus, addr);
        c.devnode = node;
        c.syspath = "/sys/devices/pci0000:00/0000:00:14.0/usb" + std::to_string(c.identity.bus) + "/" + name;
        AddRootHub(c.identity.bus);
        // The handler first, so an open right after the add finds it.
        umockdev_testbed_attach_ioctl(testbed, node, handler, nullptr);
        char text[2048];
        std::snprintf(text, sizeof text,
                      "P: %s\nN: %s\n"
                      "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n"
                      "E: BUSNUM=%03d\nE: DEVNUM=%03d\nE: DEVNAME=%s\n"
                      "E: ID_VENDOR_ID=0403\nE: ID_MODEL_ID=6001\nE: ID_SERIAL_SHORT=%s\n"
                      "A: busnum=%d\\n\nA: devnum=%d\\n\nA: bConfigurationValue=1\\n\nA: speed=12\\n\n"
                      "A: idVendor=0403\\n\nA: idProduct=6001\\n\nA: serial=%s\\n\nA: product=%s\\n\n"
                      "H: descriptors=%s\n",
                      c.syspath.substr(4).c_str(), node + 5, c.identity.bus, addr, node,
                      c.identity.serial.c_str(), c.identity.bus, addr, c.identity.serial.c_str(),
                      c.identity.description.c_str(), Hex(Descriptors()).c_str());
        umockdev_testbed_add_from_string(testbed, text, nullptr);
        const std::string iface = c.syspath + "/" + name + ":1.0";
        std::snprintf(text, sizeof text,
                      "P: %s\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n%s"
                      "A: bInterfaceNumber=00\\n\nA: bInterfaceClass=ff\\n\n",
                      iface.substr(4).c_str(), c.identity.kernelDriver ? "E: DRIVER=ftdi_sio\n" : "");
        umockdev_testbed_add_from_string(testbed, text, nullptr);
        c.driverBound = c.identity.kernelDriver;
        if (c.driverBound) {
            umockdev_testbed_set_attribute_link(testbed, iface.c_str(), "driver",
                                                "../../../../../../bus/usb/drivers/ftdi_sio");
            std::snprintf(text, sizeof text, "P: %s/%s\nE: SUBSYSTEM=usb-serial\nE: DRIVER=ftdi_sio\n",
                          iface.substr(4).c_str(), c.identity.tty.c_str());
            umockdev_testbed_add_from_string(testbed, text, nullptr);
        }
        std::lock_guard lock(mutex);
        c.machine = machinePath.empty() ? -1 : ::open(machinePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        c.present = true;
        c.inSysfs = true;
        c.removed = false;
        c.latency = 16;
        c.rx.clear();
        c.lastPacket = Clock::now();
    }

    void Unplug(Chip& c)
    {
        {
            std::lock_guard lock(mutex);
            if (!c.present || !c.inSysfs)
                return;
            c.inSysfs = false;
            c.removed = true;
            EndInFlight(c);
            if (c.machine >= 0)
                ::close(c.machine);
            c.machine = -1;
        }
        umockdev_testbed_remove_device(testbed, c.syspath.c_str());
        // The testbed leaves the bus links behind; a replug makes them anew.
        gchar* root = umockdev_testbed_get_root_dir(testbed);
        const std::string name = std::to_string(c.identity.bus) + "-" + std::to_string(c.identity.port);
        for (const std::string& link : {name, name + ":1.0"})
            ::unlink((std::string(root) + "/sys/bus/usb/devices/" + link).c_str());
        g_free(root);
    }

    // The machine's bytes, as far as they have come.
    void Drain(Chip& c)
    {
        if (c.machine < 0)
            return;
        std::uint8_t buf[4096];
        for (;;) {
            const ssize_t n = ::read(c.machine, buf, sizeof buf);
            if (n > 0) {
                c.rx.insert(c.rx.end(), buf, buf + n);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                return;
            // The machine hung up (the virtual target's unplug): the cable
            // is out, the chip goes with it.
            ::close(c.machine);
            c.machine = -1;
            c.removed = true;
            EndInFlight(c);
            return;
        }
    }

    // Answers the oldest bulk IN URB when the chip would send: 62 bytes are
    // ready, or the latency timer ran out since the last packet.
    bool ServeIn(Chip& c, Chip::Queues& q)
    {
        if (q.in.empty() || c.removed)
            return false;
        Drain(c);
        if (c.removed)
            return true;
        const auto now = Clock::now();
        const bool timerOut = now - c.lastPacket >= std::chrono::milliseconds(c.latency);
        if (c.rx.size() < static_cast<std::size_t>(PACKET_DATA) && !timerOut)
            return false;
        Urb u = q.in.front();
        q.in.pop_front();
        int room = u->buffer_length / PACKET;
        if (c.packetsPerUrb > 0)
            room = std::min(room, c.packetsPerUrb);
        std::uint8_t* out = u.Buffer();
        int length = 0;
        std::size_t taken = 0;
        int packets = 0;
        do {
            const std::size_t chunk = std::min<std::size_t>(PACKET_DATA, c.rx.size() - taken);
            std::memcpy(out + length, MODEM_STATUS, 2);
            if (chunk > 0)
                std::memcpy(out + length + 2, c.rx.data() + taken, chunk);
            length += 2 + static_cast<int>(chunk);
            taken += chunk;
            ++packets;
            if (chunk < static_cast<std::size_t>(PACKET_DATA))
                break; // a short packet ends the transfer
        } while (packets < room && taken < c.rx.size());
        c.rx.erase(c.rx.begin(), c.rx.begin() + static_cast<std::ptrdiff_t>(taken));
        if (verbose)
            std::fprintf(stderr, "chip: %.3f IN %zu bytes\n",
                         std::chrono::duration<double, std::milli>(now.time_since_epoch()).count(), taken);
        if (taken > 0) {
            ++c.dataUrbs;
            c.dataPackets += packets;
            c.bytesIn += taken;
        }
        c.lastPacket = now;
        u->actual_length = length;
        u->status = 0;
        q.done.push_back(u);
        return true;
    }

    // Answers at once: what is reapable, or "nothing yet". Holding the reap
    // until the chip would send measured slower, as it holds every other
    // ioctl of the process with it.
    void Reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg, Chip& c)
    {
        std::lock_guard lock(mutex);
        Chip::Queues& q = Files(c, client);
        if (q.done.empty())
            ServeIn(c, q);
        if (!q.done.empty()) {
            Urb u = q.done.front();
            q.done.pop_front();
            UMockdevIoctlData* where = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
            umockdev_ioctl_data_set_ptr(where, 0, u.data);
            umockdev_ioctl_client_complete(client, 0, 0);
            g_object_unref(where);
            g_object_unref(u.data);
            return;
        }
        umockdev_ioctl_client_complete(client, -1, c.removed ? ENODEV : EAGAIN);
    }

    // A control transfer: 8 setup bytes, then the data stage.
    int Control(Chip& c, Urb& u)
    {
        std::uint8_t* b = u.Buffer();
        const std::uint8_t type = b[0], request = b[1];
        const int value = b[2] | (b[3] << 8);
        const int length = b[6] | (b[7] << 8);
        std::uint8_t* data = b + 8;
        auto reply = [&](const std::vector<std::uint8_t>& bytes) {
            const int n = std::min<int>(length, static_cast<int>(bytes.size()));
            std::memcpy(data, bytes.data(), static_cast<std::size_t>(n));
            return n;
        };
        if (type == 0x80 && request == 6) { // GET_DESCRIPTOR
            const int kind = value >> 8, index = value & 0xff;
            if (kind == 1)
                return reply(std::vector<std::uint8_t>(Descriptors().begin(), Descriptors().begin() + 18));
            if (kind == 2)
                return reply(std::vector<std::uint8_t>(Descriptors().begin() + 18, Descriptors().end()));
            if (kind == 3 && index == 0)
                return reply({4, 3, 0x09, 0x04});
            if (kind == 3 && index == 1)
                return reply(StringDescriptor("FTDI"));
            if (kind == 3 && index == 2)
                return reply(StringDescriptor(c.identity.description));
            if (kind == 3 && index == 3)
                return reply(StringDescriptor(c.identity.serial));
            return -EPIPE;
        }
        if (type == 0x40) {
            switch (request) {
            case SIO_RESET:
                // 0 resets both FIFOs; 2 empties the one towards the host
                // (what tciflush sends); 1 the one towards the machine,
                // which this chip passes on at once.
                if (value == 0 || value == 2) {
                    Drain(c);
                    c.rx.clear();
                }
                return 0;
            case SIO_SET_LATENCY_TIMER:
                c.latency = std::max(1, value & 0xff);
                c.latencySets.push_back(value & 0xff);
                return 0;
            case SIO_SET_MODEM_CTRL:
            case SIO_SET_FLOW_CTRL:
            case SIO_SET_BAUD_RATE:
            case SIO_SET_DATA:
            case SIO_SET_BITMODE:
                return 0;
            default:
                return -EPIPE;
            }
        }
        if (type == 0xC0) {
            switch (request) {
            case SIO_GET_LATENCY_TIMER:
                return reply({static_cast<std::uint8_t>(c.latency)});
            case SIO_POLL_MODEM_STATUS:
                return reply({MODEM_STATUS[0], MODEM_STATUS[1]});
            case SIO_READ_EEPROM:
                return reply({0xff, 0xff});
            default:
                return -EPIPE;
            }
        }
        return -EPIPE;
    }

    void Submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg, Chip& c)
    {
        UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
        Urb u{data};
        UMockdevIoctlData* buffer = umockdev_ioctl_data_resolve(
            data, offsetof(usbdevfs_urb, buffer), static_cast<gsize>(std::max(0, u->buffer_length)), nullptr);
        (void)buffer; // owned by data
        std::lock_guard lock(mutex);
        if (c.removed) {
            g_object_unref(data);
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return;
        }
        u->actual_length = 0;
        u->status = 0;
        Chip::Queues& q = Files(c, client);
        if (verbose)
            std::fprintf(stderr, "chip: %.3f submit type %d ep %02x len %d\n",
                         std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count(),
                         u->type, u->endpoint, u->buffer_length);
        if (u->type == USBDEVFS_URB_TYPE_CONTROL) {
            const int n = Control(c, u);
            if (n < 0)
                u->status = n;
            else
                u->actual_length = n;
            q.done.push_back(u);
        } else if (u->type == USBDEVFS_URB_TYPE_BULK && u->endpoint == EP_OUT) {
            const std::uint8_t* b = u.Buffer();
            std::size_t sent = 0;
            const std::size_t count = static_cast<std::size_t>(u->buffer_length);
            while (c.machine >= 0 && sent < count) {
                const ssize_t n = ::write(c.machine, b + sent, count - sent);
                if (n > 0) {
                    sent += static_cast<std::size_t>(n);
                } else if (n < 0 && errno == EAGAIN) {
                    pollfd pfd{c.machine, POLLOUT, 0};
                    ::poll(&pfd, 1, 1); // a pty may not wake a writer as soon as it has room
                } else {
                    break;
                }
            }
            c.bytesOut += count;
            u->actual_length = u->buffer_length;
            q.done.push_back(u);
        } else if (u->type == USBDEVFS_URB_TYPE_BULK && u->endpoint == EP_IN) {
            q.in.push_back(u);
        } else {
            g_object_unref(data);
            umockdev_ioctl_client_complete(client, -1, EINVAL);
            return;
        }
        umockdev_ioctl_client_complete(client, 0, 0);
    }

    void Discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg, Chip& c)
    {
        const gulong address = *reinterpret_cast<gulong*>(arg->data);
        std::lock_guard lock(mutex);
        Chip::Queues& q = Files(c, client);
        for (auto it = q.in.begin(); it != q.in.end(); ++it) {
            if (it->data->client_addr == address) {
                Urb u = *it;
                q.in.erase(it);
                u->status = -ENOENT;
                u->actual_length = 0;
                q.done.push_back(u);
                umockdev_ioctl_client_complete(client, 0, 0);
                return;
            }
        }
        umockdev_ioctl_client_complete(client, -1, EINVAL);
    }

    // Claims are per open file, as the kernel keeps them.
    int Claim(UMockdevIoctlClient* client, Chip& c)
    {
        std::lock_guard lock(mutex);
        if (c.claimedBy != nullptr && c.claimedBy != client &&
            !umockdev_ioctl_client_get_connected(c.claimedBy)) {
            g_object_unref(c.claimedBy);
            c.claimedBy = nullptr;
        }
        if (c.driverBound || (c.claimedBy != nullptr && c.claimedBy != client))
            return EBUSY;
        if (c.claimedBy == nullptr)
            c.claimedBy = static_cast<UMockdevIoctlClient*>(g_object_ref(client));
        return 0;
    }

    void Release(UMockdevIoctlClient* client, Chip& c)
    {
        std::lock_guard lock(mutex);
        if (c.claimedBy == client) {
            g_object_unref(c.claimedBy);
            c.claimedBy = nullptr;
        }
    }

    bool Handle(UMockdevIoctlClient* client)
    {
        const gulong request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        Chip* c = Find(umockdev_ioctl_client_get_devnode(client));
        if (c == nullptr)
            return false;
        if (verbose)
            std::fprintf(stderr, "chip %s: %.3f ioctl %lx\n", c->devnode.c_str(),
                         std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count(),
                         request);
        const bool gone = c->removed;
        switch (request) {
        case USBDEVFS_SUBMITURB:
            Submit(client, arg, *c);
            return true;
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY:
            Reap(client, arg, *c);
            return true;
        case USBDEVFS_DISCARDURB:
            Discard(client, arg, *c);
            return true;
        default:
            break;
        }
        if (gone) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return true;
        }
        switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(std::uint32_t), nullptr);
            *reinterpret_cast<std::uint32_t*>(d->data) = USBDEVFS_CAP_BULK_CONTINUATION |
                                                         USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                                         USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
            umockdev_ioctl_client_complete(client, 0, 0);
            g_object_unref(d);
            return true;
        }
        case USBDEVFS_CLAIMINTERFACE: {
            const int error = Claim(client, *c);
            umockdev_ioctl_client_complete(client, error ? -1 : 0, error);
            return true;
        }
        case USBDEVFS_RELEASEINTERFACE:
            Release(client, *c);
            umockdev_ioctl_client_complete(client, 0, 0);
            return true;
        case USBDEVFS_GETDRIVER: {
            UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_getdriver), nullptr);
            auto* g = reinterpret_cast<usbdevfs_getdriver*>(d->data);
            if (c->driverBound) {
                std::snprintf(g->driver, sizeof g->driver, "ftdi_sio");
                umockdev_ioctl_client_complete(client, 0, 0);
            } else {
                umockdev_ioctl_client_complete(client, -1, ENODATA);
            }
            g_object_unref(d);
            return true;
        }
        case USBDEVFS_IOCTL: {
            UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_ioctl), nullptr);
            const auto* io = reinterpret_cast<usbdevfs_ioctl*>(d->data);
            int error = EINVAL;
            if (io->ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT)) {
                std::lock_guard lock(mutex);
                if (!c->driverBound)
                    error = ENODATA;
                else if (c->identity.detachRefused)
                    error = EPERM;
                else {
                    c->driverBound = false;
                    error = 0;
                }
            }
            umockdev_ioctl_client_complete(client, error ? -1 : 0, error);
            g_object_unref(d);
            return true;
        }
        case USBDEVFS_SETCONFIGURATION:
        case USBDEVFS_SETINTERFACE:
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESET:
        case USBDEVFS_RESETEP:
            umockdev_ioctl_client_complete(client, 0, 0);
            return true;
        default:
            if (verbose)
                std::fprintf(stderr, "chip %s: ioctl %lx not emulated\n", c->devnode.c_str(), request);
            return false;
        }
    }
};

bool CEmulatedFtdiChip::PreloadActive()
{
    // The library itself tells only once a testbed exists; ask the loader.
    std::FILE* maps = std::fopen("/proc/self/maps", "r");
    if (maps == nullptr)
        return false;
    char line[512];
    bool found = false;
    while (!found && std::fgets(line, sizeof line, maps) != nullptr)
        found = std::strstr(line, "libumockdev-preload") != nullptr;
    std::fclose(maps);
    return found;
}

void CEmulatedFtdiChip::RunUnderPreload(char** argv)
{
    constexpr const char* REEXEC_MARK = "VELUNDA_UMOCKDEV_REEXEC";
    if (PreloadActive() || std::getenv(REEXEC_MARK) != nullptr)
        return;
    std::string preload = "libumockdev-preload.so.0";
    if (const char* old = std::getenv("LD_PRELOAD"); old != nullptr && *old != '\0')
        preload = preload + ":" + old;
    ::setenv("LD_PRELOAD", preload.c_str(), 1);
    ::setenv(REEXEC_MARK, "1", 1);
    // The sanitizer runtimes want to come first; the preload must not stop them.
    std::string asan = "verify_asan_link_order=0";
    if (const char* old = std::getenv("ASAN_OPTIONS"); old != nullptr && *old != '\0')
        asan = asan + ":" + old;
    ::setenv("ASAN_OPTIONS", asan.c_str(), 1);
    ::execv("/proc/self/exe", argv);
}

CEmulatedFtdiChip::CEmulatedFtdiChip() : m_pImpl(std::make_unique<CImpl>())
{
    // Chips are found by the worker thread while tests add more: no moves.
    m_pImpl->chips.reserve(8);
    m_pImpl->testbed = umockdev_testbed_new();
    m_pImpl->handler = umockdev_ioctl_base_new();
    g_signal_connect(m_pImpl->handler, "handle-ioctl", G_CALLBACK(&CImpl::OnIoctl), m_pImpl.get());
}

CEmulatedFtdiChip::~CEmulatedFtdiChip()
{
    ReleaseElsewhere();
    for (auto& c : m_pImpl->chips) {
        if (c.machine >= 0)
            ::close(c.machine);
        c.machine = -1;
    }
    g_object_unref(m_pImpl->testbed);
    // The worker may still hold URBs; they go with the handler.
    for (auto& c : m_pImpl->chips) {
        for (auto& [client, q] : c.files) {
            for (auto& u : q.in)
                g_object_unref(u.data);
            for (auto& u : q.done)
                g_object_unref(u.data);
            g_object_unref(client);
        }
        if (c.claimedBy != nullptr)
            g_object_unref(c.claimedBy);
    }
    g_object_unref(m_pImpl->handler);
}

int CEmulatedFtdiChip::Add(const CChipIdentity& identity, const std::string& machinePath)
{
    if (m_pImpl->chips.size() == m_pImpl->chips.capacity())
        throw std::length_error("too many emulated bridges");
    m_pImpl->chips.emplace_back();
    const int n = static_cast<int>(m_pImpl->chips.size()) - 1;
    m_pImpl->chips.back().identity = identity;
    m_pImpl->Plug(m_pImpl->chips.back(), machinePath);
    return n;
}

void CEmulatedFtdiChip::Remove(int n)
{
    m_pImpl->Unplug(m_pImpl->chips.at(static_cast<std::size_t>(n)));
}

void CEmulatedFtdiChip::Readd(int n, const std::string& machinePath)
{
    auto& c = m_pImpl->chips.at(static_cast<std::size_t>(n));
    Remove(n);
    {
        std::lock_guard lock(m_pImpl->mutex);
        c.present = false;
    }
    umockdev_testbed_detach_ioctl(m_pImpl->testbed, c.devnode.c_str(), nullptr);
    m_pImpl->Plug(c, machinePath);
}

void CEmulatedFtdiChip::SetPacketsPerUrb(int n, int packets)
{
    std::lock_guard lock(m_pImpl->mutex);
    m_pImpl->chips.at(static_cast<std::size_t>(n)).packetsPerUrb = packets;
}

bool CEmulatedFtdiChip::HoldElsewhere(int n)
{
    ReleaseElsewhere();
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return false;
    const std::string node = DevNode(n);
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Another program: opens the device, claims interface 0 and keeps
        // it until the pipe closes.
        ::close(fds[1]);
        const int fd = ::open(node.c_str(), O_RDWR);
        unsigned int iface = 0;
        if (fd < 0 || ::ioctl(fd, USBDEVFS_CLAIMINTERFACE, &iface) != 0)
            ::_exit(1);
        char b;
        while (::read(fds[0], &b, 1) > 0) {
        }
        ::_exit(0);
    }
    ::close(fds[0]);
    if (pid < 0) {
        ::close(fds[1]);
        return false;
    }
    m_pImpl->holder = pid;
    m_pImpl->holderPipe = fds[1];
    // Claimed once the chip knows a holder.
    for (int i = 0; i < 500; ++i) {
        {
            std::lock_guard lock(m_pImpl->mutex);
            if (m_pImpl->chips.at(static_cast<std::size_t>(n)).claimedBy != nullptr)
                return true;
        }
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            m_pImpl->holder = -1;
            return false;
        }
        ::usleep(2000);
    }
    return false;
}

void CEmulatedFtdiChip::ReleaseElsewhere()
{
    if (m_pImpl->holderPipe >= 0)
        ::close(m_pImpl->holderPipe);
    m_pImpl->holderPipe = -1;
    if (m_pImpl->holder > 0) {
        int status = 0;
        ::waitpid(m_pImpl->holder, &status, 0);
    }
    m_pImpl->holder = -1;
}

std::string CEmulatedFtdiChip::DevNode(int n) const
{
    return m_pImpl->chips.at(static_cast<std::size_t>(n)).devnode;
}

int CEmulatedFtdiChip::Latency(int n) const
{
    std::lock_guard lock(m_pImpl->mutex);
    return m_pImpl->chips.at(static_cast<std::size_t>(n)).latency;
}

std::vector<int> CEmulatedFtdiChip::LatencySets(int n) const
{
    std::lock_guard lock(m_pImpl->mutex);
    return m_pImpl->chips.at(static_cast<std::size_t>(n)).latencySets;
}

int CEmulatedFtdiChip::DataUrbs(int n) const
{
    std::lock_guard lock(m_pImpl->mutex);
    return m_pImpl->chips.at(static_cast<std::size_t>(n)).dataUrbs;
}

int CEmulatedFtdiChip::DataPackets(int n) const
{
    std::lock_guard lock(m_pImpl->mutex);
    return m_pImpl->chips.at(static_cast<std::size_t>(n)).dataPackets;
}

std::uint64_t CEmulatedFtdiChip::BytesOut(int n) const
{
    std::lock_guard lock(m_pImpl->mutex);
    return m_pImpl->chips.at(static_cast<std::size_t>(n)).bytesOut;
}

std::uint64_t CEmulatedFtdiChip::BytesIn(int n) const
{
    std::lock_guard lock(m_pImpl->mutex);
    return m_pImpl->chips.at(static_cast<std::size_t>(n)).bytesIn;
}
