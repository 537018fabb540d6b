#pragma once
// The debug trace: every line time-stamped to stderr, and to log files when
// given (--log FILE, the window's session log), so a user can hand a complete
// log to support.
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CTraceLog {
public:
    CTraceLog() = default;
    // Opens a log file (appending), written besides those already open.
    // False when it cannot be opened.
    bool OpenFile(const std::string& path);
    void SetEcho(bool toStderr) { m_bEcho = toStderr; }
    // Writes one trace; trailing "\r\n" or "\n" of the text is dropped, inner
    // line breaks stay.
    void Write(const std::string& text);
    // The line as written, with its time stamp.
    static std::string Format(const std::string& text);

private:
    struct FileCloser {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::mutex m_mutex;
    std::vector<std::unique_ptr<std::FILE, FileCloser>> m_files;
    bool m_bEcho = true;
};

// A new log file for one window session in folder (velunda-<UTC time>-<pid>.log),
// after removing the oldest so that at most keep remain with it. Its path, or
// empty when the folder cannot be made.
std::string NewSessionLogPath(const std::string& folder, std::size_t keep = 50);
