#pragma once
// A file read in pieces during a download: the boot, data and body images.
// Errors: Open returns false and keeps errno in LastError(); Read returns the
// bytes read, 0 at the end of the file or on failure.
#include <cstddef>
#include <cstdint>
#include <string>

class CBinaryFile {
public:
    enum class Share { Shared, Exclusive };

    CBinaryFile() = default;
    ~CBinaryFile() { Close(); }
    CBinaryFile(const CBinaryFile&) = delete;
    CBinaryFile& operator=(const CBinaryFile&) = delete;

    // Opens for reading. Exclusive refuses a file another opener locks, and
    // locks it for the time it is open.
    bool Open(const std::string& path, Share share = Share::Shared);
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    int Descriptor() const { return m_fd; }
    std::size_t Read(void* buffer, std::size_t count);
    std::int64_t Length() const { return m_nLength; }
    const std::string& Path() const { return m_strPath; }
    int LastError() const { return m_nError; }

private:
    int m_fd = -1;
    std::int64_t m_nLength = 0;
    std::string m_strPath;
    int m_nError = 0;
};
