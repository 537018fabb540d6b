#pragma once
// The fleet records server: runs of every station in PostgreSQL, keyed by
// the run id, so a run sent twice is one row. Every call waits at most
// until the deadline; a server that does not answer by then is dropped
// (its open transaction is rolled back by the server) and the call fails.
// Errors are returned as one line of text, never thrown.
#include "history/HistoryDb.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

struct pg_conn;
struct pg_result;

// The newest schema this program knows; each version adds to the one before.
inline constexpr int kFleetSchemaVersion = 2;

struct CFleetFilter {
    std::string serial;  // exact; empty for any
    std::string since;   // lower bound on the start, RFC 3339; empty for any
    std::string station; // host name, exact; empty for any
    std::string outcome; // "success", "failed", ...; empty for any
};

class CFleetDb {
public:
    using Clock = std::chrono::steady_clock;

    void SetDeadline(Clock::time_point deadline) { m_deadline = deadline; }
    bool Connect(const std::string& conninfo, std::string& error);
    // The schema version on the server; 0 when it has none of our tables.
    bool SchemaVersion(int& version, std::string& error);
    // False with what to do when the server's schema is not the one this program writes.
    bool CheckSchema(std::string& error);
    // Creates the schema or upgrades it to version upTo in one transaction,
    // with a line per step taken in done (none: it was current).
    bool Init(std::vector<std::string>& done, std::string& error, int upTo = kFleetSchemaVersion);
    // Adds the runs (with their items) the server lacks, all or none;
    // added: how many were new.
    bool AddRuns(const std::vector<CHistoryRun>& runs, std::size_t& added, std::string& error);
    bool List(const CFleetFilter& filter, std::vector<CHistoryRun>& runs, std::string& error);

private:
    struct Closer {
        void operator()(pg_conn* conn) const;
    };
    struct ResultFree {
        void operator()(pg_result* result) const;
    };
    using Result = std::unique_ptr<pg_result, ResultFree>;
    // Sends sql with text parameters and waits for its last result.
    bool Query(const std::string& sql, const std::vector<std::string>& params, Result& result,
               std::string& error);
    bool Exec(const std::string& sql, std::string& error);
    bool WaitSocket(bool forWrite, std::string& error);
    std::unique_ptr<pg_conn, Closer> m_conn;
    Clock::time_point m_deadline = Clock::now() + std::chrono::seconds(30);
};
