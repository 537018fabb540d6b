#include "package/UnpackFolder.h"

#include "files/FileSystem.h"

#include <cerrno>
#include <cstring>

void CUnpackFolder::Release()
{
    if (m_nLockFd >= 0)
        FsClose(m_nLockFd); // drops the lock
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
    bool made = FsMakeFolder(folder);
    const int mkdirError = made ? 0 : errno;
    CFsInfo info;
    if (!made && FsStatNoFollow(folder, info) && !info.bFolder) {
        m_bInTheWay = true;
        return false;
    }
    if (!made && mkdirError != EEXIST) {
        m_strNote =
            "the folder beside the package cannot be made (" + std::string(std::strerror(mkdirError)) + ")";
        return false;
    }
    if (!FsCanWriteFolder(folder)) {
        m_strNote = "the folder beside the package cannot be written";
        return false;
    }
    bool gone = false;
    const int fd = FsLockFolder(folder, gone);
    if (fd < 0) {
        const int err = errno;
        if (gone) {
            m_strNote = "the folder beside the package was removed by another load";
            return false;
        }
        m_strNote = err == EWOULDBLOCK ? "the folder beside the package is in use by another load"
                                       : "the folder beside the package cannot be locked (" +
                                             std::string(std::strerror(err)) + ")";
        if (made)
            FsRemoveFolder(folder);
        return false;
    }
    m_nLockFd = fd;
    m_strPath = folder;
    m_bCreated = made;
    return true;
}

bool CUnpackFolder::ClaimPrivate()
{
    const std::string made = FsMakeUniqueFolder(PrivateUnpackBase(), "velunda-");
    if (made.empty()) {
        const std::string why = std::strerror(errno);
        m_strNote = (m_strNote.empty() ? "" : m_strNote + "; ") + "no private folder can be made in " +
                    PrivateUnpackBase() + " (" + why + ")";
        return false;
    }
    m_strPath = made;
    m_bCreated = true;
    m_bPrivate = true;
    return true;
}
