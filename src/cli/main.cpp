// velunda-cli: the upgrade window's logic on the command line.
#include "cli/CliOptions.h"
#include "cli/CliReport.h"
#include "cli/CliSession.h"
#include "cli/Station.h"

#include <csignal>
#include <cstdio>
#include <unistd.h>

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
    // An interrupt stays pending and is noticed by the run's loop, which then
    // closes the link properly. Threads started later inherit the mask.
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGHUP);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    if (stationMode)
        return RunStation(std::move(station));
    CCliReport report(options.json, ::isatty(STDERR_FILENO) == 1);
    if (options.command == CCliOptions::ECommand::Info)
        return RunInfo(options, report);
    CCliSession session(options, report);
    return session.Run();
}
