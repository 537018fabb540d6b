// Connection control: the port and baud lists, Connect / Dis Connect, and
// what a lost link leaves behind. The acknowledgements that arrive over a
// link are UpgradeDlgAcks.cpp.
#include "window/UpgradeDlg.h"

#include "link/CommPort.h"
#include "link/FtdiBackend.h"
#include "link/RxQueue.h"
#include "link/SerialPortList.h"
#include "protocol/Pacing.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <initializer_list>

namespace {
constexpr const char* kBaudRates[] = {"4800", "9600", "19200", "38300", "38400", "57600", "115200"};
constexpr int kDefaultBaudIndex = 4; // 38400

} // namespace

void CUpgradeDlg::StopConnectionTimers()
{
    for (int id :
         std::initializer_list<int>{IDT_BOARD_CHECK, IDT_NO_RESPONSE, IDT_BOOT_MODE, IDT_SEND_BOOT,
                                    IDT_SEND_READY, IDT_SEND_START, IDT_SEND_HEX, IDT_SEND_FINISH,
                                    IDT_PORT_CLOSE, IDT_PORT_REOPEN, IDT_BOOT_TIMEOUT, IDT_BOARD_STALL})
        m_host.StopTimer(id);
}

void CUpgradeDlg::DiscardInput()
{
    if (m_nTransport == TRANSPORT_USB) {
        m_UsbLink.DiscardInput();
        return;
    }
    PortDropInput();
    SerialReceiver().Reset();
}

void CUpgradeDlg::OnLinkLost(int transport)
{
    if (m_bConnected == 0 || m_nTransport != transport)
        return;
    StopConnectionTimers();
    const bool inRun = m_bRunActive != 0;
    // The board exchange has sent its first upgrade frame once the board answered the probe.
    const bool boardBegun = m_board.Step() != DEF_STEP_NONE && m_board.Step() != DEF_STEP_MAINCHECK;
    StopRun();
    if (transport == TRANSPORT_USB) {
        Trace("USB link lost\r\n");
        DisconnectUsb();
    } else {
        Trace("Serial port hung up\r\n");
        m_fileDownload.Close();
        m_board.Halt(); // this is the one report of the exchange
        DisconnectSerial();
    }
    // Back to Ready: the package stays, Connect can be pressed again.
    m_btnConnect.SetWindowText("Connect");
    m_btnConnect.EnableWindow(true);
    m_btnFileLoad.EnableWindow(true);
    m_btnSysCheck.EnableWindow(false);
    m_btnUpgradeStart.EnableWindow(false);
    if (transport == TRANSPORT_SERIAL)
        ShowMessage(EMsg::BoardLost, MessageText(EMsg::BoardLost), !boardBegun);
    else
        MessageBox(inRun ? EMsg::MachineLostInRun : EMsg::MachineLost);
}

void CUpgradeDlg::FillBaudList()
{
    if (m_host.ComboCount(IDC_COMBO_BAUD) > 0)
        m_host.ComboReset(IDC_COMBO_BAUD);
    for (const char* rate : kBaudRates)
        m_host.ComboAdd(IDC_COMBO_BAUD, rate);
    m_host.ComboSelect(IDC_COMBO_BAUD, kDefaultBaudIndex);
}

void CUpgradeDlg::FillPortList()
{
    if (m_nResultType == RESULT_TYPE_BOARD) {
        FillComPortList();
        return;
    }
    if (m_host.ComboCount(IDC_COMBO_PORT) > 0)
        m_host.ComboReset(IDC_COMBO_PORT);
    m_host.ComboAdd(IDC_COMBO_PORT, "USB");
    m_host.ComboSelect(IDC_COMBO_PORT, 0);
}

void CUpgradeDlg::FillComPortList()
{
    if (m_host.ComboCount(IDC_COMBO_PORT) > 0)
        m_host.ComboReset(IDC_COMBO_PORT);
    std::vector<std::string> ports = ListSerialPorts();
    for (const auto& extra : m_options.extraPorts)
        if (std::find(ports.begin(), ports.end(), extra) == ports.end())
            ports.push_back(extra);
    for (const auto& port : ports)
        m_host.ComboAdd(IDC_COMBO_PORT, port);
    m_host.ComboSelect(IDC_COMBO_PORT, 0);
}

void CUpgradeDlg::OnSelchangeComboPort()
{
    const int index = m_host.ComboSelected(IDC_COMBO_PORT);
    if (index >= 0)
        m_strPortName = m_host.ComboItemText(IDC_COMBO_PORT, index);
}

void CUpgradeDlg::OnDropdownComboPort()
{
    // The list is read again (a device may have come or gone), but opening
    // it to look does not change the port chosen.
    const int selected = m_host.ComboSelected(IDC_COMBO_PORT);
    const std::string chosen = selected >= 0 ? m_host.ComboItemText(IDC_COMBO_PORT, selected) : std::string();
    FillPortList();
    if (chosen.empty())
        return;
    for (int i = 0; i < m_host.ComboCount(IDC_COMBO_PORT); ++i)
        if (m_host.ComboItemText(IDC_COMBO_PORT, i) == chosen) {
            m_host.ComboSelect(IDC_COMBO_PORT, i);
            return;
        }
}

void CUpgradeDlg::OnButtonConnect()
{
    if (m_bConnected == 1) {
        StopConnectionTimers();
        DisconnectLink();
        m_btnConnect.SetWindowText("Connect");
        m_btnConnect.EnableWindow(false);
        m_btnSysCheck.EnableWindow(false);
        m_btnUpgradeStart.EnableWindow(false);
        m_host.ComboSelect(IDC_COMBO_BAUD, kDefaultBaudIndex);
        ResetUpgradeState();
        return;
    }

    const int port = m_host.ComboSelected(IDC_COMBO_PORT);
    if (port < 0) {
        MessageBox(EMsg::ChoosePort);
        return;
    }
    m_strPortName = m_host.ComboItemText(IDC_COMBO_PORT, port);
    const int baud = m_host.ComboSelected(IDC_COMBO_BAUD);
    if (baud < 0) {
        MessageBox(EMsg::ChooseBaud);
        return;
    }
    const std::string baudText = m_host.ComboItemText(IDC_COMBO_BAUD, baud);

    if (m_strPortName == "USB") {
        if (m_UsbLink.OpenUsb(true) == 1) {
            m_Journal.Linked(m_options.usbTty.empty() ? "USB (libftdi)" : "USB through " + m_options.usbTty);
            m_bConnected = 1;
            m_nTransport = TRANSPORT_USB;
            m_btnConnect.SetWindowText("Dis Connect");
            m_host.StartTimer(IDT_BOARD_CHECK, 1000);
        } else {
            const std::string why = m_UsbLink.OpenFailure();
            ShowMessage(EMsg::UsbConnectFailed, MessageText(EMsg::UsbConnectFailed), false,
                        why.empty() ? m_strUsbTtyError : why);
        }
        return;
    }

    ConnectSerial(m_strPortName, baudText);
    if (m_bConnected == 1) {
        m_nTransport = TRANSPORT_SERIAL;
        m_Journal.Linked("serial " + m_strPortName + " at " + baudText + " baud");
        // The board exchange starts by itself once the board answers the probe.
        m_Journal.RunStarted();
        m_Journal.ItemStarted(BOARD_ITEM_NAME);
        m_board.Start(m_strPartFile[0], m_strPartFile[1]);
        m_host.StartTimer(IDT_BOOT_MODE, 1000);
    }
}

void CUpgradeDlg::DisconnectLink()
{
    if (m_nTransport == TRANSPORT_USB)
        DisconnectUsb();
    else
        DisconnectSerial();
}

void CUpgradeDlg::DisconnectUsb()
{
    if (m_bConnected == 1) {
        m_bConnected = 0;
        m_UsbLink.CloseUsb(true);
    }
}

void CUpgradeDlg::OnBoardCheckAck()
{
    m_host.StopTimer(IDT_NO_RESPONSE);
    m_btnSysCheck.EnableWindow(true);
}

void CUpgradeDlg::ConnectSerial(const std::string& portName, const std::string& baudText)
{
    const auto baud = static_cast<std::uint32_t>(std::strtoul(baudText.c_str(), nullptr, 10));
    m_bConnected = g_ComPort.OpenPort(portName, baud);
    if (m_bConnected != 1)
        Trace("Serial open failed: " + g_ComPort.LastErrorText() + "\r\n");
    m_btnConnect.SetWindowText(m_bConnected == 1 ? "Dis Connect" : "Connect");
}

void CUpgradeDlg::DisconnectSerial()
{
    if (m_bConnected == 1) {
        m_bConnected = 0;
        g_ComPort.ClosePort();
    }
}
