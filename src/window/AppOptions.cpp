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
    return {TextOption("log", 0, options.logFile),
            TextOption("usb-tty", 0, options.usbTty),
            {"usb-device", 0, true, usbDevice},
            {"port", 0, true, port},
            FlagOption("no-history", 0, options.noHistory),
            FlagOption("require-signature", 0, options.requireSignature),
            {"stall-timeout", 0, true, stallTimeout}};
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
