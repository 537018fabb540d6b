#include "history/RecordTime.h"

#include "files/FileSystem.h"

#include <cctype>
#include <cstdio>
#include <ctime>

std::string Rfc3339Utc(std::chrono::system_clock::time_point when)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    const std::tm tm = FsUtcTime(seconds);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms % 1000));
    return text;
}

std::string SinceBound(const std::string& text)
{
    // Digits where the pattern has '9', the pattern's own character elsewhere.
    auto fits = [&](const char* pattern) {
        const std::string p = pattern;
        if (text.size() < p.size())
            return false;
        for (std::size_t i = 0; i < p.size(); ++i) {
            const bool digit = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
            if (p[i] == '9' ? !digit : text[i] != p[i])
                return false;
        }
        return true;
    };
    std::string bound;
    if (fits("9999-99-99T99:99:99") && (text.size() == 19 || text.back() == 'Z'))
        bound = text.size() == 19 ? text : text.substr(0, text.size() - 1);
    else if (fits("9999-99-99T99:99") && text.size() == 16)
        bound = text + ":00";
    else if (fits("9999-99-99") && text.size() == 10)
        bound = text + "T00:00:00";
    else
        return {};
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    if (std::sscanf(bound.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d", &y, &mo, &d, &h, &mi, &s) != 6 || mo < 1 ||
        mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60)
        return {};
    return bound;
}
