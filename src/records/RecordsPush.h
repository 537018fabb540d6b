#pragma once
// Sending the local history's unsent runs to the fleet records server: the
// history is the outbox, a run is marked sent only once the server has it,
// and a server that is away leaves everything queued for the next push.
#include <chrono>
#include <cstddef>
#include <string>

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
