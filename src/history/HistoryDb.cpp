#include "history/HistoryDb.h"

#include "history/RunUuid.h"
#include "history/StateDir.h"

#include <algorithm>
#include <filesystem>
#include <sqlite3.h>

namespace {

// Schema version 1. Times are RFC 3339 UTC texts, so they sort as text.
const char* const kSchema = "CREATE TABLE IF NOT EXISTS run ("
                            " id INTEGER PRIMARY KEY,"
                            " time TEXT NOT NULL,"
                            " tool_version TEXT NOT NULL,"
                            " host TEXT NOT NULL,"
                            " program TEXT NOT NULL,"
                            " package TEXT NOT NULL,"
                            " sha256 TEXT NOT NULL,"
                            " model TEXT NOT NULL,"
                            " link TEXT NOT NULL,"
                            " serial TEXT NOT NULL,"
                            " versions_before TEXT NOT NULL,"
                            " outcome TEXT NOT NULL,"
                            " exit_code INTEGER," // NULL for a window run
                            " duration_ms INTEGER NOT NULL);"
                            "CREATE TABLE IF NOT EXISTS run_item ("
                            " run_id INTEGER NOT NULL REFERENCES run(id) ON DELETE CASCADE,"
                            " position INTEGER NOT NULL,"
                            " item TEXT NOT NULL,"
                            " file TEXT NOT NULL,"
                            " version TEXT NOT NULL,"
                            " size INTEGER NOT NULL,"
                            " result TEXT NOT NULL,"
                            " duration_ms INTEGER," // NULL when the item never ended
                            " PRIMARY KEY (run_id, position));"
                            "CREATE INDEX IF NOT EXISTS run_serial ON run(serial);"
                            "CREATE INDEX IF NOT EXISTS run_time ON run(time);"
                            "PRAGMA user_version = 1;";

// Columns added to a file made before they existed; every row gets a value,
// so old runs can be sent to the fleet records server too.
struct CAddedColumn {
    const char* name;
    const char* declaration;
    const char* fill; // for the rows already there; nullptr: the declaration's default
};
const CAddedColumn kAddedColumns[] = {
    {"run_uuid", "TEXT",
     "lower(hex(randomblob(4))) || '-' || lower(hex(randomblob(2))) || '-4' ||"
     " substr(lower(hex(randomblob(2))), 2) || '-' || substr('89ab', 1 + abs(random()) % 4, 1) ||"
     " substr(lower(hex(randomblob(2))), 2) || '-' || lower(hex(randomblob(6)))"},
    {"sent", "INTEGER NOT NULL DEFAULT 0", nullptr},
    {"signature_state", "TEXT NOT NULL DEFAULT ''", nullptr},
    {"signer_key_id", "TEXT NOT NULL DEFAULT ''", nullptr},
    {"signer_name", "TEXT NOT NULL DEFAULT ''", nullptr},
    {"kept_folder", "TEXT NOT NULL DEFAULT ''", nullptr},
};
const char* const kAddedIndexes = "CREATE UNIQUE INDEX IF NOT EXISTS run_uuid ON run(run_uuid);"
                                  "CREATE INDEX IF NOT EXISTS run_sent ON run(sent);";

// A prepared statement, finalized when it goes out of scope.
class CStatement {
public:
    CStatement(sqlite3* db, const char* sql) { m_rc = sqlite3_prepare_v2(db, sql, -1, &m_pStmt, nullptr); }
    ~CStatement() { sqlite3_finalize(m_pStmt); }
    CStatement(const CStatement&) = delete;
    CStatement& operator=(const CStatement&) = delete;
    bool Ok() const { return m_rc == SQLITE_OK; }
    sqlite3_stmt* get() const { return m_pStmt; }
    void Text(int index, const std::string& value)
    {
        sqlite3_bind_text(m_pStmt, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    }
    void Int(int index, long long value) { sqlite3_bind_int64(m_pStmt, index, value); }
    void IntOrNull(int index, long long value, bool null)
    {
        if (null)
            sqlite3_bind_null(m_pStmt, index);
        else
            Int(index, value);
    }
    std::string ColumnText(int column) const
    {
        const auto* text = sqlite3_column_text(m_pStmt, column);
        return text == nullptr ? std::string()
                               : std::string(reinterpret_cast<const char*>(text),
                                             static_cast<std::size_t>(sqlite3_column_bytes(m_pStmt, column)));
    }
    long long ColumnInt(int column, long long ifNull) const
    {
        return sqlite3_column_type(m_pStmt, column) == SQLITE_NULL ? ifNull
                                                                   : sqlite3_column_int64(m_pStmt, column);
    }

private:
    sqlite3_stmt* m_pStmt = nullptr;
    int m_rc;
};

std::string ErrorOf(sqlite3* db, const std::string& what)
{
    return what + ": " + (db != nullptr ? sqlite3_errmsg(db) : "out of memory");
}

} // namespace

void CHistoryDb::Closer::operator()(sqlite3* db) const
{
    sqlite3_close_v2(db);
}

bool CHistoryDb::Exec(const char* sql, std::string& error)
{
    char* message = nullptr;
    if (sqlite3_exec(m_db.get(), sql, nullptr, nullptr, &message) == SQLITE_OK)
        return true;
    error = message != nullptr ? message : sqlite3_errmsg(m_db.get());
    sqlite3_free(message);
    return false;
}

bool CHistoryDb::Open(const std::string& path, bool create, std::string& error, int busyMs)
{
    m_db.reset();
    if (path.empty()) {
        error = "no place for the history (neither XDG_STATE_HOME nor HOME is set)";
        return false;
    }
    if (create) {
        std::error_code ec;
        const auto folder = std::filesystem::path(path).parent_path();
        if (!folder.empty())
            std::filesystem::create_directories(folder, ec);
    }
    sqlite3* db = nullptr;
    const int flags = create ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
    const int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    m_db.reset(db);
    if (rc != SQLITE_OK) {
        error = ErrorOf(db, "cannot open the history " + path);
        m_db.reset();
        return false;
    }
    sqlite3_busy_timeout(db, busyMs);
    if ((create && !Exec(kSchema, error)) || !AddMissingColumns(error)) {
        error = "cannot prepare the history " + path + ": " + error;
        m_db.reset();
        return false;
    }
    return true;
}

bool CHistoryDb::ReadMissingColumns(std::string& error)
{
    m_missing.clear();
    std::vector<std::string> have;
    CStatement info(m_db.get(), "SELECT name FROM pragma_table_info('run')");
    if (!info.Ok()) {
        error = sqlite3_errmsg(m_db.get());
        return false;
    }
    while (sqlite3_step(info.get()) == SQLITE_ROW)
        have.push_back(info.ColumnText(0));
    // No run table: a file from someone else's program, whose reading fails with its own reason.
    for (const CAddedColumn& column : kAddedColumns)
        if (!have.empty() && std::find(have.begin(), have.end(), column.name) == have.end())
            m_missing.push_back(column.name);
    return true;
}

bool CHistoryDb::AddMissingColumns(std::string& error)
{
    if (!ReadMissingColumns(error))
        return false;
    if (m_missing.empty() || sqlite3_db_readonly(m_db.get(), "main") == 1)
        return true; // a read-only history is read as it is
    // Looked at again under the write lock: another program may have added them meanwhile.
    if (!Exec("BEGIN IMMEDIATE", error))
        return false;
    std::string sql;
    bool ok = ReadMissingColumns(error);
    for (const CAddedColumn& column : kAddedColumns) {
        if (std::find(m_missing.begin(), m_missing.end(), column.name) == m_missing.end())
            continue;
        sql += std::string("ALTER TABLE run ADD COLUMN ") + column.name + " " + column.declaration + ";";
        if (column.fill != nullptr)
            sql += std::string("UPDATE run SET ") + column.name + " = " + column.fill + ";";
    }
    sql += kAddedIndexes;
    if (ok && Exec(sql.c_str(), error) && Exec("COMMIT", error)) {
        m_missing.clear();
        return true;
    }
    std::string ignored;
    Exec("ROLLBACK", ignored);
    return false;
}

bool CHistoryDb::Add(CHistoryRun& run, std::string& error)
{
    if (!m_db) {
        error = "the history is not open";
        return false;
    }
    sqlite3* db = m_db.get();
    // IMMEDIATE takes the write lock at once, so a busy database is found
    // before anything is written.
    if (!Exec("BEGIN IMMEDIATE", error)) {
        error = "cannot write the history: " + error;
        return false;
    }
    auto rollback = [&](const std::string& what) {
        error = ErrorOf(db, what);
        std::string ignored;
        Exec("ROLLBACK", ignored);
        return false;
    };
    {
        CStatement insert(db,
                          "INSERT INTO run (time, tool_version, host, program, package, sha256, model, link,"
                          " serial, versions_before, outcome, exit_code, duration_ms, run_uuid, sent,"
                          " signature_state, signer_key_id, signer_name, kept_folder)"
                          " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16,"
                          " ?17, ?18, ?19)");
        if (!insert.Ok())
            return rollback("cannot write the history");
        insert.Text(1, run.time);
        insert.Text(2, run.toolVersion);
        insert.Text(3, run.host);
        insert.Text(4, run.program);
        insert.Text(5, run.package);
        insert.Text(6, run.sha256);
        insert.Text(7, run.model);
        insert.Text(8, run.link);
        insert.Text(9, run.serial);
        insert.Text(10, run.versionsBefore.empty() ? "{}" : run.versionsBefore);
        insert.Text(11, run.outcome);
        insert.IntOrNull(12, run.exitCode, run.exitCode < 0);
        insert.Int(13, run.durationMs);
        if (run.runUuid.empty())
            run.runUuid = NewRunUuid();
        insert.Text(14, run.runUuid);
        insert.Int(15, run.sent ? 1 : 0);
        insert.Text(16, run.signatureState);
        insert.Text(17, run.signerKeyId);
        insert.Text(18, run.signerName);
        insert.Text(19, run.keptFolder);
        if (sqlite3_step(insert.get()) != SQLITE_DONE)
            return rollback("cannot write the history");
    }
    run.id = sqlite3_last_insert_rowid(db);
    CStatement item(db,
                    "INSERT INTO run_item (run_id, position, item, file, version, size, result, duration_ms)"
                    " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
    if (!item.Ok())
        return rollback("cannot write the history");
    for (std::size_t i = 0; i < run.items.size(); ++i) {
        const CHistoryItem& it = run.items[i];
        sqlite3_reset(item.get());
        item.Int(1, run.id);
        item.Int(2, static_cast<long long>(i));
        item.Text(3, it.item);
        item.Text(4, it.file);
        item.Text(5, it.version);
        item.Int(6, it.size);
        item.Text(7, it.result);
        item.IntOrNull(8, it.durationMs, it.durationMs < 0);
        if (sqlite3_step(item.get()) != SQLITE_DONE)
            return rollback("cannot write the history");
    }
    if (!Exec("COMMIT", error))
        return rollback("cannot write the history");
    return true;
}

bool CHistoryDb::List(const CHistoryFilter& filter, std::vector<CHistoryRun>& runs, std::string& error)
{
    return Select("(?1 = '' OR serial = ?1) AND (?2 = '' OR time >= ?2)", {filter.serial, filter.since}, -1,
                  runs, error);
}

bool CHistoryDb::ListUnsent(std::size_t limit, std::vector<CHistoryRun>& runs, std::string& error)
{
    return Select("sent = 0", {}, static_cast<long long>(limit), runs, error);
}

bool CHistoryDb::CountUnsent(std::size_t& count, std::string& error)
{
    count = 0;
    if (!m_db) {
        error = "the history is not open";
        return false;
    }
    CStatement select(m_db.get(), "SELECT count(*) FROM run WHERE sent = 0");
    if (!select.Ok() || sqlite3_step(select.get()) != SQLITE_ROW) {
        error = ErrorOf(m_db.get(), "cannot read the history");
        return false;
    }
    count = static_cast<std::size_t>(select.ColumnInt(0, 0));
    return true;
}

bool CHistoryDb::MarkSent(const std::vector<long long>& ids, std::string& error)
{
    if (!m_db) {
        error = "the history is not open";
        return false;
    }
    if (!Exec("BEGIN IMMEDIATE", error)) {
        error = "cannot write the history: " + error;
        return false;
    }
    CStatement mark(m_db.get(), "UPDATE run SET sent = 1 WHERE id = ?1");
    bool ok = mark.Ok();
    for (std::size_t i = 0; ok && i < ids.size(); ++i) {
        sqlite3_reset(mark.get());
        mark.Int(1, ids[i]);
        ok = sqlite3_step(mark.get()) == SQLITE_DONE;
    }
    if (ok && Exec("COMMIT", error))
        return true;
    error = ErrorOf(m_db.get(), "cannot write the history");
    std::string ignored;
    Exec("ROLLBACK", ignored);
    return false;
}

bool CHistoryDb::Select(const std::string& where, const std::vector<std::string>& texts, long long limit,
                        std::vector<CHistoryRun>& runs, std::string& error)
{
    runs.clear();
    if (!m_db) {
        error = "the history is not open";
        return false;
    }
    sqlite3* db = m_db.get();
    // A read is one transaction too, so runs and items agree.
    if (!Exec("BEGIN", error)) {
        error = "cannot read the history: " + error;
        return false;
    }
    // A read-only file from before the added columns reads them as empty.
    std::string added;
    for (const CAddedColumn& column : kAddedColumns) {
        const bool missing = std::find(m_missing.begin(), m_missing.end(), column.name) != m_missing.end();
        added += std::string(", ") +
                 (missing ? (std::string(column.name) == "sent" ? "0" : "''") : std::string(column.name));
    }
    const std::string sql =
        "SELECT id, time, tool_version, host, program, package, sha256, model, link, serial,"
        " versions_before, outcome, exit_code, duration_ms" +
        added + " FROM run WHERE " + where + " ORDER BY time, id LIMIT " + std::to_string(limit);
    CStatement select(db, sql.c_str());
    CStatement items(db, "SELECT item, file, version, size, result, duration_ms FROM run_item"
                         " WHERE run_id = ?1 ORDER BY position");
    bool ok = select.Ok() && items.Ok();
    if (ok) {
        for (std::size_t i = 0; i < texts.size(); ++i)
            select.Text(static_cast<int>(i) + 1, texts[i]);
        int rc = SQLITE_ROW;
        while ((rc = sqlite3_step(select.get())) == SQLITE_ROW) {
            CHistoryRun run;
            run.id = select.ColumnInt(0, 0);
            run.time = select.ColumnText(1);
            run.toolVersion = select.ColumnText(2);
            run.host = select.ColumnText(3);
            run.program = select.ColumnText(4);
            run.package = select.ColumnText(5);
            run.sha256 = select.ColumnText(6);
            run.model = select.ColumnText(7);
            run.link = select.ColumnText(8);
            run.serial = select.ColumnText(9);
            run.versionsBefore = select.ColumnText(10);
            run.outcome = select.ColumnText(11);
            run.exitCode = static_cast<int>(select.ColumnInt(12, -1));
            run.durationMs = select.ColumnInt(13, 0);
            run.runUuid = select.ColumnText(14);
            run.sent = select.ColumnInt(15, 0) != 0;
            run.signatureState = select.ColumnText(16);
            run.signerKeyId = select.ColumnText(17);
            run.signerName = select.ColumnText(18);
            run.keptFolder = select.ColumnText(19);
            sqlite3_reset(items.get());
            items.Int(1, run.id);
            int irc = SQLITE_ROW;
            while ((irc = sqlite3_step(items.get())) == SQLITE_ROW)
                run.items.push_back({items.ColumnText(0), items.ColumnText(1), items.ColumnText(2),
                                     items.ColumnInt(3, 0), items.ColumnText(4), items.ColumnInt(5, -1)});
            if (irc != SQLITE_DONE) {
                ok = false;
                break;
            }
            runs.push_back(std::move(run));
        }
        ok = ok && rc == SQLITE_DONE;
    }
    if (!ok)
        error = ErrorOf(db, "cannot read the history");
    std::string ignored;
    Exec("COMMIT", ignored);
    return ok;
}

std::string DefaultHistoryPath()
{
    const std::string dir = VelundaStateDir();
    return dir.empty() ? std::string() : dir + "/history.sqlite";
}
