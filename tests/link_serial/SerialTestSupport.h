#pragma once
// Test doubles for the serial link (the pty pair whose master plays the
// device is tests/support's): a small task loop that plays the
// user-interface thread, and a collector of what the notifications handed
// over.
#include "PtyPair.h"
#include "TestBytes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CCommPort;
class CRxQueue;

using namespace std::chrono_literals;

// Plays the user-interface thread: runs posted tasks one at a time.
class CUiLoop {
public:
    CUiLoop();
    ~CUiLoop();
    void Post(std::function<void()> task);
    // Runs fn on the loop and waits; aborts the test program when the loop
    // does not get to it within 10 s (a deadlock must not hang the suite).
    void Run(const std::function<void()>& fn);

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<std::function<void()>> m_tasks;
    bool m_bQuit = false;
    std::thread m_thread;
};

// What the notifications delivered, as the bootloader window would see it.
class CCollector {
public:
    void Add(const Bytes& bytes, int count);
    bool WaitForBytes(std::size_t n, std::chrono::milliseconds timeout);
    Bytes TakeBytes();
    std::vector<int> Counts();

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    Bytes m_bytes;
    std::vector<int> m_counts;
};

// Notifications go through the port's gate to ui, whose task empties queue
// into collector: the shape the bootloader window gives them.
void WireToUi(CCommPort& port, CRxQueue& queue, CUiLoop& ui, CCollector& collector);
Bytes PopAll(CRxQueue& queue);

// Runs fn on its own thread; aborts the program if it has not returned in time.
void RunWithin(std::chrono::milliseconds limit, const char* what, const std::function<void()>& fn);
// Polls cond every millisecond until it holds or timeout passed.
bool WaitUntil(const std::function<bool()>& cond, std::chrono::milliseconds timeout);
// As WaitUntil, but aborts the program when cond never holds: for waits that
// only a deadlock can stop, where returning from the test would hang in the
// destructors of the doubles.
void RequireWithin(const std::function<bool()>& cond, std::chrono::milliseconds timeout, const char* what);
