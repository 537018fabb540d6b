#include "package/BinaryFile.h"

#include "files/FileSystem.h"

#include <cerrno>

bool CBinaryFile::Open(const std::string& path, Share share)
{
    Close();
    const int fd = FsOpen(path, EFsOpen::Read);
    if (fd < 0) {
        m_nError = errno;
        return false;
    }
    CFsInfo info;
    if (!FsStatDescriptor(fd, info) || !info.bRegular) {
        m_nError = info.bFolder ? EISDIR : errno;
        FsClose(fd);
        return false;
    }
    if (!FsTryLock(fd, share == Share::Exclusive ? EFsLock::Exclusive : EFsLock::Shared)) {
        m_nError = errno;
        FsClose(fd);
        return false;
    }
    m_fd = fd;
    m_nLength = static_cast<std::int64_t>(info.uSize);
    m_strPath = path;
    m_nError = 0;
    return true;
}

void CBinaryFile::Close()
{
    if (m_fd >= 0)
        FsClose(m_fd);
    m_fd = -1;
    m_nLength = 0;
}

std::size_t CBinaryFile::Read(void* buffer, std::size_t count)
{
    if (m_fd < 0)
        return 0;
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::size_t got = 0;
    while (got < count) {
        const long long n = FsRead(m_fd, out + got, count - got);
        if (n <= 0) {
            if (n < 0)
                m_nError = errno;
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    return got;
}
