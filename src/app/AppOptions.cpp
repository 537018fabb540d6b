#include "app/AppOptions.h"

#include <cstdlib>

bool ParseAppOptions(int argc, char** argv, CAppOptions& options, std::vector<std::string>& rest,
                     std::string& error)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                error = arg + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string v;
        if (arg == "--log") {
            if (!value(options.logFile))
                return false;
        } else if (arg == "--usb-tty") {
            if (!value(options.usbTty))
                return false;
        } else if (arg == "--usb-device") {
            if (!value(options.usbDevice))
                return false;
            if (options.usbDevice.empty()) {
                error = "--usb-device needs a serial number or a bus-port path such as 1-2";
                return false;
            }
        } else if (arg == "--port") {
            if (!value(v))
                return false;
            if (v != "USB")
                options.extraPorts.push_back(v);
            else
                rest.push_back("--port"), rest.push_back(v);
        } else if (arg == "--no-history") {
            options.noHistory = true;
        } else if (arg == "--stall-timeout") {
            if (!value(v))
                return false;
            char* end = nullptr;
            const double seconds = std::strtod(v.c_str(), &end);
            if (end == v.c_str() || *end != '\0' || seconds <= 0 || seconds > 86400) {
                error = "--stall-timeout needs a number of seconds above 0, not \"" + v + "\"";
                return false;
            }
            options.stallTimeoutMs = static_cast<int>(seconds * 1000);
        } else {
            rest.push_back(arg);
        }
    }
    return true;
}
