#include "cli/CliReport.h"

#include "cli/Console.h"
#include "history/RecordTime.h"
#include "version/Version.h"

#include <algorithm>
#include <ctime>

namespace {

constexpr int kLineStep = 10;    // percent between two progress lines off a terminal
constexpr int kLabelWidth = 14;  // "Data Download", padded
constexpr int kMaxBarWidth = 50; // wider bars say nothing more
constexpr int kMinBarWidth = 10; // narrower than this, the number alone is clearer

struct ListColumnKey {
    const char* title;
    const char* key;
};
// The window's list columns and their keys in the event stream.
constexpr ListColumnKey kListKeys[] = {
    {"Part", "item"},      {"Target Ver", "target_version"}, {"Target Status", "target_status"},
    {"File Name", "file"}, {"File Ver", "file_version"},     {"File Size", "file_size"},
    {"Result", "result"}};

long long MillisecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
        .count();
}

} // namespace

std::string ListKey(const std::string& columnTitle)
{
    for (const ListColumnKey& k : kListKeys)
        if (columnTitle == k.title)
            return k.key;
    return {};
}

std::string BarLine(const CProgressRowView& row, int columns)
{
    const int pct = std::clamp(row.percent, 0, 100);
    char label[64];
    std::snprintf(label, sizeof label, "  %-*.*s", kLabelWidth, kLabelWidth, row.label.c_str());
    char number[16];
    std::snprintf(number, sizeof number, "%3d %%", pct);
    // label, " [", the bar, "] ", the number, and one column spare so the
    // cursor never wraps at the right edge.
    const int room = columns - static_cast<int>(std::string(label).size()) - 4 - 5 - 1;
    const int width = std::min(room, kMaxBarWidth);
    if (width < kMinBarWidth)
        return std::string(label) + " " + number;
    const int filled = pct * width / 100;
    return std::string(label) + " [" + std::string(static_cast<std::size_t>(filled), '#') +
           std::string(static_cast<std::size_t>(width - filled), '.') + "] " + number;
}

CCliReport::CCliReport(bool json, bool barsOnTerminal, std::FILE* out, std::FILE* err)
    : m_bJson(json), m_bBars(barsOnTerminal && !json), m_out(out), m_err(err)
{
}

void CCliReport::SetQuiet(bool quiet)
{
    m_bQuiet = quiet;
    if (quiet)
        m_bBars = false;
}

int CCliReport::Columns()
{
    if (m_nFixedColumns > 0)
        return m_nFixedColumns;
    if (m_nColumns == 0 || TakeConsoleResize()) {
        const int columns = ConsoleColumns(m_err);
        m_nColumns = columns > 0 ? columns : 80;
    }
    return m_nColumns;
}

void CCliReport::Event(const std::string& event, const CJson& fields)
{
    if (!m_bJson)
        return;
    std::fprintf(m_out, "%s\n", JsonEventLine(event, Rfc3339Now(), m_strTarget, fields).c_str());
    std::fflush(m_out);
}

void CCliReport::Json(const std::string& object)
{
    CJson parsed = CJson::parse(object);
    const std::string event = parsed.value("event", std::string("note"));
    Event(event, parsed);
}

void CCliReport::Start(const std::string& command)
{
    Event("start", CJson{{"schema", JSON_EVENTS_SCHEMA},
                         {"program", "velunda-cli"},
                         {"tool_version", VersionText()},
                         {"command", command}});
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
    const int columns = Columns();
    for (const auto& row : m_rows) {
        if (!row.visible)
            continue;
        std::fprintf(m_err, "%s\n", BarLine(row, columns).c_str());
        ++m_nDrawnLines;
    }
    std::fflush(m_err);
}

void CCliReport::PrintLine(std::FILE* to, const std::string& line, bool freeze)
{
    if (freeze)
        EndProgress();
    else
        ClearBars();
    std::fprintf(to, "%s", line.c_str());
    std::fflush(to);
    if (!freeze && m_bBars && !m_rows.empty())
        DrawBars();
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
        Event("note", CJson{{"text", JsonText(text)}});
        return;
    }
    if (!m_bQuiet)
        PrintLine(m_err, "velunda-cli: " + text + "\n", false);
}

void CCliReport::Warning(const std::string& text)
{
    Event("warning", CJson{{"text", JsonText(text)}});
    PrintLine(m_err, "velunda-cli: warning: " + text + "\n", false);
}

void CCliReport::Message(const std::string& text, bool stopIcon)
{
    // A message box is a moment of the run: the bars above it stay as they were.
    PrintLine(m_err, text + "\n", true);
    Event("message", CJson{{"text", JsonText(text)}, {"icon", stopIcon ? "stop" : "none"}});
}

void CCliReport::Trace(const std::string& text)
{
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    PrintLine(m_err, "trace: " + line + "\n", false);
}

void CCliReport::Plan(const std::vector<std::string>& items)
{
    std::string list;
    for (const auto& item : items)
        list += (list.empty() ? "" : ",") + item;
    if (m_bJson) {
        Event("plan", CJson{{"items", items}});
        return;
    }
    Note("upgrading " + list);
}

void CCliReport::ItemStart(const std::string& item)
{
    std::fill(std::begin(m_lastLine), std::end(m_lastLine), 0);
    m_itemStarted[item] = std::chrono::steady_clock::now();
    if (m_bJson) {
        Event("item_start", CJson{{"item", item}});
        return;
    }
    if (!m_bQuiet)
        PrintLine(m_err, "Upgrading " + item + "\n", true);
}

void CCliReport::Progress(int row, const std::vector<CProgressRowView>& rows, const std::string& item)
{
    if (row < 0 || row >= static_cast<int>(rows.size()) || row >= 8)
        return;
    const CProgressRowView& changed = rows[static_cast<std::size_t>(row)];
    if (m_bJson) {
        Event("progress", CJson{{"item", item}, {"step", changed.label}, {"percent", changed.percent}});
        return;
    }
    if (m_bQuiet)
        return;
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

void CCliReport::ItemResult(const std::string& item, const std::string& result)
{
    if (m_bJson) {
        CJson fields{{"item", item}, {"result", result}};
        const auto started = m_itemStarted.find(item);
        if (started != m_itemStarted.end())
            fields["duration_ms"] = MillisecondsSince(started->second);
        Event("item_result", fields);
        return;
    }
    if (!m_bQuiet)
        PrintLine(m_err, item + ": " + result + "\n", true);
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
        CJson jsonRows = CJson::array();
        for (const auto& row : rows) {
            CJson o = CJson::object();
            for (std::size_t c = 0; c < columns.size(); ++c) {
                const std::string key = ListKey(columns[c]);
                const std::string cell = c < row.size() ? row[c] : std::string();
                if (key == "file_size")
                    o[key] = SizeFromText(cell);
                else if (!key.empty())
                    o[key] = JsonText(cell);
            }
            jsonRows.push_back(std::move(o));
        }
        Event("list", CJson{{"when", when}, {"rows", std::move(jsonRows)}});
        return;
    }
    if (!m_bQuiet)
        PrintLine(m_out, "\nPart list (" + when + "):\n" + FormatTable(columns, rows), true);
}

void CCliReport::Target(const std::string& serial, const std::string& boardVersion,
                        const std::vector<CTargetPart>& parts, bool versionsReceived)
{
    if (m_bJson) {
        CJson jsonParts = CJson::array();
        for (const auto& p : parts)
            jsonParts.push_back(CJson{
                {"item", p.part}, {"target_version", JsonText(p.version)}, {"target_status", p.status}});
        Event("target", CJson{{"serial", JsonText(serial)},
                              {"board_version", JsonText(boardVersion)},
                              {"versions_received", versionsReceived},
                              {"parts", std::move(jsonParts)}});
        return;
    }
    if (m_bQuiet)
        return;
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
    const std::string head =
        versionsReceived ? "Target serial number: " + (serial.empty() ? std::string("(none)") : serial)
                         : std::string("no serial number or versions received");
    PrintLine(m_out, head + "\nUpgrade board version: " + boardVersion + "\n" + FormatTable(columns, rows),
              true);
}

void CCliReport::Outcome(ECliOutcome outcome, const std::string& reason, const std::string& keptFolder,
                         int exitCode)
{
    const int code = exitCode >= 0 ? exitCode : ExitCodeOf(outcome);
    if (m_bJson) {
        CJson fields{{"outcome", OutcomeName(outcome)},
                     {"exit_code", code},
                     {"reason", JsonText(reason)},
                     {"duration_ms", MillisecondsSince(m_started)}};
        if (!keptFolder.empty())
            fields["kept_folder"] = JsonText(keptFolder);
        Event("outcome", fields);
        return;
    }
    // Said even with -q: nothing else tells where these files went.
    if (!keptFolder.empty())
        PrintLine(m_err,
                  "velunda-cli: the folder beside the package could not be used; the package's kept "
                  "files are in " +
                      keptFolder + "\n",
                  true);
    char status[32];
    std::snprintf(status, sizeof status, " (exit status %d)\n", code);
    PrintLine(m_err,
              std::string("velunda-cli: ") + OutcomeName(outcome) + (reason.empty() ? "" : ": ") + reason +
                  status,
              true);
}
