#pragma once
// What velunda-cli knows of the attached bridges and ports: the devices
// command and the bridge check before a USB run. One file per platform: the
// USB bus and ttys, or the COM ports Windows lists.
#include "cli/CliOptions.h"
#include "cli/CliReport.h"

#include <string>

// The bridge a USB run will go through, checked before anything is opened:
// false with the reason (a usage error) when the run cannot tell which one.
// port receives the bridge's port when the run goes through one (empty for
// libftdi); what slows the run is reported as a warning.
bool CheckUsbBridge(const CCliOptions& options, CCliReport& report, std::string& port, std::string& error);
