#include "window/RunJournal.h"

#include "files/FileSystem.h"
#include "history/RecordTime.h"
#include "history/RunUuid.h"
#include "history/Sha256.h"
#include "history/TextUtf8.h"
#include "version/Version.h"

#include <nlohmann/json.hpp>

namespace {

long long MsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
        .count();
}

} // namespace

void CRunJournal::Line(const std::string& text)
{
    if (m_fnTrace)
        m_fnTrace("Record: " + text + "\r\n");
}

void CRunJournal::Begin()
{
    m_run.toolVersion = VersionText();
    m_run.host = FsHostName();
    Line("Velunda " + m_run.toolVersion + (m_run.program.empty() ? "" : ", " + m_run.program) + ", host " +
         m_run.host + ", process " + std::to_string(FsProcessId()));
}

void CRunJournal::PackageLoaded(const std::string& path, const std::string& model,
                                const std::vector<CHistoryItem>& parts,
                                const CJournalPackageSignature& signature)
{
    std::uint64_t size = signature.size;
    m_run.package = path;
    m_run.sha256 = signature.sha256.empty() ? Sha256OfFile(path, &size) : signature.sha256;
    m_run.signatureState = signature.state;
    m_run.signerKeyId = signature.keyId;
    m_run.signerName = signature.keyName;
    m_run.model = model;
    m_packageParts = parts;
    m_bPackage = true;
    Line("package " + path + ", " + std::to_string(size) + " bytes, SHA-256 " +
         (m_run.sha256.empty() ? std::string("unknown (unreadable)") : m_run.sha256) + ", model " + model +
         (signature.state.empty()
              ? std::string()
              : ", signature " + signature.state +
                    (signature.keyId.empty() ? std::string()
                                             : " (" + signature.keyName + ", key " + signature.keyId + ")")));
    for (const CHistoryItem& p : parts)
        Line("package part " + p.item + ": file " + (p.file.empty() ? "-" : p.file) + ", version " +
             (p.version.empty() ? "-" : p.version) + ", " + std::to_string(p.size) + " bytes");
}

void CRunJournal::Linked(const std::string& link)
{
    m_run.link = link;
    Line("link " + link);
}

void CRunJournal::TargetSeen(const std::string& serial, const std::string& boardVersion,
                             const std::vector<CJournalTargetPart>& parts)
{
    m_run.serial = TextAsUtf8(serial);
    nlohmann::ordered_json before = nlohmann::ordered_json::object();
    Line("target serial number " + (serial.empty() ? std::string("(none)") : serial) + ", board version " +
         (boardVersion.empty() ? std::string("-") : boardVersion));
    for (const auto& p : parts) {
        const std::string status = p.status.empty() ? m_targetStatus[p.item] : p.status;
        Line("target part " + p.item + ": version " + (p.version.empty() ? "-" : p.version) + ", status " +
             (status.empty() ? "-" : status));
        if (!p.version.empty())
            before[p.item] = TextAsUtf8(p.version);
    }
    m_run.versionsBefore = before.dump();
}

void CRunJournal::RunStarted()
{
    m_bRunOpen = true;
    m_runStart = Clock::now();
    m_run.time = Rfc3339Now();
    m_run.runUuid = NewRunUuid();
    m_run.sent = false;
    m_run.items.clear();
    m_strItem.clear();
    m_stepStart.clear();
    m_stepDone.clear();
    Line("run start, run id " + m_run.runUuid);
}

void CRunJournal::ItemStarted(const std::string& item)
{
    if (!m_bRunOpen || item == m_strItem)
        return;
    m_strItem = item;
    m_itemStart = Clock::now();
    m_stepStart.clear();
    m_stepDone.clear();
    CHistoryItem record;
    record.item = item;
    for (const CHistoryItem& p : m_packageParts)
        if (p.item == item)
            record = p;
    record.result.clear();
    record.durationMs = -1;
    m_run.items.push_back(record);
    Line("item " + item + " start");
}

void CRunJournal::StepProgress(const std::string& step, int percent)
{
    if (!m_bRunOpen || m_strItem.empty() || m_stepDone[step])
        return;
    if (m_stepStart.find(step) == m_stepStart.end()) {
        m_stepStart[step] = Clock::now();
        Line("item " + m_strItem + " step " + step + " start");
    }
    if (percent >= 100)
        EndStep(step, "done");
}

void CRunJournal::StepFailed(const std::string& step)
{
    if (!m_bRunOpen || m_strItem.empty() || m_stepDone[step])
        return;
    if (m_stepStart.find(step) == m_stepStart.end())
        m_stepStart[step] = Clock::now();
    EndStep(step, "stopped");
}

void CRunJournal::EndStep(const std::string& step, const char* how)
{
    m_stepDone[step] = true;
    Line("item " + m_strItem + " step " + step + " " + how + " after " +
         std::to_string(MsSince(m_stepStart[step])) + " ms");
}

void CRunJournal::ItemResult(const std::string& item, const std::string& result)
{
    if (!m_bRunOpen)
        return;
    for (CHistoryItem& it : m_run.items)
        if (it.item == item && it.result.empty()) {
            it.result = result;
            it.durationMs = item == m_strItem ? MsSince(m_itemStart) : -1;
            Line("item " + item + " result " + result +
                 (it.durationMs >= 0 ? " after " + std::to_string(it.durationMs) + " ms" : ""));
            return;
        }
    Line("item " + item + " result " + result);
}

void CRunJournal::MessageShown(const CShownMessage& message, bool runStillGoing)
{
    if (!m_bRunOpen || runStillGoing || !m_bEndsWithMessages)
        return;
    Finish(message.kind == EResultKind::Success ? "success" : "failed", -1, message.text);
}

void CRunJournal::Finish(const std::string& outcome, int exitCode, const std::string& reason)
{
    const long long took = m_bRunOpen ? MsSince(m_runStart) : 0;
    Line("outcome " + outcome + (exitCode >= 0 ? ", exit status " + std::to_string(exitCode) : "") +
         (reason.empty() ? "" : ": " + reason) +
         (m_bRunOpen ? ", run took " + std::to_string(took) + " ms" : ""));
    if (!m_bPackage)
        return; // nothing was loaded: no run to record
    if (!m_bRunOpen) {
        m_run.time = Rfc3339Now();
        m_run.runUuid = NewRunUuid();
        m_run.sent = false;
    }
    m_run.outcome = outcome;
    m_run.exitCode = exitCode;
    m_run.durationMs = took;
    m_bRunOpen = false;
    Commit();
}

void CRunJournal::Commit()
{
    if (m_strHistory.empty())
        return;
    CHistoryDb db;
    std::string error;
    if (db.Open(m_strHistory, true, error) && db.Add(m_run, error)) {
        Line("history row " + std::to_string(m_run.id) + " in " + m_strHistory);
        if (m_fnRecorded)
            m_fnRecorded(m_strHistory);
        return;
    }
    // The upgrade itself is unaffected.
    Line("history not written: " + error);
    if (m_fnProblem)
        m_fnProblem("the history was not written (" + error + ")");
}
