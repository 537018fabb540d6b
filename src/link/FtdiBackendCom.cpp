// The FTDI bridge through its virtual COM port on Windows (the vendor's VCP
// driver, or Windows' own for many FTDI chips). All reads go through one
// overlapped read kept pending into a staging buffer, so waiting for data
// does not poll and a hang-up is seen at once.
#include "link/ComWin.h"
#include "link/FtdiBackend.h"
#include "link/FtdiDeviceBackend.h"
#include "link/SerialPortList.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kQueueBytes = 65536;         // driver queues asked for at open
constexpr DWORD kStageBytes = 32768;         // bytes one pending read may bring
constexpr DWORD kReadGapMs = 1;              // a pending read returns after the line was quiet this long
constexpr std::uint32_t kPowerOnBaud = 9600; // the bridge's power-on rate; the target sets no other

struct ComDevice {
    com::CUniqueHandle port;
    com::CUniqueHandle closing = com::MakeEvent(); // set once Close has begun
    std::atomic<std::uint32_t> readTimeoutMs{3000};
    std::mutex readMutex; // one reader at a time; guards what follows
    com::COverlapped read;
    bool readPending = false;
    std::vector<std::uint8_t> stage = std::vector<std::uint8_t>(kStageBytes);
    std::vector<std::uint8_t> stash; // received, not yet taken
    DWORD lostError = 0;             // the failure that ended the pending read
    std::mutex writeMutex;           // one writer at a time
    com::COverlapped write;

    ~ComDevice()
    {
        // The staging buffer must outlive a read the driver still holds.
        if (readPending) {
            DWORD done = 0;
            ::CancelIoEx(port.Get(), read.Record());
            ::GetOverlappedResult(port.Get(), read.Record(), &done, TRUE);
        }
    }
};

FtdiSysError SysErrorOf(DWORD error)
{
    if (error == ERROR_INVALID_HANDLE)
        return {FTDI_SYSERR_INVALID_HANDLE, int(error)};
    return {com::IsLostDevice(error) ? FTDI_SYSERR_DEVICE_NOT_FUNCTIONING : FTDI_SYSERR_OTHER, int(error)};
}

class CFtdiBackendCom final : public CFtdiDeviceBackend<ComDevice> {
public:
    explicit CFtdiBackendCom(std::string port)
        : CFtdiDeviceBackend(ERROR_INVALID_HANDLE), m_strAsked(std::move(port))
    {
    }

    FtdiStatus ListDevices(std::uint32_t& count) override
    {
        // A port named is tried as it is (a driver may register none, Wine's
        // mapped ports are not all listed); else every FTDI port counts.
        if (!m_strAsked.empty()) {
            count = 1;
            return FTDI_OK;
        }
        const std::vector<CComPortInfo> ports = ListComPorts();
        count =
            std::uint32_t(std::count_if(ports.begin(), ports.end(), [](const auto& p) { return p.ftdi; }));
        return FTDI_OK;
    }

    FtdiStatus Open(std::uint32_t index, FtdiHandle& handle) override
    {
        const std::string name = PortOf(index);
        if (name.empty())
            return FTDI_DEVICE_NOT_FOUND;
        if (m_nOpen.load() > 0) {
            // A COM port is exclusive; a second open (the system check asks
            // for one) is refused as expected, not as a failure.
            Trace("USB port: device already open: keeping the current handle\r\n");
            return FTDI_DEVICE_NOT_OPENED;
        }
        m_strPath = com::DevicePath(name);
        auto device = std::make_unique<ComDevice>();
        if (const DWORD error = com::OpenPort(m_strPath, kQueueBytes, device->port); error != 0) {
            TraceError("open", error);
            if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)
                Explain(name + " is open in another program; close it there first");
            return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? FTDI_DEVICE_NOT_FOUND
                                                                                  : FTDI_DEVICE_NOT_OPENED;
        }
        if (!device->closing.IsOpen() || !device->read.IsOpen() || !device->write.IsOpen()) {
            TraceError("CreateEvent", ERROR_NOT_ENOUGH_MEMORY);
            return FTDI_INSUFFICIENT_RESOURCES;
        }
        std::uint32_t kept = 0;
        if (const DWORD error = com::SetLine8N1(device->port.Get(), kPowerOnBaud, kept); error != 0) {
            TraceError(error == ERROR_INVALID_DATA ? "did not take 8N1 on" : "SetCommState", error);
            return FTDI_DEVICE_NOT_OPENED;
        }
        if (ApplyTimeouts(*device, 3000) != 0)
            return FTDI_DEVICE_NOT_OPENED;
        handle = AddDevice(std::move(device));
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
        std::lock_guard lock(use->readMutex);
        if (use->stash.empty() && use->lostError == 0)
            Receive(*use, DWORD(std::max(timeoutMs, 0)));
    }

private:
    FtdiStatus SetUsbParametersOn(ComDevice& device, std::uint32_t inTransferSize,
                                  std::uint32_t outTransferSize) override
    {
        // The VCP driver takes its USB transfer sizes from the driver queues.
        if (inTransferSize != 0 || outTransferSize != 0)
            ::SetupComm(device.port.Get(), inTransferSize != 0 ? inTransferSize : kQueueBytes,
                        outTransferSize != 0 ? outTransferSize : kQueueBytes);
        return FTDI_OK;
    }

    FtdiStatus PurgeOn(ComDevice& device, std::uint32_t mask) override
    {
        if (mask == 0)
            return FTDI_OK;
        if ((mask & FTDI_PURGE_RX) != 0) {
            std::lock_guard lock(device.readMutex);
            // Bytes a finished pending read brought are older than the purge.
            Receive(device, 0);
            device.stash.clear();
        }
        const DWORD flags = ((mask & FTDI_PURGE_RX) != 0 ? PURGE_RXCLEAR : 0) |
                            ((mask & FTDI_PURGE_TX) != 0 ? PURGE_TXCLEAR : 0);
        if (!::PurgeComm(device.port.Get(), flags)) {
            TraceError("PurgeComm", ::GetLastError());
            return FTDI_IO_ERROR;
        }
        return FTDI_OK;
    }

    FtdiStatus SetTimeoutsOn(ComDevice& device, std::uint32_t readTimeoutMs,
                             std::uint32_t writeTimeoutMs) override
    {
        device.readTimeoutMs = readTimeoutMs;
        return ApplyTimeouts(device, writeTimeoutMs) == 0 ? FTDI_OK : FTDI_IO_ERROR;
    }

    FtdiStatus SetLatencyTimerOn(ComDevice&, std::uint8_t) override
    {
        // The VCP driver takes its latency timer from the port's settings in
        // the registry, not from the program; velunda-cli warns when it is high.
        return FTDI_OK;
    }

    FtdiStatus GetStatusOn(ComDevice& device, std::uint32_t& rxBytes, std::uint32_t& txBytes,
                           FtdiSysError& error) override
    {
        std::lock_guard lock(device.readMutex);
        Receive(device, 0);
        if (device.stash.empty() && device.lostError != 0) {
            error = SysErrorOf(device.lostError);
            return FTDI_IO_ERROR;
        }
        DWORD errors = 0;
        COMSTAT status{};
        if (!::ClearCommError(device.port.Get(), &errors, &status)) {
            error = SysErrorOf(::GetLastError());
            return FTDI_IO_ERROR;
        }
        rxBytes = static_cast<std::uint32_t>(device.stash.size()) + status.cbInQue;
        txBytes = status.cbOutQue;
        return FTDI_OK;
    }

    FtdiStatus ReadOn(ComDevice& device, std::uint8_t* buffer, std::uint32_t count, std::uint32_t& bytesRead,
                      FtdiSysError& error) override
    {
        std::lock_guard lock(device.readMutex);
        const auto deadline = Clock::now() + std::chrono::milliseconds(device.readTimeoutMs.load());
        while (bytesRead < count) {
            const std::size_t n = std::min<std::size_t>(device.stash.size(), count - bytesRead);
            std::copy_n(device.stash.begin(), n, buffer + bytesRead);
            device.stash.erase(device.stash.begin(), device.stash.begin() + std::ptrdiff_t(n));
            bytesRead += std::uint32_t(n);
            if (bytesRead == count)
                break;
            if (device.lostError != 0) {
                // Bytes already read are delivered; the failure shows on the next call.
                if (bytesRead == 0)
                    error = SysErrorOf(device.lostError);
                return bytesRead > 0 ? FTDI_OK : FTDI_IO_ERROR;
            }
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                break; // a timeout is a short count
            if (!Receive(device, DWORD(left))) {
                if (bytesRead == 0)
                    error = {FTDI_SYSERR_INVALID_HANDLE, ERROR_INVALID_HANDLE};
                return bytesRead > 0 ? FTDI_OK : FTDI_IO_ERROR;
            }
        }
        return FTDI_OK;
    }

    FtdiStatus WriteOn(ComDevice& device, const std::uint8_t* buffer, std::uint32_t count,
                       std::uint32_t& bytesWritten) override
    {
        std::lock_guard lock(device.writeMutex);
        DWORD written = 0;
        const DWORD error =
            com::Transfer(device.port.Get(), com::EDirection::WRITE, const_cast<std::uint8_t*>(buffer), count,
                          device.write, written, device.closing.Get());
        bytesWritten = written;
        // A timeout, or a close under way, is a short count: the caller sees what went out.
        if (error == 0 || error == ERROR_SEM_TIMEOUT || error == ERROR_OPERATION_ABORTED)
            return FTDI_OK;
        TraceError("write", error);
        return bytesWritten > 0 ? FTDI_OK : FTDI_IO_ERROR;
    }

    void WakeForClose(ComDevice& device) override { ::SetEvent(device.closing.Get()); }

    // The port is free before another open may take it.
    void Closed(FtdiHandle) override { --m_nOpen; }

    // Keeps the one read pending and takes in what it brought, waiting up to
    // waitMs for it. False when Close has begun.
    static bool Receive(ComDevice& device, DWORD waitMs)
    {
        if (device.lostError != 0)
            return true;
        DWORD done = 0;
        DWORD error = 0;
        if (device.readPending) {
            error = com::Complete(device.port.Get(), device.read, done, device.closing.Get(), waitMs);
        } else {
            error =
                com::Transfer(device.port.Get(), com::EDirection::READ, device.stage.data(),
                              DWORD(device.stage.size()), device.read, done, device.closing.Get(), waitMs);
        }
        device.readPending = error == ERROR_IO_PENDING;
        device.stash.insert(device.stash.end(), device.stage.begin(), device.stage.begin() + done);
        if (error == ERROR_OPERATION_ABORTED &&
            ::WaitForSingleObject(device.closing.Get(), 0) == WAIT_OBJECT_0)
            return false;
        if (error != 0 && error != ERROR_IO_PENDING && error != ERROR_SEM_TIMEOUT)
            device.lostError = error == ERROR_OPERATION_ABORTED ? ERROR_NOT_READY : error;
        return true;
    }

    DWORD ApplyTimeouts(ComDevice& device, std::uint32_t writeTimeoutMs)
    {
        // The pending read waits for its first byte without limit and returns
        // once the line is quiet after it (a total timeout stalls it under
        // Wine); writes are bounded.
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = kReadGapMs;
        timeouts.WriteTotalTimeoutConstant = writeTimeoutMs;
        if (::SetCommTimeouts(device.port.Get(), &timeouts))
            return 0;
        const DWORD error = ::GetLastError();
        TraceError("SetCommTimeouts", error);
        return error;
    }

    // The port of device number index: the one named, or the index-th FTDI port.
    std::string PortOf(std::uint32_t index) const
    {
        if (!m_strAsked.empty())
            return index == 0 ? com::PortName(m_strAsked) : std::string();
        std::uint32_t seen = 0;
        for (const CComPortInfo& port : ListComPorts())
            if (port.ftdi && seen++ == index)
                return port.name;
        return {};
    }

    void TraceError(const char* what, DWORD error) const
    {
        Trace("USB port: " + std::string(what) + " " + m_strPath + ": " +
              com::ErrnoText(com::ErrnoOf(error)) + " (Windows error " + std::to_string(error) + ")\r\n");
    }

    std::string m_strAsked; // the port given, empty for the only FTDI port
    std::string m_strPath;  // the device path of the latest open
    std::atomic<int> m_nOpen{0};
};

} // namespace

std::unique_ptr<IFtdiBackend> MakeFtdiBackendCom(const std::string& port)
{
    return std::make_unique<CFtdiBackendCom>(port);
}

std::unique_ptr<IFtdiBackend> MakeFtdiBackendDefault()
{
    return MakeFtdiBackendCom({});
}
