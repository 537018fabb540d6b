#include "package/UnpackFolder.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

bool WritableFolder(const std::string& path)
{
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           ::access(path.c_str(), W_OK | X_OK) == 0;
}

} // namespace

std::string PrivateUnpackBase()
{
    for (const char* name : {"XDG_RUNTIME_DIR", "TMPDIR"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && value[0] == '/' && WritableFolder(value))
            return value;
    }
    return "/tmp";
}

void CUnpackFolder::Release()
{
    if (m_nLockFd >= 0)
        ::close(m_nLockFd); // drops the flock
    m_nLockFd = -1;
    m_strPath.clear();
    m_strNote.clear();
    m_bCreated = m_bPrivate = m_bInTheWay = false;
}

bool CUnpackFolder::Claim(const std::string& besideFolder, EPlace place)
{
    Release();
    if (place == EPlace::BesidePackage && ClaimBeside(besideFolder))
        return true;
    if (m_bInTheWay)
        return false;
    return ClaimPrivate();
}

bool CUnpackFolder::ClaimBeside(const std::string& folder)
{
    if (folder.empty())
        return false;
    bool made = ::mkdir(folder.c_str(), 0777) == 0;
    const int mkdirError = made ? 0 : errno;
    struct stat st {};
    if (!made && ::lstat(folder.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
        m_bInTheWay = true;
        return false;
    }
    if (!made && mkdirError != EEXIST) {
        m_strNote =
            "the folder beside the package cannot be made (" + std::string(std::strerror(mkdirError)) + ")";
        return false;
    }
    if (!WritableFolder(folder)) {
        m_strNote = "the folder beside the package cannot be written";
        return false;
    }
    // The lock lives on the folder itself, so nothing of ours is added to it.
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        if (fd >= 0)
            ::close(fd);
        m_strNote = err == EWOULDBLOCK ? "the folder beside the package is in use by another load"
                                       : "the folder beside the package cannot be locked (" +
                                             std::string(std::strerror(err)) + ")";
        if (made)
            ::rmdir(folder.c_str());
        return false;
    }
    // The holder before us may have removed the folder while we waited for
    // the lock: then the path is no longer the folder we hold.
    struct stat held {};
    if (::fstat(fd, &held) != 0 || ::stat(folder.c_str(), &st) != 0 || held.st_ino != st.st_ino ||
        held.st_dev != st.st_dev) {
        ::close(fd);
        m_strNote = "the folder beside the package was removed by another load";
        return false;
    }
    m_nLockFd = fd;
    m_strPath = folder;
    m_bCreated = made;
    return true;
}

bool CUnpackFolder::ClaimPrivate()
{
    std::string templ = PrivateUnpackBase() + "/velunda-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) == nullptr) {
        const std::string why = std::strerror(errno);
        m_strNote = (m_strNote.empty() ? "" : m_strNote + "; ") + "no private folder can be made in " +
                    PrivateUnpackBase() + " (" + why + ")";
        return false;
    }
    m_strPath = buf.data();
    m_bCreated = true;
    m_bPrivate = true;
    return true;
}
