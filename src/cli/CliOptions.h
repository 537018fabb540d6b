#pragma once
// The command line of velunda-cli: the options it shares with the window
// (ParseAppOptions) and its own.
#include "window/AppOptions.h"

#include <string>
#include <vector>

struct CCliOptions {
    enum class ECommand { Run, Info, History, Records, Devices, Help, Version };
    ECommand command = ECommand::Run;
    CAppOptions app;
    std::string package;
    std::string port; // "USB", a serial device path, or empty for the package's default
    std::string baud; // an entry of the baud list, or empty for the window's default
    bool allItems = false;
    std::vector<std::string> items; // MAIN, CIS-M, CIS-S, CF, IR, CDM; empty: what both sides have
    bool checkOnly = false;
    bool json = false;
    bool verbose = false;
    // --allow-serial: only these machines may be upgraded (given: the list applies, even empty).
    bool allowSerialGiven = false;
    std::vector<std::string> allowedSerials;
    bool skipCurrent = false; // leave out items the machine already has at the package's version
    bool quiet = false;
    std::string serial;        // history --serial
    std::string since;         // history --since, as given
    bool fleet = false;        // history --fleet: the records server instead of the local history
    std::string station;       // history --fleet --station HOST
    std::string outcome;       // history --fleet --outcome success|failed|...
    std::string recordsAction; // records init|push
};

// Every option of velunda-cli, writing into options (which must outlive the
// table). Station mode walks the same rows with actions of its own.
COptionTable CliOptionRows(CCliOptions& options);

// False with a one-line reason in error for a command line that cannot run.
bool ParseCliOptions(int argc, char** argv, CCliOptions& options, std::string& error);

// Canonical item name for a user's spelling ("cis-m", "CIS M", "cism"), or
// empty for a name that is no item.
std::string CanonicalItemName(const std::string& text);

std::string CliHelpText();

// The serial numbers of an --allow-serial value: a comma-separated list, or
// the name of a file with one serial number per line (blank lines and lines
// starting with '#' are skipped). False with a reason for an unreadable file
// or a list that names nothing.
bool ParseAllowedSerials(const std::string& value, std::vector<std::string>& serials, std::string& error);

// Text without surrounding blanks, tabs, line ends or NUL bytes.
std::string TrimText(const std::string& text);
