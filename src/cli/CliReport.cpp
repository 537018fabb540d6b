#include "cli/CliReport.h"

#include "cli/Json.h"

#include <algorithm>

namespace {
constexpr int kBarWidth = 40;
constexpr int kLineStep = 10; // percent between two progress lines off a terminal
} // namespace

CCliReport::CCliReport(bool json, bool barsOnTerminal, std::FILE* out, std::FILE* err)
    : m_bJson(json), m_bBars(barsOnTerminal && !json), m_out(out), m_err(err)
{
}

void CCliReport::Emit(const std::string& jsonObject)
{
    std::fprintf(m_out, "%s\n", jsonObject.c_str());
    std::fflush(m_out);
}

void CCliReport::Json(const std::string& object)
{
    Emit(object);
}

void CCliReport::ClearBars()
{
    if (m_bBars && m_nDrawnLines > 0) {
        std::fprintf(m_err, "\x1b[%dA\x1b[J", m_nDrawnLines);
        m_nDrawnLines = 0;
    }
}

void CCliReport::DrawBars()
{
    ClearBars();
    for (const auto& row : m_rows) {
        if (!row.visible)
            continue;
        const int pct = std::clamp(row.percent, 0, 100);
        const int filled = pct * kBarWidth / 100;
        std::fprintf(m_err, "  %-14s [%s%s] %3d %%\n", row.label.c_str(), std::string(filled, '#').c_str(),
                     std::string(kBarWidth - filled, '.').c_str(), pct);
        ++m_nDrawnLines;
    }
    std::fflush(m_err);
}

void CCliReport::EndProgress()
{
    // The bars stay on the screen as they last were.
    m_nDrawnLines = 0;
    m_rows.clear();
}

void CCliReport::Note(const std::string& text)
{
    if (m_bJson) {
        Emit(CJsonObject().Add("event", "note").Add("text", text).Text());
        return;
    }
    ClearBars();
    std::fprintf(m_err, "velunda-cli: %s\n", text.c_str());
    if (!m_rows.empty())
        DrawBars();
    std::fflush(m_err);
}

void CCliReport::Message(const std::string& text, bool stopIcon)
{
    ClearBars();
    std::fprintf(m_err, "%s\n", text.c_str());
    if (!m_rows.empty() && m_bBars)
        DrawBars();
    std::fflush(m_err);
    if (m_bJson)
        Emit(CJsonObject()
                 .Add("event", "message")
                 .Add("text", text)
                 .Add("icon", stopIcon ? "stop" : "none")
                 .Text());
}

void CCliReport::Trace(const std::string& text)
{
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    ClearBars();
    std::fprintf(m_err, "trace: %s\n", line.c_str());
    if (!m_rows.empty() && m_bBars)
        DrawBars();
    std::fflush(m_err);
}

void CCliReport::ItemStart(const std::string& part)
{
    std::fill(std::begin(m_lastLine), std::end(m_lastLine), 0);
    if (m_bJson) {
        Emit(CJsonObject().Add("event", "item-start").Add("part", part).Text());
        return;
    }
    ClearBars();
    m_rows.clear();
    std::fprintf(m_err, "Upgrading %s\n", part.c_str());
    std::fflush(m_err);
}

void CCliReport::Progress(int row, const std::vector<CProgressRowView>& rows, const std::string& item)
{
    if (row < 0 || row >= static_cast<int>(rows.size()) || row >= 8)
        return;
    const CProgressRowView& changed = rows[static_cast<std::size_t>(row)];
    if (m_bJson) {
        Emit(CJsonObject()
                 .Add("event", "progress")
                 .Add("item", item)
                 .Add("row", changed.label)
                 .Add("percent", changed.percent)
                 .Text());
        return;
    }
    if (m_bBars) {
        m_rows = rows;
        DrawBars();
        return;
    }
    int& last = m_lastLine[row];
    if (changed.percent == 0) { // a reset or a failed step; the result line tells which
        last = 0;
        return;
    }
    const bool step = changed.percent - last >= kLineStep || last - changed.percent >= kLineStep;
    const bool done = changed.percent == 100 && last != 100;
    if (!step && !done)
        return;
    last = changed.percent;
    std::fprintf(m_err, "  %s%s%s %d %%\n", item.c_str(), item.empty() ? "" : " ", changed.label.c_str(),
                 changed.percent);
    std::fflush(m_err);
}

void CCliReport::ItemResult(const std::string& part, const std::string& result)
{
    if (m_bJson) {
        Emit(CJsonObject().Add("event", "item-result").Add("part", part).Add("result", result).Text());
        return;
    }
    ClearBars();
    std::fprintf(m_err, "%s: %s\n", part.c_str(), result.c_str());
    if (!m_rows.empty())
        DrawBars();
    std::fflush(m_err);
}

std::string FormatTable(const std::vector<std::string>& columns,
                        const std::vector<std::vector<std::string>>& rows)
{
    std::vector<std::size_t> width(columns.size());
    for (std::size_t c = 0; c < columns.size(); ++c) {
        width[c] = columns[c].size();
        for (const auto& row : rows)
            if (c < row.size())
                width[c] = std::max(width[c], row[c].size());
    }
    auto line = [&](const std::vector<std::string>& cells) {
        std::string out;
        for (std::size_t c = 0; c < columns.size(); ++c) {
            const std::string cell = c < cells.size() ? cells[c] : std::string();
            out += cell;
            if (c + 1 < columns.size())
                out += std::string(width[c] - cell.size() + 2, ' ');
        }
        while (!out.empty() && out.back() == ' ')
            out.pop_back();
        return out + "\n";
    };
    std::string text = line(columns);
    for (const auto& row : rows)
        text += line(row);
    return text;
}

void CCliReport::Table(const std::string& when, const std::vector<std::string>& columns,
                       const std::vector<std::vector<std::string>>& rows)
{
    if (m_bJson) {
        std::vector<std::string> jsonRows;
        for (const auto& row : rows) {
            CJsonObject o;
            for (std::size_t c = 0; c < columns.size(); ++c)
                o.Add(columns[c], c < row.size() ? row[c] : std::string());
            jsonRows.push_back(o.Text());
        }
        Emit(CJsonObject().Add("event", "list").Add("when", when).AddRaw("rows", JsonArray(jsonRows)).Text());
        return;
    }
    ClearBars();
    EndProgress();
    std::fprintf(m_out, "\nPart list (%s):\n%s", when.c_str(), FormatTable(columns, rows).c_str());
    std::fflush(m_out);
}

void CCliReport::Target(const std::string& serial, const std::string& boardVersion,
                        const std::vector<CTargetPart>& parts, bool versionsReceived)
{
    if (m_bJson) {
        std::vector<std::string> jsonParts;
        for (const auto& p : parts)
            jsonParts.push_back(
                CJsonObject().Add("part", p.part).Add("version", p.version).Add("status", p.status).Text());
        Emit(CJsonObject()
                 .Add("event", "target")
                 .Add("serial", serial)
                 .Add("board_version", boardVersion)
                 .Add("versions_received", versionsReceived)
                 .AddRaw("parts", JsonArray(jsonParts))
                 .Text());
        return;
    }
    if (versionsReceived)
        std::fprintf(m_out, "Target serial number: %s\n", serial.empty() ? "(none)" : serial.c_str());
    else
        std::fprintf(m_out, "no serial number or versions received\n");
    std::fprintf(m_out, "Upgrade board version: %s\n", boardVersion.c_str());
    std::vector<std::vector<std::string>> rows;
    for (const auto& p : parts) {
        const std::string status = p.status.empty() ? "-" : p.status;
        if (versionsReceived)
            rows.push_back({p.part, p.version.empty() ? "-" : p.version, status});
        else
            rows.push_back({p.part, status});
    }
    const std::vector<std::string> columns =
        versionsReceived ? std::vector<std::string>{"Part", "Target Ver", "Target Status"}
                         : std::vector<std::string>{"Part", "Target Status"};
    std::fprintf(m_out, "%s", FormatTable(columns, rows).c_str());
    std::fflush(m_out);
}

void CCliReport::Outcome(ECliOutcome outcome, const std::string& reason)
{
    if (m_bJson) {
        Emit(CJsonObject()
                 .Add("event", "outcome")
                 .Add("result", OutcomeName(outcome))
                 .Add("exit_code", ExitCodeOf(outcome))
                 .Add("reason", reason)
                 .Text());
        return;
    }
    ClearBars();
    EndProgress();
    std::fprintf(m_err, "velunda-cli: %s%s%s (exit status %d)\n", OutcomeName(outcome),
                 reason.empty() ? "" : ": ", reason.c_str(), ExitCodeOf(outcome));
    std::fflush(m_err);
}
