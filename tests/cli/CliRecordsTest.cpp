// The records a run leaves: the JSON event stream checked against the
// document that defines it (parsed here, so the two cannot drift apart), the
// trace log, and the history, including a history that cannot be written.
#include "CliTestSupport.h"
#include "OrdinaryUser.h"

#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>

using namespace clitest;
using Json = nlohmann::ordered_json;

namespace {

struct FieldSpec {
    std::string
        type; // "string", "integer", "boolean", "array", "object", "integer or null", "object or null"
    bool always = false;
};
// Event name ("*" for the fields of every event) -> field ("parts[].item") -> fields.
using DocFields = std::map<std::string, std::map<std::string, FieldSpec>>;

DocFields ReadEventDoc()
{
    std::ifstream in(fs::path(TestPath("VELUNDA_SOURCE_DIR")) / "docs" / "json-events.md");
    DocFields fields;
    std::string event;
    std::string line;
    const std::regex heading(R"(^### `([a-z_]+)`\s*$)");
    const std::regex row(R"(^\| `([a-z0-9_\[\].]+)` \| ([a-z ]+) \| (always|optional) \|)");
    std::smatch m;
    while (std::getline(in, line)) {
        if (line == "## Fields of every event")
            event = "*";
        else if (std::regex_match(line, m, heading))
            event = m[1];
        else if (!event.empty() && std::regex_search(line, m, row))
            fields[event][m[1]] = {m[2], m[3] == "always"};
    }
    return fields;
}

bool HasType(const Json& v, const std::string& type)
{
    if (type == "string")
        return v.is_string();
    if (type == "integer")
        return v.is_number_integer();
    if (type == "boolean")
        return v.is_boolean();
    if (type == "array")
        return v.is_array();
    if (type == "object")
        return v.is_object();
    if (type == "integer or null")
        return v.is_number_integer() || v.is_null();
    if (type == "string or null")
        return v.is_string() || v.is_null();
    if (type == "object or null")
        return v.is_object() || v.is_null();
    return false;
}

// Checks obj's fields against the documented ones named prefix + key; problems are
// appended with where they were found.
void CheckFields(const Json& obj, const std::map<std::string, FieldSpec>& fields,
                 const std::map<std::string, FieldSpec>& common, const std::string& prefix,
                 const std::string& where, std::vector<std::string>& problems)
{
    for (const auto& [key, value] : obj.items()) {
        const std::string name = prefix + key;
        auto it = fields.find(name);
        const bool own = it != fields.end();
        if (!own && prefix.empty())
            it = common.find(name);
        if (!own && (!prefix.empty() || it == common.end())) {
            problems.push_back(where + ": field " + name + " is not documented");
            continue;
        }
        if (!HasType(value, it->second.type))
            problems.push_back(where + ": " + name + " is not " + it->second.type + ": " + value.dump());
        // An object the page lists field by field (not a map such as versions_before).
        const auto inner = fields.lower_bound(name + ".");
        if (value.is_object() && inner != fields.end() && inner->first.rfind(name + ".", 0) == 0)
            CheckFields(value, fields, common, name + ".", where, problems);
        if (value.is_array())
            for (const Json& element : value)
                if (element.is_object())
                    CheckFields(element, fields, common, name + "[].", where, problems);
    }
    for (const auto* table : {&fields, prefix.empty() ? &common : nullptr}) {
        if (table == nullptr)
            continue;
        for (const auto& [name, field] : *table) {
            if (!field.always || name.rfind(prefix, 0) != 0 ||
                name.find('.', prefix.size()) != std::string::npos)
                continue;
            if (!obj.contains(name.substr(prefix.size())))
                problems.push_back(where + ": " + name + " is missing");
        }
    }
}

// Every line of a stream, checked against docs/json-events.md.
std::vector<Json> CheckStream(const std::string& out, const DocFields& doc,
                              std::vector<std::string>& problems)
{
    std::vector<Json> events;
    const std::regex rfc3339(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$)");
    const auto& common = doc.at("*");
    for (const auto& line : Lines(out)) {
        Json e = Json::parse(line, nullptr, false);
        if (!e.is_object() || !e.contains("event") || !e["event"].is_string()) {
            problems.push_back("not an event: " + line);
            continue;
        }
        const std::string name = e["event"];
        if (name == "*" || doc.count(name) == 0) {
            problems.push_back("undocumented event " + name);
            continue;
        }
        CheckFields(e, doc.at(name), common, "", name, problems);
        if (e.contains("time") && e["time"].is_string() &&
            !std::regex_match(e["time"].get<std::string>(), rfc3339))
            problems.push_back(name + ": time " + e["time"].dump());
        events.push_back(std::move(e));
    }
    if (events.empty() || events.front()["event"] != "start" || events.front()["schema"] != 1)
        problems.push_back("the stream does not begin with start, schema 1");
    if (events.empty() || events.back()["event"] != "outcome")
        problems.push_back("the stream does not end with outcome");
    return events;
}

std::vector<Json> Named(const std::vector<Json>& events, const std::string& name)
{
    std::vector<Json> found;
    for (const Json& e : events)
        if (e["event"] == name)
            found.push_back(e);
    return found;
}

class CliRecordsTest : public CliTest {
protected:
    fs::path Part(const std::string& name, std::size_t size, unsigned seed)
    {
        WriteFileBytes(m_dir / "parts" / name, Pattern(size, seed));
        return m_dir / "parts" / name;
    }
    fs::path PackV2(const std::string& out)
    {
        const RunResult made = RunProgram({TestPath("VELUNDA_PACK"), "qvp", "--out", out, "--model", "v2",
                                           "--header", Part("BH_V1.0.bin", 1200, 1).string(), "--main",
                                           Part("SM_V2.10_a.bin", 17000, 2).string(), "--cdm",
                                           Part("CDM_V1.02.NHB", 9000, 3).string(), "--cdm-boot",
                                           Part("BC_V1.bin", 700, 4).string()},
                                          m_dir, 30s);
        EXPECT_EQ(made.exitCode, 0) << made.err;
        return m_dir / out;
    }
    fs::path PackBoard()
    {
        WriteFileBytes(m_dir / "parts" / "BOARD.UPB", {'a', 'b', 'c', '#', '#', 1, 2, 3, 4});
        const RunResult made = RunProgram({TestPath("VELUNDA_PACK"), "qvp", "--out", "board.qvp", "--model",
                                           "board", "--board-boot", Part("BOARD.UPH", 200, 5).string(),
                                           "--board-body", (m_dir / "parts" / "BOARD.UPB").string()},
                                          m_dir, 30s);
        EXPECT_EQ(made.exitCode, 0) << made.err;
        return m_dir / "board.qvp";
    }
    void Restart(const std::function<void(CSimConfig&)>& configure)
    {
        if (m_target)
            m_target->Stop();
        m_target.reset();
        sim = ParseSimArgs({}).config;
        sim.recordDir = (m_dir / "rec").string();
        sim.stepDelay = std::chrono::milliseconds(1);
        configure(sim);
        StartTarget();
    }
};

TEST_F(CliRecordsTest, WholeV1V2AndBoardRunsWriteOnlyDocumentedEventsAndTheHistoryKeepsEveryRun)
{
    const DocFields doc = ReadEventDoc();
    ASSERT_TRUE(doc.count("*") && doc.count("start") && doc.count("run") && doc.count("outcome"))
        << "docs/json-events.md lost its tables";
    const fs::path dat = MakeDat({{"--main", 9000, "3"}, {"--ir", 500, "2"}});
    const fs::path v2 = PackV2("v2.qvp");
    const fs::path board = PackBoard();
    // Before any run: an empty history says so; devices and info write documented streams.
    EXPECT_EQ(Cli({"history"}).out,
              "No upgrades recorded yet in " + (m_state / "velunda" / "history.sqlite").string() + ".\n");
    std::vector<std::string> problems;
    EXPECT_EQ(Named(CheckStream(Cli({"devices", "--json"}).out, doc, problems), "devices").size(), 1u);
    CheckStream(Cli({"info", "--json", board.string()}).out, doc, problems);
    EXPECT_TRUE(problems.empty()) << ::testing::PrintToString(problems);

    struct Run {
        const char* what;
        int exitCode;
        RunResult result;
    };
    std::vector<Run> runs;
    Restart([](CSimConfig& s) {
        s.serialText = BuildSerialText("#*", "V1-0001", {"M1.000", "C2.000", "S3.000", "F4.000", "I5.000"});
    });
    runs.push_back({"V1", 0, CliUsb({"--json", dat.string()}, 60s)});
    Restart([](CSimConfig& s) {
        s.model = 2;
        s.sysRecord = DefaultSysRecord(2, "123");
        s.serialText = BuildSerialText("#*", "V2-0002", {"M1.000", "C2.000", "S3.000", "F4.000", "I5.000"});
    });
    runs.push_back({"V2", 0, CliUsb({"--json", v2.string()}, 60s)});
    // A board that answers READY with zeros: the run completes with a warning.
    Restart([](CSimConfig& s) {
        s.mode = ESimMode::Board;
        s.replaces.push_back({{"ready", 1}, Bytes(6, 0x00)});
    });
    runs.push_back({"board", 0, Cli({"--json", "--port", m_target->SlavePath(), board.string()}, 60s)});
    Restart([](CSimConfig& s) {
        s.serialText = BuildSerialText("#*", "V1-0001", {"M1.000", "C2.000", "S3.000", "F4.000", "I5.000"});
        s.nakAt.push_back({"data-down", 1});
    });
    runs.push_back({"refused", 1, CliUsb({"--json", "--stall-timeout", "3", dat.string()}, 60s)});

    for (const Run& run : runs) {
        EXPECT_EQ(run.result.exitCode, run.exitCode) << run.what << "\n" << run.result.err;
        std::vector<std::string> problems;
        const auto events = CheckStream(run.result.out, doc, problems);
        EXPECT_TRUE(problems.empty()) << run.what << ":\n" << ::testing::PrintToString(problems);
        EXPECT_EQ(Named(events, "package").size(), 1u) << run.what;
        EXPECT_EQ(Named(events, "warning").size(), std::string(run.what) == "board" ? 1u : 0u) << run.what;
    }

    // The history: one row per run, in order, with what the runs said.
    const RunResult listed = Cli({"history", "--json"});
    ASSERT_EQ(listed.exitCode, 0) << listed.err;
    problems.clear();
    const auto rows = Named(CheckStream(listed.out, doc, problems), "run");
    EXPECT_TRUE(problems.empty()) << ::testing::PrintToString(problems);
    ASSERT_EQ(rows.size(), 4u) << listed.out;
    const char* const serials[] = {"V1-0001", "V2-0002", "", "V1-0001"};
    const char* const outcomes[] = {"success", "success", "success", "rejected"};
    const char* const models[] = {"Quorin V1", "Quorin V2", "Upgrade Board", "Quorin V1"};
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i]["serial"], serials[i]) << i;
        EXPECT_EQ(rows[i]["outcome"], outcomes[i]) << i;
        EXPECT_EQ(rows[i]["exit_code"], runs[i].exitCode) << i;
        EXPECT_EQ(rows[i]["model"], models[i]) << i;
        EXPECT_EQ(rows[i]["program"], "velunda-cli") << i;
        EXPECT_EQ(rows[i]["sha256"].get<std::string>().size(), 64u) << i;
    }
    auto results = [](const Json& row) {
        std::vector<std::string> r;
        for (const Json& it : row["items"])
            r.push_back(it["item"].get<std::string>() + " " + it["result"].get<std::string>());
        return r;
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(results(rows[0]), (V{"MAIN Complete", "IR Complete"}));
    EXPECT_EQ(results(rows[1]), (V{"MAIN Complete", "CDM Complete"}));
    EXPECT_EQ(results(rows[2]), (V{"BOARD Complete"}));
    // A refused answer fails its item at once.
    EXPECT_EQ(results(rows[3]), (V{"MAIN Upgrade fail"}));
    EXPECT_EQ(rows[0]["items"][0]["file_size"], 9000);
    EXPECT_EQ(rows[1]["versions_before"].value("MAIN", ""), "M1.000");
    // The board's files carry no version: none is recorded, and none made up.
    EXPECT_TRUE(rows[2]["items"][0]["file_version"].is_null()) << rows[2].dump();

    // Filters: one target's runs; nothing after a date to come.
    const RunResult oneTarget = Cli({"history", "--json", "--serial", "V1-0001"});
    EXPECT_EQ(Named(CheckStream(oneTarget.out, doc, problems), "run").size(), 2u) << oneTarget.out;
    const RunResult future = Cli({"history", "--json", "--since", "2999-01-01"});
    EXPECT_TRUE(Named(CheckStream(future.out, doc, problems), "run").empty()) << future.out;
    EXPECT_EQ(Cli({"history", "--since", "yesterday"}).exitCode, 2);
}

TEST_F(CliRecordsTest, TheLogOfAV2RunIsACompleteAndCleanRecordAndUtf8NamesRoundTrip)
{
    const std::string name = "Pr\xC3\xBC"
                             "fung-\xC3\xA9.QVP"; // "Prüfung-é.QVP"
    const fs::path v2 = PackV2(name);
    Restart([](CSimConfig& s) {
        s.model = 2;
        s.sysRecord = DefaultSysRecord(2, "123");
        s.serialText = BuildSerialText("#*", "QV2-LOG-7", {"M1.000", "C2.000", "S3.000", "F4.000", "I5.000"});
    });
    const fs::path log = m_dir / "run.log";
    const RunResult r = CliUsb({"--json", "--log", log.string(), v2.string()}, 60s);
    ASSERT_EQ(r.exitCode, 0) << r.err;

    // The package's SHA-256 as coreutils computes it.
    const RunResult sum = RunProgram({"/usr/bin/sha256sum", v2.string()}, m_dir, 30s);
    ASSERT_EQ(sum.exitCode, 0);
    const std::string sha = sum.out.substr(0, 64);
    const Bytes logBytes = ReadFileBytes(log);
    const std::string text(logBytes.begin(), logBytes.end());
    for (const std::string& fact :
         {"SHA-256 " + sha, std::string("target serial number QV2-LOG-7"),
          std::string("item MAIN result Complete"), std::string("item CDM result Complete"),
          std::string("outcome success, exit status 0"), std::string("Velunda 1.0"),
          std::string("link USB through "), std::string("item CDM step Verify done")})
        EXPECT_NE(text.find(fact), std::string::npos) << fact << "\n" << text;
    const std::regex bad("in use|fail|error", std::regex::icase);
    for (const auto& line : Lines(text))
        EXPECT_FALSE(std::regex_search(line, bad)) << line;

    // Python's json module reads back the very bytes of the name.
    WriteFileBytes(m_dir / "events.jsonl", Bytes(r.out.begin(), r.out.end()));
    const RunResult parsed = RunProgram(
        {"/usr/bin/python3", "-c",
         "import json,sys,os\n"
         "for line in open(sys.argv[1], encoding='utf-8'):\n"
         "    e = json.loads(line)\n"
         "    if e['event'] == 'package': sys.stdout.buffer.write(os.path.basename(e['package']).encode())\n",
         "events.jsonl"},
        m_dir, 30s);
    EXPECT_EQ(parsed.exitCode, 0) << parsed.err;
    EXPECT_EQ(parsed.out, name);
}

// A history written before a column was added: read as it is, and extended by the next run.
TEST_F(CliRecordsTest, AnOlderHistoryIsReadAndExtendedWithTheColumnsItLacks)
{
    const fs::path dat = MakeDat({{"--main", 3000, "3"}});
    const auto run = [&] {
        const RunResult r = Cli({"--usb-tty", AddTarget(sim).SlavePath(), dat.string()}, 60s);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.err.find("the history was not written"), std::string::npos) << r.err;
    };
    const auto keptOfRuns = [&] {
        std::vector<std::string> kept;
        for (const auto& e : JsonEvents(Cli({"history", "--json"}, 30s).out, "run"))
            kept.push_back(e["kept_folder"].dump());
        return kept;
    };
    run();
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((m_state / "velunda" / "history.sqlite").c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, "ALTER TABLE run DROP COLUMN kept_folder", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    EXPECT_EQ(keptOfRuns(), std::vector<std::string>{"null"});
    run();
    EXPECT_EQ(keptOfRuns(), (std::vector<std::string>{"null", "null"}));
}

struct UnwritableCase {
    const char* what;
    bool needsNonRoot;
};

class CliUnwritableHistoryTest : public CliRecordsTest,
                                 public ::testing::WithParamInterface<UnwritableCase> {};

TEST_P(CliUnwritableHistoryTest, AHistoryThatCannotBeWrittenIsWarnedOnceAndNeverChangesTheExitStatus)
{
    if (GetParam().needsNonRoot && RanAsOrdinaryUser())
        return;
    const fs::path dat = MakeDat({{"--main", 3000, "3"}});
    const fs::path db = m_state / "velunda" / "history.sqlite";
    fs::create_directories(db.parent_path());
    const std::string what = GetParam().what;
    sqlite3* holder = nullptr;
    if (what == "locked") {
        // Another writer holds the database for the whole run.
        ASSERT_EQ(sqlite3_open(db.c_str(), &holder), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(holder, "CREATE TABLE t(x); BEGIN EXCLUSIVE; INSERT INTO t VALUES (1);",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
    } else if (what == "not a folder") {
        fs::remove_all(m_state);
        WriteFileBytes(m_state, {'x'}); // XDG_STATE_HOME is a plain file
    } else {
        WriteFileBytes(db, {});
        fs::permissions(db, fs::perms::owner_read);
        fs::permissions(db.parent_path(), fs::perms::owner_read | fs::perms::owner_exec);
    }
    StartTarget();
    const RunResult r = CliUsb({dat.string()}, 60s);
    if (holder != nullptr)
        sqlite3_close(holder);
    std::error_code ec;
    fs::permissions(db.parent_path(), fs::perms::owner_all, fs::perm_options::add, ec);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(HasLine(r.err, "Upgrade Complete.")) << r.err;
    int warnings = 0;
    for (const auto& line : Lines(r.err))
        warnings += line.rfind("velunda-cli: warning: the history was not written", 0) == 0 ? 1 : 0;
    EXPECT_EQ(warnings, 1) << r.err;
    if (what == "not a folder")
        fs::remove(m_state);
}

INSTANTIATE_TEST_SUITE_P(Histories, CliUnwritableHistoryTest,
                         ::testing::Values(UnwritableCase{"locked", false},
                                           UnwritableCase{"not a folder", false},
                                           UnwritableCase{"read-only", true}));

} // namespace
