#pragma once

#include <cstdint>
#include <string>

// A file on disk: the archive file, and the output files of an extraction.
// Every failure throws CFileException with errno and the path; end of file is
// not a failure (Read returns fewer bytes).
class CZipBigFile {
public:
    enum OpenFlags : unsigned {
        modeRead = 0x1,
        modeReadWrite = 0x2,
        modeCreateWrite = 0x4, // create or truncate, write only
    };
    enum SeekFrom { begin, current, end };

    CZipBigFile() = default;
    CZipBigFile(const CZipBigFile&) = delete;
    CZipBigFile& operator=(const CZipBigFile&) = delete;
    virtual ~CZipBigFile();

    void Open(const std::string& strPath, unsigned nOpenFlags);
    // Reads through a copy of fd, an open descriptor of the file at strPath
    // (which names it in errors); the caller keeps fd.
    void OpenDescriptor(int fd, const std::string& strPath);
    bool IsOpen() const { return m_nFd >= 0; }

    // Reads up to nCount bytes; fewer only at the end of the file.
    uint32_t Read(void* pBuf, uint32_t nCount);
    void Write(const void* pBuf, uint32_t nCount);
    uint64_t Seek(int64_t nOffset, SeekFrom nFrom);
    uint64_t GetLength() const;
    const std::string& GetFilePath() const { return m_strPath; }

    void Close();
    // Closes without reporting a failure (cleanup after another error).
    void Abort();

private:
    [[noreturn]] void Fail(const char* pszOperation) const;

    int m_nFd = -1;
    std::string m_strPath;
};
