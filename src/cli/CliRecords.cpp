#include "cli/CliRecords.h"

#include "cli/BuildFeatures.h"
#include "history/HistoryDb.h"
#include "records/FleetDb.h"
#include "records/RecordsConfig.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string kNoServer = "no records server is configured (records-url in " +
                              std::string(kVelundaConfigFile) + " or VELUNDA_RECORDS_URL)";

int Init(const std::string& url, CCliReport& report)
{
    CFleetDb server;
    server.SetDeadline(Clock::now() + std::chrono::seconds(60));
    std::vector<std::string> done;
    std::string error;
    const std::string where = MaskedConnection(url);
    if (!server.Connect(url, error) || !server.Init(done, error)) {
        report.Outcome(ECliOutcome::Failed, error + " (" + where + ")");
        return ExitCodeOf(ECliOutcome::Failed);
    }
    for (const std::string& step : done)
        report.Note("records schema " + step);
    const std::string version = "version " + std::to_string(kFleetSchemaVersion);
    report.Outcome(ECliOutcome::Success,
                   done.empty()
                       ? "the records schema on " + where + " is at " + version + " already; nothing changed"
                       : "the records schema on " + where + " is now at " + version);
    return 0;
}

} // namespace

std::string CliHistoryPath(const CCliOptions& options)
{
    return options.app.historyFile.empty() ? DefaultHistoryPath() : options.app.historyFile;
}

int RunRecords(const CCliOptions& options, CCliReport& report)
{
    if (!InThisBuild(ECliFeature::Records))
        return ReportNotInThisBuild(ECliFeature::Records, report);
    const std::string url = ConfiguredRecordsUrl();
    if (url.empty()) {
        report.Outcome(ECliOutcome::BadUsage, kNoServer);
        return ExitCodeOf(ECliOutcome::BadUsage);
    }
    if (options.recordsAction == "init")
        return Init(url, report);
    CPushLimits limits;
    limits.deadline = Clock::time_point::max();
    const CPushResult pushed = PushRecords(CliHistoryPath(options), url, limits);
    const ECliOutcome outcome = pushed.ok ? ECliOutcome::Success : ECliOutcome::Failed;
    report.Outcome(outcome, PushSummary(pushed, url));
    return ExitCodeOf(outcome);
}

void CRunEndPush::Start(const std::string& historyPath)
{
    m_strUrl = ConfiguredRecordsUrl();
    if (m_strUrl.empty() || historyPath.empty())
        return;
    CPushLimits limits;
    limits.deadline = Clock::now() + std::chrono::seconds(kRunEndPushSeconds);
    limits.stepTimeout = std::chrono::seconds(kRunEndPushSeconds);
    m_result = std::async(std::launch::async, [historyPath, url = m_strUrl, limits] {
        return PushRecords(historyPath, url, limits);
    });
}

void CRunEndPush::Finish(CCliReport& report)
{
    if (!m_result.valid())
        return;
    const CPushResult pushed = m_result.get();
    if (pushed.ok && pushed.sent > 0)
        report.Note(PushSummary(pushed, m_strUrl));
    else if (!pushed.ok)
        report.Warning(PushSummary(pushed, m_strUrl));
}
