#pragma once
// A real PostgreSQL 15 server of the test's own: initdb into a fresh folder
// under /tmp, reached only through a Unix socket there, run as nobody
// (setpriv) when the test runs as root, and removed with its folder.
#include <string>

class CPgServer {
public:
    static constexpr const char* kPassword = "Fleet-Pass-7"; // of the user velunda

    CPgServer() = default;
    ~CPgServer();
    CPgServer(const CPgServer&) = delete;
    CPgServer& operator=(const CPgServer&) = delete;

    // Where initdb and pg_ctl are; empty when the server is not installed.
    static std::string ProgramDir();
    // initdb and the first start; durable false trades crash safety for speed.
    bool Create(std::string& error, bool durable = false);
    bool Start(std::string& error) { return m_bRunning = Run("-D data -l server.log -w -t 60 start", error); }
    // immediate: as if the server crashed (no shutdown checkpoint, clients cut off).
    bool Stop(std::string& error, bool immediate = false);
    std::string Url(const std::string& db = "postgres") const;
    // A fresh, empty database.
    bool CreateDatabase(const std::string& name, std::string& error) const;
    const std::string& Folder() const { return m_dir; }

private:
    // pg_ctl with args (or another program of the server's), as the server's user.
    bool Run(const std::string& args, std::string& error, const std::string& program = "pg_ctl") const;
    std::string m_dir;
    bool m_bRunning = false;
};

// Adds n made-up runs of station host (two items each, serial numbers
// host-0, host-1, ...) to the history at path; the first takes firstUuid
// when one is given. False with a reason.
bool AddSampleRuns(const std::string& path, int n, const std::string& host, std::string& error,
                   const std::string& firstUuid = "");
