#include "link/ComWin.h"

#include <cerrno>
#include <cstring>
#include <utility>

namespace com {

std::wstring Widen(const std::string& text)
{
    if (text.empty())
        return {};
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring wide(std::size_t(n > 0 ? n : 0), L'\0');
    if (n > 0)
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), wide.data(), n);
    return wide;
}

std::string Narrow(const std::wstring& text)
{
    if (text.empty())
        return {};
    const int n =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string narrow(std::size_t(n > 0 ? n : 0), '\0');
    if (n > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), narrow.data(), n, nullptr, nullptr);
    return narrow;
}

namespace {
constexpr const char kDevicePrefix[] = "\\\\.\\";
}

std::string DevicePath(const std::string& portName)
{
    if (portName.rfind(kDevicePrefix, 0) == 0)
        return portName;
    return kDevicePrefix + portName;
}

std::string PortName(const std::string& portNameOrPath)
{
    std::string name = portNameOrPath.rfind(kDevicePrefix, 0) == 0
                           ? portNameOrPath.substr(sizeof kDevicePrefix - 1)
                           : portNameOrPath;
    for (char& c : name)
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
    return name;
}

int ErrnoOf(DWORD error)
{
    switch (error) {
    case ERROR_SUCCESS:
        return 0;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
        return EBUSY;
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_DATA:
        return EINVAL;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_NO_SYSTEM_RESOURCES:
        return ENOMEM;
    case ERROR_INVALID_HANDLE:
        return EBADF;
    case ERROR_SEM_TIMEOUT:
    case WAIT_TIMEOUT:
        return ETIMEDOUT;
    case ERROR_TOO_MANY_OPEN_FILES:
        return EMFILE;
    default:
        return EIO;
    }
}

std::string ErrnoText(int err)
{
    // The values ErrnoOf gives and the link sets itself, worded as glibc words them.
    struct Text {
        int err;
        const char* text;
    };
    static constexpr Text kTexts[] = {
        {ENOENT, "No such file or directory"},
        {EIO, "Input/output error"},
        {EBADF, "Bad file descriptor"},
        {ENOMEM, "Cannot allocate memory"},
        {EACCES, "Permission denied"},
        {EBUSY, "Device or resource busy"},
        {EINVAL, "Invalid argument"},
        {EMFILE, "Too many open files"},
        {EAGAIN, "Resource temporarily unavailable"},
        {EDEADLK, "Resource deadlock avoided"},
        {EISCONN, "Transport endpoint is already connected"},
        {ETIMEDOUT, "Connection timed out"},
        {ENODEV, "No such device"},
        {ENXIO, "No such device or address"},
    };
    for (const Text& t : kTexts)
        if (t.err == err)
            return t.text;
    return std::strerror(err);
}

bool IsLostDevice(DWORD error)
{
    switch (error) {
    case ERROR_BROKEN_PIPE:
    case ERROR_NOT_READY:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_GEN_FAILURE:
    case ERROR_BAD_COMMAND:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_ACCESS_DENIED: // what a USB port whose device was removed answers
        return true;
    default:
        return false;
    }
}

CUniqueHandle& CUniqueHandle::operator=(CUniqueHandle&& other) noexcept
{
    if (this != &other)
        Reset(other.Release());
    return *this;
}

HANDLE CUniqueHandle::Release()
{
    return std::exchange(m_hHandle, nullptr);
}

void CUniqueHandle::Reset(HANDLE handle)
{
    if (IsOpen())
        ::CloseHandle(m_hHandle);
    m_hHandle = handle;
}

CUniqueHandle MakeEvent()
{
    return CUniqueHandle(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

COverlapped::COverlapped() : m_event(MakeEvent())
{
}

OVERLAPPED* COverlapped::Start()
{
    m_record = OVERLAPPED{};
    m_record.hEvent = m_event.Get();
    ::ResetEvent(m_event.Get());
    return &m_record;
}

DWORD OpenPort(const std::string& path, DWORD queueBytes, CUniqueHandle& port)
{
    port.Reset(::CreateFileW(Widen(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr));
    if (!port.IsOpen()) {
        const DWORD error = ::GetLastError();
        port.Release();
        return error;
    }
    // Only a request: a driver may keep its own sizes.
    ::SetupComm(port.Get(), queueBytes, queueBytes);
    return 0;
}

DWORD SetLine8N1(HANDLE port, std::uint32_t baud, std::uint32_t& kept)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(port, &dcb))
        return ::GetLastError();
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    if (!::SetCommState(port, &dcb))
        return ::GetLastError();
    // A driver may accept settings and keep others.
    DCB back{};
    back.DCBlength = sizeof back;
    if (!::GetCommState(port, &back))
        return ::GetLastError();
    kept = back.BaudRate;
    if (back.ByteSize != 8 || back.Parity != NOPARITY || back.StopBits != ONESTOPBIT || back.fOutxCtsFlow ||
        back.fOutX || back.fInX)
        return ERROR_INVALID_DATA;
    return 0;
}

void PurgeAll(HANDLE port)
{
    ::PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
}

DWORD Complete(HANDLE port, COverlapped& record, DWORD& done, HANDLE stop, DWORD waitMs)
{
    done = 0;
    const HANDLE events[2] = {record.Event(), stop};
    const DWORD wait = ::WaitForMultipleObjects(stop != nullptr ? 2 : 1, events, FALSE, waitMs);
    if (wait == WAIT_TIMEOUT)
        return ERROR_IO_PENDING;
    const bool stopped = wait == WAIT_OBJECT_0 + 1;
    if (stopped || wait == WAIT_FAILED)
        ::CancelIoEx(port, record.Record());
    // After a cancel this returns once the driver has let go of the buffer.
    if (!::GetOverlappedResult(port, record.Record(), &done, TRUE))
        return ::GetLastError();
    return stopped && done == 0 ? ERROR_OPERATION_ABORTED : 0;
}

DWORD Transfer(HANDLE port, EDirection direction, void* buffer, DWORD count, COverlapped& record, DWORD& done,
               HANDLE stop, DWORD waitMs)
{
    done = 0;
    OVERLAPPED* ov = record.Start();
    const BOOL finished = direction == EDirection::READ ? ::ReadFile(port, buffer, count, nullptr, ov)
                                                        : ::WriteFile(port, buffer, count, nullptr, ov);
    if (finished)
        return ::GetOverlappedResult(port, ov, &done, FALSE) ? 0 : ::GetLastError();
    const DWORD error = ::GetLastError();
    if (error != ERROR_IO_PENDING)
        return error;
    return Complete(port, record, done, stop, waitMs);
}

DWORD InputWaiting(HANDLE port, DWORD& waiting)
{
    waiting = 0;
    DWORD errors = 0;
    COMSTAT status{};
    if (!::ClearCommError(port, &errors, &status))
        return ::GetLastError();
    waiting = status.cbInQue;
    return 0;
}

} // namespace com
