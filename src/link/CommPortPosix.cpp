// The serial port on POSIX: a tty opened raw through termios, its receive
// thread polling the descriptor beside an eventfd that wakes it for a close.
#include "link/CommPort.h"
#include "link/SerialSpeed.h"
#include "link/TtyPosix.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

struct CCommPort::CDevice {
    std::atomic<int> fd{-1};
    tty::CTtyWakeFd wake; // in the receive thread's poll set
};

namespace {
// How long the receive thread waits before it looks again at a full ring.
constexpr int kRingFullRetryMs = 5;

// The port whose receive thread this is, so that a close on that thread
// does not try to join itself.
thread_local const CCommPort* t_pWatchedPort = nullptr;

struct StandardSpeed {
    std::uint32_t baud;
    speed_t code;
};
constexpr StandardSpeed kStandardSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

// B0 when the rate has no termios code and goes through the exact-speed path.
speed_t StandardSpeedCode(std::uint32_t baud)
{
    for (const auto& s : kStandardSpeeds)
        if (s.baud == baud)
            return s.code;
    return B0;
}
} // namespace

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
    return std::strerror(err);
}

int CCommPort::OpenPort(const std::string& portName, std::uint32_t baudRate)
{
    m_bWriteTimedOut = false;
    if (m_pDevice->fd.load() >= 0)
        return Fail(EISCONN, "open");
    // The receive thread of the previous session must be gone before a new one starts.
    if (!JoinReader())
        return Fail(EDEADLK, "open");
    m_strDevicePath =
        portName.empty() || portName.find('/') != std::string::npos ? portName : "/dev/" + portName;
    if (portName.empty() || baudRate == 0)
        return Fail(EINVAL, "open");

    tty::CUniqueFd port;
    const char* step = "open";
    if (const int err = tty::OpenExclusive(m_strDevicePath, port, step); err != 0)
        return Fail(err, step);
    // A program that took neither the lock nor the flag still owns its bytes.
    if (const std::string holders = OtherOpeners(m_strDevicePath); !holders.empty()) {
        // The flag we just set would otherwise stay on the holder's port.
        ::ioctl(port.Get(), TIOCNXCL);
        Fail(EBUSY, "open");
        m_strLastError += " (held by " + holders + ")";
        return 0;
    }
    const int fd = port.Release();
    m_pDevice->fd.store(fd);
    m_nBaudRate = baudRate;
    if (ApplyLineSettings(baudRate) == 0) {
        CloseDevice();
        return 0;
    }
    ::tcflush(fd, TCIOFLUSH);
    return StartReader(m_pDevice->wake.Open());
}

int CCommPort::ApplyLineSettings(std::uint32_t baudRate)
{
    const int fd = m_pDevice->fd.load();
    const speed_t code = StandardSpeedCode(baudRate);
    const char* step = nullptr;
    if (const int err = tty::SetRaw8N1(fd, code, 0, step); err != 0)
        return Fail(err, "line settings");
    if (code == B0) {
        if (const int err = SetExactLineSpeed(fd, baudRate); err != 0)
            return Fail(err, "line speed");
    }
    if (const int err = tty::CheckRaw8N1(fd, 0); err != 0)
        return Fail(err, err == EINVAL ? "line settings kept" : "line settings");
    unsigned outBaud = 0;
    unsigned inBaud = 0;
    if (const int err = ReadLineSpeed(fd, outBaud, inBaud); err != 0)
        return Fail(err, "line speed");
    m_nActualBaud = outBaud;
    // Real UARTs reach many rates only approximately and some drivers report
    // the rate they reached; a frame still decodes within a few percent.
    if (!SpeedClose(outBaud, baudRate) || !SpeedClose(inBaud, baudRate)) {
        Fail(EINVAL, "line speed");
        m_strLastError +=
            " (" + std::to_string(baudRate) + " baud asked, " + std::to_string(outBaud) + " kept)";
        return 0;
    }
    return 1;
}

void CCommPort::StopReader()
{
    m_bStop.store(true);
    m_pDevice->wake.Signal();
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
    m_pDevice->wake.Close();
    return true;
}

void CCommPort::CloseDevice()
{
    int fd = m_pDevice->fd.exchange(-1);
    if (fd < 0)
        return;
    ::tcflush(fd, TCIOFLUSH);
    tty::ReleaseExclusive(fd);
    ::close(fd);
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
    using Clock = std::chrono::steady_clock;
    m_bWriteTimedOut = false;
    const int fd = m_pDevice->fd.load();
    if (fd < 0)
        return Fail(EBADF, "write");
    if (buffer == nullptr || count <= 0)
        return Fail(EINVAL, "write");
    // 0 ms per byte (above 230400 baud) means no timeout.
    const std::uint32_t perByteMs = COMM_WRITE_CLOCK / m_nBaudRate;
    const auto deadline =
        Clock::now() + std::chrono::milliseconds(std::uint64_t{perByteMs} * unsigned(count));

    int written = 0;
    while (written < count) {
        const ssize_t n = ::write(fd, buffer + written, std::size_t(count - written));
        if (n > 0) {
            written += int(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            Fail(errno, "write");
            break;
        }
        // The driver's output buffer is full: wait for room in the time left.
        int waitMs = -1;
        if (perByteMs > 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) {
                m_bWriteTimedOut = true;
                Fail(ETIMEDOUT, "write");
                break;
            }
            waitMs = int(std::min<long long>(left, 1 << 30));
        }
        pollfd pfd{fd, POLLOUT, 0};
        const int r = ::poll(&pfd, 1, waitMs);
        if (r < 0 && errno != EINTR) {
            Fail(errno, "write");
            break;
        }
        if (r > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            Fail(EIO, "write");
            break;
        }
        // r == 0 is handled by the deadline check of the next round.
    }
    return written;
}

int CCommPort::ReadComm(std::uint8_t* buffer, int capacity)
{
    const int fd = m_pDevice->fd.load();
    if (fd < 0 || buffer == nullptr || capacity <= 0)
        return 0;
    int waiting = 0;
    if (::ioctl(fd, FIONREAD, &waiting) != 0 || waiting <= 0)
        return 0;
    ssize_t n;
    do {
        n = ::read(fd, buffer, std::size_t(capacity));
    } while (n < 0 && errno == EINTR);
    return n > 0 ? int(n) : 0;
}

int CCommPort::BytesWaiting() const
{
    const int fd = m_pDevice->fd.load();
    int waiting = 0;
    if (fd < 0 || ::ioctl(fd, FIONREAD, &waiting) != 0)
        return 0;
    return waiting;
}

void CCommPort::PurgeInput()
{
    if (const int fd = m_pDevice->fd.load(); fd >= 0)
        ::tcflush(fd, TCIFLUSH);
}

namespace {
// The pty index of a Unix98 pty slave device, or -1.
long PtyIndex(dev_t rdev)
{
    const unsigned major = ::major(rdev);
    return major >= 136 && major <= 143 ? long(major - 136) * 256 + long(::minor(rdev)) : -1;
}

// The tty-index of a pty master open on fd of pid, or -1.
long MasterIndex(const std::string& pid, const char* fd)
{
    std::ifstream info("/proc/" + pid + "/fdinfo/" + fd);
    std::string line;
    while (std::getline(info, line))
        if (line.rfind("tty-index:", 0) == 0)
            return std::strtol(line.c_str() + 10, nullptr, 10);
    return -1;
}
} // namespace

std::string OtherOpeners(const std::string& devicePath)
{
    struct stat device {};
    if (::stat(devicePath.c_str(), &device) != 0 || !S_ISCHR(device.st_mode))
        return {};
    const long ptyIndex = PtyIndex(device.st_rdev);
    const std::string self = std::to_string(::getpid());
    std::string holders;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr)
        return {};
    while (const dirent* entry = ::readdir(proc)) {
        const std::string pid = entry->d_name;
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos || pid == self)
            continue;
        const std::string fdDir = "/proc/" + pid + "/fd";
        DIR* fds = ::opendir(fdDir.c_str());
        if (fds == nullptr)
            continue; // another user's process: not ours to see
        bool holds = false;
        bool otherEnd = false; // it holds the pty's master: the far side, not a rival
        while (const dirent* fdEntry = ::readdir(fds)) {
            struct stat st {};
            if (fdEntry->d_name[0] == '.' || ::stat((fdDir + "/" + fdEntry->d_name).c_str(), &st) != 0 ||
                !S_ISCHR(st.st_mode))
                continue;
            if (st.st_rdev == device.st_rdev)
                holds = true;
            else if (ptyIndex >= 0 && ::major(st.st_rdev) == 5 && ::minor(st.st_rdev) == 2)
                otherEnd = otherEnd || MasterIndex(pid, fdEntry->d_name) == ptyIndex;
        }
        ::closedir(fds);
        if (!holds || otherEnd)
            continue;
        std::string name;
        std::ifstream comm("/proc/" + pid + "/comm");
        std::getline(comm, name);
        holders += (holders.empty() ? "" : ", ") + pid + (name.empty() ? "" : " (" + name + ")");
    }
    ::closedir(proc);
    return holders;
}

int ThreadWatchComm(CCommPort* port)
{
    if (port == nullptr)
        return 0;
    const int fd = port->m_pDevice->fd.load();
    const int wakeFd = port->m_pDevice->wake.Get();
    if (fd < 0 || wakeFd < 0)
        return 0;
    t_pWatchedPort = port;
    std::vector<std::uint8_t> buffer(CCommPort::COMM_QUEUE_SIZE);
    while (!port->m_bStop.load()) {
        // A full ring leaves the bytes in the driver until the consumer makes room.
        const bool room = port->m_rxQueue.FreeSpace() > 0;
        int err = 0;
        short revents = 0;
        const tty::EWait wait =
            tty::WaitPort(room ? fd : -1, POLLIN, wakeFd, room ? -1 : kRingFullRetryMs, err, &revents);
        if (wait == tty::EWait::CLOSING || wait == tty::EWait::FAILED)
            break;
        if (wait == tty::EWait::TIMEOUT)
            continue;
        int drained = 0;
        // Never read more than the ring can take, so no byte is dropped.
        while (!port->m_bStop.load()) {
            const int space = std::min(port->m_rxQueue.FreeSpace(), CCommPort::COMM_QUEUE_SIZE);
            const int n = space > 0 ? port->ReadComm(buffer.data(), space) : 0;
            if (n == 0)
                break;
            drained += n;
            port->DeliverReceived(buffer.data(), n);
        }
        // Hang-up or error with nothing left to read: the device is gone.
        if (drained == 0 && (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            port->ReportLost();
            break;
        }
    }
    return 1;
}
