#include "cli/CliOptions.h"

#include "cli/Outcome.h"

#include <cctype>

namespace {

std::string Upper(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

bool ParseItems(const std::string& list, CCliOptions& options, std::string& error)
{
    if (Upper(list) == "ALL") {
        options.allItems = true;
        return true;
    }
    std::string current;
    std::vector<std::string> names;
    for (std::size_t i = 0; i <= list.size(); ++i) {
        if (i == list.size() || list[i] == ',') {
            names.push_back(current);
            current.clear();
        } else {
            current.push_back(list[i]);
        }
    }
    for (const auto& name : names) {
        const std::string item = CanonicalItemName(name);
        if (item.empty()) {
            error = "unknown item \"" + name + "\" in --items (MAIN, CIS-M, CIS-S, CF, IR, CDM or all)";
            return false;
        }
        bool seen = false;
        for (const auto& have : options.items)
            seen = seen || have == item;
        if (!seen)
            options.items.push_back(item);
    }
    return true;
}

} // namespace

std::string CanonicalItemName(const std::string& text)
{
    std::string key;
    for (char c : Upper(text))
        if (c != '-' && c != '_' && c != ' ')
            key.push_back(c);
    static const char* const kNames[][2] = {{"MAIN", "MAIN"}, {"CISM", "CIS-M"}, {"CISS", "CIS-S"},
                                            {"CF", "CF"},     {"IR", "IR"},      {"CDM", "CDM"}};
    for (const auto& entry : kNames)
        if (key == entry[0])
            return entry[1];
    return {};
}

bool ParseCliOptions(int argc, char** argv, CCliOptions& options, std::string& error)
{
    options = CCliOptions{};
    std::vector<std::string> rest;
    if (!ParseAppOptions(argc, argv, options.app, rest, error))
        return false;
    // A serial path given with --port is both the port list's extra entry and the choice.
    if (options.app.extraPorts.size() > 1) {
        error = "--port can be given only once";
        return false;
    }
    if (!options.app.extraPorts.empty())
        options.port = options.app.extraPorts.front();

    std::vector<std::string> positional;
    for (std::size_t i = 0; i < rest.size(); ++i) {
        const std::string& arg = rest[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= rest.size()) {
                error = arg + " needs a value";
                return false;
            }
            out = rest[++i];
            return true;
        };
        std::string v;
        if (arg == "-h" || arg == "--help") {
            options.command = CCliOptions::ECommand::Help;
            return true;
        } else if (arg == "--port") { // only "USB" reaches here
            if (!value(v))
                return false;
            if (!options.port.empty()) {
                error = "--port can be given only once";
                return false;
            }
            options.port = v;
        } else if (arg == "--baud") {
            if (!value(options.baud))
                return false;
            if (options.baud.empty() || options.baud.find_first_not_of("0123456789") != std::string::npos) {
                error = "--baud needs a number, not \"" + options.baud + "\"";
                return false;
            }
        } else if (arg == "--items") {
            if (!value(v) || !ParseItems(v, options, error))
                return false;
        } else if (arg == "--check-only") {
            options.checkOnly = true;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "-v" || arg == "--verbose") {
            options.verbose = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            error = "unknown option " + arg;
            return false;
        } else {
            positional.push_back(arg);
        }
    }
    if (!positional.empty() && positional.front() == "info") {
        options.command = CCliOptions::ECommand::Info;
        positional.erase(positional.begin());
    }
    if (positional.size() != 1) {
        error = positional.empty() ? "no package given" : "more than one package given";
        return false;
    }
    options.package = positional.front();
    if (options.checkOnly && (options.allItems || !options.items.empty())) {
        error = "--check-only upgrades nothing, so --items does not apply";
        return false;
    }
    return true;
}

std::string CliHelpText()
{
    std::string text = "Usage: velunda-cli [OPTIONS] PACKAGE\n"
                       "       velunda-cli info PACKAGE\n"
                       "\n"
                       "Upgrades a Quorin V1 / Quorin V2 machine over USB, or the upgrade board over a\n"
                       "serial port, with the same logic as the velunda window: loads PACKAGE (.DAT or\n"
                       ".QVP), connects, runs the system check, ticks the items and starts the upgrade.\n"
                       "Message boxes of the window are printed on stderr with their exact texts.\n"
                       "\n"
                       "Options:\n"
                       "  --port USB|PATH        USB (default for machine packages) or the serial device\n"
                       "                         of the upgrade board (required for board packages)\n"
                       "  --baud N               baud rate of the serial connection, one of 4800, 9600,\n"
                       "                         19200, 38300, 38400 (default), 57600, 115200\n"
                       "  --usb-tty PATH         reach the FTDI bridge through a tty (/dev/ttyUSB0, or\n"
                       "                         quorin-sim's pty) instead of libftdi\n"
                       "  --items LIST|all       items to upgrade, comma separated: MAIN, CIS-M, CIS-S,\n"
                       "                         CF, IR, CDM (default: every part the package and the\n"
                       "                         machine both have)\n"
                       "  --check-only           system check and target information only, no upgrade;\n"
                       "                         exit status 1 when Upgrade Start stays disabled\n"
                       "  --log FILE             also write the time-stamped debug trace to FILE\n"
                       "  --stall-timeout SECS   end a run after SECS without any answer (default 60)\n"
                       "  --json                 one JSON object per event on stdout (messages, progress,\n"
                       "                         item results, the target, the outcome)\n"
                       "  -v, --verbose          print the debug trace on stderr\n"
                       "  -h, --help             this text\n"
                       "\n"
                       "velunda-cli info PACKAGE prints the package's parts, versions and sizes and, for\n"
                       "an archive, checks every entry's CRC without writing anything.\n"
                       "\n"
                       "Exit status:\n"
                       "  0  the upgrade (or the check, or info) succeeded\n"
                       "  1  the upgrade failed or was rejected (an item failed, a refused acknowledgement,\n"
                       "     a package that does not suit the machine, a target that stopped answering)\n"
                       "  2  bad usage, or a package that cannot be loaded or is damaged\n"
                       "  3  the connection failed (no device, no answer to the board check or boot probe)\n"
                       "\n"
                       "How messages decide the outcome:\n";
    for (const CMessageRule& rule : MessageRules()) {
        std::string pattern = rule.text;
        if (rule.match == CMessageRule::EMatch::Suffix)
            pattern = "..." + pattern;
        else if (rule.match == CMessageRule::EMatch::Prefix)
            pattern += "...";
        text += "  " + std::to_string(ExitCodeOf(rule.outcome)) + "  \"" + pattern + "\"" +
                (rule.endsRun ? "" : " (the run goes on)") + "\n";
    }
    return text;
}
