// The upgrade run: the item queue, the programming animation, item results,
// the end of a run and the watch that ends a run whose target has gone
// quiet. The reactions to the target's acknowledgements that move a run on
// are UpgradeDlgAcks.cpp.
#include "protocol/Items.h"
#include "protocol/Pacing.h"
#include "window/UpgradeDlg.h"

#include "window/SendToBD.h"

#include <algorithm>
#include <chrono>

namespace {

constexpr int kProgramAnimMs = 75;
constexpr int kProgramAnimLast = 99;
// How often a run is looked at for a stall: a tenth of the allowed silence,
// within bounds, so that the message comes at most 10 % late.
int StallPollMs(int timeoutMs)
{
    return std::clamp(timeoutMs / 10, 20, 1000);
}

// First list row whose Part column is the item's name, or -1.
int RowOfItem(CDialogHost& host, int item)
{
    const std::string name = ItemRowName(item);
    if (name.empty())
        return -1;
    const int rows = host.ListRowCount(IDC_LIST_PART);
    for (int row = 0; row < rows; ++row)
        if (host.ListGetCell(IDC_LIST_PART, row, LIST_COL_PART) == name)
            return row;
    return -1;
}

} // namespace

CAckReceiver& CUpgradeDlg::ActiveReceiver()
{
    return m_nTransport == TRANSPORT_USB ? m_UsbLink.Receiver() : SerialReceiver();
}

CAckReceiver& CUpgradeDlg::SerialReceiver()
{
    if (!m_pSendToBD)
        CreateSendToBD();
    return m_pSendToBD->Receiver();
}

void CUpgradeDlg::OnButtonUpgradeStart()
{
    if (BuildItemQueue() == 0) {
        MessageBox(EMsg::SelectItem);
        return;
    }
    // The boot image of a part-image package comes from a Boot folder: without
    // one nothing is sent, and the window stays as it was.
    if (m_bPartImage == 1 && !FindBootFile(true)) {
        m_vecItemQueue.clear();
        return;
    }
    m_btnFileLoad.EnableWindow(false);
    m_btnConnect.EnableWindow(false);
    m_btnSysCheck.EnableWindow(false);
    m_btnUpgradeStart.EnableWindow(false);

    m_nDownloadTotal = 0;
    m_nDownloadSent = 0;
    m_bRunFailed = 0;
    m_bItemFailed = 0;
    m_bRunActive = 1;
    m_Journal.RunStarted();
    m_nAwait = AWAIT_NONE;
    // Nothing that arrived before this run may answer its requests.
    DiscardInput();
    NoteTargetActivity();
    m_host.StartTimer(IDT_STALL, StallPollMs(m_options.stallTimeoutMs));

    StartNextItem();
}

int CUpgradeDlg::BuildItemQueue()
{
    int added = 0;
    for (const CItemInfo& item : ITEMS) {
        if (item.model == m_nResultType && ItemCheckOf(item) != 0 && m_host.GetCheck(ItemCheckOf(item))) {
            m_vecItemQueue.push_back(item.code);
            added = 1;
        }
    }
    return added;
}

void CUpgradeDlg::StartNextItem()
{
    if (m_vecItemQueue.empty()) {
        m_host.StopTimer(IDT_PROGRAM_ANIM);
        SendUpgradeFinish();
        return;
    }
    ResetProgress();
    m_nCurrentItem = m_vecItemQueue.front();
    m_vecItemQueue.erase(m_vecItemQueue.begin());
    m_Journal.ItemStarted(ItemRowName(m_nCurrentItem));

    const bool verify =
        m_nCurrentItem == ITEM_CDM && m_nResultType == RESULT_TYPE_QUORIN_V2 && !m_strPartFile[2].empty();
    ShowProgressRow(IDC_STATIC_VERIFY, IDC_PROGRESS_VERIFY, IDC_STATIC_VERIFY_PERCENT, verify);

    // A result left from an earlier run says nothing about this attempt.
    m_bItemFailed = 0;
    if (const int row = RowOfItem(m_host, m_nCurrentItem); row >= 0)
        m_host.ListSetCell(IDC_LIST_PART, row, LIST_COL_RESULT, "");

    SendUpIndex();
}

void CUpgradeDlg::ShowItemResult()
{
    const int row = RowOfItem(m_host, m_nCurrentItem);
    if (row < 0)
        return;
    if (SerialReceiver().EraseActive != 0) {
        m_bRunFailed = 1;
        SetItemResult(row, "Upgrade fail");
        MessageBox(EMsg::EraseFailed);
        return;
    }
    // A failure reported earlier for this item is not undone by what follows.
    SetItemResult(row, m_bItemFailed != 0 ? "Upgrade fail" : "Complete");
}

void CUpgradeDlg::OnUpgradeFinished()
{
    m_btnFileLoad.EnableWindow(true);
    m_btnConnect.EnableWindow(true);
    m_btnSysCheck.EnableWindow(true);

    CAckReceiver& serial = SerialReceiver();
    serial.StepCount = 0;
    serial.StepTotal = 0;

    m_bRunActive = 0;
    m_nAwait = AWAIT_NONE;
    m_host.StopTimer(IDT_STALL);
    if (serial.EraseActive == 0)
        MessageBox(m_bRunFailed != 0 ? EMsg::FinishedWithErrors : EMsg::UpgradeComplete);
}

void CUpgradeDlg::OnBoardUpgradeDone()
{
    const std::string folder = m_strUnzipFolder;
    DeleteUnpackedFiles(folder);
    DisconnectSerial();
    ResetUpgradeState();
    m_btnConnect.EnableWindow(false);
    m_btnConnect.SetWindowText("Connect");
    m_board.Reset();
    m_nCurrentItem = ITEM_BOARD;
    m_Journal.ItemResult(BOARD_ITEM_NAME, "Complete");
    MessageBox(EMsg::UpgradeComplete);
}

void CUpgradeDlg::StartProgramAnim()
{
    m_nProgramAnim = 0;
    m_host.StartTimer(IDT_PROGRAM_ANIM, kProgramAnimMs);
}

void CUpgradeDlg::OnProgramAnimTimer()
{
    m_nProgramAnim += 1;
    if (m_nProgramAnim < kProgramAnimLast) {
        SetProgress(PROGRESS_PROGRAM, m_nProgramAnim);
        m_host.StartTimer(IDT_PROGRAM_ANIM, kProgramAnimMs);
    } else if (m_nProgramAnim == kProgramAnimLast) {
        // Waits here for Program End.
        SetProgress(PROGRESS_PROGRAM, kProgramAnimLast);
    }
}

void CUpgradeDlg::NoteTargetActivity()
{
    m_nLastFrameMs.store(SteadyNowMs());
}

void CUpgradeDlg::OnStallTimer()
{
    if (m_bRunActive == 0)
        return;
    const int timeoutMs = m_options.stallTimeoutMs;
    if (SteadyNowMs() - m_nLastFrameMs.load() < timeoutMs) {
        m_host.StartTimer(IDT_STALL, StallPollMs(timeoutMs));
        return;
    }

    AbortRun(EMsg::MachineStopped);
}

void CUpgradeDlg::AbortRun(EMsg id, const std::string& text)
{
    if (StopRun())
        ShowMessage(id, text.empty() ? MessageText(id) : text);
}

bool CUpgradeDlg::StopRun()
{
    if (m_bRunActive == 0)
        return false;
    m_bRunActive = 0;
    m_bRunFailed = 1;
    m_nAwait = AWAIT_NONE;
    m_host.StopTimer(IDT_STALL);
    m_host.StopTimer(IDT_PROGRAM_ANIM);
    // An item whose result is already written (the run ended while
    // finishing) keeps it.
    if (const int row = RowOfItem(m_host, m_nCurrentItem);
        row >= 0 && m_host.ListGetCell(IDC_LIST_PART, row, LIST_COL_RESULT).empty())
        SetItemResult(row, "Upgrade fail");
    m_vecItemQueue.clear();
    m_fileDownload.Close();
    m_nDownloadTotal = 0;
    m_nDownloadSent = 0;
    m_btnFileLoad.EnableWindow(true);
    m_btnConnect.EnableWindow(true);
    m_btnSysCheck.EnableWindow(m_bConnected == 1);
    return true;
}

void CUpgradeDlg::EndItemFailed(int step)
{
    m_host.StopTimer(IDT_PROGRAM_ANIM);
    FailProgress(step);
    m_bItemFailed = 1;
    m_bRunFailed = 1;
    ShowItemResult();
    StartNextItem();
}
