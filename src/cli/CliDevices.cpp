// The devices of a POSIX machine: FTDI bridges on USB (libusb) and serial
// ports (libserialport).
#include "cli/CliDevices.h"
#include "cli/CliSession.h"
#include "cli/Json.h"
#include "link/FtdiBridgeList.h"
#include "link/SerialPortList.h"

#include <cstdio>
#include <vector>

bool CheckUsbBridge(const CCliOptions& options, CCliReport&, std::string& port, std::string& error)
{
    port = options.app.usbTty;
    // With several bridges the first is not necessarily the machine's.
    std::vector<FtdiBridgeInfo> bridges;
    if (options.app.usbTty.empty() && options.app.usbDevice.empty() && ListFtdiBridges(bridges, error) &&
        bridges.size() > 1) {
        std::string list;
        for (const auto& b : bridges)
            list += (list.empty() ? "" : "; ") + DescribeBridge(b);
        error = "several FTDI bridges are attached; choose one with --usb-device SERIAL|BUS-PORT: " + list;
        return false;
    }
    error.clear();
    return true;
}

int RunDevices(const CCliOptions& options, CCliReport& report)
{
    std::vector<FtdiBridgeInfo> bridges;
    std::string error;
    const bool listed = ListFtdiBridges(bridges, error);
    const std::vector<std::string> ports = ListSerialPorts();
    const std::string counted = std::to_string(bridges.size()) + " FTDI bridge(s), " +
                                std::to_string(ports.size()) + " serial port(s)";
    if (options.json) {
        CJson found = CJson::array();
        for (const auto& b : bridges)
            found.push_back(CJson{{"serial", JsonText(b.serial)},
                                  {"description", JsonText(b.description)},
                                  {"bus_port", JsonText(b.busPort)},
                                  {"dev_node", JsonText(b.devNode)},
                                  {"kernel_driver", JsonText(b.kernelDriver)},
                                  {"tty", JsonText(b.tty)}});
        CJson names = CJson::array();
        for (const auto& p : ports)
            names.push_back(JsonText(p));
        CJson fields{{"ftdi_bridges", std::move(found)}, {"serial_ports", std::move(names)}};
        if (!listed)
            fields["usb_error"] = JsonText(error);
        report.Event("devices", fields);
        report.Outcome(ECliOutcome::Success, counted);
        return 0;
    }
    std::printf("FTDI bridges (choose one with --usb-device SERIAL or BUS-PORT):\n");
    if (!listed)
        std::printf("  (USB cannot be listed: %s)\n", error.c_str());
    else if (bridges.empty())
        std::printf("  none\n");
    for (const auto& b : bridges)
        std::printf("  %-12s %-24s %-8s %s%s\n", b.serial.empty() ? "-" : b.serial.c_str(),
                    b.description.empty() ? "-" : b.description.c_str(), b.busPort.c_str(), b.devNode.c_str(),
                    b.kernelDriver.empty()
                        ? ""
                        : ("  held by " + b.kernelDriver + (b.tty.empty() ? "" : " as " + b.tty)).c_str());
    std::printf("Serial ports:\n");
    if (ports.empty())
        std::printf("  none\n");
    for (const auto& p : ports)
        std::printf("  %s\n", p.c_str());
    return 0;
}
