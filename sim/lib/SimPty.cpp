#include "SimPty.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {
std::string OsError(const char* call)
{
    return std::string(call) + ": " + std::strerror(errno);
}
} // namespace

CSimPty::~CSimPty()
{
    Close();
}

bool CSimPty::Open(const std::string& linkPath, std::string& error)
{
    Close();
    m_nMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_nMaster < 0) {
        error = OsError("posix_openpt");
        return false;
    }
    char name[256];
    if (grantpt(m_nMaster) != 0 || unlockpt(m_nMaster) != 0 || ptsname_r(m_nMaster, name, sizeof name) != 0) {
        error = OsError("grantpt/unlockpt/ptsname");
        Close();
        return false;
    }
    m_strSlavePath = name;
    m_nSlave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_nSlave < 0) {
        error = OsError(("open " + m_strSlavePath).c_str());
        Close();
        return false;
    }
    termios tio{};
    if (tcgetattr(m_nSlave, &tio) != 0) {
        error = OsError("tcgetattr");
        Close();
        return false;
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(m_nSlave, TCSANOW, &tio) != 0) {
        error = OsError("tcsetattr");
        Close();
        return false;
    }
    const int flags = fcntl(m_nMaster, F_GETFL);
    if (flags < 0 || fcntl(m_nMaster, F_SETFL, flags | O_NONBLOCK) != 0) {
        error = OsError("fcntl O_NONBLOCK");
        Close();
        return false;
    }
    if (!linkPath.empty()) {
        struct stat st {};
        if (lstat(linkPath.c_str(), &st) == 0) {
            // Replace a link left by an earlier run, never a real file.
            if (!S_ISLNK(st.st_mode)) {
                error = linkPath + " exists and is not a symlink; not replacing it";
                Close();
                return false;
            }
            unlink(linkPath.c_str());
        }
        if (symlink(m_strSlavePath.c_str(), linkPath.c_str()) != 0) {
            error = OsError(("symlink " + linkPath).c_str());
            Close();
            return false;
        }
        m_strLinkPath = linkPath;
    }
    return true;
}

void CSimPty::Close()
{
    if (!m_strLinkPath.empty()) {
        unlink(m_strLinkPath.c_str());
        m_strLinkPath.clear();
    }
    if (m_nSlave >= 0)
        ::close(m_nSlave);
    if (m_nMaster >= 0)
        ::close(m_nMaster);
    m_nSlave = -1;
    m_nMaster = -1;
}

std::uint32_t CSimPty::SlaveSpeed() const
{
    return ReadLineSpeed(m_nSlave);
}
