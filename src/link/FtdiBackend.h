#pragma once
// The FTDI device operations CUsbLink relies on, shaped after the vendor's
// D2XX calls (list, open, USB parameters, purge, timeouts, latency, status,
// read, write, close), so the link logic stays the same whichever way the
// bridge is reached.
//
// Error contract:
// - Every operation returns an FtdiStatus; FTDI_OK (0) is success.
// - FTDI_INVALID_HANDLE: the handle is unknown or already closed (a caller
//   error, or another thread closed it meanwhile).
// - FTDI_INVALID_PARAMETER: the caller passed a value the device cannot take.
// - FTDI_DEVICE_NOT_FOUND / FTDI_DEVICE_NOT_OPENED: open found no device, or
//   found one it could not open (busy, no permission); the backend traces why.
// - FTDI_IO_ERROR: the device failed. GetStatus and Read then also fill an
//   FtdiSysError: code FTDI_SYSERR_DEVICE_NOT_FUNCTIONING (31) or
//   FTDI_SYSERR_INVALID_HANDLE (6) mean the device is lost and the link
//   should close and reopen; native keeps the OS error (errno or libusb code).
// - A timeout is not a failure: Read and Write return FTDI_OK with fewer
//   bytes than asked for.
//
// Threads: one thread may read (GetStatus, Read, WaitForData) while another
// writes on the same handle. Close may be called while another thread is in
// an operation on that handle: it wakes a waiting read, waits until the
// operation has returned and only then releases the device; later calls on
// the closed handle fail with FTDI_INVALID_HANDLE. Handle values are never
// reused within one backend, and one backend may hold several open handles.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

using FtdiHandle = std::uint32_t;
inline constexpr FtdiHandle FTDI_NO_HANDLE = 0;

using FtdiStatus = std::uint32_t;
inline constexpr FtdiStatus FTDI_OK = 0;
inline constexpr FtdiStatus FTDI_INVALID_HANDLE = 1;
inline constexpr FtdiStatus FTDI_DEVICE_NOT_FOUND = 2;
inline constexpr FtdiStatus FTDI_DEVICE_NOT_OPENED = 3;
inline constexpr FtdiStatus FTDI_IO_ERROR = 4;
inline constexpr FtdiStatus FTDI_INSUFFICIENT_RESOURCES = 5;
inline constexpr FtdiStatus FTDI_INVALID_PARAMETER = 6;
inline constexpr FtdiStatus FTDI_OTHER_ERROR = 18;

// System error codes that come with a failed read, in the numbering the
// reader's reopen rule uses.
inline constexpr std::uint32_t FTDI_SYSERR_NONE = 0;
inline constexpr std::uint32_t FTDI_SYSERR_INVALID_HANDLE = 6;
inline constexpr std::uint32_t FTDI_SYSERR_DEVICE_NOT_FUNCTIONING = 31;
inline constexpr std::uint32_t FTDI_SYSERR_OTHER = 0xFFFFFFFFu;

// Purge mask bits.
inline constexpr std::uint32_t FTDI_PURGE_RX = 1;
inline constexpr std::uint32_t FTDI_PURGE_TX = 2;

struct FtdiSysError {
    std::uint32_t code = FTDI_SYSERR_NONE; // FTDI_SYSERR_*
    int native = 0;                        // errno or libusb error, 0 if none
};

// True when a failure with this system error means the device has gone.
inline bool FtdiIsLostDevice(const FtdiSysError& error)
{
    return error.code == FTDI_SYSERR_DEVICE_NOT_FUNCTIONING || error.code == FTDI_SYSERR_INVALID_HANDLE;
}

class IFtdiBackend {
public:
    using TraceFn = std::function<void(const std::string&)>;

    virtual ~IFtdiBackend() = default;

    // Number of attached devices.
    virtual FtdiStatus ListDevices(std::uint32_t& count) = 0;
    // Opens device number index (0 = the first) into a new handle; handle is
    // written only on success.
    virtual FtdiStatus Open(std::uint32_t index, FtdiHandle& handle) = 0;
    // USB transfer sizes in bytes; 0 leaves a size to the driver.
    virtual FtdiStatus SetUsbParameters(FtdiHandle handle, std::uint32_t inTransferSize,
                                        std::uint32_t outTransferSize) = 0;
    // mask: FTDI_PURGE_RX | FTDI_PURGE_TX.
    virtual FtdiStatus Purge(FtdiHandle handle, std::uint32_t mask) = 0;
    virtual FtdiStatus SetTimeouts(FtdiHandle handle, std::uint32_t readTimeoutMs,
                                   std::uint32_t writeTimeoutMs) = 0;
    virtual FtdiStatus SetLatencyTimer(FtdiHandle handle, std::uint8_t latencyMs) = 0;
    // rxBytes: bytes waiting to be read. A lost device fails with
    // FTDI_IO_ERROR and a lost-device code in error.
    virtual FtdiStatus GetStatus(FtdiHandle handle, std::uint32_t& rxBytes, std::uint32_t& txBytes,
                                 std::uint32_t& eventStatus, FtdiSysError& error) = 0;
    // Waits up to the read timeout for count bytes; bytesRead may be short.
    virtual FtdiStatus Read(FtdiHandle handle, std::uint8_t* buffer, std::uint32_t count,
                            std::uint32_t& bytesRead, FtdiSysError& error) = 0;
    // Waits up to the write timeout; bytesWritten may be short.
    virtual FtdiStatus Write(FtdiHandle handle, const std::uint8_t* buffer, std::uint32_t count,
                             std::uint32_t& bytesWritten) = 0;
    virtual FtdiStatus Close(FtdiHandle handle) = 0;

    // The reader's pause between two polls: returns after at most timeoutMs,
    // earlier when the backend can tell that bytes arrived or the handle went
    // away. The default just sleeps.
    virtual void WaitForData(FtdiHandle handle, int timeoutMs);

    // Where the backend explains failures (one line each, ending in "\r\n").
    // Set it before the first call; it is called on the calling thread.
    virtual void SetTrace(TraceFn trace) { m_fnTrace = std::move(trace); }
    // The latest reason an open failed, as Explain gave it; empty when none.
    const std::string& OpenFailure() const { return m_strOpenFailure; }

protected:
    void Trace(const std::string& line) const;
    // Why a device cannot be opened: traced as a "USB: " line and kept for OpenFailure.
    void Explain(const std::string& why) const;
    // Transfer sizes both backends accept: 0, or a multiple of 64 in 64..65536.
    static bool IsValidTransferSize(std::uint32_t size);

private:
    TraceFn m_fnTrace;
    mutable std::string m_strOpenFailure; // written on the thread that opens
};

// The platform's default: libftdi1 on POSIX, the only FTDI COM port on Windows.
std::unique_ptr<IFtdiBackend> MakeFtdiBackendDefault();
// libftdi1 straight on the USB device (POSIX). choice, when not
// empty, limits it to one bridge by serial number or bus-port path ("1-2").
std::unique_ptr<IFtdiBackend> MakeFtdiBackendLibftdi(const std::string& choice = {});
// The bridge behind a tty: /dev/ttyUSB0 through the kernel's ftdi_sio, or the
// slave side of a pseudo-terminal (the virtual target). Device 0 is path.
std::unique_ptr<IFtdiBackend> MakeFtdiBackendTty(const std::string& path);
// The bridge through its virtual COM port (Windows): port is COMn; empty
// takes the FTDI ports Windows lists (device 0 the first).
std::unique_ptr<IFtdiBackend> MakeFtdiBackendCom(const std::string& port);
