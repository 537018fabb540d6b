#pragma once
// Command-line settings shared by the window and the console front end.
#include "options/OptionTable.h"

#include <string>
#include <vector>

struct CAppOptions {
    std::string logFile; // --log FILE: the debug trace also goes there
    std::string usbTty;  // --usb-tty PATH: reach the FTDI bridge through a tty ("auto": its ftdi_sio tty)
    std::vector<std::string> extraPorts; // --port PATH: listed after the system's serial ports
    int stallTimeoutMs = 60000;          // --stall-timeout SECONDS
    bool noHistory = false;              // --no-history: runs are not recorded
    std::string historyFile;             // the history database; empty: the default place
    std::string usbDevice;               // --usb-device SERIAL|BUS-PORT: which FTDI bridge
    bool requireSignature = false;       // --require-signature: only packages signed by a trusted key
};

// The rows of the shared options, writing into options (which must outlive
// the table). --port takes a serial device path; velunda-cli gives that row
// its own action for "USB". The rows carry the window's help lines, which
// velunda-cli words its own way where its rules differ (--port, --usb-device).
COptionTable AppOptionRows(CAppOptions& options);

// The window's --help: its usage and the shared rows' help.
std::string WindowHelpText();

// Parses the shared options out of argv; unknown options and every other
// argument are left for the caller in rest, as given. Returns false with a
// message in error on a bad value.
bool ParseAppOptions(int argc, char** argv, CAppOptions& options, std::vector<std::string>& rest,
                     std::string& error);
