// velunda-cli: the upgrade window's logic on the command line.
#include "cli/CliOptions.h"
#include "cli/CliReport.h"
#include "cli/CliSession.h"

#include <csignal>
#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv)
{
    CCliOptions options;
    std::string error;
    if (!ParseCliOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "velunda-cli: %s\nTry 'velunda-cli --help'.\n", error.c_str());
        return ExitCodeOf(ECliOutcome::BadUsage);
    }
    if (options.command == CCliOptions::ECommand::Help) {
        std::fputs(CliHelpText().c_str(), stdout);
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

    if (options.command == CCliOptions::ECommand::Devices)
        return RunDevices(options);
    CCliReport report(options.json, ::isatty(STDERR_FILENO) == 1);
    if (options.command == CCliOptions::ECommand::Info)
        return RunInfo(options, report);
    CCliSession session(options, report);
    return session.Run();
}
