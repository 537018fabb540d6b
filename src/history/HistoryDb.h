#pragma once
// The upgrade history: an SQLite database with one row per run and one per
// item of a run. Every write is one transaction. Errors are returned as
// text, never thrown: a history that cannot be written must not stop an
// upgrade, so callers trace the text and go on.
#include <memory>
#include <string>
#include <vector>

struct sqlite3;

struct CHistoryItem {
    std::string item;    // "MAIN", "CIS M", ..., "CDM", "BOARD"
    std::string file;    // file name in the package
    std::string version; // file version; empty when the package names none
    long long size = 0;  // bytes
    std::string result;  // "Complete", "Upgrade fail", or empty when it never ended
    long long durationMs = -1;
};

struct CHistoryRun {
    long long id = 0;           // given by the database
    std::string time;           // start, RFC 3339 UTC with milliseconds
    std::string toolVersion;    // "1.0.8 (git 1a2b3c4d5e)"
    std::string host;           // host name
    std::string program;        // "velunda" or "velunda-cli"
    std::string package;        // absolute path
    std::string sha256;         // of the package file
    std::string signatureState; // "valid", "unsigned", "untrusted" or "invalid"; empty in older records
    std::string signerKeyId;    // the signing key's id; empty when unsigned
    std::string signerName;     // the signing key's name; empty when unsigned
    std::string model;          // ModelName: "Quorin V1", "Quorin V2", "Upgrade Board"
    std::string link;   // "USB (libftdi)", "USB through /dev/ttyUSB0", "serial /dev/ttyS0 at 38400 baud"
    std::string serial; // the target's serial number; empty when it gave none
    std::string versionsBefore; // JSON object: item -> version the target reported before the run
    std::string outcome;        // "success", "failed", ...
    int exitCode = -1;          // velunda-cli's exit status; -1 for a window run
    long long durationMs = 0;
    std::string keptFolder; // a private unpack folder left holding the package's kept files; else empty
    std::vector<CHistoryItem> items;
    std::string runUuid; // made when the run starts; the key of its fleet record
    bool sent = false;   // the fleet records server has this run
};

struct CHistoryFilter {
    std::string serial; // exact; empty for any
    std::string since;  // lower bound on time, as SinceBound gives it; empty for any
};

class CHistoryDb {
public:
    // Opens (creating the file, its folder and the tables when asked) the
    // database at path. A database another process is writing is waited for
    // up to busyMs before a call gives up.
    bool Open(const std::string& path, bool create, std::string& error, int busyMs = 2000);
    // Adds the run and its items in one transaction; run.id is set.
    bool Add(CHistoryRun& run, std::string& error);
    // Runs in time order, each with its items.
    bool List(const CHistoryFilter& filter, std::vector<CHistoryRun>& runs, std::string& error);
    // Up to limit runs the fleet records server lacks, oldest first.
    bool ListUnsent(std::size_t limit, std::vector<CHistoryRun>& runs, std::string& error);
    bool CountUnsent(std::size_t& count, std::string& error);
    // Marks the runs with these ids as on the server, in one transaction.
    bool MarkSent(const std::vector<long long>& ids, std::string& error);

private:
    struct Closer {
        void operator()(sqlite3* db) const;
    };
    bool Exec(const char* sql, std::string& error);
    bool ReadMissingColumns(std::string& error);
    bool AddMissingColumns(std::string& error);
    bool Select(const std::string& where, const std::vector<std::string>& texts, long long limit,
                std::vector<CHistoryRun>& runs, std::string& error);
    std::unique_ptr<sqlite3, Closer> m_db;
    std::vector<std::string> m_missing; // added columns a read-only file lacks
};

// $XDG_STATE_HOME/velunda/history.sqlite (see VelundaStateDir); empty when unknown.
std::string DefaultHistoryPath();
