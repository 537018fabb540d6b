#include "history/StateDir.h"

#include "files/FileSystem.h"

// On Windows what outlives a run is the user's local application data (not
// roamed to other machines); the system's settings are the machine's program
// data, which every user reads.

std::string VelundaStateDir()
{
    const std::string local = FsEnv("LOCALAPPDATA");
    return FsIsAbsolute(local) ? local + "\\Velunda" : std::string();
}

std::string VelundaConfigDir()
{
    const std::string dir = FsEnv("VELUNDA_CONFIG_DIR");
    if (!dir.empty())
        return dir;
    const std::string programData = FsEnv("PROGRAMDATA");
    return (FsIsAbsolute(programData) ? programData : std::string("C:\\ProgramData")) + "\\Velunda";
}
