#include "history/StateDir.h"

#include <cstdlib>

std::string VelundaStateDir()
{
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/')
        return std::string(state) + "/velunda";
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return std::string(home) + "/.local/state/velunda";
    return {};
}

std::string VelundaConfigDir()
{
    const char* dir = std::getenv("VELUNDA_CONFIG_DIR");
    return dir != nullptr && dir[0] != '\0' ? dir : "/etc/velunda";
}
