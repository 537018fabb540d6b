#pragma once
// The platform seam: every operation the window logic needs of a toolkit.
// Hosts: the Qt window, the headless host of the tests and the console host
// of velunda-cli. No toolkit type appears here.
#include "link/SyncGate.h"
#include "window/Messages.h"

#include <functional>
#include <optional>
#include <string>

enum class ListAlign { Left, Centre, Right };
enum class MessageIcon { None, Stop };
enum class ControlEvent { Clicked, DropDown, SelChange };

// What the window receives from its host; all on the user-interface thread.
class IDialogEvents {
public:
    virtual ~IDialogEvents() = default;
    virtual void OnControlEvent(int id, ControlEvent event) = 0;
    virtual void OnTimer(int id) = 0;
    // The user's close command (title-bar button, Escape, Alt+F4): during a
    // run it asks first.
    virtual void OnCloseRequest() = 0;
    // The close itself, without a question (also on SIGTERM and SIGHUP).
    virtual void OnClose() = 0;
    // A package named on the command line or dropped on the window.
    virtual void OnOpenFile(const std::string& path) = 0;
};

struct FileDialogOptions {
    std::string defaultExtension; // "*.QVP"
    std::string filter;           // "Name (*.a *.b)|*.a;*.b|...|"
    bool hideReadOnly = true;
    std::string initialDir; // empty: the toolkit's choice
};

class CDialogHost {
public:
    virtual ~CDialogHost() = default;

    virtual void SetEventSink(IDialogEvents* sink) = 0;

    // Window
    virtual void SetTitle(const std::string& title) = 0;
    virtual std::string GetTitle() const = 0;
    // Runs the dialog modally until EndDialog.
    virtual int RunModal() = 0;
    // Ends the modal run of the dialog.
    virtual void EndDialog() = 0;

    // Controls by id
    virtual void EnableControl(int id, bool enable) = 0;
    virtual bool IsControlEnabled(int id) const = 0;
    virtual void ShowControl(int id, bool show) = 0;
    virtual bool IsControlVisible(int id) const = 0;
    virtual void SetText(int id, const std::string& text) = 0;
    virtual std::string GetText(int id) const = 0;
    virtual void SetCheck(int id, bool checked) = 0;
    virtual bool GetCheck(int id) const = 0;

    // Drop-down lists
    virtual void ComboAdd(int id, const std::string& text) = 0;
    virtual void ComboReset(int id) = 0;
    virtual int ComboCount(int id) const = 0;
    virtual void ComboSelect(int id, int index) = 0; // -1 clears the selection
    virtual int ComboSelected(int id) const = 0;     // -1 for none
    virtual std::string ComboItemText(int id, int index) const = 0;

    // Progress bars
    virtual void SetProgressRange(int id, int low, int high) = 0;
    virtual void SetProgressPos(int id, int pos) = 0;
    virtual int GetProgressPos(int id) const = 0;

    // List view (report style)
    virtual void ListInsertColumn(int id, int index, const std::string& title, ListAlign align,
                                  int widthPx) = 0;
    virtual void ListSetRowHeight(int id, int heightPx) = 0;
    virtual int ListInsertRow(int id, int row, const std::string& firstColumn) = 0;
    virtual void ListSetCell(int id, int row, int column, const std::string& text) = 0;
    virtual std::string ListGetCell(int id, int row, int column) const = 0;
    virtual int ListRowCount(int id) const = 0;
    virtual void ListDeleteAll(int id) = 0;

    // What the message about to be shown means (its entry and kind); a host
    // that decides on results reads it here, never from the text.
    virtual void ShowResult(const CShownMessage& /*message*/) {}
    // Modal message box with an OK button.
    virtual void MessageBox(const std::string& text, MessageIcon icon = MessageIcon::None) = 0;
    // Yes / No question, No the default; true for Yes.
    virtual bool AskYesNo(const std::string& text) = 0;
    // Open-file dialog: the chosen full path, or nothing when cancelled.
    virtual std::optional<std::string> OpenFileDialog(const FileDialogOptions& options) = 0;
    // Something the user may want to know that stops nothing (a board's
    // unusual answer); the window has traced it already. A host with no
    // place to show it, as the window has none during an exchange, keeps
    // to the trace.
    virtual void Warning(const std::string& /*text*/) {}

    // One-shot timers by id; starting a running timer restarts it.
    virtual void StartTimer(int id, int intervalMs) = 0;
    virtual void StopTimer(int id) = 0;

    // Debug trace: one line (the text may carry its own "\r\n").
    virtual void Trace(const std::string& text) = 0;

    // Runs a task on the user-interface thread later (from any thread).
    virtual void Post(std::function<void()> task) = 0;
    virtual bool IsUiThread() const = 0;

    // From a receive thread: runs fn on the user-interface thread and waits
    // for it (SendMessage). False when the link closed the gate first; fn
    // then never runs.
    bool SendSync(CSyncGate& gate, std::function<void()> fn)
    {
        if (IsUiThread()) {
            fn();
            return true;
        }
        return gate.Send([this](std::function<void()> task) { Post(std::move(task)); }, std::move(fn));
    }
};
