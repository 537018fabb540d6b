#pragma once
// The hidden bootloader window: receives the serial bytes (WM_RX_NOTIFY) and
// hands them to the bootloader step machine, or to the serial link's frame
// receiver when no bootloader step is active.
#include "protocol/Receiver.h"

#include <cstdint>
#include <string>

class CUpgradeDlg;

// The serial checkers run the window's reactions directly.
class CSerialAckSink : public IAckSink {
public:
    explicit CSerialAckSink(CUpgradeDlg& dlg) : m_dlg(dlg) {}
    void OnAckEvent(int event) override;
    void OnCheckerRefusal(ERefusal why, const std::string& text) override;

private:
    CUpgradeDlg& m_dlg;
};

class CSendToBD {
public:
    explicit CSendToBD(CUpgradeDlg& dlg);
    ~CSendToBD();
    CSendToBD(const CSendToBD&) = delete;
    CSendToBD& operator=(const CSendToBD&) = delete;

    // Handler of WM_RX_NOTIFY: drains g_RxQueue; both parameters are ignored.
    long OnRxNotify(unsigned long wParam, long lParam);
    // The serial frame writer.
    void MakePacketAndSend(std::uint8_t command, std::uint8_t subcommand, const std::uint8_t* payload,
                           std::int32_t length);

    CAckReceiver& Receiver() { return m_Receiver; }
    static constexpr const char* RuntimeClassName() { return "CSendToBD"; }

private:
    CUpgradeDlg& m_dlg;
    CSerialAckSink m_Sink;
    CAckReceiver m_Receiver;
};
