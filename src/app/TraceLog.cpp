#include "app/TraceLog.h"

#include "files/FileSystem.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>

bool CTraceLog::OpenFile(const std::string& path)
{
    std::FILE* f = FsOpenStream(path, "a");
    if (f == nullptr)
        return false;
    std::lock_guard lock(m_mutex);
    m_files.emplace_back(f);
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
    const std::tm tm = FsLocalTime(t);
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
    for (const auto& file : m_files) {
        std::fputs(line.c_str(), file.get());
        std::fflush(file.get());
    }
}

std::string NewSessionLogPath(const std::string& folder, std::size_t keep)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    if (folder.empty() || keep == 0)
        return {};
    const fs::path base = FsPath(folder);
    fs::create_directories(base, ec);
    if (!fs::is_directory(base, ec))
        return {};
    // The names sort by time, so the first ones are the oldest.
    std::vector<fs::path> logs;
    for (const auto& entry : fs::directory_iterator(base, ec)) {
        const std::string name = FsUtf8(entry.path().filename());
        if (name.rfind("velunda-", 0) == 0 && entry.path().extension() == ".log")
            logs.push_back(entry.path());
    }
    std::sort(logs.begin(), logs.end());
    for (std::size_t i = 0; logs.size() - i >= keep && i < logs.size(); ++i)
        fs::remove(logs[i], ec);
    const std::time_t now = std::time(nullptr);
    const std::tm tm = FsUtcTime(now);
    char name[80];
    std::snprintf(name, sizeof name, "velunda-%04d%02d%02dT%02d%02d%02dZ-%d.log", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, FsProcessId());
    return FsUtf8(base / name);
}
