// Station mode needs a worker process per machine and the POSIX process and
// signal calls that run them: the Windows build answers that it lacks it.
#include "cli/Station.h"

#include "cli/BuildFeatures.h"
#include "cli/CliReport.h"

#include <string_view>

bool ParseStationOptions(int argc, char** argv, CStationOptions& options, std::string&)
{
    // Only what the answer needs: whether it is to be an event.
    options = CStationOptions{};
    for (int i = 1; i < argc; ++i)
        options.json = options.json || std::string_view(argv[i]) == "--json";
    return true;
}

int RunStation(CStationOptions options)
{
    CCliReport report(options.json, false);
    report.Start("station");
    return ReportNotInThisBuild(ECliFeature::Station, report);
}

std::string StationHelpText()
{
    return "Not in the Windows build (they answer so, with exit status 2): station mode\n"
           "  (station, --station), the history (history, --serial, --since, --no-history)\n"
           "  and the fleet records (records init|push, history --fleet, --station HOST,\n"
           "  --outcome). Logs and unpack folders go to %LOCALAPPDATA%\\Velunda; settings\n"
           "  (velunda.conf, trusted-keys) are read from %PROGRAMDATA%\\Velunda or\n"
           "  %VELUNDA_CONFIG_DIR%.\n";
}
