#include "SerialTestSupport.h"

#include "link/CommPort.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <future>
#include <poll.h>
#include <unistd.h>

CUiLoop::CUiLoop()
    : m_thread([this] {
          std::unique_lock lock(m_mutex);
          for (;;) {
              m_cv.wait(lock, [this] { return m_bQuit || !m_tasks.empty(); });
              if (m_tasks.empty())
                  return;
              auto task = std::move(m_tasks.front());
              m_tasks.pop_front();
              lock.unlock();
              task();
              lock.lock();
          }
      })
{
}

CUiLoop::~CUiLoop()
{
    {
        std::lock_guard lock(m_mutex);
        m_bQuit = true;
    }
    m_cv.notify_all();
    m_thread.join();
}

void CUiLoop::Post(std::function<void()> task)
{
    {
        std::lock_guard lock(m_mutex);
        m_tasks.push_back(std::move(task));
    }
    m_cv.notify_all();
}

void CUiLoop::Run(const std::function<void()>& fn)
{
    auto done = std::make_shared<std::promise<void>>();
    auto result = done->get_future();
    Post([fn, done] {
        fn();
        done->set_value();
    });
    if (result.wait_for(10s) != std::future_status::ready) {
        std::fprintf(stderr, "the user-interface loop is stuck: deadlock\n");
        std::abort();
    }
}

void CCollector::Add(const Bytes& bytes, int count)
{
    {
        std::lock_guard lock(m_mutex);
        m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end());
        m_counts.push_back(count);
    }
    m_cv.notify_all();
}

bool CCollector::WaitForBytes(std::size_t n, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_mutex);
    return m_cv.wait_for(lock, timeout, [&] { return m_bytes.size() >= n; });
}

Bytes CCollector::TakeBytes()
{
    std::lock_guard lock(m_mutex);
    return std::exchange(m_bytes, {});
}

std::vector<int> CCollector::Counts()
{
    std::lock_guard lock(m_mutex);
    return m_counts;
}

Bytes PopAll(CRxQueue& queue)
{
    Bytes out;
    std::uint8_t b = 0;
    while (queue.Pop(b) == 1)
        out.push_back(b);
    return out;
}

void WireToUi(CCommPort& port, CRxQueue& queue, CUiLoop& ui, CCollector& collector)
{
    port.SetNotify([&port, &queue, &ui, &collector](int count) {
        port.Gate().Send([&ui](std::function<void()> task) { ui.Post(std::move(task)); },
                         [&queue, &collector, count] { collector.Add(PopAll(queue), count); });
    });
}

void RunWithin(std::chrono::milliseconds limit, const char* what, const std::function<void()>& fn)
{
    auto done = std::async(std::launch::async, fn);
    if (done.wait_for(limit) != std::future_status::ready) {
        std::fprintf(stderr, "%s did not return within %lld ms: deadlock\n", what, (long long)limit.count());
        std::abort();
    }
    done.get();
}

bool WaitUntil(const std::function<bool()>& cond, std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

void RequireWithin(const std::function<bool()>& cond, std::chrono::milliseconds timeout, const char* what)
{
    if (!WaitUntil(cond, timeout)) {
        std::fprintf(stderr, "%s did not happen within %lld ms: deadlock\n", what,
                     (long long)timeout.count());
        std::abort();
    }
}
