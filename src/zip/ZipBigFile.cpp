#include "zip/ZipBigFile.h"

#include "files/FileSystem.h"
#include "zip/FileException.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>

CZipBigFile::~CZipBigFile()
{
    Abort();
}

void CZipBigFile::Fail(const char* pszOperation) const
{
    throw CFileException(errno, m_strPath, pszOperation);
}

void CZipBigFile::Open(const std::string& strPath, unsigned nOpenFlags)
{
    Abort();
    std::error_code ec;
    std::filesystem::path fullPath = std::filesystem::absolute(FsPath(strPath), ec);
    m_strPath = ec ? strPath : FsUtf8(fullPath);
    // CreateWrite never writes through a symbolic link someone left at the destination.
    const EFsOpen how = (nOpenFlags & modeCreateWrite) ? EFsOpen::CreateWrite
                        : (nOpenFlags & modeReadWrite) ? EFsOpen::ReadWrite
                                                       : EFsOpen::Read;
    const int nFd = FsOpen(strPath, how);
    if (nFd < 0)
        Fail("open");
    CFsInfo info;
    if (!(nOpenFlags & modeCreateWrite) && FsStatDescriptor(nFd, info) && info.bFolder) {
        FsClose(nFd);
        errno = EISDIR;
        Fail("open");
    }
    m_nFd = nFd;
}

void CZipBigFile::OpenDescriptor(int fd, const std::string& strPath)
{
    Abort();
    std::error_code ec;
    std::filesystem::path fullPath = std::filesystem::absolute(FsPath(strPath), ec);
    m_strPath = ec ? strPath : FsUtf8(fullPath);
    const int nFd = FsDuplicate(fd);
    if (nFd < 0)
        Fail("open");
    m_nFd = nFd;
    Seek(0, begin);
}

uint32_t CZipBigFile::Read(void* pBuf, uint32_t nCount)
{
    auto* pDst = static_cast<unsigned char*>(pBuf);
    uint32_t nDone = 0;
    while (nDone < nCount) {
        const long long n = FsRead(m_nFd, pDst + nDone, nCount - nDone);
        if (n < 0)
            Fail("read");
        if (n == 0)
            break;
        nDone += static_cast<uint32_t>(n);
    }
    return nDone;
}

void CZipBigFile::Write(const void* pBuf, uint32_t nCount)
{
    const auto* pSrc = static_cast<const unsigned char*>(pBuf);
    uint32_t nDone = 0;
    while (nDone < nCount) {
        const long long n = FsWrite(m_nFd, pSrc + nDone, nCount - nDone);
        if (n < 0)
            Fail("write");
        nDone += static_cast<uint32_t>(n);
    }
}

uint64_t CZipBigFile::Seek(int64_t nOffset, SeekFrom nFrom)
{
    int nWhence = nFrom == begin ? SEEK_SET : nFrom == current ? SEEK_CUR : SEEK_END;
    const long long nPos = FsSeek(m_nFd, nOffset, nWhence);
    if (nPos < 0)
        Fail("seek in");
    return static_cast<uint64_t>(nPos);
}

uint64_t CZipBigFile::GetLength() const
{
    CFsInfo info;
    if (!FsStatDescriptor(m_nFd, info))
        Fail("examine");
    return info.uSize;
}

void CZipBigFile::Close()
{
    if (m_nFd < 0)
        return;
    int nFd = m_nFd;
    m_nFd = -1;
    if (!FsClose(nFd))
        Fail("close");
}

void CZipBigFile::Abort()
{
    if (m_nFd >= 0)
        FsClose(m_nFd);
    m_nFd = -1;
}
