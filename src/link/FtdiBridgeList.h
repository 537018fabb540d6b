#pragma once
// The FTDI USB-serial bridges attached to this machine: what identifies each
// one (serial number, bus-port path), who holds it (the kernel's ftdi_sio and
// its tty, another program) and the choice of one bridge among several.
#include <cstdint>
#include <string>
#include <vector>

struct FtdiBridgeInfo {
    std::string serial;       // the chip's serial number, empty when unreadable
    std::string description;  // the product string
    std::string busPort;      // bus and port path as sysfs names it: "1-2", "3-1.4"
    std::string devNode;      // /dev/bus/usb/BBB/DDD
    std::string kernelDriver; // the driver bound to interface 0 ("ftdi_sio"), or empty
    std::string tty;          // /dev/ttyUSBn of that driver, or empty
    std::uint16_t product = 0;
};

// Every attached FTDI bridge, ordered by bus-port path. False with a reason
// when USB cannot be enumerated at all.
bool ListFtdiBridges(std::vector<FtdiBridgeInfo>& bridges, std::string& error);

// True when choice names the bridge: its serial number or its bus-port path.
bool BridgeMatches(const FtdiBridgeInfo& bridge, const std::string& choice);

// One line per bridge for messages: "SERIAL (DESCRIPTION) at BUS-PORT[, ftdi_sio as TTY]".
std::string DescribeBridge(const FtdiBridgeInfo& bridge);

// The tty of the chosen bridge (by BridgeMatches; empty choice: the only
// bridge), for reaching it through ftdi_sio. Empty with a reason in error
// when there is no such bridge, it has no tty, or the choice is ambiguous.
std::string BridgeTty(const std::string& choice, std::string& error);

// The /dev/ttyUSB* devices present, sorted.
std::vector<std::string> ListUsbTtys();

// Programs that hold path open, as "NAME (pid N)", found through procRoot's
// per-process descriptor links.
std::vector<std::string> HoldersOf(const std::string& path, const std::string& procRoot = "/proc");
