#include "window/AppOptions.h"

#include <cstdlib>

COptionTable AppOptionRows(CAppOptions& options)
{
    const auto usbDevice = [&options](const std::string& v, std::string& error) {
        options.usbDevice = v;
        if (v.empty())
            error = "--usb-device needs a serial number or a bus-port path such as 1-2";
        return !v.empty();
    };
    const auto port = [&options](const std::string& v, std::string& error) {
        if (v == "USB") {
            error = "--port takes a serial device path; USB machines are found without it";
            return false;
        }
        options.extraPorts.push_back(v);
        return true;
    };
    const auto stallTimeout = [&options](const std::string& v, std::string& error) {
        char* end = nullptr;
        const double seconds = std::strtod(v.c_str(), &end);
        if (end == v.c_str() || *end != '\0' || seconds <= 0 || seconds > 86400) {
            error = "--stall-timeout needs a number of seconds above 0, not \"" + v + "\"";
            return false;
        }
        options.stallTimeoutMs = static_cast<int>(seconds * 1000);
        return true;
    };
    // The help's order: where the machine is, then how the run is kept.
    return {{.name = "port",
             .takesValue = true,
             .action = port,
             .valueName = "PATH",
             .help = "offer PATH in the port list of upgrade-board\n"
                     "packages (repeatable)"},
            {.name = "usb-tty",
             .takesValue = true,
             .action = TextOption("usb-tty", 0, options.usbTty).action,
             .valueName = "PATH",
             .help = "reach the FTDI bridge through a tty (/dev/ttyUSB0, or\n"
                     "quorin-sim's pty) instead of libftdi; auto: the tty\n"
                     "the kernel's ftdi_sio gave the (chosen) bridge"},
            {.name = "usb-device",
             .takesValue = true,
             .action = usbDevice,
             .valueName = "SERIAL|BUS-PORT",
             .help = "the FTDI bridge to use, by serial number or\n"
                     "bus-port path (1-2); without it the first bridge\n"
                     "found is used"},
            TextOption("log", 0, options.logFile, "FILE", "also write the time-stamped debug trace to FILE"),
            {.name = "stall-timeout",
             .takesValue = true,
             .action = stallTimeout,
             .valueName = "SECS",
             .help = "end a run after SECS without any answer (default 60)"},
            FlagOption("no-history", 0, options.noHistory, "do not record the run in the history"),
            FlagOption("require-signature", 0, options.requireSignature,
                       "load only packages whose PACKAGE.sig a trusted key\n"
                       "made (also: require-signature = yes in\n"
                       "/etc/velunda/velunda.conf); trusted keys: the *.pub\n"
                       "files of /etc/velunda/trusted-keys and\n"
                       "~/.config/velunda/trusted-keys. A bad signature is\n"
                       "always refused")};
}

std::string WindowHelpText()
{
    CAppOptions unused;
    COptionTable rows = AppOptionRows(unused);
    // main() answers these two before anything else is parsed.
    rows.push_back({.name = "help", .letter = 'h', .ends = true, .help = "show this help"});
    rows.push_back({.name = "version", .ends = true, .help = "show the version"});
    return "Usage: velunda [options] [PACKAGE]\n"
           "Firmware upgrade tool for Quorin V1 / Quorin V2 machines and their upgrade board.\n"
           "PACKAGE (a .QVP or .DAT file) is loaded at start as File Load would.\n\n"
           "Options:\n" +
           OptionHelp(rows) +
           "\nEach session also writes its trace to $XDG_STATE_HOME/velunda/logs (the newest 50 are\n"
           "kept), and every run is recorded in $XDG_STATE_HOME/velunda/history.sqlite\n"
           "(see velunda-cli history).\n";
}

bool ParseAppOptions(int argc, char** argv, CAppOptions& options, std::vector<std::string>& rest,
                     std::string& error)
{
    COptionParse how;
    how.unknown = &rest;
    how.positional = [&rest](const std::string& arg, std::string&) {
        rest.push_back(arg);
        return true;
    };
    return ParseOptions(argc, argv, AppOptionRows(options), how, error);
}
