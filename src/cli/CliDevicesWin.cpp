// The devices of a Windows machine: its COM ports, the FTDI bridges among
// them (through their virtual COM port driver) and that driver's latency
// timer, which holds every short answer for that long.
#include "cli/CliDevices.h"
#include "cli/CliSession.h"
#include "cli/Json.h"
#include "link/SerialPortList.h"
#include "link/UsbLink.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

std::string UpperCase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c); });
    return text;
}

std::string JoinFtdiNames(const std::vector<CComPortInfo>& ports)
{
    std::string names;
    for (const auto& p : ports)
        if (p.ftdi)
            names += (names.empty() ? "" : ", ") + p.name;
    return names;
}

std::string LatencyWarning(const CComPortInfo& port)
{
    return port.name + ": the FTDI driver's latency timer is " + std::to_string(port.latencyMs) +
           " ms, which slows every answer of the machine; set it to " + std::to_string(USB_LATENCY_MS) +
           " ms or less in Device Manager > Ports (COM & LPT) > " + port.name +
           " > Port Settings > Advanced > Latency Timer (msec)";
}

} // namespace

bool CheckUsbBridge(const CCliOptions& options, CCliReport& report, std::string& port, std::string& error)
{
    const std::vector<CComPortInfo> ports = ListComPorts();
    port = options.app.usbTty == "auto" ? std::string() : UpperCase(options.app.usbTty);
    if (port.rfind("\\\\.\\", 0) == 0)
        port.erase(0, 4);
    if (port.empty()) {
        // No libftdi here: the bridge is the one FTDI COM port, or the one named.
        const auto ftdi = std::count_if(ports.begin(), ports.end(), [](const auto& p) { return p.ftdi; });
        if (ftdi == 0) {
            error = "no FTDI COM port found; name the machine's port with --usb-port COMn "
                    "(velunda-cli devices lists the ports)";
            return false;
        }
        if (ftdi > 1) {
            error = "several FTDI COM ports are attached (" + JoinFtdiNames(ports) +
                    "); choose one with --usb-port COMn";
            return false;
        }
        port = std::find_if(ports.begin(), ports.end(), [](const auto& p) { return p.ftdi; })->name;
    }
    const auto it = std::find_if(ports.begin(), ports.end(), [&](const auto& p) { return p.name == port; });
    if (it != ports.end() && it->latencyMs > int(USB_LATENCY_MS))
        report.Warning(LatencyWarning(*it));
    error.clear();
    return true;
}

int RunDevices(const CCliOptions& options, CCliReport& report)
{
    const std::vector<CComPortInfo> ports = ListComPorts();
    const auto ftdi = std::count_if(ports.begin(), ports.end(), [](const auto& p) { return p.ftdi; });
    const std::string counted =
        std::to_string(ftdi) + " FTDI bridge(s), " + std::to_string(ports.size()) + " serial port(s)";
    if (options.json) {
        // The POSIX fields, filled as far as a COM port tells them.
        CJson found = CJson::array();
        CJson names = CJson::array();
        for (const auto& p : ports) {
            names.push_back(JsonText(p.name));
            if (!p.ftdi)
                continue;
            found.push_back(CJson{{"serial", ""},
                                  {"description", JsonText(p.friendlyName)},
                                  {"bus_port", ""},
                                  {"dev_node", ""},
                                  {"kernel_driver", ""},
                                  {"tty", JsonText(p.name)},
                                  {"latency_ms", p.latencyMs >= 0 ? CJson(p.latencyMs) : CJson()}});
        }
        report.Event("devices",
                     CJson{{"ftdi_bridges", std::move(found)}, {"serial_ports", std::move(names)}});
        report.Outcome(ECliOutcome::Success, counted);
        return 0;
    }
    std::printf("Serial ports (FTDI bridges marked; choose one with --usb-port COMn):\n");
    if (ports.empty())
        std::printf("  none\n");
    for (const auto& p : ports) {
        const std::string latency = p.latencyMs >= 0 ? "latency " + std::to_string(p.latencyMs) + " ms" : "";
        std::printf("  %-6s %-4s %-16s %s\n", p.name.c_str(), p.ftdi ? "FTDI" : "", latency.c_str(),
                    p.friendlyName.c_str());
    }
    for (const auto& p : ports)
        if (p.ftdi && p.latencyMs > int(USB_LATENCY_MS))
            std::printf("  warning: %s\n", LatencyWarning(p).c_str());
    return 0;
}
