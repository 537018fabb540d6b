#include "records/RecordsPush.h"

#include "files/FileSystem.h"

#include "history/HistoryDb.h"
#include "records/FleetDb.h"
#include "records/RecordsConfig.h"

#include <algorithm>
#include <filesystem>

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point StepEnd(const CPushLimits& limits)
{
    return std::min(limits.deadline, Clock::now() + limits.stepTimeout);
}

} // namespace

CPushResult PushRecords(const std::string& historyPath, const std::string& conninfo,
                        const CPushLimits& limits)
{
    CPushResult result;
    std::error_code ec;
    if (historyPath.empty() || !std::filesystem::exists(FsPath(historyPath), ec)) {
        result.ok = true; // no run was ever recorded
        return result;
    }
    CHistoryDb local;
    if (!local.Open(historyPath, true, result.error) || !local.CountUnsent(result.waiting, result.error))
        return result;
    if (result.waiting == 0) {
        result.ok = true;
        return result;
    }
    CFleetDb server;
    server.SetDeadline(StepEnd(limits));
    if (!server.Connect(conninfo, result.error) || !server.CheckSchema(result.error))
        return result;
    std::vector<CHistoryRun> runs;
    while (result.waiting > 0 && Clock::now() < limits.deadline) {
        if (!local.ListUnsent(limits.batch, runs, result.error))
            return result;
        if (runs.empty())
            break;
        server.SetDeadline(StepEnd(limits));
        std::size_t added = 0;
        if (!server.AddRuns(runs, added, result.error))
            return result;
        std::vector<long long> ids;
        for (const CHistoryRun& run : runs)
            ids.push_back(run.id);
        // Marked only after the server committed: a crash in between sends
        // the batch again, which the run ids make harmless.
        if (!local.MarkSent(ids, result.error))
            return result;
        result.sent += runs.size();
        result.added += added;
        result.waiting -= std::min(result.waiting, runs.size());
    }
    result.ok = true;
    return result;
}

std::string PushSummary(const CPushResult& result, const std::string& conninfo)
{
    const std::string server = MaskedConnection(conninfo);
    const std::string waiting = std::to_string(result.waiting) + " run(s) wait in the history";
    if (!result.ok)
        return "records not sent to " + server + ": " + result.error + "; " + waiting;
    std::string text = std::to_string(result.sent) + " run(s) sent to " + server;
    if (result.sent != result.added)
        text += " (" + std::to_string(result.sent - result.added) + " of them it had already)";
    return text + (result.waiting > 0 ? "; " + waiting + " for the next push" : "");
}

bool CBackgroundPush::Start(const std::string& historyPath, const std::string& conninfo,
                            std::chrono::seconds bound)
{
    if (conninfo.empty() || historyPath.empty())
        return false;
    if (m_push.valid() && m_push.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        return false;
    CPushLimits limits;
    limits.deadline = Clock::now() + bound;
    limits.stepTimeout = bound;
    m_push = std::async(std::launch::async, [this, historyPath, conninfo, limits] {
        const CPushResult pushed = PushRecords(historyPath, conninfo, limits);
        if (m_fnDone && (!pushed.ok || pushed.sent > 0))
            m_fnDone(PushSummary(pushed, conninfo));
    });
    return true;
}

CBackgroundPush::~CBackgroundPush()
{
    if (m_push.valid())
        m_push.wait();
}
