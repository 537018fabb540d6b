#pragma once
// Where the tool keeps what outlives a run (history, window logs):
// $XDG_STATE_HOME/velunda, or ~/.local/state/velunda when it is unset or not
// absolute. Empty when neither can be known.
#include <string>

std::string VelundaStateDir();

// Where the system's settings are (velunda.conf, trusted-keys/): /etc/velunda,
// or the folder VELUNDA_CONFIG_DIR names (tests, installs under another prefix).
std::string VelundaConfigDir();
