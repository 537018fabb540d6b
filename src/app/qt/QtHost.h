#pragma once
// The Qt host: the main window as a QDialog laid out from the control table.
#include "app/ScriptedAnswers.h"
#include "app/TraceLog.h"
#include "window/DialogHost.h"

#include <QComboBox>
#include <QDialog>
#include <QIcon>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <vector>

class QScrollArea;
class QTimer;
class QTreeWidget;
struct ControlDef;

// A drop-down list that reports when it is about to open.
class CDropComboBox : public QComboBox {
    Q_OBJECT
public:
    using QComboBox::QComboBox;
    // Opens at least as wide as its longest entry, so that long device paths read whole.
    void showPopup() override;
signals:
    void aboutToDropDown();
};

class CQtHost : public QDialog, public CDialogHost {
    Q_OBJECT
public:
    explicit CQtHost(CTraceLog& log, QWidget* parent = nullptr);
    ~CQtHost() override;

    // --- CDialogHost
    void SetEventSink(IDialogEvents* sink) override { m_pSink = sink; }
    void SetTitle(const std::string& title) override;
    std::string GetTitle() const override;
    int RunModal() override { return exec(); }
    void EndDialog() override;
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
    void MessageBox(const std::string& text, MessageIcon icon) override;
    bool AskYesNo(const std::string& text) override;
    std::optional<std::string> OpenFileDialog(const FileDialogOptions& options) override;
    void StartTimer(int id, int intervalMs) override;
    void StopTimer(int id) override;
    void Trace(const std::string& text) override;
    void Post(std::function<void()> task) override;
    bool IsUiThread() const override;

    QWidget* Control(int id) const;
    QScrollArea* ScrollArea() const { return m_pScroll; }
    // The window's icon, drawn from the launcher's SVG.
    static QIcon AppIcon();
    // Pixels of one dialog unit, from the font the window draws with.
    int DluX(int x) const;
    int DluY(int y) const;
    // The size the control table gives the window.
    QSize TableSize() const;

    // SIGTERM / SIGHUP: the close's clean-up without a question.
    void OnQuitSignal();

    // For tests and scripted runs: message boxes are recorded instead of
    // shown, and the open-file dialog takes queued answers.
    void SetScripted(bool scripted) { m_bScripted = scripted; }
    void QueueOpenFileAnswer(std::optional<std::string> path) { m_fileAnswers.Queue(std::move(path)); }
    void QueueYesNoAnswer(bool yes) { m_yesNoAnswers.Queue(yes); }
    const std::vector<std::string>& RecordedMessages() const { return m_messages; }
    const std::vector<std::string>& RecordedQuestions() const { return m_questions; }
    const std::vector<FileDialogOptions>& RecordedFileDialogs() const { return m_fileDialogs; }

protected:
    void reject() override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildControls();
    // The widget of one control, its events wired to the sink.
    QWidget* MakeControl(const ControlDef& def);
    QWidget* MakeComboBox(int id);
    // Hands one control's event to the sink, if there is one.
    std::function<void()> SinkCall(int id, ControlEvent event);
    // Places every control for the current page size: the table's positions,
    // with the list, the progress bars and the frames taking the extra room.
    void LayoutControls();
    QTreeWidget* List(int id) const;
    // Runs a modal dialog, counted so that a quit signal can end it first.
    int ExecModal(QDialog& dialog);

    IDialogEvents* m_pSink = nullptr;
    CTraceLog& m_log;
    QScrollArea* m_pScroll = nullptr;
    QWidget* m_pPage = nullptr;
    int m_nBaseX = 6;  // average character width, px
    int m_nBaseY = 13; // character height, px
    int m_nModalDepth = 0;
    bool m_bQuitting = false;
    std::map<int, QWidget*> m_controls;
    std::map<int, QTimer*> m_timers;
    std::vector<ListAlign> m_columnAlign;
    bool m_bEnding = false;
    bool m_bScripted = false;
    CScriptedAnswers<std::optional<std::string>> m_fileAnswers;
    std::vector<std::string> m_messages;
    CScriptedAnswers<bool> m_yesNoAnswers;
    std::vector<std::string> m_questions;
    std::vector<FileDialogOptions> m_fileDialogs;
};
