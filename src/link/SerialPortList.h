#pragma once
// The machine's serial ports by device path, in a stable order.
#include <string>
#include <vector>

// Device paths from libserialport's enumeration, sorted; empty when there
// are none or the enumeration fails.
std::vector<std::string> ListSerialPorts();
