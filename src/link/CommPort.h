#pragma once
// The serial port of the upgrade board link: one device opened raw 8N1, its
// receive thread ThreadWatchComm and the hand-off of received bytes to the
// bootloader window through a CRxQueue and a synchronous notification.
//
// Error contract
// - OpenPort returns 1 or 0. After 0, LastError() holds the errno value (on
//   Windows the system error mapped onto the same values, so the texts stay
//   the same) and
//   LastErrorText() a line naming the step and the device, for the trace:
//   EINVAL   bad argument (empty name, baud 0) or the device did not keep the
//            line settings (speed off by more than COMM_BAUD_TOLERANCE_PERCENT);
//   EISCONN  the port is already open (OpenPort is for a closed port);
//   EDEADLK  called from inside a notification of the receive thread that
//            the previous ClosePort stopped; it can only be joined later;
//   EBUSY    another program holds the port exclusive (TIOCEXCL; on Windows
//            the open is refused with access denied);
//   EWOULDBLOCK another program (root included) holds the port's lock;
//   EBUSY    also: another program has the device open without lock or flag
//            (found through /proc); the text names it;
//   any other value comes from open, termios or thread start as the OS gave it.
// - WriteComm returns the bytes written, 0 on failure. A short count with
//   LastWriteTimedOut() true is a timeout (the device did not take the bytes
//   within count x (230400 / baud) ms); otherwise LastError() tells why.
// - ReadComm returns the bytes read, 0 when nothing is waiting or on failure.
// - OpenPort, ClosePort and WriteComm belong to the user-interface thread,
//   ReadComm to the receive thread.
//
// Closing
// - ClosePort stops the receive thread and joins it before it returns, also
//   when that thread waits in a hand-off (the gate drops it). Called from
//   inside a notification of that thread (on the user-interface thread
//   through the gate, or straight from the callback), it stops the thread,
//   which then ends as soon as the notification returns without touching
//   the device again, and leaves the join to the next OpenPort or the
//   destructor. Nothing is queued or notified after ClosePort returned.
#include "link/RxQueue.h"
#include "link/SyncGate.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class CCommPort;
// The receive thread procedure: 1 after a normal end, 0 when it was started
// without an open port.
int ThreadWatchComm(CCommPort* port);

class CCommPort {
public:
    // Called on the receive thread after bytes were queued, with their count
    // (the lParam of WM_RX_NOTIFY); the window sets it and performs the
    // synchronous hand-off through Gate().
    using NotifyFn = std::function<void(int count)>;
    // A fault the user must see, as the text of a message box.
    using MessageFn = std::function<void(const std::string& text)>;
    // The device hung up (unplugged, its other side closed): called once on
    // the receive thread, which then ends.
    using LostFn = std::function<void()>;

    static constexpr int COMM_QUEUE_SIZE = 16384;        // bytes per receive read
    static constexpr unsigned COMM_WRITE_CLOCK = 230400; // write timeout = count x (this / baud) ms
    static constexpr unsigned COMM_BAUD_TOLERANCE_PERCENT = 2;

    explicit CCommPort(CRxQueue& queue = g_RxQueue);
    ~CCommPort();
    CCommPort(const CCommPort&) = delete;
    CCommPort& operator=(const CCommPort&) = delete;

    // portName is a device path (/dev/ttyUSB0, a pty slave, ./x, dir/x); a
    // bare name without any '/' is taken under /dev/ (ttyS0 gives /dev/ttyS0).
    // On Windows it is a port name (COM3, COM12) opened as \\.\COM3.
    int OpenPort(const std::string& portName, std::uint32_t baudRate);
    void ClosePort();
    int WriteComm(const std::uint8_t* buffer, int count);
    int ReadComm(std::uint8_t* buffer, int capacity);

    // Queues what fits, notifies with that count, and repeats while the
    // notification makes room, so a block larger than the free space is not
    // cut. Returns the bytes queued: fewer than count only when a notification
    // left the ring full (the caller keeps the rest).
    int DeliverReceived(const std::uint8_t* bytes, int count);

    // Bytes the driver holds for reading (FIONREAD, the input queue), 0 when closed.
    int BytesWaiting() const;

    void SetNotify(NotifyFn fn);
    void SetMessage(MessageFn fn);
    void SetLost(LostFn fn);
    // Drops the bytes the driver holds for reading. User-interface thread.
    void PurgeInput();
    CSyncGate& Gate() { return m_gate; }

    int IsConnected() const { return m_bConnected.load() ? 1 : 0; }
    const std::string& DevicePath() const { return m_strDevicePath; }
    std::uint32_t BaudRate() const { return m_nBaudRate; }
    // The output speed the driver reported after OpenPort.
    std::uint32_t ActualBaudRate() const { return m_nActualBaud; }
    int LastError() const { return m_nLastError; }
    const std::string& LastErrorText() const { return m_strLastError; }
    bool LastWriteTimedOut() const { return m_bWriteTimedOut; }

private:
    friend int ThreadWatchComm(CCommPort* port);
    // The open device and what wakes its receive thread: a descriptor and an
    // eventfd on POSIX, the COM handle and a stop event on Windows.
    struct CDevice;

    int Fail(int err, const char* step);
    // The text of an errno value, worded alike on every platform.
    static std::string ErrorText(int err);
    // True when a speed the driver kept is within COMM_BAUD_TOLERANCE_PERCENT.
    static bool SpeedClose(std::uint32_t actual, std::uint32_t wanted);
    int ApplyLineSettings(std::uint32_t baudRate);
    // Starts ThreadWatchComm on the open device; 0 after a failure, which
    // the user is shown and which leaves the port closed. err: a failure in
    // preparing the thread, reported alike.
    int StartReader(int err = 0);
    void StopReader();
    bool JoinReader();
    void CloseDevice();
    void Notify(int count);
    // The device hung up: tells the owner once, unless a close is under way.
    void ReportLost();

    CRxQueue& m_rxQueue;
    CSyncGate m_gate;
    std::unique_ptr<CDevice> m_pDevice; // always there; holds no device while closed
    std::atomic<bool> m_bConnected{false};
    std::atomic<bool> m_bStop{true};
    std::thread m_receiveThread;
    std::string m_strDevicePath;
    std::uint32_t m_nBaudRate = 0;
    std::uint32_t m_nActualBaud = 0;
    int m_nLastError = 0;
    std::string m_strLastError;
    bool m_bWriteTimedOut = false;

    std::mutex m_callbackMutex;
    NotifyFn m_fnNotify;
    MessageFn m_fnMessage;
    LostFn m_fnLost;
};

// Processes other than this one that have the device open, as "PID (name)"
// joined by ", "; empty when there are none or /proc cannot tell.
std::string OtherOpeners(const std::string& devicePath);

extern CCommPort g_ComPort;
