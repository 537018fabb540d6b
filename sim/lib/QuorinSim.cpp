#include "QuorinSim.h"

#include "BoardTarget.h"
#include "MachineTarget.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

CQuorinSim::CQuorinSim(CSimConfig config) : m_cfg(std::move(config))
{
}

CQuorinSim::~CQuorinSim()
{
    Stop();
    if (m_nWake >= 0)
        ::close(m_nWake);
}

bool CQuorinSim::Open(std::string& error)
{
    if (m_pty.IsOpen())
        return true;
    if (m_nWake < 0) {
        m_nWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (m_nWake < 0) {
            error = std::string("eventfd: ") + std::strerror(errno);
            return false;
        }
    }
    if (!m_recorder.Open(m_cfg.recordDir, error))
        return false;
    if (!m_pty.Open(m_cfg.linkPath, error))
        return false;
    m_strSlavePath = m_pty.SlavePath();
    ISimHost& host = *this;
    if (m_cfg.mode == ESimMode::Board)
        m_pRole = std::make_unique<CBoardTarget>(m_cfg, host);
    else
        m_pRole = std::make_unique<CMachineTarget>(m_cfg, host);
    m_bUnplugRequested = false;
    m_bUnplugged = false;
    m_timers.clear();
    m_outBuffer.clear();
    {
        std::lock_guard<std::mutex> lock(m_endMutex);
        m_bEnded = false;
    }
    return true;
}

bool CQuorinSim::Start(std::string& error)
{
    if (m_thread.joinable()) {
        error = "already running";
        return false;
    }
    if (!Open(error))
        return false;
    m_thread = std::thread([this] { Run(); });
    return true;
}

void CQuorinSim::Stop()
{
    if (m_nWake >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_nWake, &one, sizeof one);
    }
    if (m_thread.joinable())
        m_thread.join();
    m_pty.Close();
    if (m_nWake >= 0) {
        std::uint64_t drain = 0;
        [[maybe_unused]] const ssize_t n = ::read(m_nWake, &drain, sizeof drain);
    }
}

bool CQuorinSim::WaitEnded(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(m_endMutex);
    return m_endCv.wait_for(lock, timeout, [this] { return m_bEnded; });
}

void CQuorinSim::MarkEnded()
{
    std::lock_guard<std::mutex> lock(m_endMutex);
    m_bEnded = true;
    m_endCv.notify_all();
}

void CQuorinSim::Trace(const std::string& line)
{
    if (m_cfg.verbose)
        std::fprintf(stderr, "quorin-sim: %s\n", line.c_str());
}

void CQuorinSim::Write(const std::vector<std::uint8_t>& bytes)
{
    m_outBuffer.insert(m_outBuffer.end(), bytes.begin(), bytes.end());
    Flush();
}

void CQuorinSim::After(SimDuration delay, std::function<void()> action)
{
    m_timers.emplace(std::make_pair(SimClock::now() + delay, m_nTimerSeq++), std::move(action));
}

bool CQuorinSim::Flush()
{
    while (!m_outBuffer.empty()) {
        const ssize_t n = ::write(m_pty.Master(), m_outBuffer.data(), m_outBuffer.size());
        if (n > 0) {
            m_outBuffer.erase(m_outBuffer.begin(), m_outBuffer.begin() + n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true; // the rest goes when the master can take it
        Trace(std::string("write to the master failed: ") + std::strerror(errno));
        return false;
    }
    return true;
}

void CQuorinSim::RunTimers()
{
    // Timers may add timers; take due ones one at a time in order.
    while (!m_timers.empty() && !m_bUnplugRequested) {
        auto it = m_timers.begin();
        if (it->first.first > SimClock::now())
            return;
        std::function<void()> action = std::move(it->second);
        m_timers.erase(it);
        action();
    }
}

int CQuorinSim::Run(int wakeFd)
{
    if (!m_pty.IsOpen()) {
        std::string error;
        if (!Open(error)) {
            std::fprintf(stderr, "quorin-sim: %s\n", error.c_str());
            MarkEnded();
            return 1;
        }
    }
    int status = 0;
    std::vector<std::uint8_t> buffer(65536);
    for (;;) {
        pollfd fds[3] = {};
        fds[0].fd = m_pty.Master();
        fds[0].events = static_cast<short>(POLLIN | (m_outBuffer.empty() ? 0 : POLLOUT));
        fds[1].fd = m_nWake;
        fds[1].events = POLLIN;
        fds[2].fd = wakeFd;
        fds[2].events = POLLIN;
        timespec timeout{};
        timespec* pTimeout = nullptr;
        if (!m_timers.empty()) {
            const auto wait = m_timers.begin()->first.first - SimClock::now();
            const auto ns =
                std::max<std::int64_t>(0, std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count());
            timeout.tv_sec = static_cast<time_t>(ns / 1000000000);
            timeout.tv_nsec = static_cast<long>(ns % 1000000000);
            pTimeout = &timeout;
        }
        const int ready = ppoll(fds, wakeFd >= 0 ? 3 : 2, pTimeout, nullptr);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            Trace(std::string("poll failed: ") + std::strerror(errno));
            status = 1;
            break;
        }
        if ((fds[1].revents & POLLIN) || (wakeFd >= 0 && (fds[2].revents & (POLLIN | POLLHUP))))
            break;
        if (fds[0].revents & POLLIN) {
            const ssize_t n = ::read(m_pty.Master(), buffer.data(), buffer.size());
            if (n > 0) {
                m_nBytesIn += static_cast<std::uint64_t>(n);
                m_pRole->OnBytes(buffer.data(), static_cast<std::size_t>(n), SimClock::now());
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                // With our own slave descriptor open this does not happen;
                // do not spin if it does.
                Trace(std::string("read from the master failed: ") + std::strerror(errno));
                ::usleep(10000);
            }
        } else if (fds[0].revents & (POLLHUP | POLLERR)) {
            ::usleep(10000);
        }
        if (fds[0].revents & POLLOUT)
            Flush();
        RunTimers();
        if (m_bUnplugRequested) {
            // The device vanishes: the tool's next read or poll on the slave
            // sees the hang-up, and the slave path disappears.
            m_pty.Close();
            m_bUnplugged = true;
            Trace("unplugged");
            break;
        }
    }
    MarkEnded();
    return status;
}
