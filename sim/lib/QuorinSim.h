#pragma once
// The virtual target as one object: a pty, the chosen protocol side and the
// loop that runs it, either on its own thread (Start/Stop, for tests that
// embed it) or on the caller's thread (Run, for the program).
//
// Errors: Open and Start return false with a message naming the failed call
// and the OS error; after that the object can be destroyed or opened again.
#include "SimConfig.h"
#include "SimPty.h"
#include "SimRecorder.h"
#include "SimRole.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class CQuorinSim final : private ISimHost {
public:
    explicit CQuorinSim(CSimConfig config);
    ~CQuorinSim() override;
    CQuorinSim(const CQuorinSim&) = delete;
    CQuorinSim& operator=(const CQuorinSim&) = delete;

    // Creates the pty (and link) and the record folder. SlavePath is valid
    // afterwards.
    bool Open(std::string& error);
    // Open when not yet done, then run the loop on a thread of its own.
    bool Start(std::string& error);
    // Runs the loop on this thread until Stop, a readable wakeFd (e.g. a
    // signalfd) or an unplug. Returns 0, or 1 after an I/O failure.
    int Run(int wakeFd = -1);
    // Ends the loop promptly and joins the thread; closes the pty. Safe to
    // call more than once and from any thread but the loop's own.
    void Stop();
    // Waits until the loop has ended by itself (an unplug); false on timeout.
    bool WaitEnded(std::chrono::milliseconds timeout);

    const std::string& SlavePath() const { return m_strSlavePath; }
    const std::string& RecordDir() const { return m_cfg.recordDir; }
    const CSimConfig& Config() const { return m_cfg; }
    bool Unplugged() const { return m_bUnplugged.load(); }
    std::uint64_t BytesReceived() const { return m_nBytesIn.load(); }

private:
    // ISimHost
    void Write(const std::vector<std::uint8_t>& bytes) override;
    void After(SimDuration delay, std::function<void()> action) override;
    void Unplug() override { m_bUnplugRequested = true; }
    std::uint32_t LineSpeed() const override { return m_pty.SlaveSpeed(); }
    SimClock::time_point Now() const override { return SimClock::now(); }
    CSimRecorder& Recorder() override { return m_recorder; }
    void Trace(const std::string& line) override;

    bool Flush();
    void RunTimers();
    void MarkEnded();

    CSimConfig m_cfg;
    CSimPty m_pty;
    CSimRecorder m_recorder;
    std::unique_ptr<CSimRole> m_pRole;
    std::string m_strSlavePath;
    int m_nWake = -1; // eventfd for Stop
    std::thread m_thread;
    std::vector<std::uint8_t> m_outBuffer;
    std::map<std::pair<SimClock::time_point, std::uint64_t>, std::function<void()>> m_timers;
    std::uint64_t m_nTimerSeq = 0;
    bool m_bUnplugRequested = false;
    std::atomic<bool> m_bUnplugged{false};
    std::atomic<std::uint64_t> m_nBytesIn{0};
    std::mutex m_endMutex;
    std::condition_variable m_endCv;
    bool m_bEnded = false;
};
