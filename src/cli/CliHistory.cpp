// velunda-cli history: the recorded runs, oldest first.
#include "cli/CliSession.h"
#include "history/HistoryDb.h"
#include "history/RecordTime.h"

#include <filesystem>

namespace {

CJson RunJson(const CHistoryRun& run)
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
    return CJson{{"id", run.id},
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
                 {"items", std::move(items)}};
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
    const std::string path = options.app.historyFile.empty() ? DefaultHistoryPath() : options.app.historyFile;
    std::vector<CHistoryRun> runs;
    std::error_code ec;
    // No file yet: no run was recorded, which is an empty history, not an error.
    if (!path.empty() && std::filesystem::exists(path, ec)) {
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
            report.Event("run", RunJson(run));
    } else if (runs.empty()) {
        // A table of headings alone would read as a fault.
        const bool filtered = !filter.serial.empty() || !filter.since.empty();
        std::printf("%s\n", filtered ? ("No recorded upgrade in " + where + " matches.").c_str()
                                     : ("No upgrades recorded yet in " + where + ".").c_str());
    } else {
        std::vector<std::vector<std::string>> rows;
        for (const CHistoryRun& run : runs)
            rows.push_back({run.time, run.program, run.serial.empty() ? "-" : run.serial, run.model,
                            std::filesystem::path(run.package).filename().string(), run.outcome,
                            run.exitCode < 0 ? "-" : std::to_string(run.exitCode),
                            std::to_string(run.durationMs / 1000) + " s", ItemsText(run)});
        std::printf("%s", FormatTable({"Time (UTC)", "Program", "Serial", "Model", "Package", "Outcome",
                                       "Exit", "Took", "Items"},
                                      rows)
                              .c_str());
    }
    report.Outcome(ECliOutcome::Success, std::to_string(runs.size()) + " run(s) in " + where);
    return 0;
}
