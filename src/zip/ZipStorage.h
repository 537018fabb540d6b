#pragma once

#include "zip/ZipBigFile.h"

#include <cstdint>
#include <string>
#include <vector>

// The archive file and its volume bookkeeping. Only single-volume archives are
// read; the span mode keeps the states an open goes through.
class CZipStorage {
public:
    enum SpanMode : int {
        spanNone = 0,        // single volume
        spanRemovable = 1,   // volumes on removable disks
        spanNumbered = 2,    // volumes in numbered files
        spanUndecided = 3,   // opened with volume size 0, end record not read yet
        spanExpectFiles = 4, // opened with a volume size
    };

    CZipStorage() = default;
    CZipStorage(const CZipStorage&) = delete;
    CZipStorage& operator=(const CZipStorage&) = delete;
    virtual ~CZipStorage() = default;

    // bReadOnly false opens for reading and writing. CFileException on failure.
    void Open(const std::string& strPath, bool bReadOnly, uint32_t nVolumeSize);
    // Read-only, through a copy of the open descriptor fd of strPath.
    void OpenDescriptor(int fd, const std::string& strPath);
    // Closes the file; bAfterException true reports no failure of the close.
    void Close(bool bAfterException);

    // m_nVolume -1 means the archive is closed; with bArchiveLevel false: no file
    // is in use or it is not open.
    bool IsClosed(bool bArchiveLevel) const;
    bool IsFileOpen() const { return m_file.IsOpen(); }

    // One read; fewer bytes than asked only at the end of the file.
    uint32_t Read(void* pBuf, uint32_t nCount);
    // Exactly nCount bytes, else BadArchive.
    void ReadExact(void* pBuf, uint32_t nCount);
    uint64_t Seek(int64_t nOffset, CZipBigFile::SeekFrom nFrom);
    uint64_t GetLength() const { return m_file.GetLength(); }
    const std::string& GetFilePath() const { return m_file.GetFilePath(); }

    // Throws CZipException for an internal error number (a zlib result or a
    // ZIP_ERR_ number), naming the archive unless it counts as closed.
    [[noreturn]] void ThrowError(int nError) const;

    int m_nSpanMode = spanNone;
    int32_t m_nVolume = -1;

private:
    // Headers are small and mostly next to each other: reads go through a
    // window of the file, so an archive of many entries costs few system
    // calls. The file's own offset is always m_uAheadStart + the window's length.
    void DropAhead(uint64_t uPos);
    CZipBigFile m_file;
    std::vector<uint8_t> m_ahead;
    uint64_t m_uAheadStart = 0;  // file offset of m_ahead[0]
    std::size_t m_nAheadPos = 0; // next byte to hand out
};
