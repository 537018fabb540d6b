#pragma once
// What velunda-cli prints. Plain mode: message boxes, notes and progress on
// stderr (bars redrawn in place on a terminal, otherwise one line per change
// of at least 10 %), tables and target information on stdout; -q keeps only
// the message boxes and the outcome. JSON mode: one event per line on stdout,
// as docs/json-events.md describes; message boxes still go to stderr as well.
#include "cli/ExitStatus.h"
#include "cli/Json.h"

#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

struct CProgressRowView {
    std::string label; // "Boot Download" ...
    int percent = 0;
    bool visible = true;
};

struct CTargetPart {
    std::string part;
    std::string version;
    std::string status; // "Active", "None" or empty when the target said nothing
};

class CCliReport {
public:
    CCliReport(bool json, bool barsOnTerminal, std::FILE* out = stdout, std::FILE* err = stderr);

    // Every JSON event then names this target (a station's worker).
    void SetTarget(const std::string& name) { m_strTarget = name; }
    // Only message boxes, warnings and the outcome.
    void SetQuiet(bool quiet);
    // Bars this wide at most instead of the terminal's width (0: the terminal's).
    void SetColumns(int columns) { m_nFixedColumns = columns; }
    bool IsJson() const { return m_bJson; }

    // The first event of a JSON stream; command is "upgrade", "info" or "history".
    void Start(const std::string& command);
    void Note(const std::string& text);
    void Message(const std::string& text, bool stopIcon);
    // Said once, whatever the mode: something beside the run went wrong.
    void Warning(const std::string& text);
    void Trace(const std::string& text);
    // The items Upgrade Start is about to run, by their command-line names.
    void Plan(const std::vector<std::string>& items);
    void ItemStart(const std::string& item);
    // Row `row` of `rows` changed to its percent.
    void Progress(int row, const std::vector<CProgressRowView>& rows, const std::string& item);
    void ItemResult(const std::string& item, const std::string& result);
    // A list with the window's column titles; JSON rows use fixed keys.
    void Table(const std::string& when, const std::vector<std::string>& columns,
               const std::vector<std::vector<std::string>>& rows);
    // versionsReceived false: the target sent no serial number or versions, and
    // that is said instead of printing empty fields.
    void Target(const std::string& serial, const std::string& boardVersion,
                const std::vector<CTargetPart>& parts, bool versionsReceived = true);
    // keptFolder: a private folder left holding the package's kept files.
    // exitCode -1: the outcome's own status.
    void Outcome(ECliOutcome outcome, const std::string& reason, const std::string& keptFolder = "",
                 int exitCode = -1);
    // Any event with its fields (JSON mode only).
    void Event(const std::string& event, const CJson& fields);
    // Emits a JSON object that holds its own "event" (info results).
    void Json(const std::string& object);
    // Leaves the terminal with the bars drawn and the cursor below them.
    void EndProgress();

private:
    void ClearBars();
    void DrawBars();
    // Output that is not a bar: the bars are cleared first and redrawn after
    // it, or, with freeze, left standing above it as they last were.
    void PrintLine(std::FILE* to, const std::string& line, bool freeze);
    int Columns();

    bool m_bJson;
    bool m_bBars;
    bool m_bQuiet = false;
    std::FILE* m_out;
    std::FILE* m_err;
    std::string m_strTarget;
    std::vector<CProgressRowView> m_rows;
    int m_nDrawnLines = 0;
    int m_lastLine[8] = {};
    int m_nFixedColumns = 0;
    int m_nColumns = 0; // 0: not read yet
    std::chrono::steady_clock::time_point m_started = std::chrono::steady_clock::now();
    std::map<std::string, std::chrono::steady_clock::time_point> m_itemStarted;
};

// Plain-text table with columns padded to their widest cell.
std::string FormatTable(const std::vector<std::string>& columns,
                        const std::vector<std::vector<std::string>>& rows);
// The JSON key of a list column title ("File Size" -> "file_size"); empty for none.
std::string ListKey(const std::string& columnTitle);
// A bar line that fits in columns: "  Erase          [####......]  40 %".
std::string BarLine(const CProgressRowView& row, int columns);
