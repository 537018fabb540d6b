#pragma once
// The USB link: the first FTDI device, its configuration, frame writes and
// the reader thread that feeds the link's receiver.
//
// Error contract: OpenUsb and ReconnectUsb return 1 on success and 0 on any
// failure (the window shows "USB connection failed!"; the backend traces
// why); CloseUsb always returns 1; write_usb returns the bytes the device
// accepted, 0 on failure. A lost device seen by the reader is closed and
// reopened once; when that fails the link stays closed, the sink is told
// (OnLinkLost) and the reader polls on until CloseUsb(true).
//
// Threads: OpenUsb(true), CloseUsb(true), write_usb, SetSink, SetBackend and
// the destructor run on the user-interface thread; the reader thread runs
// the receiver and its sink, and after a lost device CloseUsb(false) and
// ReconnectUsb. The sink's events reach the user-interface thread through
// HandOffGate(); CloseUsb(true) closes the gate, so a reader waiting there
// is released, and returns only after the reader has ended, except when it
// is called from inside one of the reader's hand-offs: then the reader ends
// as soon as the hand-off returns and is joined by the next OpenUsb,
// SetBackend or the destructor (which therefore must not run inside a
// hand-off).
#include "link/FtdiBackend.h"
#include "link/SyncGate.h"
#include "protocol/Receiver.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

inline constexpr std::uint32_t USB_IN_TRANSFER_SIZE = 32768;   // bytes
inline constexpr std::uint32_t USB_OUT_TRANSFER_SIZE = 0;      // left to the driver
inline constexpr std::uint32_t USB_TIMEOUT_OPEN_MS = 3000;     // read and write, while open
inline constexpr std::uint32_t USB_TIMEOUT_CLOSING_MS = 100;   // read and write, while closing
inline constexpr std::uint8_t USB_LATENCY_MS = 2;              // FTDI latency timer
inline constexpr int USB_POLL_INTERVAL_MS = 1;                 // reader poll period
inline constexpr std::uint32_t USB_READER_BUFFER_SIZE = 32768; // bytes per read

class CUsbLink {
public:
    // The default backend is libftdi1.
    CUsbLink();
    explicit CUsbLink(std::unique_ptr<IFtdiBackend> backend);
    ~CUsbLink();
    CUsbLink(const CUsbLink&) = delete;
    CUsbLink& operator=(const CUsbLink&) = delete;

    // Replaces the backend; only while closed. Returns 1, or 0 when the link
    // is open or its reader is still finishing.
    int SetBackend(std::unique_ptr<IFtdiBackend> backend);
    // Where the receiver's events go; called on the reader thread.
    void SetSink(IAckSink* sink);
    // Backend traces (why an open failed, a lost device).
    void SetTrace(IFtdiBackend::TraceFn trace);
    // The backend's latest explanation of a failed open; empty when it gave none.
    std::string OpenFailure() const { return m_pBackend ? m_pBackend->OpenFailure() : std::string(); }

    // The hand-off the window's sink sends its events through.
    CSyncGate& HandOffGate() { return m_gate; }
    // Packet and step counters; the window reads them while the reader waits
    // in a hand-off.
    CAckReceiver& Receiver() { return m_receiver; }

    int OpenUsb(bool startReader);
    // Opens a second handle and adopts it in place of the current one; when
    // that open or its configuration fails, the current handle stays as it
    // was and 0 is returned. Without a running reader the link stays closed
    // and 0 is returned.
    int ReconnectUsb();
    int CloseUsb(bool stopReader);
    std::uint32_t write_usb(const std::uint8_t* buffer, std::uint32_t count);

    // Drops what the device and the receiver hold so far (a half frame
    // included): a new conversation starts. User-interface thread.
    void DiscardInput();
    // Writes started so far. A frame whose bytes were read when this count
    // was N (ReadStamp, on the reader thread) arrived after write N began
    // and can answer only that write.
    std::uint32_t WriteCount() const { return m_nWrites.load(); }
    std::uint32_t ReadStamp() const { return m_nReadStamp; }

    // The reader thread's procedure; returns 1.
    static int UsbReaderThread(CUsbLink* link);

    bool IsOpen() const;
    // Attached devices found by the last open.
    std::uint32_t DeviceCount() const { return m_nDeviceCount.load(); }

private:
    // Forwards receiver events to the window's sink while the reader runs,
    // so nothing reaches the window after CloseUsb(true) has returned.
    class CForwardSink final : public IAckSink {
    public:
        explicit CForwardSink(CUsbLink& link) : m_link(link) {}
        void OnAckEvent(int event) override;
        void OnCheckerRefusal(ERefusal why, const std::string& text) override;
        void OnFrame(const Packet& packet) override;
        void OnLinkLost() override;

    private:
        CUsbLink& m_link;
    };

    // Steps 1 to 7 of an open: a configured new handle, or FTDI_NO_HANDLE.
    FtdiHandle OpenConfigured();
    FtdiHandle CurrentHandle() const;
    // Takes the device out of the link and releases it; with expected set,
    // only if that is still the link's device and the reader still runs.
    bool CloseDevice(FtdiHandle expected);
    void ReleaseHandle(FtdiHandle handle);
    void OnLostDevice(FtdiHandle lost);
    void ParseRead(const std::uint8_t* bytes, std::uint32_t count);
    // Joins a reader left running by a close from inside its hand-off.
    bool JoinFinishingReader();
    bool OnReaderThread() const;
    void RunReader();

    std::unique_ptr<IFtdiBackend> m_pBackend;
    IFtdiBackend::TraceFn m_fnTrace;

    mutable std::mutex m_mutex; // guards m_hDevice and m_bHasReader, never held over a hand-off
    FtdiHandle m_hDevice = FTDI_NO_HANDLE;
    bool m_bHasReader = false;
    std::atomic<std::uint32_t> m_nDeviceCount{0};
    std::atomic<int> m_bRunning{0};
    std::atomic<std::thread::id> m_readerId{};
    std::thread m_readerThread;
    std::thread m_finishingReader;

    std::atomic<std::uint32_t> m_nWrites{0};
    std::uint32_t m_nReadStamp = 0; // reader thread only
    std::atomic<std::uint32_t> m_nDiscards{0};
    std::uint32_t m_nDiscardsSeen = 0; // reader thread only

    std::atomic<IAckSink*> m_pSink{nullptr};
    CForwardSink m_forwardSink{*this};
    CAckReceiver m_receiver;
    CSyncGate m_gate;
};
