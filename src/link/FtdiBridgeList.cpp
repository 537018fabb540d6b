#include "link/FtdiBridgeList.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <system_error>

#include <libusb.h>

namespace fs = std::filesystem;

namespace {

// The product ids libftdi looks for by default.
bool IsFtdiBridge(const libusb_device_descriptor& d)
{
    if (d.idVendor != 0x0403)
        return false;
    switch (d.idProduct) {
    case 0x6001:
    case 0x6010:
    case 0x6011:
    case 0x6014:
    case 0x6015:
        return true;
    default:
        return false;
    }
}

std::string ReadFirstLine(const fs::path& path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return line;
}

std::string BusPortOf(libusb_device* dev)
{
    std::uint8_t ports[8];
    const int n = libusb_get_port_numbers(dev, ports, sizeof ports);
    std::string text = std::to_string(libusb_get_bus_number(dev));
    for (int i = 0; i < n; ++i)
        text += (i == 0 ? "-" : ".") + std::to_string(ports[i]);
    return text;
}

struct ContextDeleter {
    void operator()(libusb_context* ctx) const { libusb_exit(ctx); }
};

void FillFromSysfs(FtdiBridgeInfo& b)
{
    const fs::path dev = fs::path("/sys/bus/usb/devices") / b.busPort;
    if (b.serial.empty())
        b.serial = ReadFirstLine(dev / "serial");
    if (b.description.empty())
        b.description = ReadFirstLine(dev / "product");
    // Interface 0 of configuration 1: where ftdi_sio binds.
    const fs::path iface = dev / (b.busPort + ":1.0");
    std::error_code ec;
    const fs::path driver = fs::read_symlink(iface / "driver", ec);
    if (!ec)
        b.kernelDriver = driver.filename().string();
    for (const auto& entry : fs::directory_iterator(iface, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("ttyUSB", 0) == 0)
            b.tty = "/dev/" + name;
    }
}

} // namespace

bool ListFtdiBridges(std::vector<FtdiBridgeInfo>& bridges, std::string& error)
{
    bridges.clear();
    libusb_context* raw = nullptr;
    if (const int rc = libusb_init(&raw); rc != 0) {
        error = std::string("libusb could not start: ") + libusb_error_name(rc);
        return false;
    }
    std::unique_ptr<libusb_context, ContextDeleter> ctx(raw);
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx.get(), &list);
    if (n < 0) {
        error = std::string("USB devices cannot be listed: ") + libusb_error_name(static_cast<int>(n));
        return false;
    }
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(list[i], &d) != 0 || !IsFtdiBridge(d))
            continue;
        FtdiBridgeInfo b;
        b.product = d.idProduct;
        b.busPort = BusPortOf(list[i]);
        char node[40];
        std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", libusb_get_bus_number(list[i]),
                      libusb_get_device_address(list[i]));
        b.devNode = node;
        // The chip's own strings where the device may be opened (no claim
        // needed, so ftdi_sio may hold it); sysfs otherwise.
        libusb_device_handle* h = nullptr;
        if (libusb_open(list[i], &h) == 0) {
            unsigned char text[128];
            if (d.iSerialNumber != 0 &&
                libusb_get_string_descriptor_ascii(h, d.iSerialNumber, text, sizeof text) > 0)
                b.serial = reinterpret_cast<char*>(text);
            if (d.iProduct != 0 && libusb_get_string_descriptor_ascii(h, d.iProduct, text, sizeof text) > 0)
                b.description = reinterpret_cast<char*>(text);
            libusb_close(h);
        }
        FillFromSysfs(b);
        bridges.push_back(std::move(b));
    }
    libusb_free_device_list(list, 1);
    std::sort(bridges.begin(), bridges.end(),
              [](const FtdiBridgeInfo& a, const FtdiBridgeInfo& b) { return a.busPort < b.busPort; });
    return true;
}

bool BridgeMatches(const FtdiBridgeInfo& bridge, const std::string& choice)
{
    return !choice.empty() && (choice == bridge.busPort || choice == bridge.serial);
}

std::string DescribeBridge(const FtdiBridgeInfo& b)
{
    std::string text = (b.serial.empty() ? std::string("(no serial number)") : b.serial);
    if (!b.description.empty())
        text += " (" + b.description + ")";
    text += " at " + b.busPort;
    if (!b.kernelDriver.empty())
        text += ", " + b.kernelDriver + (b.tty.empty() ? std::string() : " as " + b.tty);
    return text;
}

std::string BridgeTty(const std::string& choice, std::string& error)
{
    std::vector<FtdiBridgeInfo> bridges;
    if (!ListFtdiBridges(bridges, error))
        return {};
    std::vector<const FtdiBridgeInfo*> chosen;
    for (const auto& b : bridges)
        if (choice.empty() || BridgeMatches(b, choice))
            chosen.push_back(&b);
    if (chosen.empty()) {
        error = choice.empty() ? "no FTDI bridge is attached" : "no FTDI bridge matches \"" + choice + "\"";
        return {};
    }
    if (chosen.size() > 1) {
        error = "several FTDI bridges are attached; choose one with --usb-device";
        return {};
    }
    if (chosen.front()->tty.empty())
        error = "the bridge " + DescribeBridge(*chosen.front()) + " has no tty (ftdi_sio does not hold it)";
    return chosen.front()->tty;
}

std::vector<std::string> ListUsbTtys()
{
    std::vector<std::string> ttys;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/dev", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("ttyUSB", 0) == 0)
            ttys.push_back(entry.path().string());
    }
    std::sort(ttys.begin(), ttys.end());
    return ttys;
}

std::vector<std::string> HoldersOf(const std::string& path, const std::string& procRoot)
{
    std::vector<std::string> holders;
    std::error_code ec;
    for (const auto& proc : fs::directory_iterator(procRoot, ec)) {
        const std::string pid = proc.path().filename().string();
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::error_code fdEc;
        for (const auto& fd : fs::directory_iterator(proc.path() / "fd", fdEc)) {
            std::error_code linkEc;
            if (fs::read_symlink(fd.path(), linkEc).string() == path && !linkEc) {
                holders.push_back(ReadFirstLine(proc.path() / "comm") + " (pid " + pid + ")");
                break;
            }
        }
    }
    return holders;
}
