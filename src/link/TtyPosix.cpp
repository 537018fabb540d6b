#include "link/TtyPosix.h"

#include <cerrno>
#include <cstdint>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace tty {

CUniqueFd& CUniqueFd::operator=(CUniqueFd&& other) noexcept
{
    if (this != &other)
        Reset(other.Release());
    return *this;
}

int CUniqueFd::Release()
{
    const int fd = m_nFd;
    m_nFd = -1;
    return fd;
}

void CUniqueFd::Reset(int fd)
{
    if (m_nFd >= 0)
        ::close(m_nFd);
    m_nFd = fd;
}

int OpenExclusive(const std::string& path, CUniqueFd& fd, const char*& step)
{
    fd.Reset();
    step = "open";
    CUniqueFd port(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!port.IsOpen())
        return errno;
    // The lock first: only its holder may touch the exclusive flag below, so a
    // failed open never clears the flag of the program that holds the port.
    step = "lock";
    if (::flock(port.Get(), LOCK_EX | LOCK_NB) != 0)
        return errno;
    step = "exclusive";
    int exclusive = 0;
    // Held by a program that uses the flag without the lock; root would pass it.
    if (::ioctl(port.Get(), TIOCGEXCL, &exclusive) == 0 && exclusive != 0)
        return EBUSY;
    if (::ioctl(port.Get(), TIOCEXCL) != 0)
        return errno;
    fd = std::move(port);
    return 0;
}

void ReleaseExclusive(int fd)
{
    if (fd < 0)
        return;
    ::ioctl(fd, TIOCNXCL);
    ::flock(fd, LOCK_UN);
}

int SetRaw8N1(int fd, speed_t speed, cc_t vmin, const char*& step)
{
    step = "tcgetattr";
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0)
        return errno;
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = vmin;
    tio.c_cc[VTIME] = 0;
    // An input speed left by an exact-speed session (38300) would survive a
    // standard-speed reopen: input follows output when this field is 0.
    tio.c_cflag &= ~static_cast<tcflag_t>(CIBAUD);
    if (speed != B0) {
        ::cfsetispeed(&tio, speed);
        ::cfsetospeed(&tio, speed);
    }
    step = "tcsetattr";
    if (::tcsetattr(fd, TCSANOW, &tio) != 0)
        return errno;
    return 0;
}

int CheckRaw8N1(int fd, cc_t vmin)
{
    termios back{};
    if (::tcgetattr(fd, &back) != 0)
        return errno;
    constexpr tcflag_t kFrameBits = CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD;
    if ((back.c_cflag & kFrameBits) != (CS8 | CLOCAL | CREAD) ||
        (back.c_iflag & (IXON | IXOFF | IXANY)) != 0 || (back.c_lflag & (ICANON | ECHO | ISIG)) != 0 ||
        back.c_cc[VMIN] != vmin)
        return EINVAL;
    return 0;
}

int CTtyWakeFd::Open()
{
    m_fd.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    return m_fd.IsOpen() ? 0 : errno;
}

void CTtyWakeFd::Signal() const
{
    if (!m_fd.IsOpen())
        return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_fd.Get(), &one, sizeof one);
}

EWait WaitPort(int fd, short events, int wakeFd, int timeoutMs, int& err, short* revents)
{
    pollfd fds[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
    for (;;) {
        const int rc = ::poll(fds, 2, timeoutMs);
        if (revents != nullptr)
            *revents = rc > 0 ? fds[0].revents : 0;
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            err = errno;
            return EWait::FAILED;
        }
        if (rc == 0)
            return EWait::TIMEOUT;
        if (fds[1].revents != 0)
            return EWait::CLOSING;
        if (fds[0].revents & POLLNVAL) {
            err = EBADF;
            return EWait::FAILED;
        }
        if (fds[0].revents & events)
            return EWait::READY;
        err = EIO;
        return EWait::HANGUP;
    }
}

} // namespace tty
