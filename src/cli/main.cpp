// velunda-cli: the upgrade window's logic on the command line.
#include "cli/CliOptions.h"
#include "cli/CliRecords.h"
#include "cli/CliReport.h"
#include "cli/CliSession.h"
#include "cli/Station.h"
#include "version/Version.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

// Bars are redrawn in place only on a terminal that can move the cursor.
bool CursorTerminal()
{
    const char* term = std::getenv("TERM");
    return ::isatty(STDERR_FILENO) == 1 && term != nullptr && term[0] != '\0' &&
           std::strcmp(term, "dumb") != 0;
}

} // namespace

int main(int argc, char** argv)
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
    // An interrupt stays pending and is noticed by the run's loop, which then
    // closes the link properly; a resize waits until the bars are next drawn.
    // Threads started later inherit the mask.
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGHUP);
    sigaddset(&mask, SIGWINCH);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    if (stationMode)
        return RunStation(std::move(station));
    CCliReport report(options.json, CursorTerminal());
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
