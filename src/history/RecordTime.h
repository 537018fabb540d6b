#pragma once
// Times as the records write them: RFC 3339 in UTC with milliseconds
// ("2026-12-09T16:32:06.123Z"), which also sort as text.
#include <chrono>
#include <string>

std::string Rfc3339Utc(std::chrono::system_clock::time_point when);
inline std::string Rfc3339Now()
{
    return Rfc3339Utc(std::chrono::system_clock::now());
}
// The lower bound a --since value stands for, in the same form: a date
// ("2026-12-09"), a date and time ("2026-12-09T10:00", seconds optional) in
// UTC, or a full RFC 3339 time with "Z". Empty for a text that is none of these.
std::string SinceBound(const std::string& text);
