#include "cli/CliOptions.h"

#include "cli/CliRecords.h"
#include "cli/ExitStatus.h"
#include "protocol/Items.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>

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

void InsertAfter(COptionTable& rows, const std::string& name, std::initializer_list<COption> more)
{
    const auto at =
        std::find_if(rows.begin(), rows.end(), [&name](const COption& r) { return r.name == name; });
    rows.insert(at == rows.end() ? at : at + 1, more);
}

// The command word and the package, once every option is read.
bool TakeArguments(std::vector<std::string> positional, CCliOptions& options, std::string& error)
{
    const std::string first = positional.empty() ? "" : positional.front();
    if (first == "devices" || first == "history") {
        options.command =
            first == "devices" ? CCliOptions::ECommand::Devices : CCliOptions::ECommand::History;
        if (positional.size() > 1)
            error = first + " takes no package";
        else if (!options.fleet && (!options.station.empty() || !options.outcome.empty()))
            error = "--station and --outcome read the records server (history --fleet)";
        return error.empty();
    }
    if (first == "records") {
        options.command = CCliOptions::ECommand::Records;
        const std::string action = positional.size() == 2 ? positional[1] : "";
        if (action != "init" && action != "push") {
            error = "records needs one action: init or push";
            return false;
        }
        options.recordsAction = action;
        return true;
    }
    if (first == "info") {
        options.command = CCliOptions::ECommand::Info;
        positional.erase(positional.begin());
    }
    if (!options.serial.empty() || !options.since.empty() || options.fleet || !options.station.empty() ||
        !options.outcome.empty()) {
        error = "--serial, --since, --fleet, --station and --outcome belong to the history command";
        return false;
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

} // namespace

std::string TrimText(const std::string& text)
{
    const char* blanks = " \t\r\n\v\f";
    std::string t = text;
    while (!t.empty() && (t.back() == '\0' || std::strchr(blanks, t.back()) != nullptr))
        t.pop_back();
    std::size_t start = 0;
    while (start < t.size() && (t[start] == '\0' || std::strchr(blanks, t[start]) != nullptr))
        ++start;
    return t.substr(start);
}

bool ParseAllowedSerials(const std::string& value, std::vector<std::string>& serials, std::string& error)
{
    std::vector<std::string> found;
    std::error_code ec;
    if (std::filesystem::is_regular_file(value, ec)) {
        std::ifstream in(value);
        std::string line;
        while (in && std::getline(in, line)) {
            line = TrimText(line);
            if (!line.empty() && line[0] != '#')
                found.push_back(line);
        }
        if (in.bad() || (!in.eof() && in.fail())) {
            error = "cannot read the --allow-serial file " + value;
            return false;
        }
    } else {
        std::string current;
        for (std::size_t i = 0; i <= value.size(); ++i) {
            if (i == value.size() || value[i] == ',') {
                if (!TrimText(current).empty())
                    found.push_back(TrimText(current));
                current.clear();
            } else {
                current.push_back(value[i]);
            }
        }
    }
    if (found.empty()) {
        error = "--allow-serial names no serial number (give a list like A1,B2 or a file with one per line)";
        return false;
    }
    serials.insert(serials.end(), found.begin(), found.end());
    return true;
}

std::string CanonicalItemName(const std::string& text)
{
    std::string key;
    for (char c : Upper(text))
        if (c != '-' && c != '_' && c != ' ')
            key.push_back(c);
    for (const CItemInfo& item : ITEMS) {
        std::string word = item.cliName;
        std::erase(word, '-');
        if (!word.empty() && key == word)
            return item.cliName;
    }
    return {};
}

COptionTable CliOptionRows(CCliOptions& options)
{
    using ECommand = CCliOptions::ECommand;
    const auto command = [&options](ECommand c) {
        return [&options, c](const std::string&, std::string&) {
            options.command = c;
            return true;
        };
    };
    // A serial path given with --port is both the port list's extra entry and the choice.
    const auto port = [&options](const std::string& v, std::string& error) {
        if (!options.port.empty()) {
            error = "--port can be given only once";
            return false;
        }
        if (v != "USB")
            options.app.extraPorts.push_back(v);
        options.port = v;
        return true;
    };
    const auto baud = [&options](const std::string& v, std::string& error) {
        options.baud = v;
        if (v.empty() || v.find_first_not_of("0123456789") != std::string::npos)
            error = "--baud needs a number, not \"" + v + "\"";
        return error.empty();
    };
    const auto items = [&options](const std::string& v, std::string& error) {
        return ParseItems(v, options, error);
    };
    const auto allowSerial = [&options](const std::string& v, std::string& error) {
        options.allowSerialGiven = true;
        return ParseAllowedSerials(v, options.allowedSerials, error);
    };
    // The shared rows, with this program's own placed beside them in the help.
    COptionTable rows = AppOptionRows(options.app);
    COption* portRow = FindOption(rows, "port");
    portRow->action = port;
    portRow->valueName = "USB|PATH";
    portRow->help = "USB (default for machine packages) or the serial device\n"
                    "of the upgrade board (required for board packages)";
    FindOption(rows, "usb-device")->help = "the FTDI bridge to use, by serial number or\n"
                                           "bus-port path (1-2); required when several are attached";
    InsertAfter(rows, "port",
                {{.name = "baud",
                  .takesValue = true,
                  .action = baud,
                  .valueName = "N",
                  .help = "baud rate of the serial connection, one of 4800, 9600,\n"
                          "19200, 38300, 38400 (default), 57600, 115200"}});
    // The bridge's port by one name on every system: COMn on Windows, the tty elsewhere.
    InsertAfter(rows, "usb-tty",
                {{.name = "usb-port",
                  .takesValue = true,
                  .action = TextOption("usb-port", 0, options.app.usbTty).action,
                  .valueName = "PORT",
                  .help = "the FTDI bridge's serial port: COMn on Windows (its\n"
                          "virtual COM port), on Linux the same as --usb-tty"}});
    InsertAfter(rows, "usb-device",
                {{.name = "items",
                  .takesValue = true,
                  .action = items,
                  .valueName = "LIST|all",
                  .help = "items to upgrade, comma separated: MAIN, CIS-M, CIS-S,\n"
                          "CF, IR, CDM (default: every part the package and the\n"
                          "machine both have)"},
                 FlagOption("check-only", 0, options.checkOnly,
                            "system check and target information only, no upgrade;\n"
                            "exit status 1 when Upgrade Start stays disabled"),
                 {.name = "allow-serial",
                  .takesValue = true,
                  .action = allowSerial,
                  .valueName = "LIST|FILE",
                  .help = "upgrade only machines whose serial number is listed\n"
                          "(comma separated, or a file with one per line); any\n"
                          "other machine is refused after the system check"},
                 FlagOption("skip-current", 0, options.skipCurrent,
                            "leave out items the machine already has at the\n"
                            "package's version (where both versions are known)")});
    InsertAfter(rows, "stall-timeout",
                {FlagOption("json", 0, options.json,
                            "one JSON object per event on stdout (messages, progress,\n"
                            "item results, the target, the outcome)"),
                 FlagOption("verbose", 'v', options.verbose, "print the debug trace on stderr"),
                 FlagOption("quiet", 'q', options.quiet, "print only the message boxes and the outcome")});
    rows.insert(rows.end(), {{.name = "help",
                              .letter = 'h',
                              .action = command(ECommand::Help),
                              .ends = true,
                              .help = "this text"},
                             {.name = "version",
                              .action = command(ECommand::Version),
                              .ends = true,
                              .help = "the version and the git revision it was built from"},
                             // The history's filters, shown in its usage line.
                             TextOption("serial", 0, options.serial),
                             TextOption("since", 0, options.since),
                             FlagOption("fleet", 0, options.fleet),
                             TextOption("station", 0, options.station),
                             TextOption("outcome", 0, options.outcome)});
    return rows;
}

bool ParseCliOptions(int argc, char** argv, CCliOptions& options, std::string& error)
{
    options = CCliOptions{};
    std::vector<std::string> positional;
    COptionParse how;
    how.positional = [&positional](const std::string& arg, std::string&) {
        positional.push_back(arg);
        return true;
    };
    if (!ParseOptions(argc, argv, CliOptionRows(options), how, error))
        return false;
    if (options.command == CCliOptions::ECommand::Help || options.command == CCliOptions::ECommand::Version)
        return true;
    return TakeArguments(std::move(positional), options, error);
}

std::string CliHelpText()
{
    std::string text = "Usage: velunda-cli [OPTIONS] PACKAGE\n"
                       "       velunda-cli info PACKAGE\n"
                       "       velunda-cli history [--serial S] [--since DATE] [--json]\n"
                       "       velunda-cli history --fleet [--serial S] [--since DATE] [--station HOST]\n"
                       "                         [--outcome OUTCOME] [--json]\n"
                       "       velunda-cli records init|push\n"
                       "       velunda-cli devices [--json]\n"
                       "\n"
                       "Upgrades a Quorin V1 / Quorin V2 machine over USB, or the upgrade board over a\n"
                       "serial port, with the same logic as the velunda window: loads PACKAGE (.DAT or\n"
                       ".QVP), connects, runs the system check, ticks the items and starts the upgrade.\n"
                       "Message boxes of the window are printed on stderr with their exact texts.\n"
                       "\n"
                       "Options:\n";
    CCliOptions unused;
    text += OptionHelp(CliOptionRows(unused));
    text += "Options take their value as the next argument or after '=' (--baud=9600);\n"
            "'--' ends the options.\n"
            "\n"
            "velunda-cli devices lists every FTDI bridge (serial number, description,\n"
            "bus-port path, whether ftdi_sio holds it and as which tty) and every serial port.\n"
            "\n"
            "velunda-cli info PACKAGE prints the package's parts, versions and sizes and, for\n"
            "an archive, checks every entry's CRC without writing anything.\n"
            "\n"
            "velunda-cli history lists the recorded runs of the window and of velunda-cli,\n"
            "oldest first, from $XDG_STATE_HOME/velunda/history.sqlite (~/.local/state when\n"
            "XDG_STATE_HOME is unset); --serial keeps one target's runs, --since DATE those\n"
            "from DATE on (2026-12-09, or 2026-12-09T10:00 in UTC). Each run shows whether\n"
            "the fleet records server has it yet (sent).\n"
            "\n"
            "Fleet records: with records-url in /etc/velunda/velunda.conf or\n"
            "$VELUNDA_RECORDS_URL (a libpq connection string or URI; passwords through\n"
            "~/.pgpass or PGSERVICE), every run is also sent to that PostgreSQL server at its\n"
            "end, for at most " +
            std::to_string(kRunEndPushSeconds) +
            " seconds; runs the server did not take wait in the history.\n"
            "velunda-cli records init creates or upgrades the server's tables, records push\n"
            "sends every waiting run, and history --fleet reads the server (--station HOST,\n"
            "--outcome OUTCOME keep one station's or one outcome's runs).\n"
            "\n"
            "Exit status:\n"
            "  0  the upgrade (or the check, or info) succeeded\n"
            "  1  the upgrade failed or was rejected (an item failed, a refused acknowledgement,\n"
            "     a package that does not suit the machine, a target that stopped answering)\n"
            "  2  bad usage, or a package that cannot be loaded or is damaged\n"
            "  3  the connection failed before anything of the upgrade was sent (no device, no\n"
            "     answer to the board check or boot probe, the link lost before then)\n"
            "  130  Ctrl-C stopped the run (the link closed, what it unpacked removed)\n"
            "\n"
            "How messages decide the outcome:\n";
    for (const CMessageEntry& entry : MessageTable()) {
        std::string pattern = entry.text;
        if (entry.form == CMessageEntry::EForm::Suffix)
            pattern = "..." + pattern;
        else if (entry.form == CMessageEntry::EForm::Prefix)
            pattern += "...";
        text += "  " + std::to_string(ExitCodeOf(OutcomeOf(entry.kind))) + "  \"" + pattern + "\"" +
                (entry.endsRun ? "" : " (the run goes on)") +
                (!entry.connectingIsConnectFailed
                     ? ""
                     : "; " + std::to_string(ExitCodeOf(ECliOutcome::ConnectFailed)) +
                           " while connecting, before anything of the upgrade was sent") +
                "\n";
    }
    return text;
}
