#pragma once
// What this build of velunda-cli lacks. The Windows build has no SQLite and
// no libpq (Debian builds neither for mingw-w64) and no worker processes, so
// the history, the fleet records and station mode are not there; every
// other command is.
#include "cli/CliReport.h"

enum class ECliFeature {
    History, // velunda-cli history
    Records, // velunda-cli records init|push, history --fleet
    Station, // velunda-cli station / --station
};

bool InThisBuild(ECliFeature feature);
// Says so in one line, "velunda-cli: station mode is not available in the
// Windows build" on standard error (with --json the outcome event, reason
// the same words), and returns the bad-usage exit status: the command line
// asked for what this build cannot do.
int ReportNotInThisBuild(ECliFeature feature, CCliReport& report);
