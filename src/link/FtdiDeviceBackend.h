#pragma once
// What every FTDI backend does before it reaches a device: it clears the
// outputs, looks the handle up in its table, checks the arguments every
// backend checks alike and holds the device for the length of the call. A
// backend then implements each operation on a held device (the *On members)
// and may act when a handle is closed.
//
// Threads and errors: as IFtdiBackend. The *On members run while the call
// holds its device, so Close waits for them to return.
#include "link/FtdiBackend.h"
#include "link/FtdiHandleTable.h"

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <memory>

// A native failure code in the link's numbering: one of lost means the
// device has gone, closed that the handle is no more.
inline FtdiSysError FtdiSysErrorOf(int native, std::initializer_list<int> lost, int closed)
{
    FtdiSysError error;
    error.native = native;
    if (std::find(lost.begin(), lost.end(), native) != lost.end())
        error.code = FTDI_SYSERR_DEVICE_NOT_FUNCTIONING;
    else if (native == closed)
        error.code = FTDI_SYSERR_INVALID_HANDLE;
    else
        error.code = FTDI_SYSERR_OTHER;
    return error;
}

template <class Device> class CFtdiDeviceBackend : public IFtdiBackend {
public:
    FtdiStatus SetUsbParameters(FtdiHandle handle, std::uint32_t inTransferSize,
                                std::uint32_t outTransferSize) final
    {
        return OnDevice(handle, [&](Device& device) {
            if (!IsValidTransferSize(inTransferSize) || !IsValidTransferSize(outTransferSize))
                return FTDI_INVALID_PARAMETER;
            return SetUsbParametersOn(device, inTransferSize, outTransferSize);
        });
    }

    FtdiStatus Purge(FtdiHandle handle, std::uint32_t mask) final
    {
        return OnDevice(handle, [&](Device& device) {
            if ((mask & ~(FTDI_PURGE_RX | FTDI_PURGE_TX)) != 0)
                return FTDI_INVALID_PARAMETER;
            return PurgeOn(device, mask);
        });
    }

    FtdiStatus SetTimeouts(FtdiHandle handle, std::uint32_t readTimeoutMs, std::uint32_t writeTimeoutMs) final
    {
        return OnDevice(handle,
                        [&](Device& device) { return SetTimeoutsOn(device, readTimeoutMs, writeTimeoutMs); });
    }

    FtdiStatus SetLatencyTimer(FtdiHandle handle, std::uint8_t latencyMs) final
    {
        return OnDevice(handle, [&](Device& device) {
            if (latencyMs == 0)
                return FTDI_INVALID_PARAMETER;
            return SetLatencyTimerOn(device, latencyMs);
        });
    }

    FtdiStatus GetStatus(FtdiHandle handle, std::uint32_t& rxBytes, std::uint32_t& txBytes,
                         std::uint32_t& eventStatus, FtdiSysError& error) final
    {
        rxBytes = txBytes = eventStatus = 0;
        return OnDevice(
            handle, [&](Device& device) { return GetStatusOn(device, rxBytes, txBytes, error); }, &error);
    }

    FtdiStatus Read(FtdiHandle handle, std::uint8_t* buffer, std::uint32_t count, std::uint32_t& bytesRead,
                    FtdiSysError& error) final
    {
        bytesRead = 0;
        return OnDevice(
            handle,
            [&](Device& device) {
                if (count > 0 && buffer == nullptr)
                    return FTDI_INVALID_PARAMETER;
                return ReadOn(device, buffer, count, bytesRead, error);
            },
            &error);
    }

    FtdiStatus Write(FtdiHandle handle, const std::uint8_t* buffer, std::uint32_t count,
                     std::uint32_t& bytesWritten) final
    {
        bytesWritten = 0;
        return OnDevice(handle, [&](Device& device) {
            if (count > 0 && buffer == nullptr)
                return FTDI_INVALID_PARAMETER;
            return WriteOn(device, buffer, count, bytesWritten);
        });
    }

    FtdiStatus Close(FtdiHandle handle) final
    {
        auto device = m_table.Remove(handle, [this](Device& d) { WakeForClose(d); });
        if (!device)
            return FTDI_INVALID_HANDLE;
        device.reset(); // released before another open may take the device
        Closed(handle);
        return FTDI_OK;
    }

protected:
    // closedNative: the native code a read or status call on a closed handle
    // reports beside FTDI_SYSERR_INVALID_HANDLE.
    explicit CFtdiDeviceBackend(int closedNative) : m_nClosedNative(closedNative) {}

    virtual FtdiStatus SetUsbParametersOn(Device& device, std::uint32_t inTransferSize,
                                          std::uint32_t outTransferSize) = 0;
    // mask holds only FTDI_PURGE_RX and FTDI_PURGE_TX bits.
    virtual FtdiStatus PurgeOn(Device& device, std::uint32_t mask) = 0;
    virtual FtdiStatus SetTimeoutsOn(Device& device, std::uint32_t readTimeoutMs,
                                     std::uint32_t writeTimeoutMs) = 0;
    // latencyMs is not 0.
    virtual FtdiStatus SetLatencyTimerOn(Device& device, std::uint8_t latencyMs) = 0;
    // rxBytes, txBytes and the event status start at 0.
    virtual FtdiStatus GetStatusOn(Device& device, std::uint32_t& rxBytes, std::uint32_t& txBytes,
                                   FtdiSysError& error) = 0;
    // bytesRead starts at 0; buffer is set whenever count is not 0.
    virtual FtdiStatus ReadOn(Device& device, std::uint8_t* buffer, std::uint32_t count,
                              std::uint32_t& bytesRead, FtdiSysError& error) = 0;
    // bytesWritten starts at 0; buffer is set whenever count is not 0.
    virtual FtdiStatus WriteOn(Device& device, const std::uint8_t* buffer, std::uint32_t count,
                               std::uint32_t& bytesWritten) = 0;
    // Close has begun: wake a call that waits on the device.
    virtual void WakeForClose(Device&) {}
    // The device of handle has been released.
    virtual void Closed(FtdiHandle) {}

    FtdiHandle AddDevice(std::unique_ptr<Device> device) { return m_table.Add(std::move(device)); }
    typename CFtdiHandleTable<Device>::CUse AcquireDevice(FtdiHandle handle)
    {
        return m_table.Acquire(handle);
    }

private:
    // Runs fn on the held device; an unknown or closing handle fails, with
    // the closed-handle error in *error when the operation reports one.
    template <class Fn> FtdiStatus OnDevice(FtdiHandle handle, Fn fn, FtdiSysError* error = nullptr)
    {
        auto use = m_table.Acquire(handle);
        if (!use) {
            if (error != nullptr)
                *error = {FTDI_SYSERR_INVALID_HANDLE, m_nClosedNative};
            return FTDI_INVALID_HANDLE;
        }
        return fn(*use);
    }

    const int m_nClosedNative;
    CFtdiHandleTable<Device> m_table;
};
