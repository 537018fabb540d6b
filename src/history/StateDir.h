#pragma once
// Where the tool keeps what outlives a run (history, window logs):
// $XDG_STATE_HOME/velunda, or ~/.local/state/velunda when it is unset or not
// absolute. Empty when neither can be known.
#include <string>

std::string VelundaStateDir();
