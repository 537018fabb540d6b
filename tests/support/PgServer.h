#pragma once
// A real PostgreSQL 15 server of the test's own: a cluster made with initdb
// in a fresh folder under /tmp, reached only through a Unix socket in that
// folder, run as an unprivileged user (nobody, through setpriv) when the
// test runs as root, and removed with its folder. Logins need the password.
#include <string>

class CPgServer {
public:
    static constexpr const char* kUser = "velunda";
    static constexpr const char* kPassword = "Fleet-Pass-7";

    CPgServer() = default;
    ~CPgServer();
    CPgServer(const CPgServer&) = delete;
    CPgServer& operator=(const CPgServer&) = delete;

    // Where initdb and pg_ctl are; empty when the server is not installed.
    static std::string ProgramDir();
    // initdb and the first start; durable false trades crash safety for speed.
    bool Create(std::string& error, bool durable = false);
    bool Start(std::string& error);
    // immediate: as if the server crashed (no shutdown checkpoint, clients cut off).
    bool Stop(std::string& error, bool immediate = false);
    // A libpq connection string for database db with the given password.
    std::string Url(const std::string& db = "postgres", const std::string& password = kPassword) const;
    // A fresh, empty database.
    bool CreateDatabase(const std::string& name, std::string& error);
    const std::string& Folder() const { return m_dir; }

private:
    // Runs a server program as the server's user; its output goes to the error on failure.
    bool Run(const std::string& program, const std::string& args, std::string& error) const;
    std::string m_dir;
    bool m_bRunning = false;
};
