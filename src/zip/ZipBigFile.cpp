#include "zip/ZipBigFile.h"

#include "zip/FileException.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

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
    std::filesystem::path fullPath = std::filesystem::absolute(strPath, ec);
    m_strPath = ec ? strPath : fullPath.string();
    int nFlags = O_CLOEXEC;
    if (nOpenFlags & modeCreateWrite)
        // Never write through a symbolic link someone left at the destination.
        nFlags |= O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW;
    else if (nOpenFlags & modeReadWrite)
        nFlags |= O_RDWR;
    else
        nFlags |= O_RDONLY;
    int nFd;
    do {
        nFd = ::open(strPath.c_str(), nFlags, 0666);
    } while (nFd < 0 && errno == EINTR);
    if (nFd < 0)
        Fail("open");
    struct stat st {};
    if (!(nOpenFlags & modeCreateWrite) && ::fstat(nFd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(nFd);
        errno = EISDIR;
        Fail("open");
    }
    m_nFd = nFd;
}

void CZipBigFile::OpenDescriptor(int fd, const std::string& strPath)
{
    Abort();
    std::error_code ec;
    std::filesystem::path fullPath = std::filesystem::absolute(strPath, ec);
    m_strPath = ec ? strPath : fullPath.string();
    const int nFd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
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
        ssize_t n = ::read(m_nFd, pDst + nDone, nCount - nDone);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            Fail("read");
        }
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
        ssize_t n = ::write(m_nFd, pSrc + nDone, nCount - nDone);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            Fail("write");
        }
        nDone += static_cast<uint32_t>(n);
    }
}

uint64_t CZipBigFile::Seek(int64_t nOffset, SeekFrom nFrom)
{
    int nWhence = nFrom == begin ? SEEK_SET : nFrom == current ? SEEK_CUR : SEEK_END;
    off_t nPos = ::lseek(m_nFd, static_cast<off_t>(nOffset), nWhence);
    if (nPos < 0)
        Fail("seek in");
    return static_cast<uint64_t>(nPos);
}

uint64_t CZipBigFile::GetLength() const
{
    struct stat st {};
    if (::fstat(m_nFd, &st) != 0)
        Fail("examine");
    return static_cast<uint64_t>(st.st_size);
}

void CZipBigFile::Close()
{
    if (m_nFd < 0)
        return;
    int nFd = m_nFd;
    m_nFd = -1;
    // Linux releases the descriptor even when close reports an error; do not retry.
    if (::close(nFd) != 0 && errno != EINTR)
        Fail("close");
}

void CZipBigFile::Abort()
{
    if (m_nFd >= 0)
        ::close(m_nFd);
    m_nFd = -1;
}
