#pragma once
// Shared pieces of the USB link tests: a pseudo-terminal whose master side
// plays the target, a user-interface queue the test thread pumps, and the
// window's side of the hand-off.
#include "link/UsbLink.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

using namespace std::chrono_literals;
using TestClock = std::chrono::steady_clock;

// Offset of the first byte where a and b differ, or -1 when equal.
inline long FirstDifference(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b)
{
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i)
        if (a[i] != b[i])
            return static_cast<long>(i);
    return a.size() == b.size() ? -1 : static_cast<long>(n);
}

// Bytes 0..255 in a deterministic shuffle, so every control character a
// cooked line would eat (CR, LF, ^C, XON/XOFF, 0xFF) appears.
inline std::vector<std::uint8_t> PatternBytes(std::size_t count, std::uint32_t seed = 12345)
{
    std::vector<std::uint8_t> bytes(count);
    std::uint32_t x = seed;
    for (auto& b : bytes) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    return bytes;
}

class CPty {
public:
    CPty()
    {
        m_nMaster = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (m_nMaster < 0 || ::grantpt(m_nMaster) != 0 || ::unlockpt(m_nMaster) != 0)
            return;
        char name[128] = {};
        if (::ptsname_r(m_nMaster, name, sizeof name) == 0)
            m_strSlave = name;
        ::fcntl(m_nMaster, F_SETFL, ::fcntl(m_nMaster, F_GETFL) | O_NONBLOCK);
    }
    ~CPty() { CloseMaster(); }
    CPty(const CPty&) = delete;
    CPty& operator=(const CPty&) = delete;

    bool ok() const { return m_nMaster >= 0 && !m_strSlave.empty(); }
    const std::string& slave() const { return m_strSlave; }

    void CloseMaster()
    {
        if (m_nMaster >= 0)
            ::close(m_nMaster);
        m_nMaster = -1;
    }

    // The target sends.
    bool Send(const std::vector<std::uint8_t>& bytes)
    {
        std::size_t done = 0;
        const auto deadline = TestClock::now() + 5s;
        while (done < bytes.size() && TestClock::now() < deadline) {
            const ssize_t n = ::write(m_nMaster, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else {
                pollfd pfd{m_nMaster, POLLOUT, 0};
                ::poll(&pfd, 1, 10);
            }
        }
        return done == bytes.size();
    }

    // The target receives up to count bytes within timeout.
    std::vector<std::uint8_t> Receive(std::size_t count, std::chrono::milliseconds timeout = 3000ms)
    {
        std::vector<std::uint8_t> bytes;
        const auto deadline = TestClock::now() + timeout;
        std::uint8_t chunk[4096];
        while (bytes.size() < count && TestClock::now() < deadline) {
            const ssize_t n = ::read(m_nMaster, chunk, std::min(sizeof chunk, count - bytes.size()));
            if (n > 0) {
                bytes.insert(bytes.end(), chunk, chunk + n);
            } else {
                pollfd pfd{m_nMaster, POLLIN, 0};
                ::poll(&pfd, 1, 10);
            }
        }
        return bytes;
    }

private:
    int m_nMaster = -1;
    std::string m_strSlave;
};

// The user-interface thread's queue: the test thread is the user-interface
// thread and runs posted hand-offs while it pumps.
class CUiQueue {
public:
    void Post(std::function<void()> fn)
    {
        {
            std::lock_guard lock(m_mutex);
            m_tasks.push_back(std::move(fn));
        }
        m_cv.notify_all();
    }

    // Runs tasks until done() holds or timeout passes; returns done().
    bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 3000ms)
    {
        const auto deadline = TestClock::now() + timeout;
        for (;;) {
            if (done())
                return true;
            std::function<void()> task;
            {
                std::unique_lock lock(m_mutex);
                if (!m_cv.wait_until(lock, std::min(deadline, TestClock::now() + 5ms),
                                     [&] { return !m_tasks.empty(); })) {
                    if (TestClock::now() >= deadline)
                        return done();
                    continue;
                }
                task = std::move(m_tasks.front());
                m_tasks.pop_front();
            }
            task();
        }
    }

    void PumpFor(std::chrono::milliseconds duration)
    {
        PumpUntil([] { return false; }, duration);
    }

    std::size_t Pending()
    {
        std::lock_guard lock(m_mutex);
        return m_tasks.size();
    }

    void RunPending()
    {
        std::deque<std::function<void()>> tasks;
        {
            std::lock_guard lock(m_mutex);
            tasks.swap(m_tasks);
        }
        for (auto& task : tasks)
            task();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<std::function<void()>> m_tasks;
};

// The window's side: every receiver event goes through the link's gate to
// the user-interface queue, where it is recorded and reacted to.
class CWindowSink : public IAckSink {
public:
    CWindowSink(CUsbLink& link, CUiQueue& ui) : m_link(link), m_ui(ui) {}

    void OnAckEvent(int event) override
    {
        ++m_nCalls;
        m_link.HandOffGate().Send([this](std::function<void()> fn) { m_ui.Post(std::move(fn)); },
                                  [this, event] {
                                      events.push_back(event);
                                      if (reaction)
                                          reaction(event);
                                  });
    }
    void OnCheckerMessage(const std::string& text) override
    {
        ++m_nCalls;
        m_link.HandOffGate().Send([this](std::function<void()> fn) { m_ui.Post(std::move(fn)); },
                                  [this, text] { messages.push_back(text); });
    }

    // Every good frame, on the reader thread, before its checker.
    void OnFrame(const Packet&) override { ++m_nFrames; }

    int Calls() const { return m_nCalls.load(); }
    int Frames() const { return m_nFrames.load(); }

    // Written and read on the user-interface thread only.
    std::vector<int> events;
    std::vector<std::string> messages;
    std::function<void(int)> reaction;

private:
    CUsbLink& m_link;
    CUiQueue& m_ui;
    std::atomic<int> m_nCalls{0};
    std::atomic<int> m_nFrames{0};
};

inline std::vector<std::uint8_t> BoardCheckAck()
{
    const std::uint8_t payload[1] = {0x01};
    return BuildFrame(CMD_BOARD_CHECK, SUB_ACK, payload, 1);
}

template <class Fn> std::chrono::milliseconds Timed(Fn fn)
{
    const auto start = TestClock::now();
    fn();
    return std::chrono::duration_cast<std::chrono::milliseconds>(TestClock::now() - start);
}
