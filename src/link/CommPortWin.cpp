// The serial port on Windows: a COM port opened for overlapped I/O. The
// receive thread keeps one read pending, which returns as soon as bytes
// arrive, and is stopped by an event and a cancel; it does not wait for
// port events (Wine does not support that wait).
#include "link/ComWin.h"
#include "link/CommPort.h"

#include <algorithm>
#include <cerrno>
#include <vector>

namespace {
// How long the receive thread waits before it looks again at a full ring.
constexpr DWORD kRingFullRetryMs = 5;
// A pending read waits for its first byte without limit and returns once the
// line has been quiet this long after one (or its buffer is full).
constexpr DWORD kReadGapMs = 1;

// The port whose receive thread this is, so that a close on that thread
// does not try to join itself.
thread_local const CCommPort* t_pWatchedPort = nullptr;
} // namespace

struct CCommPort::CDevice {
    std::atomic<HANDLE> port{INVALID_HANDLE_VALUE};
    com::CUniqueHandle stop = com::MakeEvent(); // set while the receive thread is to end
    com::COverlapped read;                      // the receive thread's
    com::COverlapped write;                     // the user-interface thread's
};

CCommPort::CCommPort(CRxQueue& queue) : m_rxQueue(queue), m_pDevice(std::make_unique<CDevice>())
{
}

CCommPort::~CCommPort()
{
    ClosePort();
    // A close from inside a notification left the join to us.
    if (m_receiveThread.joinable())
        m_receiveThread.join();
}

std::string CCommPort::ErrorText(int err)
{
    return com::ErrnoText(err);
}

int CCommPort::OpenPort(const std::string& portName, std::uint32_t baudRate)
{
    m_bWriteTimedOut = false;
    if (m_pDevice->port.load() != INVALID_HANDLE_VALUE)
        return Fail(EISCONN, "open");
    // The receive thread of the previous session must be gone before a new one starts.
    if (!JoinReader())
        return Fail(EDEADLK, "open");
    m_strDevicePath = portName.empty() ? portName : com::DevicePath(portName);
    if (portName.empty() || baudRate == 0)
        return Fail(EINVAL, "open");

    com::CUniqueHandle port;
    if (const DWORD error = com::OpenPort(m_strDevicePath, COMM_QUEUE_SIZE, port); error != 0) {
        Fail(com::ErrnoOf(error), "open");
        // Windows opens a COM port for one program at a time.
        if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)
            m_strLastError += " (another program has the port open)";
        return 0;
    }
    com::PurgeAll(port.Get());
    // A pending read returns soon after bytes came (the interval timeout;
    // the return-at-once setting would leave nothing to wait on, and Wine
    // stalls a read that waits for its first byte under a total timeout); a
    // write may take count x (230400 / baud) ms (0: no limit).
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = kReadGapMs;
    timeouts.WriteTotalTimeoutMultiplier = COMM_WRITE_CLOCK / baudRate;
    timeouts.WriteTotalTimeoutConstant = 0;
    if (!::SetCommTimeouts(port.Get(), &timeouts))
        return Fail(com::ErrnoOf(::GetLastError()), "timeouts");
    m_pDevice->port.store(port.Release());
    m_nBaudRate = baudRate;
    if (ApplyLineSettings(baudRate) == 0) {
        CloseDevice();
        return 0;
    }
    const bool ready = m_pDevice->stop.IsOpen() && m_pDevice->read.IsOpen() && m_pDevice->write.IsOpen();
    if (ready)
        ::ResetEvent(m_pDevice->stop.Get());
    return StartReader(ready ? 0 : ENOMEM);
}

int CCommPort::ApplyLineSettings(std::uint32_t baudRate)
{
    std::uint32_t kept = 0;
    if (const DWORD error = com::SetLine8N1(m_pDevice->port.load(), baudRate, kept); error != 0)
        return Fail(com::ErrnoOf(error),
                    error == ERROR_INVALID_DATA ? "line settings kept" : "line settings");
    m_nActualBaud = kept;
    if (!SpeedClose(kept, baudRate)) {
        Fail(EINVAL, "line speed");
        m_strLastError += " (" + std::to_string(baudRate) + " baud asked, " + std::to_string(kept) + " kept)";
        return 0;
    }
    return 1;
}

void CCommPort::StopReader()
{
    m_bStop.store(true);
    if (m_pDevice->stop.IsOpen())
        ::SetEvent(m_pDevice->stop.Get());
    // Releases a receive thread that waits in a hand-off the user-interface
    // thread has not started; one already running finishes.
    m_gate.Close();
}

bool CCommPort::JoinReader()
{
    // Straight from the receive thread's own callback: it cannot end before
    // we return, and its thread object belongs to the user-interface thread.
    if (t_pWatchedPort == this)
        return false;
    if (m_receiveThread.joinable()) {
        // Inside a hand-off of that thread: likewise.
        if (m_gate.InHandOff())
            return false;
        m_receiveThread.join();
    }
    return true;
}

void CCommPort::CloseDevice()
{
    const HANDLE port = m_pDevice->port.exchange(INVALID_HANDLE_VALUE);
    if (port == INVALID_HANDLE_VALUE)
        return;
    com::PurgeAll(port);
    ::CloseHandle(port);
}

void CCommPort::ClosePort()
{
    m_bConnected.store(false);
    StopReader();
    // When the join has to wait (a close from inside a notification), the
    // thread is parked in that hand-off and leaves without touching the
    // device again, so the device can be closed now either way.
    JoinReader();
    CloseDevice();
}

int CCommPort::WriteComm(const std::uint8_t* buffer, int count)
{
    m_bWriteTimedOut = false;
    const HANDLE port = m_pDevice->port.load();
    if (port == INVALID_HANDLE_VALUE)
        return Fail(EBADF, "write");
    if (buffer == nullptr || count <= 0)
        return Fail(EINVAL, "write");
    DWORD written = 0;
    const DWORD error = com::Transfer(port, com::EDirection::WRITE, const_cast<std::uint8_t*>(buffer),
                                      DWORD(count), m_pDevice->write, written);
    // The write timeout ends a transfer short, with or without an error.
    if ((error == 0 || error == ERROR_SEM_TIMEOUT || error == WAIT_TIMEOUT) && written < DWORD(count)) {
        m_bWriteTimedOut = true;
        Fail(ETIMEDOUT, "write");
    } else if (error != 0) {
        DWORD waiting = 0;
        com::InputWaiting(port, waiting); // clears the port's error state
        Fail(com::ErrnoOf(error), "write");
    }
    return int(written);
}

int CCommPort::ReadComm(std::uint8_t* buffer, int capacity)
{
    const HANDLE port = m_pDevice->port.load();
    if (port == INVALID_HANDLE_VALUE || buffer == nullptr || capacity <= 0)
        return 0;
    DWORD waiting = 0;
    if (com::InputWaiting(port, waiting) != 0 || waiting == 0)
        return 0;
    DWORD got = 0;
    com::Transfer(port, com::EDirection::READ, buffer, DWORD(capacity), m_pDevice->read, got,
                  m_pDevice->stop.Get());
    return int(got);
}

int CCommPort::BytesWaiting() const
{
    const HANDLE port = m_pDevice->port.load();
    DWORD waiting = 0;
    if (port == INVALID_HANDLE_VALUE || com::InputWaiting(port, waiting) != 0)
        return 0;
    return int(std::min<DWORD>(waiting, 1u << 30));
}

void CCommPort::PurgeInput()
{
    // Clears the queue only: the receive thread's pending read stays.
    if (const HANDLE port = m_pDevice->port.load(); port != INVALID_HANDLE_VALUE)
        ::PurgeComm(port, PURGE_RXCLEAR);
}

std::string OtherOpeners(const std::string&)
{
    // Windows refuses a second open of a COM port itself; there is no one to name.
    return {};
}

int ThreadWatchComm(CCommPort* port)
{
    if (port == nullptr)
        return 0;
    CCommPort::CDevice& device = *port->m_pDevice;
    const HANDLE handle = device.port.load();
    const HANDLE stop = device.stop.Get();
    if (handle == INVALID_HANDLE_VALUE || stop == nullptr)
        return 0;
    t_pWatchedPort = port;
    std::vector<std::uint8_t> buffer(CCommPort::COMM_QUEUE_SIZE);
    while (!port->m_bStop.load()) {
        // A full ring leaves the bytes in the driver until the consumer makes room;
        // never read more than the ring can take, so no byte is dropped.
        const int space = std::min(port->m_rxQueue.FreeSpace(), CCommPort::COMM_QUEUE_SIZE);
        if (space <= 0) {
            if (::WaitForSingleObject(stop, kRingFullRetryMs) == WAIT_OBJECT_0)
                break;
            continue;
        }
        DWORD got = 0;
        const DWORD error =
            com::Transfer(handle, com::EDirection::READ, buffer.data(), DWORD(space), device.read, got, stop);
        if (port->m_bStop.load())
            break;
        if (got > 0)
            port->DeliverReceived(buffer.data(), int(got));
        if (error == 0 || error == ERROR_SEM_TIMEOUT)
            continue;
        // A hang-up fails the read (broken pipe, then not ready); an abort
        // that no close asked for is the driver giving up on a removed device.
        DWORD waiting = 0;
        if (com::IsLostDevice(error) || error == ERROR_OPERATION_ABORTED ||
            com::InputWaiting(handle, waiting) != 0) {
            port->ReportLost();
            break;
        }
    }
    return 1;
}
