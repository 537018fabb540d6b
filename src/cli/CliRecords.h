#pragma once
// velunda-cli and the fleet records server: records init|push, and the push
// at the end of every recorded run.
#include "cli/CliOptions.h"
#include "cli/CliReport.h"
#include "records/RecordsPush.h"

#include <future>
#include <string>

// velunda-cli records init|push.
int RunRecords(const CCliOptions& options, CCliReport& report);
// The history velunda-cli records into.
std::string CliHistoryPath(const CCliOptions& options);

// The push at a run's end, in a thread of its own so that the window closes
// meanwhile; whatever the server does, it never changes the run's outcome.
class CRunEndPush {
public:
    // Starts sending when a records server is configured.
    void Start(const std::string& historyPath);
    // Waits for the push (no longer than its bound) and says how it went in one line.
    void Finish(CCliReport& report);

private:
    std::string m_strUrl;
    std::future<CPushResult> m_result;
};
