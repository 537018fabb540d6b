#pragma once
// The Qt host: the main window as a QDialog laid out from the control table.
#include "app/DialogHost.h"
#include "app/TraceLog.h"

#include <QComboBox>
#include <QDialog>
#include <QIcon>
#include <deque>
#include <map>
#include <optional>
#include <vector>

class QTimer;
class QTreeWidget;

// A drop-down list that reports when it is about to open.
class CDropComboBox : public QComboBox {
    Q_OBJECT
public:
    using QComboBox::QComboBox;
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
    std::optional<std::string> OpenFileDialog(const FileDialogOptions& options) override;
    void StartTimer(int id, int intervalMs) override;
    void StopTimer(int id) override;
    void Trace(const std::string& text) override;
    void Post(std::function<void()> task) override;
    bool IsUiThread() const override;

    QWidget* Control(int id) const;
    static QIcon AppIcon();

    // For tests and scripted runs: message boxes are recorded instead of
    // shown, and the open-file dialog takes queued answers.
    void SetScripted(bool scripted) { m_bScripted = scripted; }
    void QueueOpenFileAnswer(std::optional<std::string> path) { m_fileAnswers.push_back(std::move(path)); }
    const std::vector<std::string>& RecordedMessages() const { return m_messages; }

protected:
    void reject() override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void BuildControls();
    QTreeWidget* List(int id) const;

    IDialogEvents* m_pSink = nullptr;
    CTraceLog& m_log;
    std::map<int, QWidget*> m_controls;
    std::map<int, QTimer*> m_timers;
    std::vector<ListAlign> m_columnAlign;
    bool m_bEnding = false;
    bool m_bScripted = false;
    std::deque<std::optional<std::string>> m_fileAnswers;
    std::vector<std::string> m_messages;
};
