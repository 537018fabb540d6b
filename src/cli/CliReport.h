#pragma once
// What velunda-cli prints. Plain mode: message boxes, notes and progress on
// stderr (bars redrawn in place on a terminal, otherwise one line per change
// of at least 10 %), tables and target information on stdout. JSON mode: one
// object per event on stdout; message boxes still go to stderr as well.
#include "cli/Outcome.h"

#include <cstdio>
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

    void Note(const std::string& text);
    void Message(const std::string& text, bool stopIcon);
    void Trace(const std::string& text);
    void ItemStart(const std::string& part);
    // Row `row` of `rows` changed to its percent.
    void Progress(int row, const std::vector<CProgressRowView>& rows, const std::string& item);
    void ItemResult(const std::string& part, const std::string& result);
    void Table(const std::string& when, const std::vector<std::string>& columns,
               const std::vector<std::vector<std::string>>& rows);
    // versionsReceived false: the target sent no serial number or versions, and
    // that is said instead of printing empty fields.
    void Target(const std::string& serial, const std::string& boardVersion,
                const std::vector<CTargetPart>& parts, bool versionsReceived = true);
    void Outcome(ECliOutcome outcome, const std::string& reason);
    // Emits a JSON object as it is (info results).
    void Json(const std::string& object);
    // Leaves the terminal with the bars drawn and the cursor below them.
    void EndProgress();

private:
    void ClearBars();
    void DrawBars();
    void Emit(const std::string& jsonObject);

    bool m_bJson;
    bool m_bBars;
    std::FILE* m_out;
    std::FILE* m_err;
    std::vector<CProgressRowView> m_rows;
    int m_nDrawnLines = 0;
    int m_lastLine[8] = {};
};

// Plain-text table with columns padded to their widest cell.
std::string FormatTable(const std::vector<std::string>& columns,
                        const std::vector<std::vector<std::string>>& rows);
