// velunda-cli: the upgrade window's logic on the command line.
#include "cli/CliOptions.h"
#include "cli/CliRecords.h"
#include "cli/CliReport.h"
#include "cli/CliSession.h"
#include "cli/Console.h"
#include "cli/Station.h"
#include "version/Version.h"

#include <cstdio>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

int RunCli(int argc, char** argv)
{
    std::string error;
    CStationOptions station;
    const bool stationMode = IsStationCommand(argc, argv);
    if (stationMode && !ParseStationOptions(argc, argv, station, error)) {
        std::fprintf(stderr, "velunda-cli: %s\nTry 'velunda-cli --help'.\n", error.c_str());
        return ExitCodeOf(ECliOutcome::BadUsage);
    }
    CCliOptions options;
    if (!stationMode && !ParseCliOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "velunda-cli: %s\nTry 'velunda-cli --help'.\n", error.c_str());
        return ExitCodeOf(ECliOutcome::BadUsage);
    }
    if (options.command == CCliOptions::ECommand::Help) {
        std::fputs((CliHelpText() + "\n" + StationHelpText()).c_str(), stdout);
        return 0;
    }
    if (options.command == CCliOptions::ECommand::Version) {
        std::printf("%s\n", VersionLine("velunda-cli").c_str());
        return 0;
    }
    PrepareConsole();

    if (stationMode)
        return RunStation(std::move(station));
    // Bars are redrawn in place only on a terminal that can move the cursor.
    CCliReport report(options.json, IsCursorConsole(stderr));
    report.SetQuiet(options.quiet);
    switch (options.command) {
    case CCliOptions::ECommand::Info:
        report.Start("info");
        return RunInfo(options, report);
    case CCliOptions::ECommand::History:
        report.Start("history");
        return RunHistory(options, report);
    case CCliOptions::ECommand::Devices:
        report.Start("devices");
        return RunDevices(options, report);
    case CCliOptions::ECommand::Records:
        report.Start("records");
        return RunRecords(options, report);
    default:
        break;
    }
    report.Start("upgrade");
    CCliSession session(options, report);
    return session.Run();
}

} // namespace

#ifdef _WIN32
// Windows hands the command line over as UTF-16; everything inside is UTF-8.
int wmain(int argc, wchar_t** argv)
{
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) {
        const int n = ::WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
        std::string arg(std::size_t(n > 0 ? n : 1), '\0');
        if (n > 0)
            ::WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, arg.data(), n, nullptr, nullptr);
        arg.resize(arg.size() - 1); // the terminating NUL
        args.push_back(std::move(arg));
    }
    std::vector<char*> pointers;
    for (auto& arg : args)
        pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    return RunCli(argc, pointers.data());
}
#else
int main(int argc, char** argv)
{
    return RunCli(argc, argv);
}
#endif
