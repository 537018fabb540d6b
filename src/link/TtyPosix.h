#pragma once
// The POSIX side both tty links share: the serial port (CCommPort) and the
// FTDI bridge behind a tty (the tty FTDI backend).
//
// Error contract: every call returns 0 or an errno value and never throws;
// OpenExclusive also names the step that failed ("open", "lock",
// "exclusive"). Nothing here traces; the caller words the failure.
//
// Threads: a CTtyWakeFd is signalled from any thread; WaitPort runs on the
// thread that reads or writes the port.
#include <string>

#include <termios.h>

namespace tty {

// Owns one file descriptor; -1 when empty.
class CUniqueFd {
public:
    explicit CUniqueFd(int fd = -1) : m_nFd(fd) {}
    CUniqueFd(CUniqueFd&& other) noexcept : m_nFd(other.Release()) {}
    CUniqueFd& operator=(CUniqueFd&& other) noexcept;
    CUniqueFd(const CUniqueFd&) = delete;
    CUniqueFd& operator=(const CUniqueFd&) = delete;
    ~CUniqueFd() { Reset(); }

    int Get() const { return m_nFd; }
    bool IsOpen() const { return m_nFd >= 0; }
    int Release();
    void Reset(int fd = -1);

private:
    int m_nFd;
};

// Opens path read-write, non-blocking, without becoming its controlling
// terminal, then takes the lock (flock, which holds against root too) and
// the exclusive flag (TIOCEXCL). A port whose flag another program set
// without the lock is EBUSY. On failure fd stays empty and step names the
// call that failed.
int OpenExclusive(const std::string& path, CUniqueFd& fd, const char*& step);

// Clears the exclusive flag and gives up the lock of a port OpenExclusive
// opened; the descriptor stays open.
void ReleaseExclusive(int fd);

// Raw 8N1: no parity, one stop bit, no flow control, no echo or line
// editing, reads as vmin asks (0: an empty read returns at once; 1: an empty
// non-blocking read fails with EAGAIN, so 0 bytes mean a hang-up). speed is
// a termios code, or B0 to leave the speed to the caller. step says whether
// the settings could not be read ("tcgetattr") or not be written
// ("tcsetattr").
int SetRaw8N1(int fd, speed_t speed, cc_t vmin, const char*& step);

// 0 when the driver kept what SetRaw8N1 asked (a driver may accept a request
// and keep something else), EINVAL when it did not, otherwise the errno of
// reading the settings back.
int CheckRaw8N1(int fd, cc_t vmin);

// An eventfd that wakes a thread waiting in WaitPort: once signalled it stays
// readable until closed.
class CTtyWakeFd {
public:
    int Open();
    void Close() { m_fd.Reset(); }
    void Signal() const;
    int Get() const { return m_fd.Get(); }
    bool IsOpen() const { return m_fd.IsOpen(); }

private:
    CUniqueFd m_fd;
};

enum class EWait { READY, TIMEOUT, CLOSING, HANGUP, FAILED };

// Waits until fd reports one of events, wakeFd is signalled (CLOSING) or
// timeoutMs passed (-1: no limit). fd -1 waits for the wake-up alone. HANGUP
// when the port reports a hang-up or an error without the events asked for
// (err EIO); FAILED when poll fails or fd is not open (err says why).
// revents, when given, receives what the port reported.
EWait WaitPort(int fd, short events, int wakeFd, int timeoutMs, int& err, short* revents = nullptr);

} // namespace tty
