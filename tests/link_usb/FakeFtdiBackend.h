#pragma once
// A scripted FTDI device: the test decides what it holds, how many bytes
// it reports, when it fails and whether it may be opened twice, and reads
// back every call the link made.
#include "link/FtdiBackend.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class CFakeFtdiBackend final : public IFtdiBackend {
public:
    // Which configuration step fails at open.
    enum EFailStep {
        FAIL_NONE,
        FAIL_LIST,
        FAIL_OPEN,
        FAIL_USB_PARAMETERS,
        FAIL_PURGE,
        FAIL_TIMEOUTS,
        FAIL_LATENCY
    };

    struct Call {
        std::string name;
        FtdiHandle handle;
        std::uint32_t a;
        std::uint32_t b;
    };

    // --- what the test sets (under mutex, through the helpers) ---
    void SetPresent(bool present)
    {
        std::lock_guard lock(m_mutex);
        m_bPresent = present;
    }
    void SetDeviceCount(std::uint32_t count)
    {
        std::lock_guard lock(m_mutex);
        m_nDevices = count;
    }
    void SetAllowSecondOpen(bool allow)
    {
        std::lock_guard lock(m_mutex);
        m_bAllowSecondOpen = allow;
    }
    void SetFailStep(EFailStep step)
    {
        std::lock_guard lock(m_mutex);
        m_failStep = step;
    }
    // The target sends.
    void Feed(const std::vector<std::uint8_t>& bytes)
    {
        std::lock_guard lock(m_mutex);
        m_rx.insert(m_rx.end(), bytes.begin(), bytes.end());
    }
    // Appended whenever the receive queue runs empty: an endless stream.
    void SetRepeat(const std::vector<std::uint8_t>& bytes)
    {
        std::lock_guard lock(m_mutex);
        m_repeat = bytes;
    }
    // The next read on the current handle fails with this system error; the
    // device is gone afterwards unless present is set again.
    void FailNextRead(std::uint32_t sysError, bool vanish)
    {
        std::lock_guard lock(m_mutex);
        m_nFailReadSysError = sysError;
        m_bVanishOnFail = vanish;
    }
    void FailNextStatus(std::uint32_t sysError, bool vanish)
    {
        std::lock_guard lock(m_mutex);
        m_nFailStatusSysError = sysError;
        m_bVanishOnFail = vanish;
    }

    // --- what the test reads back ---
    std::vector<Call> Calls()
    {
        std::lock_guard lock(m_mutex);
        return m_calls;
    }
    std::vector<Call> CallsNamed(const std::string& name)
    {
        std::lock_guard lock(m_mutex);
        std::vector<Call> out;
        for (const auto& c : m_calls)
            if (c.name == name)
                out.push_back(c);
        return out;
    }
    std::set<FtdiHandle> OpenHandles()
    {
        std::lock_guard lock(m_mutex);
        return m_open;
    }
    std::vector<std::uint8_t> Written(FtdiHandle handle)
    {
        std::lock_guard lock(m_mutex);
        return m_written[handle];
    }
    int StatusCalls()
    {
        std::lock_guard lock(m_mutex);
        return m_nStatusCalls;
    }
    // Waits until pred() holds over the backend's state.
    template <class Pred> bool WaitFor(Pred pred, std::chrono::milliseconds timeout)
    {
        std::unique_lock lock(m_mutex);
        return m_cv.wait_for(lock, timeout, [&] { return pred(*this); });
    }

    // Unlocked accessors for WaitFor predicates.
    int StatusCallsLocked() const { return m_nStatusCalls; }
    std::size_t OpenCountLocked() const { return m_nOpenCalls; }
    std::size_t ListCountLocked() const { return m_nListCalls; }
    std::size_t RxLeftLocked() const { return m_rx.size(); }
    const std::set<FtdiHandle>& OpenLocked() const { return m_open; }

    // --- IFtdiBackend ---
    FtdiStatus ListDevices(std::uint32_t& count) override
    {
        std::lock_guard lock(m_mutex);
        Record("list", FTDI_NO_HANDLE, 0, 0);
        ++m_nListCalls;
        m_cv.notify_all();
        if (m_failStep == FAIL_LIST)
            return FTDI_IO_ERROR;
        count = m_bPresent ? m_nDevices : 0;
        return FTDI_OK;
    }
    FtdiStatus Open(std::uint32_t index, FtdiHandle& handle) override
    {
        std::lock_guard lock(m_mutex);
        Record("open", FTDI_NO_HANDLE, index, 0);
        ++m_nOpenCalls;
        if (!m_bPresent || index >= m_nDevices)
            return FTDI_DEVICE_NOT_FOUND;
        if (m_failStep == FAIL_OPEN || (!m_open.empty() && !m_bAllowSecondOpen))
            return FTDI_DEVICE_NOT_OPENED;
        handle = ++m_nLastHandle;
        m_open.insert(handle);
        m_cv.notify_all();
        return FTDI_OK;
    }
    FtdiStatus SetUsbParameters(FtdiHandle h, std::uint32_t in, std::uint32_t out) override
    {
        return Step("usbparams", h, in, out, FAIL_USB_PARAMETERS);
    }
    FtdiStatus Purge(FtdiHandle h, std::uint32_t mask) override
    {
        return Step("purge", h, mask, 0, FAIL_PURGE);
    }
    FtdiStatus SetTimeouts(FtdiHandle h, std::uint32_t r, std::uint32_t w) override
    {
        return Step("timeouts", h, r, w, FAIL_TIMEOUTS);
    }
    FtdiStatus SetLatencyTimer(FtdiHandle h, std::uint8_t ms) override
    {
        return Step("latency", h, ms, 0, FAIL_LATENCY);
    }
    FtdiStatus GetStatus(FtdiHandle h, std::uint32_t& rx, std::uint32_t& tx, std::uint32_t& ev,
                         FtdiSysError& error) override
    {
        std::lock_guard lock(m_mutex);
        ++m_nStatusCalls;
        m_cv.notify_all();
        rx = tx = ev = 0;
        if (!m_open.count(h)) {
            error = {FTDI_SYSERR_INVALID_HANDLE, 0};
            return FTDI_INVALID_HANDLE;
        }
        if (m_nFailStatusSysError != 0) {
            error = {m_nFailStatusSysError, 0};
            m_nFailStatusSysError = 0;
            if (m_bVanishOnFail)
                m_bPresent = false;
            return FTDI_IO_ERROR;
        }
        if (m_rx.empty() && !m_repeat.empty())
            m_rx.insert(m_rx.end(), m_repeat.begin(), m_repeat.end());
        rx = static_cast<std::uint32_t>(m_rx.size());
        return FTDI_OK;
    }
    FtdiStatus Read(FtdiHandle h, std::uint8_t* buffer, std::uint32_t count, std::uint32_t& got,
                    FtdiSysError& error) override
    {
        std::unique_lock lock(m_mutex);
        got = 0;
        Record("read", h, count, 0);
        if (!m_open.count(h)) {
            error = {FTDI_SYSERR_INVALID_HANDLE, 0};
            return FTDI_INVALID_HANDLE;
        }
        if (m_nFailReadSysError != 0) {
            error = {m_nFailReadSysError, 0};
            m_nFailReadSysError = 0;
            if (m_bVanishOnFail)
                m_bPresent = false;
            return FTDI_IO_ERROR;
        }
        while (got < count && !m_rx.empty()) {
            buffer[got++] = m_rx.front();
            m_rx.pop_front();
        }
        m_cv.notify_all();
        return FTDI_OK;
    }
    FtdiStatus Write(FtdiHandle h, const std::uint8_t* buffer, std::uint32_t count,
                     std::uint32_t& written) override
    {
        std::lock_guard lock(m_mutex);
        written = 0;
        if (!m_open.count(h))
            return FTDI_INVALID_HANDLE;
        m_written[h].insert(m_written[h].end(), buffer, buffer + count);
        written = count;
        return FTDI_OK;
    }
    FtdiStatus Close(FtdiHandle h) override
    {
        std::lock_guard lock(m_mutex);
        Record("close", h, 0, 0);
        m_cv.notify_all();
        return m_open.erase(h) ? FTDI_OK : FTDI_INVALID_HANDLE;
    }

private:
    FtdiStatus Step(const char* name, FtdiHandle h, std::uint32_t a, std::uint32_t b, EFailStep step)
    {
        std::lock_guard lock(m_mutex);
        Record(name, h, a, b);
        if (!m_open.count(h))
            return FTDI_INVALID_HANDLE;
        return m_failStep == step ? FTDI_IO_ERROR : FTDI_OK;
    }
    void Record(const char* name, FtdiHandle h, std::uint32_t a, std::uint32_t b)
    {
        // Reads are many; keep the log bounded but complete for the tests.
        if (m_calls.size() < 100000)
            m_calls.push_back({name, h, a, b});
    }

    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bPresent = true;
    std::uint32_t m_nDevices = 1;
    bool m_bAllowSecondOpen = false;
    EFailStep m_failStep = FAIL_NONE;
    std::deque<std::uint8_t> m_rx;
    std::vector<std::uint8_t> m_repeat;
    std::uint32_t m_nFailReadSysError = 0;
    std::uint32_t m_nFailStatusSysError = 0;
    bool m_bVanishOnFail = false;
    std::vector<Call> m_calls;
    std::set<FtdiHandle> m_open;
    std::map<FtdiHandle, std::vector<std::uint8_t>> m_written;
    FtdiHandle m_nLastHandle = FTDI_NO_HANDLE;
    std::size_t m_nOpenCalls = 0;
    std::size_t m_nListCalls = 0;
    int m_nStatusCalls = 0;
};
