#include "records/RecordsConfig.h"

#include "history/StateDir.h"

#include <cstdlib>
#include <fstream>
#include <libpq-fe.h>
#include <memory>

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
    std::ifstream in(path);
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

std::string MaskedConnection(const std::string& conninfo)
{
    char* message = nullptr;
    std::unique_ptr<PQconninfoOption, decltype(&PQconninfoFree)> options(
        PQconninfoParse(conninfo.c_str(), &message), &PQconninfoFree);
    PQfreemem(message);
    if (!options)
        return "(a connection string libpq cannot read)";
    std::string text;
    for (const PQconninfoOption* o = options.get(); o->keyword != nullptr; ++o) {
        if (o->val == nullptr || *o->val == '\0')
            continue;
        const std::string keyword = o->keyword;
        // "*" marks the options libpq itself treats as secrets.
        const bool secret = keyword == "password" || (o->dispchar != nullptr && o->dispchar[0] == '*');
        std::string value = secret ? "********" : o->val;
        if (value.find_first_of(" '\\") != std::string::npos) {
            std::string quoted = "'";
            for (char c : value)
                quoted += (c == '\'' || c == '\\') ? std::string("\\") + c : std::string(1, c);
            value = quoted + "'";
        }
        text += (text.empty() ? "" : " ") + keyword + "=" + value;
    }
    return text.empty() ? "(libpq's defaults)" : text;
}
