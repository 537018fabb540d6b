#pragma once
// The Windows side both COM links share: the serial port (CCommPort) and the
// FTDI bridge through its virtual COM port (the COM FTDI backend).
//
// Error contract: calls return 0 or the Windows error (GetLastError) and
// never throw; ErrnoOf maps an error onto the errno values the links report,
// so a failure reads the same on every platform. Nothing here traces.
#include <cstdint>
#include <string>

#include <windows.h>

namespace com {

// UTF-8 to UTF-16 and back, for the wide-character calls.
std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);

// "\\.\COM3" for "COM3": the form that also reaches COM10 and above. A name
// already in that form is kept.
std::string DevicePath(const std::string& portName);
// "COM3" for "\\.\COM3" or "COM3"; upper case.
std::string PortName(const std::string& portNameOrPath);

// The errno value a Windows error stands for: a vanished device is EIO, a
// port another program holds EBUSY, a missing one ENOENT.
int ErrnoOf(DWORD error);
// glibc's wording of an errno value, so the texts match the POSIX build.
std::string ErrnoText(int err);
// True when the error says the device has gone (unplugged, its far side closed).
bool IsLostDevice(DWORD error);

// Owns one kernel handle; empty is null or INVALID_HANDLE_VALUE.
class CUniqueHandle {
public:
    explicit CUniqueHandle(HANDLE handle = nullptr) : m_hHandle(handle) {}
    CUniqueHandle(CUniqueHandle&& other) noexcept : m_hHandle(other.Release()) {}
    CUniqueHandle& operator=(CUniqueHandle&& other) noexcept;
    CUniqueHandle(const CUniqueHandle&) = delete;
    CUniqueHandle& operator=(const CUniqueHandle&) = delete;
    ~CUniqueHandle() { Reset(); }

    HANDLE Get() const { return m_hHandle; }
    bool IsOpen() const { return m_hHandle != nullptr && m_hHandle != INVALID_HANDLE_VALUE; }
    HANDLE Release();
    void Reset(HANDLE handle = nullptr);

private:
    HANDLE m_hHandle;
};

// A manual-reset event, initially not signalled; IsOpen false when it could
// not be made.
CUniqueHandle MakeEvent();

// One overlapped-I/O record with its own manual-reset event.
class COverlapped {
public:
    COverlapped();
    bool IsOpen() const { return m_event.IsOpen(); }
    // Cleared for the next transfer.
    OVERLAPPED* Start();
    OVERLAPPED* Record() { return &m_record; }
    HANDLE Event() const { return m_event.Get(); }

private:
    CUniqueHandle m_event;
    OVERLAPPED m_record{};
};

// Opens the port (a device path from DevicePath) for reading and writing,
// not shared, with overlapped I/O, and asks for driver queues of queueBytes.
DWORD OpenPort(const std::string& path, DWORD queueBytes, CUniqueHandle& port);

// 8N1 at baud without flow control, then read back. kept receives the speed
// the driver kept; ERROR_INVALID_DATA when it kept another frame format.
DWORD SetLine8N1(HANDLE port, std::uint32_t baud, std::uint32_t& kept);

// Drops what the driver holds in both directions and ends pending transfers.
void PurgeAll(HANDLE port);

enum class EDirection { READ, WRITE };
// One overlapped transfer, waited for. When stop (an event, may be null) is
// signalled first, the transfer is cancelled and ERROR_OPERATION_ABORTED
// returned; waitMs bounds the wait (INFINITE: none) and leaves a transfer
// still running pending: then ERROR_IO_PENDING is returned and done is 0.
DWORD Transfer(HANDLE port, EDirection direction, void* buffer, DWORD count, COverlapped& record, DWORD& done,
               HANDLE stop = nullptr, DWORD waitMs = INFINITE);
// Finishes a transfer Transfer left pending: waits up to waitMs (and for
// stop), as Transfer does.
DWORD Complete(HANDLE port, COverlapped& record, DWORD& done, HANDLE stop, DWORD waitMs);

// Bytes waiting in the driver's input queue; clears the port's error state.
DWORD InputWaiting(HANDLE port, DWORD& waiting);

} // namespace com
