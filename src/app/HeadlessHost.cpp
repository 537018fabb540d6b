#include "app/HeadlessHost.h"

#include "window/ControlIds.h"

#include <algorithm>

CHeadlessHost::CHeadlessHost()
{
    for (int i = 0; i < kMainWindowControlCount; ++i) {
        const ControlDef& def = kMainWindowControls[i];
        Control& c = m_controls[def.id];
        c.text = def.text;
        c.visible = !def.hidden;
    }
    m_log.SetEcho(false);
}

const CHeadlessHost::Control* CHeadlessHost::Find(int id) const
{
    auto it = m_controls.find(id);
    return it == m_controls.end() ? nullptr : &it->second;
}

void CHeadlessHost::EnableControl(int id, bool enable)
{
    At(id).enabled = enable;
}
bool CHeadlessHost::IsControlEnabled(int id) const
{
    const Control* c = Find(id);
    return c != nullptr && c->enabled;
}
void CHeadlessHost::ShowControl(int id, bool show)
{
    At(id).visible = show;
}
bool CHeadlessHost::IsControlVisible(int id) const
{
    const Control* c = Find(id);
    return c != nullptr && c->visible;
}
void CHeadlessHost::SetText(int id, const std::string& text)
{
    At(id).text = text;
}
std::string CHeadlessHost::GetText(int id) const
{
    const Control* c = Find(id);
    return c ? c->text : std::string();
}
void CHeadlessHost::SetCheck(int id, bool checked)
{
    At(id).checked = checked;
}
bool CHeadlessHost::GetCheck(int id) const
{
    const Control* c = Find(id);
    return c != nullptr && c->checked;
}

void CHeadlessHost::ComboAdd(int id, const std::string& text)
{
    Control& c = At(id);
    if (id == IDC_COMBO_ALLOWED_SERIAL) { // the only sorted list
        c.items.insert(std::upper_bound(c.items.begin(), c.items.end(), text), text);
        return;
    }
    c.items.push_back(text);
}
void CHeadlessHost::ComboReset(int id)
{
    At(id).items.clear();
    At(id).selected = -1;
}
int CHeadlessHost::ComboCount(int id) const
{
    const Control* c = Find(id);
    return c ? static_cast<int>(c->items.size()) : 0;
}
void CHeadlessHost::ComboSelect(int id, int index)
{
    Control& c = At(id);
    c.selected = (index >= 0 && index < static_cast<int>(c.items.size())) ? index : -1;
}
int CHeadlessHost::ComboSelected(int id) const
{
    const Control* c = Find(id);
    return c ? c->selected : -1;
}
std::string CHeadlessHost::ComboItemText(int id, int index) const
{
    const Control* c = Find(id);
    if (!c || index < 0 || index >= static_cast<int>(c->items.size()))
        return {};
    return c->items[static_cast<std::size_t>(index)];
}

void CHeadlessHost::SetProgressRange(int id, int low, int high)
{
    At(id).low = low;
    At(id).high = high;
}
void CHeadlessHost::SetProgressPos(int id, int pos)
{
    Control& c = At(id);
    c.pos = std::clamp(pos, c.low, c.high);
}
int CHeadlessHost::GetProgressPos(int id) const
{
    const Control* c = Find(id);
    return c ? c->pos : 0;
}
std::pair<int, int> CHeadlessHost::ProgressRange(int id) const
{
    const Control* c = Find(id);
    return c ? std::pair{c->low, c->high} : std::pair{0, 0};
}

void CHeadlessHost::ListInsertColumn(int id, int index, const std::string& title, ListAlign align,
                                     int widthPx)
{
    auto& cols = At(id).columns;
    const auto at = std::min<std::size_t>(static_cast<std::size_t>(std::max(index, 0)), cols.size());
    cols.insert(cols.begin() + static_cast<std::ptrdiff_t>(at), {title, align, widthPx});
}
void CHeadlessHost::ListSetRowHeight(int id, int heightPx)
{
    At(id).rowHeight = heightPx;
}
int CHeadlessHost::ListInsertRow(int id, int row, const std::string& firstColumn)
{
    auto& rows = At(id).rows;
    const auto at = std::min<std::size_t>(static_cast<std::size_t>(std::max(row, 0)), rows.size());
    std::vector<std::string> cells(std::max<std::size_t>(At(id).columns.size(), 1));
    cells[0] = firstColumn;
    rows.insert(rows.begin() + static_cast<std::ptrdiff_t>(at), std::move(cells));
    return static_cast<int>(at);
}
void CHeadlessHost::ListSetCell(int id, int row, int column, const std::string& text)
{
    auto& rows = At(id).rows;
    if (row < 0 || row >= static_cast<int>(rows.size()) || column < 0)
        return;
    auto& cells = rows[static_cast<std::size_t>(row)];
    if (static_cast<std::size_t>(column) >= cells.size())
        cells.resize(static_cast<std::size_t>(column) + 1);
    cells[static_cast<std::size_t>(column)] = text;
}
std::string CHeadlessHost::ListGetCell(int id, int row, int column) const
{
    const Control* c = Find(id);
    if (!c || row < 0 || row >= static_cast<int>(c->rows.size()) || column < 0)
        return {};
    const auto& cells = c->rows[static_cast<std::size_t>(row)];
    return static_cast<std::size_t>(column) < cells.size() ? cells[static_cast<std::size_t>(column)]
                                                           : std::string();
}
int CHeadlessHost::ListRowCount(int id) const
{
    const Control* c = Find(id);
    return c ? static_cast<int>(c->rows.size()) : 0;
}
void CHeadlessHost::ListDeleteAll(int id)
{
    At(id).rows.clear();
}
int CHeadlessHost::ListColumnCount(int id) const
{
    const Control* c = Find(id);
    return c ? static_cast<int>(c->columns.size()) : 0;
}
std::string CHeadlessHost::ListColumnTitle(int id, int index) const
{
    const Control* c = Find(id);
    if (!c || index < 0 || index >= static_cast<int>(c->columns.size()))
        return {};
    return c->columns[static_cast<std::size_t>(index)].title;
}
int CHeadlessHost::ListRowHeight(int id) const
{
    const Control* c = Find(id);
    return c ? c->rowHeight : 0;
}

void CHeadlessHost::MessageBox(const std::string& text, MessageIcon icon)
{
    m_messages.push_back({text, icon});
    Trace("MessageBox: " + text);
    if (onMessage)
        onMessage(text, icon);
}

void CHeadlessHost::Warning(const std::string& text)
{
    m_warnings.push_back(text);
    if (onWarning)
        onWarning(text);
}

std::vector<std::string> CHeadlessHost::MessageTexts() const
{
    std::vector<std::string> texts;
    for (const auto& m : m_messages)
        texts.push_back(m.text);
    return texts;
}

bool CHeadlessHost::HasMessage(const std::string& text) const
{
    return std::any_of(m_messages.begin(), m_messages.end(),
                       [&](const Message& m) { return m.text == text; });
}

bool CHeadlessHost::AskYesNo(const std::string& text)
{
    m_messages.push_back({text, MessageIcon::None});
    Trace("Question: " + text);
    // Nobody there to answer takes the default, No.
    return m_yesNoAnswers.Take(false);
}

std::optional<std::string> CHeadlessHost::OpenFileDialog(const FileDialogOptions& options)
{
    m_fileDialogs.push_back(options);
    return m_fileAnswers.Take(std::nullopt);
}

void CHeadlessHost::StartTimer(int id, int intervalMs)
{
    m_timers[id] = Clock::now() + std::chrono::milliseconds(intervalMs);
}
void CHeadlessHost::StopTimer(int id)
{
    m_timers.erase(id);
}
bool CHeadlessHost::IsTimerRunning(int id) const
{
    return m_timers.count(id) != 0;
}

void CHeadlessHost::Trace(const std::string& text)
{
    {
        std::lock_guard lock(m_traceMutex);
        m_traces.push_back(text);
    }
    m_log.Write(text);
    if (onTrace)
        onTrace(text);
}

std::vector<std::string> CHeadlessHost::Traces() const
{
    std::lock_guard lock(m_traceMutex);
    return m_traces;
}

bool CHeadlessHost::HasTrace(const std::string& fragment) const
{
    std::lock_guard lock(m_traceMutex);
    return std::any_of(m_traces.begin(), m_traces.end(),
                       [&](const std::string& t) { return t.find(fragment) != std::string::npos; });
}

void CHeadlessHost::Post(std::function<void()> task)
{
    {
        std::lock_guard lock(m_queueMutex);
        m_queue.push_back(std::move(task));
    }
    m_queueCv.notify_one();
}

bool CHeadlessHost::RunOne()
{
    std::function<void()> task;
    {
        std::lock_guard lock(m_queueMutex);
        if (!m_queue.empty()) {
            task = std::move(m_queue.front());
            m_queue.pop_front();
        }
    }
    if (task) {
        task();
        return true;
    }
    // The earliest due timer fires; it is one-shot, so it is gone before the
    // window reacts.
    auto due = m_timers.end();
    const auto now = Clock::now();
    for (auto it = m_timers.begin(); it != m_timers.end(); ++it)
        if (it->second <= now && (due == m_timers.end() || it->second < due->second))
            due = it;
    if (due == m_timers.end())
        return false;
    const int id = due->first;
    m_timers.erase(due);
    if (m_pSink)
        m_pSink->OnTimer(id);
    return true;
}

void CHeadlessHost::ProcessEvents()
{
    while (RunOne()) {
    }
}

bool CHeadlessHost::RunUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        ProcessEvents();
        if (pred && pred())
            return true;
        const auto now = Clock::now();
        if (now >= deadline)
            return false;
        auto wake = deadline;
        for (const auto& [id, when] : m_timers)
            wake = std::min(wake, when);
        // Never sleep long: a predicate may also depend on other threads.
        wake = std::min(wake, now + std::chrono::milliseconds(5));
        std::unique_lock lock(m_queueMutex);
        m_queueCv.wait_until(lock, wake, [&] { return !m_queue.empty(); });
    }
}

void CHeadlessHost::RunFor(std::chrono::milliseconds duration)
{
    RunUntil(nullptr, duration);
}

bool CHeadlessHost::Click(int id)
{
    const Control* c = Find(id);
    if (c == nullptr || !c->enabled || !c->visible)
        return false;
    if (id >= IDC_CHECK_ALL && id <= IDC_CHECK_IR)
        At(id).checked = !c->checked;
    if (m_pSink)
        m_pSink->OnControlEvent(id, ControlEvent::Clicked);
    ProcessEvents();
    return true;
}

void CHeadlessHost::DropDown(int id)
{
    if (m_pSink)
        m_pSink->OnControlEvent(id, ControlEvent::DropDown);
}

void CHeadlessHost::Choose(int id, int index)
{
    ComboSelect(id, index);
    if (m_pSink)
        m_pSink->OnControlEvent(id, ControlEvent::SelChange);
}

void CHeadlessHost::CloseWindow()
{
    if (m_pSink)
        m_pSink->OnClose();
}

int CHeadlessHost::RunModal()
{
    while (!m_bEnded)
        RunUntil([this] { return m_bEnded; }, std::chrono::milliseconds(1000));
    return 0;
}
