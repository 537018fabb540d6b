#pragma once
// Sending the local history's unsent runs to the fleet records server: the
// history is the outbox, a run is marked sent only once the server has it,
// and a server that is away leaves everything queued for the next push.
#include <chrono>
#include <cstddef>
#include <functional>
#include <future>
#include <string>

// How long the push after a run may take, in seconds: the run is over, and
// a server that is slow or away must not hold the technician up.
inline constexpr int kRunEndPushSeconds = 3;

struct CPushResult {
    bool ok = false;         // false: the server or the history failed; error says why
    std::size_t sent = 0;    // runs marked sent by this push
    std::size_t added = 0;   // of those, the ones the server did not have yet
    std::size_t waiting = 0; // unsent runs left in the history
    std::string error;
};

struct CPushLimits {
    std::chrono::steady_clock::time_point deadline; // nothing is started after it, nothing waits past it
    std::chrono::milliseconds stepTimeout{30000};   // the longest one connect or one batch may take
    std::size_t batch = 500;                        // runs per transaction
};

CPushResult PushRecords(const std::string& historyPath, const std::string& conninfo,
                        const CPushLimits& limits);
// The push in one line for the user, naming the server with its password masked.
std::string PushSummary(const CPushResult& result, const std::string& conninfo);

// A push beside a front end that must not wait on the server (the window):
// started after each recorded run, bounded in time, its one-line summary
// handed to done from the push's own thread. A run recorded while a push is
// under way waits for the next one. The destructor waits for the push.
class CBackgroundPush {
public:
    using DoneFn = std::function<void(const std::string& summary)>;
    explicit CBackgroundPush(DoneFn done) : m_fnDone(std::move(done)) {}
    ~CBackgroundPush();
    CBackgroundPush(const CBackgroundPush&) = delete;
    CBackgroundPush& operator=(const CBackgroundPush&) = delete;

    // False when no server is configured or a push is still running.
    bool Start(const std::string& historyPath, const std::string& conninfo, std::chrono::seconds bound);

private:
    DoneFn m_fnDone;
    std::future<void> m_push;
};
