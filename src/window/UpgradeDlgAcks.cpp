// The acknowledgement path: how an answer of the target becomes a progress
// row, a result cell or the next request.
//
//   USB:    reader thread (CUsbLink::RunReader) -> its CAckReceiver ->
//           CUsbAckSink -> host SendSync -> OnUsbAck -> OnAckEvent
//   serial: ThreadWatchComm -> g_RxQueue -> host SendSync ->
//           CSendToBD::OnRxNotify -> serial CAckReceiver -> CSerialAckSink ->
//           OnSerialAck -> OnAckEvent (system and board check differ)
//   OnAckEvent -> TakeAwaited -> one member per family (OnDownloadAck,
//           OnEraseAck, OnProgramAck, OnVerifyAck; a Fail ends the item) ->
//           SetProgress, SetItemResult, the next request
//   A refusal of a checker: OnCheckerRefusal -> OnAckRejected.
//
// Only CUsbAckSink's own lines run on the USB reader thread; everything
// past SendSync, and the whole serial side, runs on the user-interface
// thread. The reactions read and write the step counters of the link that
// carries the run (ActiveReceiver).
#include "protocol/Items.h"
#include "protocol/Pacing.h"
#include "window/UpgradeDlg.h"

#include "window/SendToBD.h"

#include <string>

namespace {

// Every item but CDM shows its erase in ten steps, whatever the target announced.
constexpr int kEraseStepsShown = 10;

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

void CUsbAckSink::OnAckEvent(int event)
{
    // Taken now, on the reader thread: the bytes were read at this count.
    const std::uint32_t stamp = m_dlg.m_UsbLink.ReadStamp();
    m_dlg.Host().SendSync(m_dlg.m_UsbLink.HandOffGate(), [this, event, stamp] {
        m_dlg.OnUsbAck(event, stamp);
        m_dlg.UpdateRunLock();
    });
}

void CUsbAckSink::OnCheckerRefusal(ERefusal why, const std::string& text)
{
    const std::uint32_t stamp = m_dlg.m_UsbLink.ReadStamp();
    // Modal: the reader waits until the user has read it.
    m_dlg.Host().SendSync(m_dlg.m_UsbLink.HandOffGate(), [this, why, text, stamp] {
        if (m_dlg.m_bRunActive != 0 && stamp != m_dlg.m_UsbLink.WriteCount()) {
            m_dlg.Trace("Refused answer from before the last request unexpected, ignored: " + text + "\r\n");
            return;
        }
        m_dlg.OnAckRejected(why, text);
    });
}

void CUsbAckSink::OnLinkLost()
{
    m_dlg.Host().SendSync(m_dlg.m_UsbLink.HandOffGate(), [this] { m_dlg.OnLinkLost(TRANSPORT_USB); });
}

void CUpgradeDlg::OnAckRejected(IAckSink::ERefusal why, const std::string& text)
{
    const EMsg id = why == IAckSink::ERefusal::DataSize      ? EMsg::AckDataSize
                    : why == IAckSink::ERefusal::ResultFalse ? EMsg::AckResultFalse
                                                             : EMsg::EraseActive;
    // The target refused: no request follows, so the run ends here with the
    // refusal as its cause, and the item fails whatever comes later.
    if (m_bRunActive != 0) {
        m_bItemFailed = 1;
        AbortRun(id, text);
        return;
    }
    ShowMessage(id, text);
}

void CSerialAckSink::OnAckEvent(int event)
{
    // Already on the user-interface thread, inside the receive notification.
    m_dlg.OnSerialAck(event);
}

void CSerialAckSink::OnCheckerRefusal(ERefusal why, const std::string& text)
{
    m_dlg.OnAckRejected(why, text);
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

void CUpgradeDlg::OnSerialAck(int event)
{
    switch (event) {
    case ACK_SYS_CHECK:
        // Over serial the package match check does not follow.
        ShowSysCheckResult(SerialReceiver().packet().data);
        break;
    case ACK_BOARD_CHECK:
        m_host.StopTimer(IDT_NO_RESPONSE);
        m_btnFileLoad.EnableWindow(true);
        m_btnConnect.EnableWindow(true);
        break;
    default:
        OnAckEvent(event);
        break;
    }
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
        OnEraseAck(event, link);
        break;
    case ACK_PROGRAM_STEP:
    case ACK_PROGRAM_END:
        OnProgramAck(event, link);
        break;
    case ACK_ERASE_FAIL:
        EndItemFailed(PROGRESS_ERASE);
        break;
    case ACK_PROGRAM_FAIL:
        EndItemFailed(PROGRESS_PROGRAM);
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
