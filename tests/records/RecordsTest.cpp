// The fleet records against a real PostgreSQL 15 server that the program
// makes and starts once: runs sent at their end and by records push, a
// server that is away, refuses the login or never answers, one cut off in
// the middle of a push, two stations at once and old schemas. Each test
// has a database of its own.
#include "CliTestSupport.h"
#include "PgServer.h"
#include "TempFolder.h"
#include "history/HistoryDb.h"
#include "history/RunUuid.h"
#include "records/FleetDb.h"
#include "records/RecordsPush.h"

#include <libpq-fe.h>
#include <nlohmann/json.hpp>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <future>
#include <thread>

using namespace clitest;
using Json = nlohmann::json;

namespace {

using Clock = std::chrono::steady_clock;

// A number the server computes, through a connection of the test's own.
long long Scalar(const std::string& url, const std::string& sql)
{
    PGconn* conn = PQconnectdb(url.c_str());
    PGresult* result = PQexec(conn, sql.c_str());
    const long long value =
        PQresultStatus(result) == PGRES_TUPLES_OK ? std::atoll(PQgetvalue(result, 0, 0)) : -1;
    PQclear(result);
    PQfinish(conn);
    return value;
}

// The lines of text that start with start.
std::vector<std::string> Starting(const std::string& text, const std::string& start)
{
    std::vector<std::string> found;
    for (const auto& line : Lines(text))
        if (line.rfind(start, 0) == 0)
            found.push_back(line);
    return found;
}

class RecordsTest : public CliTest {
protected:
    static void SetUpTestSuite()
    {
        s_server = std::make_unique<CPgServer>();
        if (CPgServer::ProgramDir().empty() || !s_server->Create(s_error))
            s_server.reset();
    }
    static void TearDownTestSuite() { s_server.reset(); }
    void SetUp() override
    {
        const char* require = std::getenv("VELUNDA_REQUIRE_POSTGRES");
        if (CPgServer::ProgramDir().empty() && (require == nullptr || std::string(require) != "1"))
            GTEST_SKIP() << "the PostgreSQL 15 server programs (Debian's postgresql-15) are not installed";
        ASSERT_TRUE(s_server) << "no test server: "
                              << (s_error.empty() ? "postgresql-15 is missing" : s_error);
        std::string db = "t" + std::to_string(++s_databases), error;
        ASSERT_TRUE(s_server->CreateDatabase(db, error)) << error;
        m_url = s_server->Url(db);
        ::setenv("VELUNDA_RECORDS_URL", m_url.c_str(), 1);
        m_history = (m_state / "velunda" / "history.sqlite").string();
        m_bulk = (fs::exists("/dev/shm") ? fs::path("/dev/shm") : m_dir) / ("velunda-" + db + ".sqlite");
    }
    void TearDown() override
    {
        std::string error; // a test that stopped the server leaves it running for the next
        if (s_server && Scalar(s_server->Url(), "SELECT 1") != 1) {
            EXPECT_TRUE(s_server->Start(error)) << error;
        }
        fs::remove(m_bulk);
    }
    bool Init(int upTo = kFleetSchemaVersion) const
    {
        CFleetDb server;
        std::vector<std::string> done;
        std::string error;
        return server.Connect(m_url, error) && server.Init(done, error, upTo);
    }
    CPushResult Push(const std::string& history, std::size_t batch = 500) const
    {
        return PushRecords(history, m_url, {Clock::time_point::max(), std::chrono::seconds(30), batch});
    }
    long long Count(const std::string& where = "true") const
    {
        return Scalar(m_url, "SELECT count(*) FROM velunda_run WHERE " + where);
    }

    static inline std::unique_ptr<CPgServer> s_server;
    static inline std::string s_error;
    static inline int s_databases = 0;
    std::string m_url, m_history, m_error;
    fs::path m_bulk; // thousands of runs: in memory when it can, the disk's flushes are not tested
};

TEST_F(RecordsTest, ARunIsSentAtItsEndOnceAndTheFleetReadsItBackAsTheLocalHistoryHasIt)
{
    const RunResult none = Cli({"history", "--fleet"});
    EXPECT_NE(none.err.find("no Velunda tables yet (velunda-cli records init makes them)"), std::string::npos)
        << none.err;
    for (const char* said :
         {"velunda-cli: records schema version 2: ", "at version 2 already; nothing changed"}) {
        const RunResult init = Cli({"records", "init"});
        EXPECT_EQ(init.exitCode, 0) << init.err;
        EXPECT_NE(init.err.find(said), std::string::npos) << init.err;
    }
    StartTarget();
    const RunResult run = CliUsb({MakeDat({{"--main", 3000, "3"}, {"--ir", 400, "2"}}).string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto sent = Starting(run.err, "velunda-cli: 1 run(s) sent to ");
    ASSERT_EQ(sent.size(), 1u) << run.err;
    EXPECT_NE(sent[0].find("password=******** "), std::string::npos) << sent[0]; // as libpq read the string
    EXPECT_EQ(run.err.find(CPgServer::kPassword), std::string::npos) << run.err;

    const auto local = JsonEvents(Cli({"history", "--json"}).out, "run");
    const auto fleet = JsonEvents(Cli({"history", "--fleet", "--json"}).out, "run");
    ASSERT_EQ(local.size(), 1u);
    ASSERT_EQ(fleet.size(), 1u);
    EXPECT_TRUE(local[0]["sent"].get<bool>() && IsRunUuid(local[0]["run_id"])) << local[0];
    for (const char* field :
         {"run_id", "started", "serial", "model", "sha256", "outcome", "exit_code", "items",
          "versions_before", "duration_ms", "program", "package", "link", "signature"})
        EXPECT_EQ(fleet[0][field], local[0][field]) << field;
    EXPECT_EQ(fleet[0]["station"], local[0]["host"]);
    const RunResult again = Cli({"records", "push"});
    EXPECT_NE(again.err.find("0 run(s) sent"), std::string::npos) << again.err;
    EXPECT_EQ(Count(), 1);

    // The window's push: beside it, after a recorded run, saying how it went.
    sqlite3* file = nullptr;
    ASSERT_EQ(sqlite3_open(m_history.c_str(), &file) |
                  sqlite3_exec(file, "UPDATE run SET sent = 0", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(file);
    std::promise<std::string> said;
    {
        CBackgroundPush push([&said](const std::string& summary) { said.set_value(summary); });
        EXPECT_FALSE(push.Start(m_history, "", std::chrono::seconds(kRunEndPushSeconds)));
        EXPECT_TRUE(push.Start(m_history, m_url, std::chrono::seconds(kRunEndPushSeconds)));
    }
    const std::string summary = said.get_future().get();
    EXPECT_EQ(summary.rfind("1 run(s) sent to ", 0), 0u) << summary;
    EXPECT_NE(summary.find("(1 of them it had already)"), std::string::npos) << summary;
    EXPECT_TRUE(JsonEvents(Cli({"history", "--json"}).out, "run").at(0)["sent"].get<bool>());
    EXPECT_EQ(Count(), 1);

    // Each filter with a value that keeps the run and one that does not.
    const std::string serial = local[0]["serial"], host = local[0]["host"];
    for (const auto& [option, keeps, drops] :
         std::vector<std::array<std::string, 3>>{{"--serial", serial, serial + "x"},
                                                 {"--station", host, "elsewhere"},
                                                 {"--outcome", "success", "failed"},
                                                 {"--since", "2000-01-01", "2999-01-01"}})
        for (const std::string& value : {keeps, drops})
            EXPECT_EQ(JsonEvents(Cli({"history", "--fleet", "--json", option, value}).out, "run").size(),
                      value == keeps ? 1u : 0u)
                << option << " " << value;
}

class RecordsUnavailableTest : public RecordsTest,
                               public ::testing::WithParamInterface<std::pair<const char*, const char*>> {};

TEST_P(RecordsUnavailableTest, ARunSucceedsWithOneLineWhileItsRecordWaitsAndTheNextPushSendsItOnce)
{
    ASSERT_TRUE(Init());
    const std::string what = GetParam().first, wrong = "Wrong-Pass-3";
    const CTempFolder silent; // a socket that takes connections and never answers; short, as sun_path is
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{AF_UNIX, {}};
    (silent / ".s.PGSQL.5432").copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) | ::listen(listener, 4),
              0);
    std::string error;
    if (what == "stopped") {
        ASSERT_TRUE(s_server->Stop(error)) << error;
    }
    const std::string url = what == "wrong password" ? m_url + " password=" + wrong
                            : what == "silent"       ? "host=" + silent.Path() + " dbname=x"
                                                     : m_url;
    ::setenv("VELUNDA_RECORDS_URL", url.c_str(), 1);
    StartTarget();
    const auto started = Clock::now();
    const RunResult run = CliUsb({MakeDat({{"--main", 3000, "3"}}).string()});
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(20)); // the push at the end is bounded
    ::close(listener);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(HasLine(run.err, "Upgrade Complete.")) << run.err;
    const auto warnings = Starting(run.err, "velunda-cli: warning: records not sent to ");
    ASSERT_EQ(warnings.size(), 1u) << run.err;
    EXPECT_NE(warnings[0].find(GetParam().second), std::string::npos) << warnings[0];
    EXPECT_NE(warnings[0].find("; 1 run(s) wait in the history"), std::string::npos) << warnings[0];
    for (const std::string& secret : {std::string(CPgServer::kPassword), wrong})
        EXPECT_EQ((run.out + run.err).find(secret), std::string::npos) << run.err;
    EXPECT_FALSE(JsonEvents(Cli({"history", "--json"}).out, "run").at(0)["sent"].get<bool>());

    if (what == "stopped") {
        ASSERT_TRUE(s_server->Start(error)) << error;
    }
    ::setenv("VELUNDA_RECORDS_URL", m_url.c_str(), 1);
    for (const char* sent : {"1 run(s) sent", "0 run(s) sent"})
        EXPECT_NE(Cli({"records", "push"}).err.find(sent), std::string::npos) << sent;
    EXPECT_EQ(Count(), 1);
}

INSTANTIATE_TEST_SUITE_P(Servers, RecordsUnavailableTest,
                         ::testing::Values(std::pair("stopped", "No such file or directory"),
                                           std::pair("wrong password", "password authentication failed"),
                                           std::pair("silent", "did not answer in time")));

TEST_F(RecordsTest, AServerCutOffInTheMiddleOfAPushHoldsWholeBatchesOnlyAndTheNextPushSendsTheRestOnce)
{
    ASSERT_TRUE(Init());
    const int total = 4000;
    ASSERT_TRUE(AddSampleRuns(m_bulk, total, "line-1", m_error)) << m_error;
    CPushResult first;
    std::thread pusher([&] { first = Push(m_bulk, 50); });
    const std::string items = "SELECT count(*) FROM velunda_run_item";
    while (Count() <= 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::string error;
    EXPECT_TRUE(s_server->Stop(error, true) && s_server->Start(error)) << error;
    pusher.join();
    EXPECT_FALSE(first.ok) << "the push ended before the server was stopped";
    const long long kept = Count();
    EXPECT_EQ(kept % 50, 0) << kept;
    EXPECT_EQ(Scalar(m_url, items), 2 * kept);
    const CPushResult rest = Push(m_bulk, 50);
    EXPECT_TRUE(rest.ok && rest.waiting == 0) << rest.error;
    EXPECT_EQ(rest.added, static_cast<std::size_t>(total - kept));
    EXPECT_EQ(Scalar(m_url, "SELECT count(DISTINCT serial) FROM velunda_run"), total) << "each run once";
    EXPECT_EQ(Scalar(m_url, items), 2 * total);
}

TEST_F(RecordsTest, TwoStationsSettingUpAndPushingAtOnceLoseNothingAndDoubleNothing)
{
    const std::string shared = NewRunUuid(); // a run copied from one station's history to the other's
    const std::string paths[] = {m_bulk.string() + "-a", m_bulk.string() + "-b"};
    for (int i = 0; i < 2; ++i)
        ASSERT_TRUE(AddSampleRuns(paths[i], 1500, i == 0 ? "station-a" : "station-b", m_error, shared))
            << m_error;
    CPushResult results[2];
    std::thread other([&] { results[1] = Init() ? Push(paths[1], 100) : CPushResult{}; });
    results[0] = Init() ? Push(paths[0], 100) : CPushResult{};
    other.join();
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(results[i].ok && results[i].sent == 1500) << i << ": " << results[i].error;
        fs::remove(paths[i]);
    }
    EXPECT_EQ(results[0].added + results[1].added, 2999u);
    const long long a = Count("station = 'station-a'"), b = Count("station = 'station-b'");
    EXPECT_TRUE(a + b == 2999 && a >= 1499 && b >= 1499) << a << " " << b;
}

TEST_F(RecordsTest, OldSchemasAreUpgradedWithTheirRunsKeptAndOldLocalRunsAreSentWithIdsOfTheirOwn)
{
    ASSERT_TRUE(Init(1));
    const std::string old = NewRunUuid();
    ASSERT_EQ(
        Scalar(m_url,
               "INSERT INTO velunda_run VALUES ('" + old +
                   "', '2026-01-02T03:04:05.678Z', 'old-pc',"
                   " 'velunda', '1.0.7', '/p', 'ab', 'Quorin V1', 'USB', 'S-OLD', '{}', 'success', NULL, 5);"
                   " INSERT INTO velunda_run_item VALUES ('" +
                   old +
                   "', 0, 'MAIN', 'm', '3', 10, 'Complete',"
                   " 4); SELECT 1"),
        1);
    // A local history from before run ids: written, then its new columns dropped.
    ASSERT_TRUE(AddSampleRuns(m_history, 2, "new-pc", m_error)) << m_error;
    sqlite3* local = nullptr;
    EXPECT_EQ(sqlite3_open(m_history.c_str(), &local) |
                  sqlite3_exec(local,
                               "DROP INDEX run_uuid; DROP INDEX run_sent; ALTER TABLE run DROP COLUMN"
                               " run_uuid; ALTER TABLE run DROP COLUMN sent",
                               nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(local);

    RunResult push = Cli({"records", "push"});
    EXPECT_EQ(push.exitCode, 1);
    EXPECT_NE(push.err.find("schema version 1, this program writes version 2 (velunda-cli records init"),
              std::string::npos)
        << push.err;
    const RunResult init = Cli({"records", "init"});
    EXPECT_EQ(Starting(init.err, "velunda-cli: records schema version ").size(), 1u) << init.err;
    EXPECT_NE(init.err.find("records schema version 2: the signer columns"), std::string::npos) << init.err;
    push = Cli({"records", "push"});
    EXPECT_NE(push.err.find("2 run(s) sent"), std::string::npos) << push.err;

    const auto fleet = JsonEvents(Cli({"history", "--fleet", "--json"}).out, "run");
    ASSERT_EQ(fleet.size(), 3u);
    EXPECT_EQ(fleet[0]["run_id"], old);
    EXPECT_EQ(fleet[0]["started"], "2026-01-02T03:04:05.678Z");
    EXPECT_TRUE(fleet[0]["signature"].is_null() && fleet[0]["exit_code"].is_null()) << fleet[0];
    EXPECT_EQ(fleet[0]["items"][0]["result"], "Complete");
    EXPECT_TRUE(IsRunUuid(fleet[1]["run_id"]) && fleet[1]["run_id"] != fleet[2]["run_id"]) << fleet[1];
    EXPECT_EQ(fleet[1]["signature"],
              (Json{{"state", "valid"}, {"key_id", "k-0"}, {"key_name", "Release key"}}));
    EXPECT_EQ(fleet[1]["items"][1]["duration_ms"], nullptr);
}

} // namespace
