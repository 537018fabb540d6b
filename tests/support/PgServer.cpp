#include "PgServer.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <libpq-fe.h>
#include <pwd.h>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const char* const kServerUser = "nobody";

std::string Quoted(const std::string& text)
{
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

} // namespace

CPgServer::~CPgServer()
{
    std::string ignored;
    if (m_bRunning)
        Stop(ignored, true);
    std::error_code ec;
    if (!m_dir.empty())
        fs::remove_all(m_dir, ec);
}

std::string CPgServer::ProgramDir()
{
    const std::string dir = "/usr/lib/postgresql/15/bin";
    std::error_code ec;
    return fs::exists(dir + "/initdb", ec) && fs::exists(dir + "/pg_ctl", ec) ? dir : std::string();
}

bool CPgServer::Run(const std::string& program, const std::string& args, std::string& error) const
{
    const std::string log = m_dir + "/command.log";
    // The server refuses to run as root.
    const std::string as = ::geteuid() == 0 ? "setpriv --reuid=nobody --regid=nogroup --clear-groups " : "";
    const std::string command = "cd " + Quoted(m_dir) + " && " + as + Quoted(ProgramDir() + "/" + program) +
                                " " + args + " >" + Quoted(log) + " 2>&1";
    if (std::system(command.c_str()) == 0)
        return true;
    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    error = program + " failed: " + text.str();
    return false;
}

bool CPgServer::Create(std::string& error, bool durable)
{
    if (ProgramDir().empty()) {
        error = "the PostgreSQL 15 server programs are not installed (Debian's postgresql-15)";
        return false;
    }
    char pattern[] = "/tmp/velunda-pg-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        error = "mkdtemp failed";
        return false;
    }
    m_dir = pattern;
    if (::geteuid() == 0) {
        const passwd* user = ::getpwnam(kServerUser);
        if (user == nullptr || ::chown(m_dir.c_str(), user->pw_uid, user->pw_gid) != 0) {
            error = std::string("cannot hand the server folder to the user ") + kServerUser;
            return false;
        }
    }
    std::ofstream(m_dir + "/pw") << kPassword << "\n";
    if (!Run("initdb", std::string("-D data -U ") + kUser + " --pwfile=pw -A scram-sha-256 -E UTF8 --no-sync",
             error))
        return false;
    // Only the socket in our folder, never a TCP port: test programs can run side by side.
    std::ofstream conf(m_dir + "/data/postgresql.conf", std::ios::app);
    conf << "listen_addresses = ''\nunix_socket_directories = '" << m_dir << "'\nport = 5432\n"
         << "max_connections = 40\n";
    if (!durable)
        conf << "fsync = off\nfull_page_writes = off\n"; // a commit still reaches the kernel before it is
                                                         // reported
    conf.close();
    return Start(error);
}

bool CPgServer::Start(std::string& error)
{
    m_bRunning = Run("pg_ctl", "-D data -l server.log -w -t 60 start", error);
    return m_bRunning;
}

bool CPgServer::Stop(std::string& error, bool immediate)
{
    const bool stopped = Run(
        "pg_ctl", std::string("-D data -w -t 60 -m ") + (immediate ? "immediate" : "fast") + " stop", error);
    m_bRunning = m_bRunning && !stopped;
    return stopped;
}

std::string CPgServer::Url(const std::string& db, const std::string& password) const
{
    return "host=" + m_dir + " port=5432 user=" + kUser + " dbname=" + db + " password=" + password +
           " connect_timeout=10";
}

bool CPgServer::CreateDatabase(const std::string& name, std::string& error)
{
    PGconn* conn = PQconnectdb(Url().c_str());
    PQsetNoticeProcessor(
        conn, [](void*, const char*) {}, nullptr);
    bool ok = PQstatus(conn) == CONNECTION_OK;
    // Two calls: CREATE DATABASE cannot share a transaction with anything.
    for (const std::string& sql : {"DROP DATABASE IF EXISTS " + name, "CREATE DATABASE " + name}) {
        if (!ok)
            break;
        PGresult* result = PQexec(conn, sql.c_str());
        ok = PQresultStatus(result) == PGRES_COMMAND_OK;
        PQclear(result);
    }
    if (!ok)
        error = "cannot make the database " + name + ": " + PQerrorMessage(conn);
    PQfinish(conn);
    return ok;
}
