#pragma once
// The debug trace: every line time-stamped to stderr, and to a log file when
// one is given, so a user can hand a complete log to support.
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

class CTraceLog {
public:
    CTraceLog() = default;
    // Opens the log file (appending). False when it cannot be opened.
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
    std::unique_ptr<std::FILE, FileCloser> m_file;
    bool m_bEcho = true;
};
