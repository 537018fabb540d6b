// What the serial port does alike on every platform: the hand-off of
// received bytes, the callbacks and the wording of failures.
#include "link/CommPort.h"

#include <system_error>

// Defined together so that the port, whose thread fills the ring, is
// destroyed before the ring.
CRxQueue g_RxQueue;
CCommPort g_ComPort;

int CCommPort::Fail(int err, const char* step)
{
    m_nLastError = err;
    m_strLastError = std::string(step) + " " + m_strDevicePath + ": " + ErrorText(err);
    return 0;
}

bool CCommPort::SpeedClose(std::uint32_t actual, std::uint32_t wanted)
{
    const auto diff = actual > wanted ? actual - wanted : wanted - actual;
    return std::uint64_t{diff} * 100 <= std::uint64_t{wanted} * COMM_BAUD_TOLERANCE_PERCENT;
}

int CCommPort::StartReader(int err)
{
    m_bConnected.store(true);
    m_bStop.store(false);
    m_gate.Open();
    if (err == 0) {
        try {
            m_receiveThread = std::thread(ThreadWatchComm, this);
        } catch (const std::system_error& e) {
            err = e.code().value();
        }
    }
    if (err == 0)
        return 1;
    // A port that cannot receive is no connection: say so and leave it closed.
    MessageFn message;
    {
        std::lock_guard lock(m_callbackMutex);
        message = m_fnMessage;
    }
    if (message)
        message("Error while creating ThreadWatchComm," + m_strDevicePath);
    ClosePort();
    return Fail(err, "receive thread");
}

void CCommPort::SetNotify(NotifyFn fn)
{
    std::lock_guard lock(m_callbackMutex);
    m_fnNotify = std::move(fn);
}

void CCommPort::SetMessage(MessageFn fn)
{
    std::lock_guard lock(m_callbackMutex);
    m_fnMessage = std::move(fn);
}

void CCommPort::SetLost(LostFn fn)
{
    std::lock_guard lock(m_callbackMutex);
    m_fnLost = std::move(fn);
}

void CCommPort::Notify(int count)
{
    NotifyFn notify;
    {
        std::lock_guard lock(m_callbackMutex);
        notify = m_fnNotify;
    }
    if (notify)
        notify(count);
}

void CCommPort::ReportLost()
{
    if (m_bStop.load())
        return;
    LostFn lost;
    {
        std::lock_guard lock(m_callbackMutex);
        lost = m_fnLost;
    }
    if (lost)
        lost();
}

int CCommPort::DeliverReceived(const std::uint8_t* bytes, int count)
{
    if (bytes == nullptr || count <= 0)
        return 0;
    int stored = 0;
    while (stored < count) {
        const int n = m_rxQueue.PushBlock(bytes + stored, count - stored);
        if (n == 0)
            break;
        stored += n;
        Notify(n);
    }
    return stored;
}
