#include "SimTestSupport.h"

#include "protocol/Frame.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {
int RemainingMs(std::chrono::steady_clock::time_point end)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}
} // namespace

std::string HexText(const Bytes& bytes)
{
    std::string out;
    char b[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(b, sizeof b, "%02X", bytes[i]);
        out += (i ? " " : "") + std::string(b);
    }
    return out;
}

CSlave::CSlave(const std::string& path)
{
    Reopen(path);
}

CSlave::~CSlave()
{
    Close();
}

void CSlave::Close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_pending.clear();
}

bool CSlave::Reopen(const std::string& path)
{
    Close();
    m_fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0)
        return false;
    termios tio{};
    tcgetattr(m_fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(m_fd, TCSANOW, &tio);
    return true;
}

bool CSlave::WriteAll(const Bytes& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{m_fd, POLLOUT, 0};
            ::poll(&p, 1, 100);
        } else {
            return false;
        }
    }
    return true;
}

bool CSlave::SendFrame(std::uint8_t command, std::uint8_t subcommand, const Bytes& payload)
{
    return WriteAll(
        BuildFrame(command, subcommand, payload.data(), static_cast<std::int32_t>(payload.size())));
}

Bytes CSlave::Read(std::size_t count, std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    Bytes out;
    const std::size_t fromPending = std::min(count, m_pending.size());
    out.assign(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(fromPending));
    m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(fromPending));
    while (out.size() < count) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, RemainingMs(end)) <= 0 || !(p.revents & POLLIN))
            break;
        std::uint8_t buf[4096];
        const ssize_t n = ::read(m_fd, buf, std::min(sizeof buf, count - out.size()));
        if (n <= 0)
            break;
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

Bytes CSlave::ReadQuiet(std::chrono::milliseconds quiet)
{
    Bytes out;
    out.swap(m_pending);
    for (;;) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(quiet.count())) <= 0 || !(p.revents & POLLIN))
            break;
        std::uint8_t buf[4096];
        const ssize_t n = ::read(m_fd, buf, sizeof buf);
        if (n <= 0)
            break;
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

std::optional<CRxFrame> CSlave::ReadFrame(std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    CRxFrame frame;
    // Start marker and its complement.
    for (;;) {
        Bytes b = Read(1, std::chrono::milliseconds(RemainingMs(end)));
        if (b.empty())
            return std::nullopt;
        if (b[0] == 0xFB) {
            Bytes c = Read(1, std::chrono::milliseconds(RemainingMs(end)));
            if (c.empty())
                return std::nullopt;
            if (c[0] == 0x04)
                break;
            frame.before.push_back(b[0]);
            m_pending.insert(m_pending.begin(), c[0]);
            continue;
        }
        frame.before.push_back(b[0]);
    }
    Bytes head = Read(4, std::chrono::milliseconds(RemainingMs(end)));
    if (head.size() != 4)
        return std::nullopt;
    frame.command = head[0];
    frame.subcommand = head[1];
    const std::size_t length = (static_cast<std::size_t>(head[2]) << 8) | head[3];
    frame.payload = Read(length, std::chrono::milliseconds(RemainingMs(end)));
    Bytes tail = Read(2, std::chrono::milliseconds(RemainingMs(end)));
    if (frame.payload.size() != length || tail.size() != 2)
        return std::nullopt;
    std::uint8_t sum = 0xFB ^ 0x04 ^ head[0] ^ head[1] ^ head[2] ^ head[3] ^ tail[0];
    for (std::uint8_t b : frame.payload)
        sum ^= b;
    frame.checksumOk = tail[0] == 0xFB && sum == tail[1];
    return frame;
}

bool CSlave::WaitHangup(std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (RemainingMs(end) > 0) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, RemainingMs(end)) <= 0)
            return false;
        if (p.revents & (POLLHUP | POLLERR))
            return true;
        std::uint8_t buf[256];
        const ssize_t n = ::read(m_fd, buf, sizeof buf);
        if (n < 0 && errno == EIO)
            return true;
        if (n == 0)
            return true;
    }
    return false;
}

CSimFixture::CSimFixture(std::vector<std::string> args, bool withRecordDir)
    : m_pTarget(std::make_unique<CSimTarget>(std::move(args), withRecordDir ? m_dir.Path() : std::string()))
{
    m_pSlave = std::make_unique<CSlave>(m_pTarget->SlavePath());
    if (!m_pSlave->IsOpen())
        ADD_FAILURE() << "cannot open " << m_pTarget->SlavePath();
}
