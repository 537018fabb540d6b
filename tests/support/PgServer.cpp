#include "PgServer.h"

#include "history/HistoryDb.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <libpq-fe.h>
#include <pwd.h>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;

CPgServer::~CPgServer()
{
    std::string ignored;
    if (m_bRunning)
        Stop(ignored, true);
    std::error_code ec;
    fs::remove_all(m_dir, ec);
}

std::string CPgServer::ProgramDir()
{
    std::error_code ec;
    return fs::exists("/usr/lib/postgresql/15/bin/initdb", ec) ? "/usr/lib/postgresql/15/bin" : "";
}

bool CPgServer::Run(const std::string& args, std::string& error, const std::string& program) const
{
    // The server refuses to run as root. Paths are mkdtemp's: no quoting needed.
    const std::string as = ::geteuid() == 0 ? "setpriv --reuid=nobody --regid=nogroup --clear-groups " : "";
    const std::string command =
        "cd " + m_dir + " && " + as + ProgramDir() + "/" + program + " " + args + " >command.log 2>&1";
    if (std::system(command.c_str()) == 0)
        return true;
    std::stringstream text;
    text << std::ifstream(m_dir + "/command.log").rdbuf();
    error = program + " failed: " + text.str();
    return false;
}

bool CPgServer::Create(std::string& error, bool durable)
{
    char pattern[] = "/tmp/velunda-pg-XXXXXX";
    if (ProgramDir().empty() || ::mkdtemp(pattern) == nullptr) {
        error = "no PostgreSQL 15 server programs (Debian's postgresql-15), or no folder for them";
        return false;
    }
    m_dir = pattern;
    const passwd* nobody = ::getpwnam("nobody");
    if (::geteuid() == 0 && (nobody == nullptr || ::chown(pattern, nobody->pw_uid, nobody->pw_gid) != 0)) {
        error = "cannot hand the server's folder to nobody";
        return false;
    }
    std::ofstream(m_dir + "/pw") << kPassword << "\n";
    if (!Run("-D data -U velunda --pwfile=pw -A scram-sha-256 -E UTF8 --no-sync", error, "initdb"))
        return false;
    // Only the socket in our folder, never a TCP port: test programs run side by side.
    std::ofstream conf(m_dir + "/data/postgresql.conf", std::ios::app);
    conf << "listen_addresses = ''\nunix_socket_directories = '" << m_dir << "'\nmax_connections = 40\n";
    // Without fsync a commit still reaches the kernel before it is reported.
    if (!durable)
        conf << "fsync = off\nfull_page_writes = off\n";
    conf.close();
    return Start(error);
}

bool CPgServer::Stop(std::string& error, bool immediate)
{
    m_bRunning =
        !Run(std::string("-D data -w -t 60 -m ") + (immediate ? "immediate" : "fast") + " stop", error);
    return !m_bRunning;
}

std::string CPgServer::Url(const std::string& db) const
{
    return "host=" + m_dir + " user=velunda dbname=" + db + " password=" + kPassword + " connect_timeout=10";
}

bool CPgServer::CreateDatabase(const std::string& name, std::string& error) const
{
    PGconn* conn = PQconnectdb(Url().c_str());
    PQsetNoticeProcessor(
        conn, [](void*, const char*) {}, nullptr);
    bool ok = PQstatus(conn) == CONNECTION_OK;
    // Two calls: CREATE DATABASE cannot share a transaction with anything.
    for (const std::string& sql : {"DROP DATABASE IF EXISTS " + name, "CREATE DATABASE " + name}) {
        PGresult* result = ok ? PQexec(conn, sql.c_str()) : nullptr;
        ok = ok && PQresultStatus(result) == PGRES_COMMAND_OK;
        PQclear(result);
    }
    if (!ok)
        error = "cannot make the database " + name + ": " + PQerrorMessage(conn);
    PQfinish(conn);
    return ok;
}

bool AddSampleRuns(const std::string& path, int n, const std::string& host, std::string& error,
                   const std::string& firstUuid)
{
    CHistoryDb db;
    CHistoryRun run;
    run.toolVersion = "1.0.8";
    run.host = host;
    run.program = "velunda-cli";
    run.sha256 = std::string(64, 'a');
    run.signatureState = "valid";
    run.signerName = "Release key";
    run.model = "Quorin V2";
    run.items = {{"MAIN", "SM.bin", "2.10", 17000, "Complete", 800},
                 {"CDM", "CDM.NHB", "1.02", 9000, "", -1}};
    for (int i = 0; i < n; ++i) {
        run.time = "2026-12-0" + std::to_string(1 + i % 9) + "T10:00:00.000Z";
        run.signerKeyId = "k-" + std::to_string(i % 3);
        run.serial = host + "-" + std::to_string(i);
        run.outcome = i % 5 == 0 ? "failed" : "success";
        run.exitCode = i % 5 == 0 ? 1 : 0;
        run.runUuid = i == 0 ? firstUuid : "";
        if ((i == 0 && !db.Open(path, true, error)) || !db.Add(run, error))
            return false;
    }
    return true;
}
