// The hidden bootloader window: the serial receive notification and the
// serial frame writer. Its receiver's sink (CSerialAckSink) is with the rest
// of the acknowledgement path in UpgradeDlgAcks.cpp.
//
// Error contract: nothing here fails towards its caller. A frame that cannot
// be written is traced; received bytes that belong to no exchange are
// dropped by the step machine (step 99) or by the frame receiver.
#include "window/SendToBD.h"

#include "link/CommPort.h"
#include "link/RxQueue.h"
#include "protocol/Pacing.h"
#include "window/UpgradeDlg.h"

#include <chrono>
#include <vector>

CSendToBD::CSendToBD(CUpgradeDlg& dlg) : m_dlg(dlg), m_Sink(dlg), m_Receiver(&m_Sink)
{
}

CSendToBD::~CSendToBD() = default;

long CSendToBD::OnRxNotify(unsigned long, long)
{
    // The step is looked at per byte: the last acknowledgement of a board
    // upgrade returns the exchange to step 0 in the middle of a batch, and
    // the bytes after it then belong to the frame protocol.
    std::uint8_t b = 0;
    while (g_RxQueue.Pop(b) == 1) {
        if (m_dlg.Status().BootStep() == DEF_STEP_NONE)
            m_Receiver.ParseReceived(&b, 1);
        else
            m_dlg.OnBootByte(b);
    }
    return 1;
}

void CSendToBD::MakePacketAndSend(std::uint8_t command, std::uint8_t subcommand, const std::uint8_t* payload,
                                  std::int32_t length)
{
    const std::vector<std::uint8_t> frame = BuildFrame(command, subcommand, payload, length);
    if (g_ComPort.WriteComm(frame.data(), static_cast<int>(frame.size())) == 0)
        m_dlg.Trace("Error : MakePacketAndSend() -> g_ComPort.WriteComm()");
}
