// The window's side of the board exchange (board/BoardExchange.h): the port
// it runs on, its progress rows, traces and timers, and what the window does
// once it is done or has failed. A body image without its end mark is
// refused when the package is loaded (CheckBoardBody).
#include "package/PackageArchive.h"
#include "window/UpgradeDlg.h"

#include "link/CommPort.h"
#include "link/RxQueue.h"

#include <stdexcept>

namespace {

// The message box a failed exchange ends with.
EMsg BoardFailureMessage(EBoardFailure reason)
{
    switch (reason) {
    case EBoardFailure::Stalled:
        return EMsg::BoardStopped;
    case EBoardFailure::BootImageSilent:
        return EMsg::BootDownloadError;
    case EBoardFailure::Failed:
        break;
    }
    return EMsg::BoardFailed;
}

// The window's row of each of the exchange's rows, in EBoardRow's order.
constexpr int kProgressSteps[] = {PROGRESS_BOOT, PROGRESS_ERASE, PROGRESS_DATA};

} // namespace

void CUpgradeDlg::OnBootByte(std::uint8_t b)
{
    m_board.OnByte(b);
}

bool CUpgradeDlg::PortWrite(const std::uint8_t* bytes, int count)
{
    return m_pBootPort->WriteComm(bytes, count) != 0;
}

void CUpgradeDlg::PortDropInput()
{
    g_ComPort.PurgeInput();
    std::uint8_t stale = 0;
    while (g_RxQueue.Pop(stale) == 1) {
    }
}

bool CUpgradeDlg::PortIsOpen() const
{
    return m_bConnected == 1;
}

void CUpgradeDlg::PortClose()
{
    DisconnectSerial();
}

bool CUpgradeDlg::PortReopen(const std::string& baud)
{
    ConnectSerial(m_strPortName, baud);
    return m_bConnected == 1;
}

void CUpgradeDlg::BoardInBootMode()
{
    m_host.StopTimer(IDT_BOOT_MODE);
    ShowProgressRow(IDC_STATIC_PROGRAM, IDC_PROGRESS_PROGRAM, IDC_STATIC_PROGRAM_PERCENT, false);
    ShowProgressRow(IDC_STATIC_VERIFY, IDC_PROGRESS_VERIFY, IDC_STATIC_VERIFY_PERCENT, false);
}

void CUpgradeDlg::BoardProgress(EBoardRow row, int percent)
{
    SetProgress(kProgressSteps[static_cast<int>(row)], percent);
}

void CUpgradeDlg::BoardTrace(const std::string& line)
{
    Trace(line);
}

void CUpgradeDlg::BoardWarning(const std::string& text)
{
    m_host.Warning(text);
}

void CUpgradeDlg::BoardStartTimer(int id, int ms)
{
    m_host.StartTimer(id, ms);
}

void CUpgradeDlg::BoardStopTimer(int id)
{
    m_host.StopTimer(id);
}

void CUpgradeDlg::BoardDone()
{
    OnBoardUpgradeDone();
}

void CUpgradeDlg::BoardFailed(EBoardFailure reason)
{
    if (reason == EBoardFailure::BootImageSilent) {
        // The link is closed before the box is shown, so that no late answer
        // continues the download behind it; the package is forgotten.
        DisconnectLink();
        MessageBox(BoardFailureMessage(reason));
        m_btnConnect.SetWindowText("Connect");
        m_btnConnect.EnableWindow(false);
        ResetUpgradeState();
        return;
    }
    // The port closes and the package stays loaded, so that Connect can
    // start over. May run inside the receive notification.
    StopConnectionTimers();
    DisconnectSerial();
    m_btnConnect.SetWindowText("Connect");
    m_btnConnect.EnableWindow(true);
    MessageBox(BoardFailureMessage(reason));
}

void CUpgradeDlg::CheckBoardBody()
{
    if (m_nResultType != RESULT_TYPE_BOARD || m_strPartFile[1].empty())
        return;
    // The exchange erases the board before it reads the body: a body it could
    // not end properly must be refused before anything is sent.
    const std::string& path = m_strPartFile[1];
    CBinaryFile body;
    if (!body.Open(path, CBinaryFile::Share::Shared))
        throw std::runtime_error("the board body image \"" + path + "\" cannot be read");
    CBodyEndMark scan;
    std::uint8_t chunk[4096];
    for (std::size_t n; (n = body.Read(chunk, sizeof chunk)) > 0;)
        scan.Feed(chunk, n);
    if (body.LastError() != 0)
        throw std::runtime_error("the board body image \"" + path + "\" cannot be read");
    // Named as the package names it, as velunda-cli info does.
    if (const std::string problem = scan.Problem(path.substr(path.rfind('/') + 1)); !problem.empty())
        throw std::runtime_error(problem);
}
