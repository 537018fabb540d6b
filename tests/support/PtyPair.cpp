// The kernel's termios2 (for the speeds in baud) cannot meet <termios.h>:
// this file includes only the former.
#include "PtyPair.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <asm/termbits.h>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

CPty::CPty()
{
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) {
        ADD_FAILURE() << "no pseudo-terminal: errno " << errno;
        return;
    }
    char name[128] = {};
    if (::ptsname_r(m_master, name, sizeof name) != 0) {
        ADD_FAILURE() << "no name for the pseudo-terminal: errno " << errno;
        return;
    }
    m_slavePath = name;
}

CPty::~CPty()
{
    CloseMaster();
}

void CPty::CloseMaster()
{
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

bool CPty::Write(const Bytes& bytes)
{
    const auto end = std::chrono::steady_clock::now() + 10s;
    std::size_t done = 0;
    while (done < bytes.size() && std::chrono::steady_clock::now() < end) {
        const ssize_t n = ::write(m_master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            break;
        pollfd pfd{m_master, POLLOUT, 0};
        ::poll(&pfd, 1, 10);
    }
    if (done == bytes.size())
        return true;
    ADD_FAILURE() << "the master took " << done << " of " << bytes.size() << " bytes";
    return false;
}

Bytes CPty::Read(std::size_t n, std::chrono::milliseconds timeout)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    Bytes out;
    while (out.size() < n) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            break;
        pollfd pfd{m_master, POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(left)) <= 0)
            continue;
        std::uint8_t buffer[4096];
        const ssize_t got = ::read(m_master, buffer, std::min(sizeof buffer, n - out.size()));
        if (got > 0)
            out.insert(out.end(), buffer, buffer + got);
        else if (got < 0 && errno == EIO)
            ::usleep(1000); // no slave open right now
    }
    return out;
}

Bytes CPty::ReadQuiet(std::chrono::milliseconds quiet)
{
    Bytes out;
    for (;;) {
        const Bytes more = Read(1 << 16, quiet);
        if (more.empty())
            return out;
        out.insert(out.end(), more.begin(), more.end());
    }
}

unsigned CPty::SlaveSpeed(unsigned* inBaud) const
{
    termios2 tio{};
    if (::ioctl(m_master, TCGETS2, &tio) != 0)
        return 0;
    if (inBaud != nullptr)
        *inBaud = tio.c_ispeed;
    return tio.c_ospeed;
}
