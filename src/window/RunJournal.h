#pragma once
// The record of what the window did, for support and for the history: the
// trace gets one line per fact (tool, package, link, target, each item and
// step with its duration, each result, the outcome) and the same facts are
// kept for the run's history row. Only the window logic feeds it, so the
// window and velunda-cli write the same account.
#include "history/HistoryDb.h"
#include "window/Messages.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

// What the load learnt of the package's bytes and signature.
struct CJournalPackageSignature {
    std::string state; // "valid", "unsigned", "untrusted" or "invalid"
    std::string keyId;
    std::string keyName;
    std::string sha256; // of the bytes checked; empty: the journal reads the file
    std::uint64_t size = 0;
};

struct CJournalTargetPart {
    std::string item;
    std::string version;
    std::string status;
};

class CRunJournal {
public:
    using TraceFn = std::function<void(const std::string&)>;
    // A history that could not be written, once per run, with the reason.
    using ProblemFn = std::function<void(const std::string&)>;
    // A run written to the history, given its path.
    using RecordedFn = std::function<void(const std::string&)>;

    explicit CRunJournal(TraceFn trace) : m_fnTrace(std::move(trace)) { m_run.program = "velunda"; }

    // Where finished runs are recorded; empty: nowhere.
    void SetHistory(const std::string& path) { m_strHistory = path; }
    void SetProgram(const std::string& program) { m_run.program = program; }
    void OnHistoryProblem(ProblemFn fn) { m_fnProblem = std::move(fn); }
    void OnRecorded(RecordedFn fn) { m_fnRecorded = std::move(fn); }
    // The window ends its runs by itself; velunda-cli ends them with Finish.
    void SetEndsWithMessages(bool on) { m_bEndsWithMessages = on; }

    // The tool and the machine it runs on; once per window.
    void Begin();
    // parts: item, file, version and size per row of the part list.
    void PackageLoaded(const std::string& path, const std::string& model,
                       const std::vector<CHistoryItem>& parts,
                       const CJournalPackageSignature& signature = {});
    void Linked(const std::string& link);
    // What the system check said of a part; the list forgets it when the
    // versions arrive.
    void TargetStatus(const std::string& item, const std::string& status) { m_targetStatus[item] = status; }
    void TargetSeen(const std::string& serial, const std::string& boardVersion,
                    const std::vector<CJournalTargetPart>& parts);
    void RunStarted();
    void ItemStarted(const std::string& item);
    // A progress row moved; 100 ends its step.
    void StepProgress(const std::string& step, int percent);
    void StepFailed(const std::string& step);
    void ItemResult(const std::string& item, const std::string& result);
    // A message box of the window; during a run that has just ended it tells how.
    void MessageShown(const CShownMessage& message, bool runStillGoing);
    // A private unpack folder left holding the package's kept files.
    void KeptFolder(const std::string& folder) { m_run.keptFolder = folder; }
    // The end of a run as velunda-cli judged it: traced and recorded.
    void Finish(const std::string& outcome, int exitCode, const std::string& reason);

    bool RunOpen() const { return m_bRunOpen; }
    const CHistoryRun& Record() const { return m_run; }
    // What the loaded package carries, one entry per part.
    const std::vector<CHistoryItem>& PackageParts() const { return m_packageParts; }

private:
    using Clock = std::chrono::steady_clock;
    void Line(const std::string& text);
    void EndStep(const std::string& step, const char* how);
    void Commit();

    TraceFn m_fnTrace;
    ProblemFn m_fnProblem;
    RecordedFn m_fnRecorded;
    std::string m_strHistory;
    bool m_bEndsWithMessages = true;
    bool m_bRunOpen = false;
    bool m_bPackage = false;
    CHistoryRun m_run;
    std::vector<CHistoryItem> m_packageParts;
    std::map<std::string, std::string> m_targetStatus;
    Clock::time_point m_runStart;
    std::string m_strItem;
    Clock::time_point m_itemStart;
    std::map<std::string, Clock::time_point> m_stepStart; // steps of the current item under way
    std::map<std::string, bool> m_stepDone;
};
