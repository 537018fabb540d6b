#include "version/Version.h"

std::string VersionText()
{
    const std::string revision = VelundaRevision();
    return std::string(VelundaVersion()) + (revision.empty() ? "" : " (git " + revision + ")");
}

std::string VersionLine(const std::string& program)
{
    return program + " " + VersionText();
}
