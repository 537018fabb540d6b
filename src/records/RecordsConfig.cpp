#include "records/RecordsConfig.h"

#include "files/FileSystem.h"
#include "history/StateDir.h"

#include <cstdlib>
#include <fstream>

namespace {

std::string Trim(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

} // namespace

std::string RecordsUrlFromFile(const std::string& path)
{
    std::ifstream in(FsPath(path));
    std::string line;
    std::string url;
    while (std::getline(in, line)) {
        line = Trim(line);
        const auto eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string::npos)
            continue;
        if (Trim(line.substr(0, eq)) == "records-url")
            url = Trim(line.substr(eq + 1)); // the last one counts
    }
    return url;
}

std::string ConfiguredRecordsUrl(const std::string& configFile)
{
    if (const char* env = std::getenv("VELUNDA_RECORDS_URL"))
        return Trim(env);
    return RecordsUrlFromFile(configFile.empty() ? VelundaConfigDir() + "/velunda.conf" : configFile);
}
