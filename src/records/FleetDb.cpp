#include "records/FleetDb.h"
#include "records/RecordsConfig.h"

#include <algorithm>
#include <cstdlib>
#include <libpq-fe.h>
#include <nlohmann/json.hpp>
#include <poll.h>

namespace {

using Json = nlohmann::json;

// Each migration takes the schema from the version before it to its own.
struct CMigration {
    int version;
    const char* what;
    const char* sql;
};
const CMigration kMigrations[] = {
    {1, "the run and run item tables",
     "CREATE TABLE velunda_run ("
     " run_id uuid PRIMARY KEY,"
     " started timestamptz NOT NULL,"
     " station text NOT NULL,"
     " program text NOT NULL,"
     " tool_version text NOT NULL,"
     " package text NOT NULL,"
     " sha256 text NOT NULL,"
     " model text NOT NULL,"
     " link text NOT NULL,"
     " serial text NOT NULL,"
     " versions_before jsonb NOT NULL,"
     " outcome text NOT NULL,"
     " exit_code integer," // NULL for a window run
     " duration_ms bigint NOT NULL,"
     " received timestamptz NOT NULL DEFAULT now());"
     "CREATE TABLE velunda_run_item ("
     " run_id uuid NOT NULL REFERENCES velunda_run ON DELETE CASCADE,"
     " position integer NOT NULL,"
     " item text NOT NULL,"
     " file text NOT NULL,"
     " version text NOT NULL,"
     " size bigint NOT NULL,"
     " result text NOT NULL,"
     " duration_ms bigint," // NULL when the item never ended
     " PRIMARY KEY (run_id, position));"
     "CREATE INDEX velunda_run_serial ON velunda_run (serial);"
     "CREATE INDEX velunda_run_started ON velunda_run (started);"},
    {2, "the signer columns and the station index",
     "ALTER TABLE velunda_run ADD COLUMN signature_state text NOT NULL DEFAULT '',"
     " ADD COLUMN signer_key_id text NOT NULL DEFAULT '',"
     " ADD COLUMN signer_name text NOT NULL DEFAULT '';"
     "CREATE INDEX velunda_run_station ON velunda_run (station);"},
};

// Any number, as long as no other program of the database takes it.
const char* const kMigrationLock = "SELECT pg_advisory_xact_lock(7146590351)";

std::string FirstLine(std::string text)
{
    for (char& c : text)
        if (c == '\n' || c == '\r' || c == '\t')
            c = ' ';
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    std::string squeezed;
    for (char c : text)
        if (!(c == ' ' && !squeezed.empty() && squeezed.back() == ' '))
            squeezed.push_back(c);
    return squeezed;
}

std::string ConnError(pg_conn* conn)
{
    return FirstLine(conn != nullptr ? PQerrorMessage(conn) : "out of memory");
}

// Text as PostgreSQL takes it: NUL is the one character it refuses.
std::string Clean(const std::string& text)
{
    std::string out = text;
    std::erase(out, '\0');
    return out;
}

Json RunJson(const CHistoryRun& run)
{
    Json items = Json::array();
    for (const CHistoryItem& it : run.items)
        items.push_back({{"item", Clean(it.item)},
                         {"file", Clean(it.file)},
                         {"version", Clean(it.version)},
                         {"size", it.size},
                         {"result", Clean(it.result)},
                         {"duration_ms", it.durationMs < 0 ? Json(nullptr) : Json(it.durationMs)}});
    Json versions = Json::parse(run.versionsBefore.empty() ? "{}" : run.versionsBefore, nullptr, false);
    if (!versions.is_object())
        versions = Json::object();
    return {{"run_id", run.runUuid},
            {"started", run.time},
            {"station", Clean(run.host)},
            {"program", Clean(run.program)},
            {"tool_version", Clean(run.toolVersion)},
            {"package", Clean(run.package)},
            {"sha256", Clean(run.sha256)},
            {"model", Clean(run.model)},
            {"link", Clean(run.link)},
            {"serial", Clean(run.serial)},
            {"versions_before", std::move(versions)},
            {"outcome", Clean(run.outcome)},
            {"exit_code", run.exitCode < 0 ? Json(nullptr) : Json(run.exitCode)},
            {"duration_ms", run.durationMs},
            {"signature_state", Clean(run.signatureState)},
            {"signer_key_id", Clean(run.signerKeyId)},
            {"signer_name", Clean(run.signerName)},
            {"items", std::move(items)}};
}

// One statement per batch: the server unpacks the runs and their items from
// one JSON document, so a batch costs one round trip whatever its size.
const char* const kAddRuns =
    "WITH input AS (SELECT * FROM jsonb_to_recordset($1::jsonb) AS r(run_id uuid, started timestamptz,"
    "  station text, program text, tool_version text, package text, sha256 text, model text, link text,"
    "  serial text, versions_before jsonb, outcome text, exit_code integer, duration_ms bigint,"
    "  signature_state text, signer_key_id text, signer_name text, items jsonb)),"
    " added AS (INSERT INTO velunda_run (run_id, started, station, program, tool_version, package, sha256,"
    "  model, link, serial, versions_before, outcome, exit_code, duration_ms, signature_state,"
    "  signer_key_id, signer_name)"
    "  SELECT run_id, started, station, program, tool_version, package, sha256, model, link, serial,"
    "  versions_before, outcome, exit_code, duration_ms, signature_state, signer_key_id, signer_name"
    "  FROM input ON CONFLICT (run_id) DO NOTHING RETURNING run_id),"
    " items AS (INSERT INTO velunda_run_item (run_id, position, item, file, version, size, result,"
    "  duration_ms)"
    "  SELECT i.run_id, e.position - 1, e.j->>'item', e.j->>'file', e.j->>'version', (e.j->>'size')::bigint,"
    "  e.j->>'result', (e.j->>'duration_ms')::bigint"
    "  FROM input i JOIN added a ON a.run_id = i.run_id"
    "  CROSS JOIN LATERAL jsonb_array_elements(i.items) WITH ORDINALITY AS e(j, position))"
    " SELECT count(*) FROM added";

const char* const kListRuns =
    "SELECT r.run_id::text, to_char(r.started AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'),"
    " r.tool_version, r.station, r.program, r.package, r.sha256, r.model, r.link, r.serial,"
    " r.versions_before::text, r.outcome, coalesce(r.exit_code, -1), r.duration_ms, r.signature_state,"
    " r.signer_key_id, r.signer_name,"
    " coalesce((SELECT jsonb_agg(jsonb_build_array(i.item, i.file, i.version, i.size, i.result,"
    "  coalesce(i.duration_ms, -1)) ORDER BY i.position)"
    "  FROM velunda_run_item i WHERE i.run_id = r.run_id), '[]')::text"
    " FROM velunda_run r"
    " WHERE ($1::text = '' OR r.serial = $1) AND r.started >= coalesce(nullif($2::text, '')::timestamptz,"
    " '-infinity') AND ($3::text = '' OR r.station = $3) AND ($4::text = '' OR r.outcome = $4)"
    " ORDER BY r.started, r.run_id";

} // namespace

void CFleetDb::Closer::operator()(pg_conn* conn) const
{
    PQfinish(conn);
}

void CFleetDb::ResultFree::operator()(pg_result* result) const
{
    PQclear(result);
}

bool CFleetDb::WaitSocket(bool forWrite, std::string& error)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline - Clock::now());
    pollfd fd{PQsocket(m_conn.get()), static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
    const int ready = left.count() > 0 ? ::poll(&fd, 1, static_cast<int>(left.count())) : 0;
    if (ready > 0)
        return true;
    error = ready == 0 ? "the records server did not answer in time" : "cannot wait for the records server";
    m_conn.reset(); // the server rolls back what was under way
    return false;
}

bool CFleetDb::Connect(const std::string& conninfo, std::string& error)
{
    // The string is expanded as libpq reads it (key=value or URI); ~/.pgpass,
    // PGSERVICE and the other PG* variables apply as they do for psql.
    // Settings after the expanded string would override it: ours come first.
    const char* const keywords[] = {"application_name", "dbname", nullptr};
    const char* const values[] = {"velunda", conninfo.c_str(), nullptr};
    m_conn.reset(PQconnectStartParams(keywords, values, 1));
    if (!m_conn || PQstatus(m_conn.get()) == CONNECTION_BAD) {
        error = "cannot connect to the records server: " + ConnError(m_conn.get());
        m_conn.reset();
        return false;
    }
    // The server's notices ("already exists, skipping") are not the user's business.
    PQsetNoticeProcessor(
        m_conn.get(), [](void*, const char*) {}, nullptr);
    for (PostgresPollingStatusType status = PGRES_POLLING_WRITING;;) {
        if (status == PGRES_POLLING_OK)
            return true;
        if (status == PGRES_POLLING_FAILED) {
            error = "cannot connect to the records server: " + ConnError(m_conn.get());
            m_conn.reset();
            return false;
        }
        if (!WaitSocket(status == PGRES_POLLING_WRITING, error))
            return false;
        status = PQconnectPoll(m_conn.get());
    }
}

bool CFleetDb::Query(const std::string& sql, const std::vector<std::string>& params, Result& result,
                     std::string& error)
{
    result.reset();
    if (!m_conn) {
        error = "not connected to the records server";
        return false;
    }
    std::vector<const char*> values;
    for (const std::string& p : params)
        values.push_back(p.c_str());
    const bool sent = params.empty()
                          ? PQsendQuery(m_conn.get(), sql.c_str()) == 1
                          : PQsendQueryParams(m_conn.get(), sql.c_str(), static_cast<int>(values.size()),
                                              nullptr, values.data(), nullptr, nullptr, 0) == 1;
    if (!sent) {
        error = ConnError(m_conn.get());
        return false;
    }
    // Collect every result; the last one says how the statement ended.
    std::string failure;
    for (;;) {
        while (PQisBusy(m_conn.get()) == 1) {
            if (!WaitSocket(false, error))
                return false;
            if (PQconsumeInput(m_conn.get()) == 0) {
                error = ConnError(m_conn.get());
                return false;
            }
        }
        Result next(PQgetResult(m_conn.get()));
        if (!next)
            break;
        const ExecStatusType status = PQresultStatus(next.get());
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK && failure.empty())
            failure = FirstLine(PQresultErrorMessage(next.get()));
        result = std::move(next);
    }
    if (!failure.empty() || !result) {
        error = failure.empty() ? ConnError(m_conn.get()) : failure;
        if (PQstatus(m_conn.get()) == CONNECTION_BAD)
            m_conn.reset();
        return false;
    }
    return true;
}

bool CFleetDb::Exec(const std::string& sql, std::string& error)
{
    Result result;
    return Query(sql, {}, result, error);
}

bool CFleetDb::SchemaVersion(int& version, std::string& error)
{
    // Two statements: one naming a table that is missing fails as a whole.
    Result result;
    version = 0;
    if (!Query("SELECT to_regclass('velunda_schema') IS NOT NULL", {}, result, error))
        return false;
    if (std::string(PQgetvalue(result.get(), 0, 0)) != "t")
        return true;
    if (!Query("SELECT coalesce(max(version), 0) FROM velunda_schema", {}, result, error))
        return false;
    version = std::atoi(PQgetvalue(result.get(), 0, 0));
    return true;
}

bool CFleetDb::CheckSchema(std::string& error)
{
    int version = 0;
    if (!SchemaVersion(version, error))
        return false;
    if (version == kFleetSchemaVersion)
        return true;
    error = version == 0
                ? "the records server has no Velunda tables yet (velunda-cli records init makes them)"
                : "the records server has schema version " + std::to_string(version) +
                      ", this program writes version " + std::to_string(kFleetSchemaVersion) +
                      (version < kFleetSchemaVersion ? " (velunda-cli records init upgrades it)"
                                                     : " (use a newer velunda-cli)");
    return false;
}

bool CFleetDb::Init(std::vector<std::string>& done, std::string& error, int upTo)
{
    done.clear();
    auto rollback = [&] {
        std::string ignored;
        if (m_conn)
            Exec("ROLLBACK", ignored);
        return false;
    };
    // One transaction under a lock: two stations running init at once wait
    // for each other, and a failed step leaves the schema as it was.
    if (!Exec("BEGIN", error))
        return false;
    int version = 0;
    if (!Exec(kMigrationLock, error) ||
        !Exec("CREATE TABLE IF NOT EXISTS velunda_schema (version integer NOT NULL)", error) ||
        !SchemaVersion(version, error))
        return rollback();
    if (version > kFleetSchemaVersion) {
        error = "the records server's schema is version " + std::to_string(version) +
                ", newer than version " + std::to_string(kFleetSchemaVersion) +
                " of this program; use a newer velunda-cli";
        return rollback();
    }
    for (const CMigration& m : kMigrations) {
        if (m.version <= version || m.version > upTo)
            continue;
        if (!Exec(m.sql, error)) {
            error = "cannot make schema version " + std::to_string(m.version) + ": " + error;
            return rollback();
        }
        done.push_back("version " + std::to_string(m.version) + ": " + m.what);
    }
    if (!done.empty() && !Exec("DELETE FROM velunda_schema; INSERT INTO velunda_schema VALUES (" +
                                   std::to_string(std::max(version, upTo)) + ")",
                               error))
        return rollback();
    return Exec("COMMIT", error) || rollback();
}

bool CFleetDb::AddRuns(const std::vector<CHistoryRun>& runs, std::size_t& added, std::string& error)
{
    added = 0;
    Json batch = Json::array();
    for (const CHistoryRun& run : runs)
        batch.push_back(RunJson(run));
    Result result;
    // One statement is one transaction: a batch is on the server whole or not at all.
    if (!Query(kAddRuns, {batch.dump(-1, ' ', false, Json::error_handler_t::replace)}, result, error))
        return false;
    added = static_cast<std::size_t>(std::strtoull(PQgetvalue(result.get(), 0, 0), nullptr, 10));
    return true;
}

bool CFleetDb::List(const CFleetFilter& filter, std::vector<CHistoryRun>& runs, std::string& error)
{
    runs.clear();
    Result result;
    if (!Query(kListRuns, {filter.serial, filter.since, filter.station, filter.outcome}, result, error))
        return false;
    pg_result* r = result.get();
    for (int row = 0; row < PQntuples(r); ++row) {
        auto text = [&](int column) { return std::string(PQgetvalue(r, row, column)); };
        CHistoryRun run;
        run.runUuid = text(0);
        run.time = text(1);
        run.toolVersion = text(2);
        run.host = text(3);
        run.program = text(4);
        run.package = text(5);
        run.sha256 = text(6);
        run.model = text(7);
        run.link = text(8);
        run.serial = text(9);
        run.versionsBefore = text(10);
        run.outcome = text(11);
        run.exitCode = std::atoi(PQgetvalue(r, row, 12));
        run.durationMs = std::atoll(PQgetvalue(r, row, 13));
        run.signatureState = text(14);
        run.signerKeyId = text(15);
        run.signerName = text(16);
        run.sent = true;
        const Json items = Json::parse(text(17), nullptr, false);
        for (const Json& it : items.is_array() ? items : Json::array()) {
            if (!it.is_array() || it.size() != 6)
                continue;
            run.items.push_back({it[0].get<std::string>(), it[1].get<std::string>(), it[2].get<std::string>(),
                                 it[3].get<long long>(), it[4].get<std::string>(), it[5].get<long long>()});
        }
        runs.push_back(std::move(run));
    }
    return true;
}

// Beside the connection itself: it needs libpq's reading of the string.
std::string MaskedConnection(const std::string& conninfo)
{
    char* message = nullptr;
    std::unique_ptr<PQconninfoOption, decltype(&PQconninfoFree)> options(
        PQconninfoParse(conninfo.c_str(), &message), &PQconninfoFree);
    PQfreemem(message);
    if (!options)
        return "(a connection string libpq cannot read)";
    std::string text;
    for (const PQconninfoOption* o = options.get(); o->keyword != nullptr; ++o) {
        if (o->val == nullptr || *o->val == '\0')
            continue;
        const std::string keyword = o->keyword;
        // "*" marks the options libpq itself treats as secrets.
        const bool secret = keyword == "password" || (o->dispchar != nullptr && o->dispchar[0] == '*');
        std::string value = secret ? "********" : o->val;
        if (value.find_first_of(" '\\") != std::string::npos) {
            std::string quoted = "'";
            for (char c : value)
                quoted += (c == '\'' || c == '\\') ? std::string("\\") + c : std::string(1, c);
            value = quoted + "'";
        }
        text += (text.empty() ? "" : " ") + keyword + "=" + value;
    }
    return text.empty() ? "(libpq's defaults)" : text;
}
