// Lifecycle of the main window: construction, initialisation, reset, close,
// and the routing of control events and timers.
#include "window/UpgradeDlg.h"

#include "files/FileSystem.h"
#include "link/FtdiBridgeList.h"
#include "version/Version.h"
#include "window/SendToBD.h"

#include <iterator>

CUpgradeDlg* g_hMainDlg = nullptr;
CSendToBD* g_hSendToBD = nullptr;

CUpgradeDlgState::CUpgradeDlgState(CDialogHost& host, CUpgradeDlg& dlg, CRunJournal::TraceFn trace)
    : m_ctrlList(host, IDC_LIST_PART), m_btnUpgradeStart(host, IDC_BUTTON_UPGRADE_START),
      m_btnSysCheck(host, IDC_BUTTON_SYS_CHECK), m_btnFileLoad(host, IDC_BUTTON_FILE_LOAD),
      m_btnConnect(host, IDC_BUTTON_CONNECT), m_UsbSink(dlg), m_Journal(std::move(trace))
{
}

CUpgradeDlgState::~CUpgradeDlgState() = default;

CUpgradeDlg::CUpgradeDlg(CDialogHost& host, CAppOptions options)
    : CUpgradeDlgState(host, *this, [this](const std::string& text) { m_host.Trace(text); }), m_host(host),
      m_options(std::move(options))
{
    m_host.SetEventSink(this);
    if (!m_options.noHistory)
        m_Journal.SetHistory(m_options.historyFile.empty() ? DefaultHistoryPath() : m_options.historyFile);
    m_UsbLink.SetTrace([this](const std::string& text) { m_host.Trace(text); });
#ifdef _WIN32
    // The bridge is a COM port: the one named, else the only FTDI port listed.
    m_UsbLink.SetBackend(MakeFtdiBackendCom(m_options.usbTty == "auto" ? std::string() : m_options.usbTty));
#else
    if (m_options.usbTty == "auto") {
        // The chosen bridge's tty, found once: the same cable for the whole session.
        std::string error;
        m_options.usbTty = BridgeTty(m_options.usbDevice, error);
        if (m_options.usbTty.empty()) {
            m_strUsbTtyError = "--usb-tty auto: " + error;
            m_host.Trace("USB: " + m_strUsbTtyError + "\r\n");
        }
        m_UsbLink.SetBackend(MakeFtdiBackendTty(m_options.usbTty));
    } else if (!m_options.usbTty.empty()) {
        m_UsbLink.SetBackend(MakeFtdiBackendTty(m_options.usbTty));
    } else if (!m_options.usbDevice.empty()) {
        m_UsbLink.SetBackend(MakeFtdiBackendLibftdi(m_options.usbDevice));
    }
#endif
    m_UsbLink.SetSink(&m_UsbSink);
}

CUpgradeDlg::~CUpgradeDlg()
{
    // The links stop their threads before the state they report to goes.
    m_UsbLink.CloseUsb(true);
    if (g_hMainDlg == this) {
        g_ComPort.ClosePort();
        g_ComPort.SetNotify(nullptr);
        g_ComPort.SetMessage(nullptr);
        g_ComPort.SetLost(nullptr);
    }
    if (g_hMainDlg == this)
        g_hMainDlg = nullptr;
    m_host.SetEventSink(nullptr);
}

bool CUpgradeDlg::OnInitDialog()
{
    g_hMainDlg = this;
    char title[128];
    std::snprintf(title, sizeof title, "%s [%s] - Ver%s", "Velunda", "2013.11.06", VelundaVersion());
    m_host.SetTitle(title);

    m_szStartDir = FsCurrentFolder();

    m_Journal.Begin();
    FillBaudList();
    CreateSendToBD();
    InitControls();
    InitListColumns();
    return true;
}

void CUpgradeDlg::CreateSendToBD()
{
    m_pSendToBD = std::make_unique<CSendToBD>(*this);
    g_hSendToBD = m_pSendToBD.get();
    // The serial receive thread reaches the hidden window synchronously (WM_RX_NOTIFY).
    g_ComPort.SetNotify([this](int count) {
        m_host.SendSync(g_ComPort.Gate(), [this, count] {
            if (g_hSendToBD != nullptr)
                g_hSendToBD->OnRxNotify(0, count);
            UpdateRunLock();
        });
    });
    g_ComPort.SetMessage([this](const std::string& text) {
        m_host.SendSync(g_ComPort.Gate(), [this, text] { ShowMessage(EMsg::SerialThreadFailed, text); });
    });
    g_ComPort.SetLost(
        [this] { m_host.SendSync(g_ComPort.Gate(), [this] { OnLinkLost(TRANSPORT_SERIAL); }); });
}

void CUpgradeDlg::OnCloseRequest()
{
    if (m_bClosed != 0 || m_bCloseAsked != 0)
        return;
    if (IsRunInProgress()) {
        // Stopping mid-write can leave the machine without a working firmware.
        m_bCloseAsked = 1;
        const bool stop = m_host.AskYesNo(
            "An upgrade is in progress. Stopping now can leave the machine unusable. Stop and close?");
        m_bCloseAsked = 0;
        if (!stop || m_bClosed != 0)
            return;
        Trace("Closed by the user during a run\r\n");
    }
    OnClose();
}

void CUpgradeDlg::OnOpenFile(const std::string& path)
{
    // As File Load would, and only when File Load could be pressed.
    if (m_bClosed != 0 || IsRunInProgress() || !m_host.IsControlEnabled(IDC_BUTTON_FILE_LOAD)) {
        Trace("Package " + path + " not loaded: File Load is not available now\r\n");
        return;
    }
    LoadPackage(path);
    UpdateRunLock();
}

bool CUpgradeDlg::IsRunInProgress() const
{
    if (m_bRunActive != 0)
        return true;
    // The board exchange writes from the boot image on until its finish
    // record is answered, a failure is reported or the package is dropped.
    return m_nTransport == TRANSPORT_SERIAL && m_board.Writing() && !m_strUpgradeFile.empty();
}

void CUpgradeDlg::UpdateRunLock()
{
    static constexpr int kLocked[] = {IDC_CHECK_ALL, IDC_CHECK_MAIN, IDC_CHECK_CIS_M, IDC_CHECK_CIS_S,
                                      IDC_CHECK_CF,  IDC_CHECK_IR,   IDC_COMBO_PORT,  IDC_COMBO_BAUD};
    static_assert(std::size(kLocked) == std::size(decltype(m_bEnabledBeforeRun){}));
    const int running = IsRunInProgress() ? 1 : 0;
    if (running == m_bRunLocked)
        return;
    m_bRunLocked = running;
    for (std::size_t i = 0; i < std::size(kLocked); ++i) {
        if (running != 0) {
            m_bEnabledBeforeRun[i] = m_host.IsControlEnabled(kLocked[i]);
            m_host.EnableControl(kLocked[i], false);
        } else {
            m_host.EnableControl(kLocked[i], m_bEnabledBeforeRun[i]);
        }
    }
}

void CUpgradeDlg::OnClose()
{
    if (m_bClosed != 0)
        return;
    m_bClosed = 1;
    StopConnectionTimers();
    m_host.StopTimer(IDT_STALL);
    m_host.StopTimer(IDT_PROGRAM_ANIM);
    if (m_nTransport == TRANSPORT_USB)
        DisconnectUsb();
    else
        DisconnectSerial();
    if (m_pSendToBD) {
        g_hSendToBD = nullptr;
        m_pSendToBD.reset();
    }
    DeleteUnpackedFiles(m_strUnzipFolder);
    for (auto& part : m_pPartData)
        part.reset();
    m_host.EndDialog();
}

void CUpgradeDlg::ResetUpgradeState()
{
    // The package is forgotten; so are the files it unpacked, which would
    // otherwise stay on disk with nothing left that knows them.
    DeleteUnpackedFiles(m_strUnzipFolder);
    m_nCurrentItem = 0;
    m_nResultType = 0;
    m_strUpgradeFile.clear();
    m_strUnzipFolder.clear();
    for (auto& path : m_strPartFile)
        path.clear();
    m_PartList = {};
    m_host.ListDeleteAll(IDC_LIST_PART);
    m_btnSysCheck.EnableWindow(false);
    m_btnUpgradeStart.EnableWindow(false);
    m_vecItemQueue.clear();
    ResetProgress();
    HidePartChecks();
    for (auto& flag : m_bHasPart)
        flag = 0;
    m_strTargetSerial.clear();
    m_strStartBlockedReason.clear();
    m_host.SetText(IDC_EDIT_SERIAL, "");
    m_Signature = {};
    ShowSignature();
}

void CUpgradeDlg::OnControlEvent(int id, ControlEvent event)
{
    switch (id) {
    case IDC_BUTTON_CONNECT:
        if (event == ControlEvent::Clicked)
            OnButtonConnect();
        break;
    case IDC_BUTTON_SYS_CHECK:
        if (event == ControlEvent::Clicked)
            OnButtonSysCheck();
        break;
    case IDC_BUTTON_UPGRADE_START:
        if (event == ControlEvent::Clicked)
            OnButtonUpgradeStart();
        break;
    case IDC_BUTTON_FILE_LOAD:
        if (event == ControlEvent::Clicked)
            OnButtonFileLoad();
        break;
    case IDC_CHECK_ALL:
        if (event == ControlEvent::Clicked)
            OnCheckAll();
        break;
    case IDC_COMBO_PORT:
        if (event == ControlEvent::DropDown)
            OnDropdownComboPort();
        else if (event == ControlEvent::SelChange)
            OnSelchangeComboPort();
        break;
    default:
        break;
    }
    UpdateRunLock();
}

namespace {

int ControlOf(CUpgradeDlg::EOperation op)
{
    switch (op) {
    case CUpgradeDlg::EOperation::Load:
        return IDC_BUTTON_FILE_LOAD;
    case CUpgradeDlg::EOperation::Connect:
        return IDC_BUTTON_CONNECT;
    case CUpgradeDlg::EOperation::SystemCheck:
        return IDC_BUTTON_SYS_CHECK;
    case CUpgradeDlg::EOperation::Start:
        break;
    }
    return IDC_BUTTON_UPGRADE_START;
}

} // namespace

bool CUpgradeDlg::Offers(EOperation op) const
{
    return OffersItem(ControlOf(op));
}

bool CUpgradeDlg::OffersItem(int box) const
{
    return m_host.IsControlVisible(box) && m_host.IsControlEnabled(box);
}

bool CUpgradeDlg::Operate(int id, void (CUpgradeDlg::*handler)())
{
    if (!OffersItem(id))
        return false;
    (this->*handler)();
    UpdateRunLock();
    return true;
}

bool CUpgradeDlg::Load(const std::string& path)
{
    if (!Offers(EOperation::Load))
        return false;
    LoadPackage(path);
    UpdateRunLock();
    return true;
}

bool CUpgradeDlg::Connect()
{
    return Operate(IDC_BUTTON_CONNECT, &CUpgradeDlg::OnButtonConnect);
}

bool CUpgradeDlg::SystemCheck()
{
    return Operate(IDC_BUTTON_SYS_CHECK, &CUpgradeDlg::OnButtonSysCheck);
}

bool CUpgradeDlg::Start()
{
    return Operate(IDC_BUTTON_UPGRADE_START, &CUpgradeDlg::OnButtonUpgradeStart);
}

bool CUpgradeDlg::ChooseItem(int box, bool on)
{
    if (!OffersItem(box))
        return false;
    m_host.SetCheck(box, on);
    UpdateRunLock();
    return true;
}

void CUpgradeDlg::OnTimer(int id)
{
    // Every timer of the window runs once per start.
    m_host.StopTimer(id);
    switch (id) {
    case IDT_BOARD_CHECK:
        if (m_nTransport == TRANSPORT_USB) {
            SendBoardCheck();
            m_host.StartTimer(IDT_NO_RESPONSE, 3000);
        }
        break;
    case IDT_NO_RESPONSE:
        MessageBox(EMsg::NoProtocolAnswer);
        DisconnectUsb();
        m_btnConnect.SetWindowText("Connect");
        break;
    case IDT_BOOT_MODE:
        MessageBox(EMsg::BootModeFailed);
        DisconnectSerial();
        m_btnConnect.SetWindowText("Connect");
        break;
    case IDT_PROGRAM_ANIM:
        OnProgramAnimTimer();
        break;
    case IDT_STALL:
        OnStallTimer();
        break;
    case IDT_SEND_BOOT:
    case IDT_SEND_READY:
    case IDT_SEND_START:
    case IDT_SEND_HEX:
    case IDT_SEND_FINISH:
    case IDT_PORT_CLOSE:
    case IDT_PORT_REOPEN:
    case IDT_BOOT_TIMEOUT:
    case IDT_BOARD_STALL:
        m_board.OnTimer(id);
        break;
    default:
        break;
    }
    UpdateRunLock();
}
