#pragma once
// Files the virtual target leaves for the tests: received images and one-line
// logs. Every call opens, writes and closes, so the files on disk are complete
// as soon as the answer that follows them has been sent. A recorder without a
// folder does nothing.
#include <cstddef>
#include <cstdint>
#include <string>

class CSimRecorder {
public:
    // Creates the folder (and its parents) when missing.
    bool Open(const std::string& dir, std::string& error);
    bool Enabled() const { return !m_strDir.empty(); }
    const std::string& Dir() const { return m_strDir; }

    void Truncate(const std::string& name);
    void Append(const std::string& name, const std::uint8_t* bytes, std::size_t count);
    void Line(const std::string& name, const std::string& line);

private:
    void Write(const std::string& name, const std::uint8_t* bytes, std::size_t count, bool truncate);
    std::string m_strDir;
};
