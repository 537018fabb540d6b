#pragma once
// A host without a toolkit: control state in memory, scripted answers to the
// open-file dialog, recorded message boxes and traces, and its own event loop
// with the one-shot timers and the synchronous hand-off. Tests drive whole
// user scenarios through it; the console front end prints from it.
#include "app/ScriptedAnswers.h"
#include "app/TraceLog.h"
#include "window/DialogHost.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class CHeadlessHost : public CDialogHost {
public:
    struct Message {
        std::string text;
        MessageIcon icon;
    };

    CHeadlessHost();

    // --- CDialogHost
    void SetEventSink(IDialogEvents* sink) override { m_pSink = sink; }
    void SetTitle(const std::string& title) override { m_strTitle = title; }
    std::string GetTitle() const override { return m_strTitle; }
    int RunModal() override;
    void EndDialog() override { m_bEnded = true; }
    void EnableControl(int id, bool enable) override;
    bool IsControlEnabled(int id) const override;
    void ShowControl(int id, bool show) override;
    bool IsControlVisible(int id) const override;
    void SetText(int id, const std::string& text) override;
    std::string GetText(int id) const override;
    void SetCheck(int id, bool checked) override;
    bool GetCheck(int id) const override;
    void ComboAdd(int id, const std::string& text) override;
    void ComboReset(int id) override;
    int ComboCount(int id) const override;
    void ComboSelect(int id, int index) override;
    int ComboSelected(int id) const override;
    std::string ComboItemText(int id, int index) const override;
    void SetProgressRange(int id, int low, int high) override;
    void SetProgressPos(int id, int pos) override;
    int GetProgressPos(int id) const override;
    void ListInsertColumn(int id, int index, const std::string& title, ListAlign align, int widthPx) override;
    void ListSetRowHeight(int id, int heightPx) override;
    int ListInsertRow(int id, int row, const std::string& firstColumn) override;
    void ListSetCell(int id, int row, int column, const std::string& text) override;
    std::string ListGetCell(int id, int row, int column) const override;
    int ListRowCount(int id) const override;
    void ListDeleteAll(int id) override;
    void ShowResult(const CShownMessage& message) override
    {
        if (onResult)
            onResult(message);
    }
    void MessageBox(const std::string& text, MessageIcon icon) override;
    bool AskYesNo(const std::string& text) override;
    std::optional<std::string> OpenFileDialog(const FileDialogOptions& options) override;
    void Warning(const std::string& text) override;
    void StartTimer(int id, int intervalMs) override;
    void StopTimer(int id) override;
    void Trace(const std::string& text) override;
    void Post(std::function<void()> task) override;
    bool IsUiThread() const override { return std::this_thread::get_id() == m_uiThread; }

    // --- Event loop (the calling thread is the user-interface thread)
    // Runs posted tasks and due timers until nothing is due now.
    void ProcessEvents();
    void RunFor(std::chrono::milliseconds duration);
    // Runs the loop until pred holds or the timeout passes; true when it held.
    bool RunUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout);
    bool IsTimerRunning(int id) const;

    // --- The user's hand
    // Clicks a control; a disabled control ignores it. A check box toggles first.
    bool Click(int id);
    void DropDown(int id);
    // Chooses an entry of a drop-down list (index -1: none).
    void Choose(int id, int index);
    void CloseWindow();
    void QueueOpenFileAnswer(std::optional<std::string> path) { m_fileAnswers.Queue(std::move(path)); }
    void QueueYesNoAnswer(bool yes) { m_yesNoAnswers.Queue(yes); }

    // --- What the user saw
    const std::vector<Message>& Messages() const { return m_messages; }
    std::vector<std::string> MessageTexts() const;
    bool HasMessage(const std::string& text) const;
    void ClearMessages() { m_messages.clear(); }
    const std::vector<std::string>& Warnings() const { return m_warnings; }
    std::vector<std::string> Traces() const;
    bool HasTrace(const std::string& fragment) const;
    const std::vector<FileDialogOptions>& FileDialogs() const { return m_fileDialogs; }
    bool Ended() const { return m_bEnded; }
    int ListColumnCount(int id) const;
    std::string ListColumnTitle(int id, int index) const;
    int ListRowHeight(int id) const;
    std::pair<int, int> ProgressRange(int id) const;

    // Called after every message box, trace and warning (console front end).
    std::function<void(const std::string&, MessageIcon)> onMessage;
    // Before a message box: its entry and kind.
    std::function<void(const CShownMessage&)> onResult;
    std::function<void(const std::string&)> onTrace;
    std::function<void(const std::string&)> onWarning;

    CTraceLog& Log() { return m_log; }

private:
    struct Control {
        bool enabled = true;
        bool visible = true;
        bool checked = false;
        std::string text;
        std::vector<std::string> items;
        int selected = -1;
        int low = 0, high = 100, pos = 0;
        struct Column {
            std::string title;
            ListAlign align;
            int width;
        };
        std::vector<Column> columns;
        std::vector<std::vector<std::string>> rows;
        int rowHeight = 0;
    };
    using Clock = std::chrono::steady_clock;

    Control& At(int id) { return m_controls[id]; }
    const Control* Find(int id) const;
    bool RunOne();

    IDialogEvents* m_pSink = nullptr;
    std::thread::id m_uiThread = std::this_thread::get_id();
    std::string m_strTitle;
    bool m_bEnded = false;
    std::map<int, Control> m_controls;
    std::vector<Message> m_messages;
    std::vector<std::string> m_warnings;
    CScriptedAnswers<std::optional<std::string>> m_fileAnswers;
    CScriptedAnswers<bool> m_yesNoAnswers;
    std::vector<FileDialogOptions> m_fileDialogs;
    std::map<int, Clock::time_point> m_timers;
    mutable std::mutex m_traceMutex;
    std::vector<std::string> m_traces;
    CTraceLog m_log;

    std::mutex m_queueMutex;
    std::condition_variable m_queueCv;
    std::deque<std::function<void()>> m_queue;
};
