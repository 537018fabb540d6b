#include "package/BinaryFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

bool CBinaryFile::Open(const std::string& path, Share share)
{
    Close();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        m_nError = errno;
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        m_nError = S_ISDIR(st.st_mode) ? EISDIR : errno;
        ::close(fd);
        return false;
    }
    if (::flock(fd, (share == Share::Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        m_nError = errno;
        ::close(fd);
        return false;
    }
    m_fd = fd;
    m_nLength = st.st_size;
    m_strPath = path;
    m_nError = 0;
    return true;
}

void CBinaryFile::Close()
{
    if (m_fd >= 0)
        ::close(m_fd);
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
        const ssize_t n = ::read(m_fd, out + got, count - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n < 0)
                m_nError = errno;
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    return got;
}
