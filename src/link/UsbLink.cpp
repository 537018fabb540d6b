#include "link/UsbLink.h"

#include <algorithm>
#include <chrono>
#include <system_error>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {
// The reader runs above the user-interface thread so a step acknowledgement
// is picked up within its poll period; best effort, it needs privileges.
void RaiseReaderPriority()
{
#ifdef _WIN32
    ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL);
#else
    constexpr int USB_READER_NICE = -5;
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), USB_READER_NICE);
#endif
}
} // namespace

void CUsbLink::CForwardSink::OnAckEvent(int event)
{
    if (m_link.m_bRunning.load() == 0)
        return;
    if (IAckSink* sink = m_link.m_pSink.load())
        sink->OnAckEvent(event);
}

void CUsbLink::CForwardSink::OnCheckerRefusal(ERefusal why, const std::string& text)
{
    if (m_link.m_bRunning.load() == 0)
        return;
    if (IAckSink* sink = m_link.m_pSink.load())
        sink->OnCheckerRefusal(why, text);
}

void CUsbLink::CForwardSink::OnFrame(const Packet& packet)
{
    if (m_link.m_bRunning.load() == 0)
        return;
    if (IAckSink* sink = m_link.m_pSink.load())
        sink->OnFrame(packet);
}

void CUsbLink::CForwardSink::OnLinkLost()
{
    if (m_link.m_bRunning.load() == 0)
        return;
    if (IAckSink* sink = m_link.m_pSink.load())
        sink->OnLinkLost();
}

CUsbLink::CUsbLink() : CUsbLink(MakeFtdiBackendDefault())
{
}

CUsbLink::CUsbLink(std::unique_ptr<IFtdiBackend> backend) : m_pBackend(std::move(backend))
{
    m_receiver.SetSink(&m_forwardSink);
}

CUsbLink::~CUsbLink()
{
    CloseUsb(true);
    if (m_finishingReader.joinable())
        m_finishingReader.join();
}

int CUsbLink::SetBackend(std::unique_ptr<IFtdiBackend> backend)
{
    if (!backend || !JoinFinishingReader() || m_readerThread.joinable() || IsOpen())
        return 0;
    m_pBackend = std::move(backend);
    if (m_fnTrace)
        m_pBackend->SetTrace(m_fnTrace);
    return 1;
}

void CUsbLink::SetSink(IAckSink* sink)
{
    m_pSink.store(sink);
}

void CUsbLink::SetTrace(IFtdiBackend::TraceFn trace)
{
    m_fnTrace = std::move(trace);
    if (m_pBackend)
        m_pBackend->SetTrace(m_fnTrace);
}

bool CUsbLink::IsOpen() const
{
    return CurrentHandle() != FTDI_NO_HANDLE;
}

FtdiHandle CUsbLink::CurrentHandle() const
{
    std::lock_guard lock(m_mutex);
    return m_hDevice;
}

bool CUsbLink::OnReaderThread() const
{
    return m_readerId.load() == std::this_thread::get_id();
}

bool CUsbLink::JoinFinishingReader()
{
    if (!m_finishingReader.joinable())
        return true;
    if (m_gate.InHandOff() || m_finishingReader.get_id() == std::this_thread::get_id()) {
        if (m_fnTrace)
            m_fnTrace("USB: the previous reader is still in its hand-off\r\n");
        return false;
    }
    m_finishingReader.join();
    return true;
}

FtdiHandle CUsbLink::OpenConfigured()
{
    std::uint32_t count = 0;
    if (m_pBackend->ListDevices(count) != FTDI_OK)
        return FTDI_NO_HANDLE;
    m_nDeviceCount.store(count);
    if (count == 0)
        return FTDI_NO_HANDLE;

    FtdiHandle handle = FTDI_NO_HANDLE;
    if (m_pBackend->Open(0, handle) != FTDI_OK || handle == FTDI_NO_HANDLE)
        return FTDI_NO_HANDLE;

    const bool configured =
        m_pBackend->SetUsbParameters(handle, USB_IN_TRANSFER_SIZE, USB_OUT_TRANSFER_SIZE) == FTDI_OK &&
        m_pBackend->Purge(handle, FTDI_PURGE_RX | FTDI_PURGE_TX) == FTDI_OK &&
        m_pBackend->SetTimeouts(handle, USB_TIMEOUT_OPEN_MS, USB_TIMEOUT_OPEN_MS) == FTDI_OK &&
        m_pBackend->SetLatencyTimer(handle, USB_LATENCY_MS) == FTDI_OK;
    if (!configured) {
        m_pBackend->Close(handle);
        return FTDI_NO_HANDLE;
    }
    return handle;
}

int CUsbLink::OpenUsb(bool startReader)
{
    if (!startReader)
        return ReconnectUsb();

    if (m_readerThread.joinable()) {
        // Already open: a second reader would race the first on one receiver.
        if (m_fnTrace)
            m_fnTrace("Error : OpenUsb() -> the link is already open\r\n");
        return 0;
    }
    if (!JoinFinishingReader())
        return 0;

    const FtdiHandle handle = OpenConfigured();
    if (handle == FTDI_NO_HANDLE)
        return 0;
    FtdiHandle previous = FTDI_NO_HANDLE;
    {
        std::lock_guard lock(m_mutex);
        previous = m_hDevice;
        m_hDevice = handle;
        m_bHasReader = true;
    }
    if (previous != FTDI_NO_HANDLE)
        ReleaseHandle(previous);

    // A new connection is a new conversation: no half frame from the last one.
    m_receiver.Reset();
    m_gate.Open();
    m_bRunning.store(1);
    try {
        m_readerThread = std::thread(&CUsbLink::UsbReaderThread, this);
    } catch (const std::system_error&) {
        if (m_fnTrace)
            m_fnTrace("Error : OpenUsb() -> the reader thread did not start\r\n");
    }
    if (!m_readerThread.joinable()) {
        CloseUsb(true);
        return 0;
    }
    return 1;
}

int CUsbLink::ReconnectUsb()
{
    const FtdiHandle handle = OpenConfigured();
    if (handle == FTDI_NO_HANDLE)
        return 0; // the current handle, if any, is untouched

    FtdiHandle previous = FTDI_NO_HANDLE;
    bool adopt = false;
    {
        std::lock_guard lock(m_mutex);
        // Without a running reader nobody would read the device: the link
        // stays closed, as a reader's own reopen does once it is told to stop.
        adopt = m_bHasReader && m_bRunning.load() != 0;
        if (adopt) {
            previous = m_hDevice;
            m_hDevice = handle;
        }
    }
    if (!adopt) {
        m_pBackend->Close(handle);
        if (!OnReaderThread() && !m_readerThread.joinable())
            CloseUsb(true);
        return 0;
    }
    if (previous != FTDI_NO_HANDLE)
        m_pBackend->Close(previous);
    return 1;
}

void CUsbLink::ReleaseHandle(FtdiHandle handle)
{
    m_pBackend->Purge(handle, FTDI_PURGE_RX | FTDI_PURGE_TX);
    m_pBackend->Close(handle);
}

bool CUsbLink::CloseDevice(FtdiHandle expected)
{
    FtdiHandle handle = FTDI_NO_HANDLE;
    {
        std::lock_guard lock(m_mutex);
        if (expected != FTDI_NO_HANDLE && (m_hDevice != expected || m_bRunning.load() == 0))
            return false;
        handle = m_hDevice;
        m_hDevice = FTDI_NO_HANDLE;
    }
    if (handle != FTDI_NO_HANDLE)
        ReleaseHandle(handle);
    return true;
}

int CUsbLink::CloseUsb(bool stopReader)
{
    if (stopReader) {
        m_bRunning.store(0);
        m_gate.Close();
        if (const FtdiHandle handle = CurrentHandle(); handle != FTDI_NO_HANDLE)
            m_pBackend->SetTimeouts(handle, USB_TIMEOUT_CLOSING_MS, USB_TIMEOUT_CLOSING_MS);
        if (m_readerThread.joinable()) {
            if (m_gate.InHandOff() || OnReaderThread()) {
                // Called from inside the reader's own hand-off: it ends once
                // that returns; the join waits for the next open.
                m_finishingReader = std::move(m_readerThread);
            } else {
                m_readerThread.join();
            }
        }
        std::lock_guard lock(m_mutex);
        m_bHasReader = false;
    }
    CloseDevice(FTDI_NO_HANDLE);
    return 1;
}

std::uint32_t CUsbLink::write_usb(const std::uint8_t* buffer, std::uint32_t count)
{
    const FtdiHandle handle = CurrentHandle();
    if (handle == FTDI_NO_HANDLE || (buffer == nullptr && count > 0))
        return 0;
    // Counted before the bytes leave: an answer can come no earlier.
    m_nWrites.fetch_add(1);
    std::uint32_t written = 0;
    if (m_pBackend->Write(handle, buffer, count, written) != FTDI_OK)
        return 0;
    return written;
}

void CUsbLink::OnLostDevice(FtdiHandle lost)
{
    // Only the device that failed is closed: a reconnect on the
    // user-interface thread may already have replaced it.
    if (!CloseDevice(lost))
        return;
    if (m_fnTrace)
        m_fnTrace("USB: device lost, reopening\r\n");
    if (ReconnectUsb() == 1)
        return;
    if (m_fnTrace)
        m_fnTrace("USB: the device is gone\r\n");
    m_forwardSink.OnLinkLost();
}

void CUsbLink::DiscardInput()
{
    m_nDiscards.fetch_add(1);
    if (const FtdiHandle handle = CurrentHandle(); handle != FTDI_NO_HANDLE)
        m_pBackend->Purge(handle, FTDI_PURGE_RX);
}

void CUsbLink::ParseRead(const std::uint8_t* bytes, std::uint32_t count)
{
    // Stamped after the read: bytes that came before a write may pass as
    // newer, but an answer is never taken for older than it is.
    m_nReadStamp = m_nWrites.load();
    if (const std::uint32_t discards = m_nDiscards.load(); discards != m_nDiscardsSeen) {
        m_nDiscardsSeen = discards;
        m_receiver.Reset();
    }
    m_receiver.ParseReceived(bytes, count);
}

int CUsbLink::UsbReaderThread(CUsbLink* link)
{
    link->m_readerId.store(std::this_thread::get_id());
    RaiseReaderPriority();
    link->RunReader();
    link->m_bRunning.store(0);
    link->m_readerId.store(std::thread::id());
    return 1;
}

void CUsbLink::RunReader()
{
    std::vector<std::uint8_t> buffer(USB_READER_BUFFER_SIZE);
    while (m_bRunning.load() != 0) {
        const FtdiHandle handle = CurrentHandle();
        if (handle != FTDI_NO_HANDLE) {
            std::uint32_t rxBytes = 0, txBytes = 0, events = 0;
            FtdiSysError error;
            const FtdiStatus status = m_pBackend->GetStatus(handle, rxBytes, txBytes, events, error);
            if (status == FTDI_OK && rxBytes > 0) {
                const std::uint32_t want = std::min(rxBytes, USB_READER_BUFFER_SIZE);
                std::uint32_t got = 0;
                error = FtdiSysError();
                const FtdiStatus read = m_pBackend->Read(handle, buffer.data(), want, got, error);
                if (read == FTDI_OK && got > 0)
                    ParseRead(buffer.data(), std::min(got, want));
                else if (read != FTDI_OK && FtdiIsLostDevice(error))
                    OnLostDevice(handle);
            } else if (status != FTDI_OK && FtdiIsLostDevice(error)) {
                // A status call can be the first to notice an unplug; left
                // alone the reader would poll a dead handle for ever.
                OnLostDevice(handle);
            }
        }
        m_pBackend->WaitForData(CurrentHandle(), USB_POLL_INTERVAL_MS);
    }
}
