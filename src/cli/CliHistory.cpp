// velunda-cli history: the recorded runs, oldest first, from the local
// history or, with --fleet, from the records server.
#include "cli/BuildFeatures.h"
#include "cli/CliSession.h"
#include "files/FileSystem.h"
#include "history/HistoryDb.h"
#include "history/RecordTime.h"
#include "records/FleetDb.h"
#include "records/RecordsConfig.h"

#include <filesystem>

namespace {

CJson RunJson(const CHistoryRun& run, bool fleet)
{
    CJson items = CJson::array();
    for (const CHistoryItem& it : run.items) {
        CJson item{{"item", it.item},
                   {"file", JsonText(it.file)},
                   {"file_version", JsonTextOrNull(it.version)},
                   {"file_size", it.size},
                   {"result", it.result}};
        item["duration_ms"] = it.durationMs < 0 ? CJson(nullptr) : CJson(it.durationMs);
        items.push_back(std::move(item));
    }
    CJson versions = CJson::object();
    if (!run.versionsBefore.empty())
        versions = CJson::parse(run.versionsBefore, nullptr, false);
    if (!versions.is_object())
        versions = CJson::object();
    CJson signature = nullptr; // older records have none
    if (!run.signatureState.empty())
        signature = CJson{{"state", run.signatureState},
                          {"key_id", JsonText(run.signerKeyId)},
                          {"key_name", JsonText(run.signerName)}};
    // Server rows have no local row number; they name the station instead.
    CJson json = fleet ? CJson{{"station", JsonText(run.host)}} : CJson{{"id", run.id}};
    json.update(
        CJson{{"run_id", run.runUuid},
              {"started", run.time},
              {"program", run.program},
              {"tool_version", run.toolVersion},
              {"host", JsonText(run.host)},
              {"package", JsonText(run.package)},
              {"sha256", run.sha256},
              {"model", run.model},
              {"link", JsonText(run.link)},
              {"serial", JsonText(run.serial)},
              {"versions_before", versions},
              {"outcome", run.outcome},
              {"exit_code", run.exitCode < 0 ? CJson(nullptr) : CJson(run.exitCode)},
              {"duration_ms", run.durationMs},
              {"kept_folder", run.keptFolder.empty() ? CJson(nullptr) : CJson(JsonText(run.keptFolder))},
              {"items", std::move(items)},
              {"sent", run.sent},
              {"signature", std::move(signature)}});
    return json;
}

std::string ItemsText(const CHistoryRun& run)
{
    std::string text;
    for (const CHistoryItem& it : run.items)
        text += (text.empty() ? "" : ", ") + it.item + " " + (it.result.empty() ? "-" : it.result);
    return text;
}

} // namespace

int RunHistory(const CCliOptions& options, CCliReport& report)
{
    if (!InThisBuild(ECliFeature::History))
        return ReportNotInThisBuild(options.fleet ? ECliFeature::Records : ECliFeature::History, report);
    CHistoryFilter filter;
    filter.serial = options.serial;
    if (!options.since.empty()) {
        filter.since = SinceBound(options.since);
        if (filter.since.empty()) {
            report.Outcome(ECliOutcome::BadUsage,
                           "--since needs a date (2026-12-09) or a UTC time (2026-12-09T10:00), not \"" +
                               options.since + "\"");
            return ExitCodeOf(ECliOutcome::BadUsage);
        }
    }
    std::vector<CHistoryRun> runs;
    std::string path = options.app.historyFile.empty() ? DefaultHistoryPath() : options.app.historyFile;
    std::error_code ec;
    if (options.fleet) {
        const std::string url = ConfiguredRecordsUrl();
        if (url.empty()) {
            report.Outcome(ECliOutcome::BadUsage, "no records server is configured (records-url in " +
                                                      std::string(kVelundaConfigFile) +
                                                      " or VELUNDA_RECORDS_URL)");
            return ExitCodeOf(ECliOutcome::BadUsage);
        }
        CFleetDb server;
        server.SetDeadline(CFleetDb::Clock::now() + std::chrono::seconds(60));
        const CFleetFilter fleetFilter{filter.serial, filter.since, options.station, options.outcome};
        std::string error;
        if (!server.Connect(url, error) || !server.CheckSchema(error) ||
            !server.List(fleetFilter, runs, error)) {
            report.Outcome(ECliOutcome::Failed, error + " (" + MaskedConnection(url) + ")");
            return ExitCodeOf(ECliOutcome::Failed);
        }
        path = MaskedConnection(url);
    } else if (!path.empty() && std::filesystem::exists(FsPath(path), ec)) {
        // No file yet: no run was recorded, which is an empty history, not an error.
        CHistoryDb db;
        std::string error;
        if (!db.Open(path, false, error) || !db.List(filter, runs, error)) {
            report.Outcome(ECliOutcome::Failed, error);
            return ExitCodeOf(ECliOutcome::Failed);
        }
    }
    const std::string where = path.empty() ? std::string("no history") : path;
    if (report.IsJson()) {
        for (const CHistoryRun& run : runs)
            report.Event("run", RunJson(run, options.fleet));
    } else if (runs.empty()) {
        // A table of headings alone would read as a fault.
        const bool filtered = !filter.serial.empty() || !filter.since.empty() || !options.station.empty() ||
                              !options.outcome.empty();
        std::printf("%s\n", filtered ? ("No recorded upgrade in " + where + " matches.").c_str()
                                     : ("No upgrades recorded yet in " + where + ".").c_str());
    } else {
        // The fleet's rows name their station; the local ones whether the server has them.
        std::vector<std::string> columns = {"Time (UTC)", options.fleet ? "Station" : "Program",
                                            "Serial",     "Model",
                                            "Package",    "Outcome",
                                            "Exit",       "Took",
                                            "Items"};
        if (!options.fleet)
            columns.push_back("Sent");
        std::vector<std::vector<std::string>> rows;
        for (const CHistoryRun& run : runs) {
            rows.push_back({run.time, options.fleet ? run.host : run.program,
                            run.serial.empty() ? "-" : run.serial, run.model,
                            FsUtf8(FsPath(run.package).filename()), run.outcome,
                            run.exitCode < 0 ? "-" : std::to_string(run.exitCode),
                            std::to_string(run.durationMs / 1000) + " s", ItemsText(run)});
            if (!options.fleet)
                rows.back().push_back(run.sent ? "yes" : "no");
        }
        std::printf("%s", FormatTable(columns, rows).c_str());
    }
    report.Outcome(ECliOutcome::Success, std::to_string(runs.size()) + " run(s) in " + where);
    return 0;
}
