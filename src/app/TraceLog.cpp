#include "app/TraceLog.h"

#include <chrono>
#include <ctime>

bool CTraceLog::OpenFile(const std::string& path)
{
    std::FILE* f = std::fopen(path.c_str(), "a");
    if (f == nullptr)
        return false;
    std::lock_guard lock(m_mutex);
    m_file.reset(f);
    return true;
}

std::string CTraceLog::Format(const std::string& text)
{
    std::string body = text;
    while (!body.empty() && (body.back() == '\n' || body.back() == '\r'))
        body.pop_back();
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    localtime_r(&t, &tm);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &tm);
    char millis[8];
    std::snprintf(millis, sizeof millis, ".%03d ", static_cast<int>(ms));
    return std::string(date) + millis + body;
}

void CTraceLog::Write(const std::string& text)
{
    const std::string line = Format(text) + "\n";
    std::lock_guard lock(m_mutex);
    if (m_bEcho)
        std::fputs(line.c_str(), stderr);
    if (m_file) {
        std::fputs(line.c_str(), m_file.get());
        std::fflush(m_file.get());
    }
}
