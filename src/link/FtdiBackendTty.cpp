// The FTDI bridge behind a tty: /dev/ttyUSB0 (the kernel's ftdi_sio driver)
// or the slave side of a pseudo-terminal played by the virtual target.
#include "link/FtdiBackend.h"
#include "link/FtdiDeviceBackend.h"
#include "link/TtyPosix.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

using tty::EWait;

struct TtyDevice {
    TtyDevice(tty::CUniqueFd&& portFd, tty::CTtyWakeFd&& wakeFd)
        : port(std::move(portFd)), wake(std::move(wakeFd))
    {
    }
    ~TtyDevice() { tty::ReleaseExclusive(port.Get()); }
    tty::CUniqueFd port;
    tty::CTtyWakeFd wake; // readable once Close has begun
    std::atomic<std::uint32_t> readTimeoutMs{3000};
    std::atomic<std::uint32_t> writeTimeoutMs{3000};
    std::mutex readMutex;  // one reader at a time
    std::mutex writeMutex; // one writer at a time
};

// errno after a failed tty call, in the link's numbering: a vanished
// device (unplugged adapter, pty whose master closed) is "not functioning".
FtdiSysError SysErrorFromErrno(int err)
{
    return FtdiSysErrorOf(err, {EIO, ENODEV, ENXIO}, EBADF);
}

int RemainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for events on the port or for Close.
EWait WaitPort(TtyDevice& device, short events, int timeoutMs, int& err)
{
    return tty::WaitPort(device.port.Get(), events, device.wake.Get(), timeoutMs, err);
}

class CFtdiBackendTty final : public CFtdiDeviceBackend<TtyDevice> {
public:
    explicit CFtdiBackendTty(std::string path) : CFtdiDeviceBackend(EBADF), m_strPath(std::move(path)) {}

    FtdiStatus ListDevices(std::uint32_t& count) override
    {
        struct stat st {};
        count = (!m_strPath.empty() && ::stat(m_strPath.c_str(), &st) == 0) ? 1 : 0;
        return FTDI_OK;
    }

    FtdiStatus Open(std::uint32_t index, FtdiHandle& handle) override
    {
        if (index != 0 || m_strPath.empty())
            return FTDI_DEVICE_NOT_FOUND;
        if (m_nOpen.load() > 0) {
            // The tty is exclusive; a second open (the system check asks for
            // one) is refused as expected, not as a failure.
            Trace("USB tty: device already open: keeping the current handle\r\n");
            return FTDI_DEVICE_NOT_OPENED;
        }
        tty::CUniqueFd port;
        const char* step = "open";
        if (const int err = tty::OpenExclusive(m_strPath, port, step); err != 0) {
            TraceErrno(OpenStepTrace(step), err);
            if (err == EACCES)
                Trace("USB tty: add the user to the group that owns " + m_strPath + " (usually dialout)\r\n");
            if (step != std::string_view("open"))
                return FTDI_DEVICE_NOT_OPENED;
            return err == ENOENT || err == ENXIO || err == ENODEV ? FTDI_DEVICE_NOT_FOUND
                                                                  : FTDI_DEVICE_NOT_OPENED;
        }
        if (!SetRaw(port.Get())) {
            tty::ReleaseExclusive(port.Get());
            return FTDI_DEVICE_NOT_OPENED;
        }
        tty::CTtyWakeFd wake;
        if (const int err = wake.Open(); err != 0) {
            TraceErrno("eventfd", err);
            tty::ReleaseExclusive(port.Get());
            return FTDI_INSUFFICIENT_RESOURCES;
        }
        handle = AddDevice(std::make_unique<TtyDevice>(std::move(port), std::move(wake)));
        ++m_nOpen;
        return FTDI_OK;
    }

    void WaitForData(FtdiHandle handle, int timeoutMs) override
    {
        auto use = AcquireDevice(handle);
        if (!use) {
            IFtdiBackend::WaitForData(handle, timeoutMs);
            return;
        }
        int err = 0;
        if (WaitPort(*use, POLLIN, timeoutMs, err) == EWait::FAILED)
            IFtdiBackend::WaitForData(handle, timeoutMs);
    }

private:
    FtdiStatus SetUsbParametersOn(TtyDevice&, std::uint32_t, std::uint32_t) override
    {
        // The kernel driver picks its own URB sizes; only the values are checked.
        return FTDI_OK;
    }

    FtdiStatus PurgeOn(TtyDevice& device, std::uint32_t mask) override
    {
        if (mask == 0)
            return FTDI_OK;
        const int queue = mask == FTDI_PURGE_RX ? TCIFLUSH : mask == FTDI_PURGE_TX ? TCOFLUSH : TCIOFLUSH;
        if (::tcflush(device.port.Get(), queue) != 0) {
            TraceErrno("tcflush", errno);
            return FTDI_IO_ERROR;
        }
        return FTDI_OK;
    }

    FtdiStatus SetTimeoutsOn(TtyDevice& device, std::uint32_t readTimeoutMs,
                             std::uint32_t writeTimeoutMs) override
    {
        device.readTimeoutMs = readTimeoutMs;
        device.writeTimeoutMs = writeTimeoutMs;
        return FTDI_OK;
    }

    FtdiStatus SetLatencyTimerOn(TtyDevice& device, std::uint8_t latencyMs) override
    {
        // ftdi_sio runs its latency timer at 1 ms with the low-latency flag and
        // at 16 ms without. A pty has no such flag; that is not a failure.
        serial_struct serial{};
        if (::ioctl(device.port.Get(), TIOCGSERIAL, &serial) == 0) {
            if (latencyMs < 16)
                serial.flags |= ASYNC_LOW_LATENCY;
            else
                serial.flags &= ~ASYNC_LOW_LATENCY;
            if (::ioctl(device.port.Get(), TIOCSSERIAL, &serial) != 0)
                TraceErrno("TIOCSSERIAL low latency", errno);
        }
        return FTDI_OK;
    }

    FtdiStatus GetStatusOn(TtyDevice& device, std::uint32_t& rxBytes, std::uint32_t& txBytes,
                           FtdiSysError& error) override
    {
        const int fd = device.port.Get();
        int waiting = 0;
        if (::ioctl(fd, FIONREAD, &waiting) != 0) {
            error = SysErrorFromErrno(errno);
            return FTDI_IO_ERROR;
        }
        if (waiting == 0) {
            // A pty whose master closed, or an unplugged adapter, reports a
            // hang-up and nothing to read.
            pollfd pfd{fd, POLLIN, 0};
            if (::poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL))) {
                error = (pfd.revents & POLLNVAL) ? FtdiSysError{FTDI_SYSERR_INVALID_HANDLE, EBADF}
                                                 : FtdiSysError{FTDI_SYSERR_DEVICE_NOT_FUNCTIONING, EIO};
                return FTDI_IO_ERROR;
            }
        }
        int pending = 0;
        if (::ioctl(fd, TIOCOUTQ, &pending) == 0 && pending > 0)
            txBytes = static_cast<std::uint32_t>(pending);
        rxBytes = waiting > 0 ? static_cast<std::uint32_t>(waiting) : 0;
        return FTDI_OK;
    }

    FtdiStatus ReadOn(TtyDevice& device, std::uint8_t* buffer, std::uint32_t count, std::uint32_t& bytesRead,
                      FtdiSysError& error) override
    {
        std::lock_guard lock(device.readMutex);
        const auto deadline = Clock::now() + std::chrono::milliseconds(device.readTimeoutMs.load());
        while (bytesRead < count) {
            const ssize_t n = ::read(device.port.Get(), buffer + bytesRead, count - bytesRead);
            if (n > 0) {
                bytesRead += static_cast<std::uint32_t>(n);
                continue;
            }
            int err = n == 0 ? EIO : errno; // VMIN 1: 0 bytes only after a hang-up
            if (n < 0 && err == EINTR)
                continue;
            if (n < 0 && err == EAGAIN) {
                switch (WaitPort(device, POLLIN, RemainingMs(deadline), err)) {
                case EWait::READY:
                    continue;
                case EWait::TIMEOUT:
                    return FTDI_OK;
                case EWait::CLOSING:
                    return Failed(bytesRead, {FTDI_SYSERR_INVALID_HANDLE, EBADF}, error);
                case EWait::HANGUP:
                case EWait::FAILED:
                    break;
                }
            }
            return Failed(bytesRead, SysErrorFromErrno(err), error);
        }
        return FTDI_OK;
    }

    FtdiStatus WriteOn(TtyDevice& device, const std::uint8_t* buffer, std::uint32_t count,
                       std::uint32_t& bytesWritten) override
    {
        std::lock_guard lock(device.writeMutex);
        const auto deadline = Clock::now() + std::chrono::milliseconds(device.writeTimeoutMs.load());
        while (bytesWritten < count) {
            const ssize_t n = ::write(device.port.Get(), buffer + bytesWritten, count - bytesWritten);
            if (n > 0) {
                bytesWritten += static_cast<std::uint32_t>(n);
                continue;
            }
            int err = n == 0 ? EAGAIN : errno;
            if (err == EINTR)
                continue;
            if (err == EAGAIN) {
                const EWait wait = WaitPort(device, POLLOUT, RemainingMs(deadline), err);
                if (wait == EWait::READY)
                    continue;
                if (wait == EWait::TIMEOUT || wait == EWait::CLOSING)
                    return FTDI_OK; // short count: the caller sees what went out
            }
            TraceErrno("write", err);
            return bytesWritten > 0 ? FTDI_OK : FTDI_IO_ERROR;
        }
        return FTDI_OK;
    }

    void WakeForClose(TtyDevice& device) override { device.wake.Signal(); }

    // The tty is free before another open may take it.
    void Closed(FtdiHandle) override { --m_nOpen; }

    // Bytes already read are delivered; the failure shows on the next call.
    static FtdiStatus Failed(std::uint32_t bytesRead, FtdiSysError why, FtdiSysError& error)
    {
        if (bytesRead > 0)
            return FTDI_OK;
        error = why;
        return FTDI_IO_ERROR;
    }

    bool SetRaw(int fd)
    {
        // VMIN 1 makes an empty non-blocking read fail with EAGAIN, so a read
        // of 0 bytes can only mean a hang-up. 9600 is the bridge's power-on
        // rate; the target side sets no other.
        const char* step = nullptr;
        if (const int err = tty::SetRaw8N1(fd, B9600, 1, step); err != 0) {
            TraceErrno(step == std::string_view("tcgetattr") ? "tcgetattr (not a terminal?)" : step, err);
            return false;
        }
        if (tty::CheckRaw8N1(fd, 1) != 0) {
            Trace("USB tty: " + m_strPath + " did not take raw 8N1\r\n");
            return false;
        }
        return true;
    }

    static const char* OpenStepTrace(std::string_view step)
    {
        if (step == "lock")
            return "lock (the device is in use)";
        return step == "exclusive" ? "TIOCEXCL" : "open";
    }

    void TraceErrno(const char* what, int err) const
    {
        Trace("USB tty: " + std::string(what) + " " + m_strPath + ": " + std::strerror(err) + "\r\n");
    }

    std::string m_strPath;
    std::atomic<int> m_nOpen{0}; // handles open on the tty
};

} // namespace

std::unique_ptr<IFtdiBackend> MakeFtdiBackendTty(const std::string& path)
{
    return std::make_unique<CFtdiBackendTty>(path);
}
