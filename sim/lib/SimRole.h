#pragma once
// What a protocol side (machine or board) needs from the loop that runs it,
// and the fault bookkeeping both sides share.
#include "SimConfig.h"
#include "SimRecorder.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

class ISimHost {
public:
    virtual ~ISimHost() = default;
    // Queues bytes for the tool, in order.
    virtual void Write(const std::vector<std::uint8_t>& bytes) = 0;
    // Runs action on the loop thread once delay has passed.
    virtual void After(SimDuration delay, std::function<void()> action) = 0;
    // The device vanishes once the current event has been handled.
    virtual void Unplug() = 0;
    virtual std::uint32_t LineSpeed() const = 0;
    virtual SimClock::time_point Now() const = 0;
    virtual CSimRecorder& Recorder() = 0;
    virtual void Trace(const std::string& line) = 0;
};

class CSimRole {
public:
    CSimRole(const CSimConfig& config, ISimHost& host) : m_cfg(config), m_host(host) {}
    virtual ~CSimRole() = default;
    CSimRole(const CSimRole&) = delete;
    CSimRole& operator=(const CSimRole&) = delete;

    virtual void OnBytes(const std::uint8_t* bytes, std::size_t count, SimClock::time_point now) = 0;

protected:
    // Next occurrence number of a kind, counted from 1 over the session.
    int Count(const std::string& kind) { return ++m_counts[kind]; }
    static bool Hit(const std::vector<CSimPoint>& points, const std::string& kind, int n);
    SimDuration DelayFor(const std::string& kind, int n) const;
    // Sends bytes as the answer of kind number n: stray bytes first, the
    // configured delay unless the caller waited already, nothing at all once
    // silenced.
    void Emit(const std::string& kind, int n, const std::vector<std::uint8_t>& bytes, bool applyDelay = true);
    // True (and the device gone) when an unplug fault fires for this request.
    bool UnplugIfAsked(const std::string& kind, int n);
    void Error(const std::string& line);

    const CSimConfig& m_cfg;
    ISimHost& m_host;
    bool m_bSilent = false;
    // A split answer is still going out: later ones wait until it is whole.
    SimClock::time_point m_holdUntil{};
    bool m_bGone = false;

private:
    std::map<std::string, int> m_counts;
};
