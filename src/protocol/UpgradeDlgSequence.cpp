// The upgrade run: the item queue, the reactions to every acknowledgement
// and notification of the target, the progress of each step, the
// programming animation, item results, the end of a run and the watch that
// ends a run whose target has gone quiet.
//
// The reactions read and write the step counters of the link that carries
// the run (ActiveReceiver), so the serial checkers reach the same reactions
// through OnAckEvent when the run goes over the serial link.
#include "app/UpgradeDlg.h"
#include "protocol/Items.h"
#include "protocol/Pacing.h"

#include "bootloader/SendToBD.h"

#include <algorithm>
#include <chrono>

namespace {

constexpr int kProgramAnimMs = 75;
constexpr int kProgramAnimLast = 99;
// Every item but CDM shows its erase in ten steps, whatever the target announced.
constexpr int kEraseStepsShown = 10;

// How often a run is looked at for a stall: a tenth of the allowed silence,
// within bounds, so that the message comes at most 10 % late.
int StallPollMs(int timeoutMs)
{
    return std::clamp(timeoutMs / 10, 20, 1000);
}

// First list row whose Part column is the item's name, or -1.
int RowOfItem(CDialogHost& host, int item)
{
    const std::string name = PartNameOfItem(item);
    if (name.empty())
        return -1;
    const int rows = host.ListRowCount(IDC_LIST_PART);
    for (int row = 0; row < rows; ++row)
        if (host.ListGetCell(IDC_LIST_PART, row, LIST_COL_PART) == name)
            return row;
    return -1;
}

struct QueueBox {
    int checkId;
    int item;
};

constexpr QueueBox kQueueV1[] = {
    {IDC_CHECK_MAIN, ITEM_MAIN}, {IDC_CHECK_CIS_M, ITEM_CIS_M}, {IDC_CHECK_CIS_S, ITEM_CIS_S},
    {IDC_CHECK_CF, ITEM_CF},     {IDC_CHECK_IR, ITEM_IR},
};
constexpr QueueBox kQueueV2[] = {
    {IDC_CHECK_MAIN, ITEM_MAIN_V2},
    {IDC_CHECK_CIS_M, ITEM_CDM},
};

// Events that belong to a run under way. Outside a run (before Upgrade
// Start, after its end or after a stall ended it) they are late or stray
// and must not restart downloads or report a result.
bool IsRunEvent(int event)
{
    return event >= ACK_UP_INDEX && event <= ACK_PROGRAM_STEP && event != ACK_SERIAL_VERSION;
}

const char* EventName(int event)
{
    static const char* const names[] = {"UP Index",    "Boot Down",    "Boot End",       "Data Down",
                                        "Data End",    "Erase Step",   "Erase End",      "Erase Fail",
                                        "Verify Step", "Verify End",   "Upgrade Finish", "Serial Number",
                                        "Program End", "Program Fail", "Program Step"};
    return event >= ACK_UP_INDEX && event <= ACK_PROGRAM_STEP ? names[event - ACK_UP_INDEX] : "?";
}

// The answer each run event may come as (AWAIT_*).
struct AwaitedBy {
    int event;
    int await;
};

constexpr AwaitedBy kAwaitedBy[] = {
    {ACK_UP_INDEX, AWAIT_UP_INDEX},   {ACK_BOOT_DOWN, AWAIT_BOOT_DOWN},   {ACK_BOOT_END, AWAIT_BOOT_END},
    {ACK_DATA_DOWN, AWAIT_DATA_DOWN}, {ACK_DATA_END, AWAIT_DATA_END},     {ACK_ERASE_STEP, AWAIT_ERASE},
    {ACK_ERASE_END, AWAIT_ERASE},     {ACK_ERASE_FAIL, AWAIT_ERASE},      {ACK_PROGRAM_STEP, AWAIT_PROGRAM},
    {ACK_PROGRAM_END, AWAIT_PROGRAM}, {ACK_PROGRAM_FAIL, AWAIT_PROGRAM},  {ACK_VERIFY_STEP, AWAIT_VERIFY},
    {ACK_VERIFY_END, AWAIT_VERIFY},   {ACK_UPGRADE_FINISH, AWAIT_FINISH},
};

void ClearSteps(CAckReceiver& link)
{
    link.StepCount = 0;
    link.StepTotal = 0;
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

int CUpgradeDlg::OnAckEvent(int event)
{
    if (event < ACK_SYS_CHECK || event > ACK_PROGRAM_STEP)
        return 1;
    if (IsRunEvent(event) && m_bRunActive == 0) {
        Trace("Acknowledgement " + std::to_string(event) + " outside an upgrade run ignored\r\n");
        return 1;
    }
    if (IsRunEvent(event) && !TakeAwaited(event))
        return 1;
    // Only an answer the run can use counts as progress for the stall watch.
    NoteTargetActivity();

    CAckReceiver& link = ActiveReceiver();
    switch (event) {
    case ACK_SYS_CHECK:
        OnSysCheckAck(link.packet().data);
        break;
    case ACK_BOARD_CHECK:
        OnBoardCheckAck();
        break;
    case ACK_SERIAL_VERSION:
        OnSerialVersionAck(link.packet().data, link.packet().length);
        break;
    case ACK_UP_INDEX:
    case ACK_BOOT_DOWN:
    case ACK_BOOT_END:
    case ACK_DATA_DOWN:
    case ACK_DATA_END:
        OnDownloadAck(event);
        break;
    case ACK_ERASE_STEP:
    case ACK_ERASE_END:
    case ACK_ERASE_FAIL:
        OnEraseAck(event, link);
        break;
    case ACK_PROGRAM_STEP:
    case ACK_PROGRAM_END:
    case ACK_PROGRAM_FAIL:
        OnProgramAck(event, link);
        break;
    case ACK_VERIFY_STEP:
    case ACK_VERIFY_END:
        OnVerifyAck(event, link);
        break;
    case ACK_UPGRADE_FINISH:
        OnUpgradeFinished();
        break;
    default:
        break;
    }
    return 1;
}

void CUpgradeDlg::OnButtonUpgradeStart()
{
    if (BuildItemQueue() == 0) {
        MessageBox("Select upgrade item.");
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
    const QueueBox* boxes = nullptr;
    std::size_t count = 0;
    if (m_nResultType == RESULT_TYPE_QUORIN_V1) {
        boxes = kQueueV1;
        count = std::size(kQueueV1);
    } else if (m_nResultType == RESULT_TYPE_QUORIN_V2) {
        boxes = kQueueV2;
        count = std::size(kQueueV2);
    }
    int added = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (m_host.GetCheck(boxes[i].checkId)) {
            m_vecItemQueue.push_back(boxes[i].item);
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
    m_Journal.ItemStarted(PartNameOfItem(m_nCurrentItem));

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
        MessageBox("Upgrade::Erase Fail!");
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
        MessageBox(m_bRunFailed != 0 ? "Upgrade finished with errors." : "Upgrade Complete.");
}

void CUpgradeDlg::OnBoardUpgradeDone()
{
    const std::string folder = m_strUnzipFolder;
    DeleteUnpackedFiles(folder);
    DisconnectSerial();
    ResetUpgradeState();
    m_btnConnect.EnableWindow(false);
    m_btnConnect.SetWindowText("Connect");
    m_bHexEnd = 0;
    m_nCurrentItem = ITEM_BOARD;
    m_Journal.ItemResult("BOARD", "Complete");
    MessageBox("Upgrade Complete.");
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

    AbortRun("The machine stopped responding during the upgrade.");
}

void CUpgradeDlg::AbortRun(const std::string& message)
{
    if (m_bRunActive == 0)
        return;
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
    if (!message.empty())
        MessageBox(message);
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

void CUpgradeDlg::OnUsbAck(int event, std::uint32_t stamp)
{
    // Read before the latest request left: it cannot be that request's answer.
    if (m_bRunActive != 0 && IsRunEvent(event) && stamp != m_UsbLink.WriteCount()) {
        Trace(std::string("Acknowledgement ") + EventName(event) +
              " from before the last request unexpected, ignored\r\n");
        return;
    }
    OnAckEvent(event);
}

bool CUpgradeDlg::TakeAwaited(int event)
{
    bool awaited = false;
    for (const AwaitedBy& entry : kAwaitedBy)
        if (entry.event == event)
            awaited = m_nAwait == entry.await;
    if (!awaited)
        Trace(std::string("Acknowledgement ") + EventName(event) + " unexpected, ignored\r\n");
    return awaited;
}

void CUpgradeDlg::OnDownloadAck(int event)
{
    switch (event) {
    case ACK_UP_INDEX:
        StartBootDownload();
        break;
    case ACK_BOOT_DOWN:
        ContinueDownload(PROGRESS_BOOT);
        break;
    case ACK_BOOT_END:
        StartDataDownload();
        break;
    case ACK_DATA_DOWN:
        ContinueDownload(PROGRESS_DATA);
        break;
    case ACK_DATA_END:
        CompleteProgress(PROGRESS_DATA);
        m_nAwait = AWAIT_ERASE;
        break;
    default:
        break;
    }
}

// Boot Down or Data Down: the next chunk of the image (step PROGRESS_BOOT or
// PROGRESS_DATA), or its end once every byte went out.
void CUpgradeDlg::ContinueDownload(int step)
{
    const bool data = step == PROGRESS_DATA;
    // The data of a part-image package comes from memory, not from a file.
    const bool fromMemory = data && m_bPartImage == 1;
    if (m_nDownloadSent < m_nDownloadTotal) {
        SetProgress(step, PercentOf(m_nDownloadSent, m_nDownloadTotal));
        if (fromMemory)
            SendMemoryChunk();
        else
            SendFileChunk(data ? SUB_DATA_DOWN : SUB_BOOT_DOWN);
        return;
    }
    CompleteProgress(step);
    m_nDownloadTotal = 0;
    m_nDownloadSent = 0;
    if (!fromMemory)
        m_fileDownload.Close();
    if (data)
        SendDataEnd();
    else
        SendBootEnd();
}

// One step more of step's count; without an announced count there is no
// percentage and the row stays.
void CUpgradeDlg::ShowStepCount(int step, const CAckReceiver& link)
{
    if (link.StepTotal > 0)
        SetProgress(step, PercentOf(link.StepCount, link.StepTotal));
}

void CUpgradeDlg::OnEraseAck(int event, CAckReceiver& link)
{
    if (event == ACK_ERASE_FAIL) {
        EndItemFailed(PROGRESS_ERASE);
        return;
    }
    if (event == ACK_ERASE_END) {
        CompleteProgress(PROGRESS_ERASE);
        m_nAwait = AWAIT_PROGRAM;
        return;
    }
    link.StepCount += 1;
    if (m_nCurrentItem != ITEM_CDM) {
        if (link.StepCount == 1) {
            link.StepTotal = kEraseStepsShown;
        } else if (link.StepCount == link.StepTotal) {
            ClearSteps(link);
            CompleteProgress(PROGRESS_ERASE);
            StartProgramAnim();
            return;
        }
    }
    ShowStepCount(PROGRESS_ERASE, link);
}

void CUpgradeDlg::OnProgramAck(int event, CAckReceiver& link)
{
    if (event == ACK_PROGRAM_FAIL) {
        EndItemFailed(PROGRESS_PROGRAM);
        return;
    }
    if (event == ACK_PROGRAM_END) {
        ClearSteps(link);
        CompleteProgress(PROGRESS_PROGRAM);
        if (m_nCurrentItem != ITEM_CDM) {
            m_host.StopTimer(IDT_PROGRAM_ANIM);
            ShowItemResult();
            StartNextItem();
        } else {
            m_nAwait = AWAIT_VERIFY;
        }
        return;
    }
    link.StepCount += 1;
    if (link.StepCount == link.StepTotal) {
        // CDM shows its last step only with Program End.
        if (m_nCurrentItem != ITEM_CDM) {
            ClearSteps(link);
            CompleteProgress(PROGRESS_PROGRAM);
        }
        return;
    }
    ShowStepCount(PROGRESS_PROGRAM, link);
}

void CUpgradeDlg::OnVerifyAck(int event, CAckReceiver& link)
{
    if (event == ACK_VERIFY_END) {
        CompleteProgress(PROGRESS_VERIFY);
        ShowItemResult();
        StartNextItem();
        return;
    }
    link.StepCount += 1;
    ShowStepCount(PROGRESS_VERIFY, link);
}
