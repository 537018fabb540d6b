#pragma once
// The command line of velunda-cli: the options it shares with the window
// (ParseAppOptions) and its own.
#include "app/AppOptions.h"

#include <string>
#include <vector>

struct CCliOptions {
    enum class ECommand { Run, Info, Devices, Help };
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
};

// False with a one-line reason in error for a command line that cannot run.
bool ParseCliOptions(int argc, char** argv, CCliOptions& options, std::string& error);

// Canonical item name for a user's spelling ("cis-m", "CIS M", "cism"), or
// empty for a name that is no item.
std::string CanonicalItemName(const std::string& text);

std::string CliHelpText();
