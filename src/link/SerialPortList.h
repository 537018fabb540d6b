#pragma once
// The machine's serial ports by device path, in a stable order.
#include <string>
#include <vector>

// Device paths from libserialport's enumeration, sorted; empty when there
// are none or the enumeration fails.
std::vector<std::string> ListSerialPorts();

// A COM port as Windows lists it.
struct CComPortInfo {
    std::string name;         // COM3
    std::string friendlyName; // "USB Serial Port (COM3)"; empty when the system names none
    bool ftdi = false;        // an FTDI bridge: vendor id 0403, or a port of the FTDIBUS driver
    int latencyMs = -1;       // the FTDI driver's LatencyTimer setting, -1 when unknown
};

// The COM ports (SetupAPI, the SERIALCOMM map and the DOS device names), by
// number (Windows).
std::vector<CComPortInfo> ListComPorts();
