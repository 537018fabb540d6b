#pragma once
// Shared pieces of the USB link tests: a user-interface queue the test
// thread pumps and the window's side of the hand-off. The target plays on
// tests/support's pty pair.
#include "PtyPair.h"
#include "TestBytes.h"
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

using namespace std::chrono_literals;
using TestClock = std::chrono::steady_clock;

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
