#include "BootTestSupport.h"

#include <algorithm>

#include <asm/termbits.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <unistd.h>

CBoardPty::CBoardPty()
{
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
        throw std::runtime_error("cannot create a pty");
    char name[128];
    if (::ptsname_r(m_master, name, sizeof name) != 0)
        throw std::runtime_error("ptsname failed");
    m_slavePath = name;
}

CBoardPty::~CBoardPty()
{
    if (m_master >= 0)
        ::close(m_master);
}

void CBoardPty::Write(const Bytes& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            throw std::runtime_error("pty write failed");
        pollfd pfd{m_master, POLLOUT, 0};
        ::poll(&pfd, 1, 10);
    }
}

Bytes CBoardPty::Read(std::size_t n, std::chrono::milliseconds timeout)
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

Bytes CBoardPty::ReadQuiet(std::chrono::milliseconds quiet)
{
    Bytes out;
    for (;;) {
        const Bytes more = Read(1 << 16, quiet);
        if (more.empty())
            return out;
        out.insert(out.end(), more.begin(), more.end());
    }
}

unsigned CBoardPty::SlaveSpeed() const
{
    termios2 tio{};
    if (::ioctl(m_master, TCGETS2, &tio) != 0)
        return 0;
    return tio.c_ospeed;
}

Bytes BodyPattern(std::size_t n, unsigned seed, bool allowHash)
{
    Bytes out = Pattern(n, seed);
    if (!allowHash)
        std::replace(out.begin(), out.end(), std::uint8_t{'#'}, std::uint8_t{'$'});
    return out;
}

Bytes Text(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::vector<std::string> ReadFileLines(const std::string& path)
{
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}
