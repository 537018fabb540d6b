// The FTDI bridge straight on USB through libftdi1: the default backend.
#include "link/FtdiBackend.h"
#include "link/FtdiBridgeList.h"
#include "link/FtdiDeviceBackend.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <ftdi.h>
#include <libusb.h>

namespace {

using Clock = std::chrono::steady_clock;

// libftdi answers -666 when its context has no USB device.
constexpr int FTDI_ERR_NO_USB_DEVICE = -666;
// ftdi_usb_open_dev's codes for libusb_open and for claiming the interface.
constexpr int FTDI_ERR_OPEN_FAILED = -4;
constexpr int FTDI_ERR_CLAIM_FAILED = -5;
// The claim failed after the kernel refused to let go of the interface.
constexpr int FTDI_ERR_DETACH_REFUSED = -8;

// Bytes kept on the host for GetStatus; beyond this the chip holds them.
constexpr std::size_t HOST_BUFFER_LIMIT = 65536;
constexpr int PULL_CHUNK = 4096;

std::string DevNodeOf(libusb_device* dev)
{
    char node[40];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", libusb_get_bus_number(dev),
                  libusb_get_device_address(dev));
    return node;
}

std::string Joined(const std::vector<std::string>& items)
{
    std::string text;
    for (const auto& item : items)
        text += (text.empty() ? "" : ", ") + item;
    return text;
}

struct ContextDeleter {
    void operator()(ftdi_context* ctx) const
    {
        if (ctx->usb_dev != nullptr)
            ftdi_usb_close(ctx);
        ftdi_free(ctx);
    }
};
using ContextPtr = std::unique_ptr<ftdi_context, ContextDeleter>;

struct DeviceListDeleter {
    void operator()(ftdi_device_list* list) const { ftdi_list_free2(list); }
};
using DeviceListPtr = std::unique_ptr<ftdi_device_list, DeviceListDeleter>;

struct LibftdiDevice {
    explicit LibftdiDevice(ContextPtr c) : ctx(std::move(c)) {}
    ContextPtr ctx;
    // readMutex guards the host buffer and the read side of ctx (read
    // buffer, read timeout); writeMutex the write side. libusb itself lets
    // a read and a write run at once.
    std::mutex readMutex;
    std::vector<std::uint8_t> rx;
    std::size_t rxHead = 0;
    std::mutex writeMutex;
};

// A negative libusb/libftdi result of a transfer, in the link's numbering.
FtdiSysError SysErrorFromTransfer(int rc)
{
    return FtdiSysErrorOf(rc, {LIBUSB_ERROR_NO_DEVICE, LIBUSB_ERROR_IO, LIBUSB_ERROR_PIPE},
                          FTDI_ERR_NO_USB_DEVICE);
}

class CFtdiBackendLibftdi final : public CFtdiDeviceBackend<LibftdiDevice> {
public:
    explicit CFtdiBackendLibftdi(std::string choice)
        : CFtdiDeviceBackend(FTDI_ERR_NO_USB_DEVICE), m_strChoice(std::move(choice))
    {
    }

    FtdiStatus ListDevices(std::uint32_t& count) override
    {
        count = 0;
        ContextPtr ctx;
        DeviceListPtr list;
        int attached = 0;
        if (const FtdiStatus status = FindAll(ctx, list, attached); status != FTDI_OK)
            return status;
        count = static_cast<std::uint32_t>(Candidates(list.get()).size());
        if (count == 0)
            ExplainNoDevice(attached);
        return FTDI_OK;
    }

    FtdiStatus Open(std::uint32_t index, FtdiHandle& handle) override
    {
        ContextPtr ctx;
        DeviceListPtr list;
        int attached = 0;
        if (const FtdiStatus status = FindAll(ctx, list, attached); status != FTDI_OK)
            return status;
        const auto candidates = Candidates(list.get());
        if (index >= candidates.size())
            return FTDI_DEVICE_NOT_FOUND;
        libusb_device* const dev = candidates[index];
        const std::string node = DevNodeOf(dev);
        if (IsOpenHere(node)) {
            // A second open of a bridge this program holds cannot claim it;
            // that is expected (the system check asks), not a failure.
            Trace("USB: device already open: keeping the current handle\r\n");
            return FTDI_DEVICE_NOT_OPENED;
        }

        // Channel A of multi-channel bridges; unbind ftdi_sio if it holds
        // the interface (it stays unbound until the cable is replugged).
        if (ftdi_set_interface(ctx.get(), INTERFACE_A) < 0) {
            TraceFtdi("ftdi_set_interface", -1, ctx.get());
            return FTDI_DEVICE_NOT_OPENED;
        }
        ctx->module_detach_mode = AUTO_DETACH_SIO_MODULE;
        const int rc = ftdi_usb_open_dev(ctx.get(), dev);
        if (rc < 0) {
            TraceFtdi("ftdi_usb_open_dev", rc, ctx.get());
            if (rc == FTDI_ERR_OPEN_FAILED)
                ExplainOpenFailure(dev);
            else if (rc == FTDI_ERR_CLAIM_FAILED || rc == FTDI_ERR_DETACH_REFUSED)
                ExplainClaimFailure(dev);
            return FTDI_DEVICE_NOT_OPENED;
        }
        handle = AddDevice(std::make_unique<LibftdiDevice>(std::move(ctx)));
        std::lock_guard lock(m_openMutex);
        m_openNodes[handle] = node;
        return FTDI_OK;
    }

private:
    FtdiStatus SetUsbParametersOn(LibftdiDevice& device, std::uint32_t inTransferSize,
                                  std::uint32_t outTransferSize) override
    {
        // libftdi caps the read chunk at 16384 on Linux; that still exceeds
        // the largest frame.
        if (inTransferSize != 0) {
            std::lock_guard lock(device.readMutex);
            if (const int rc = ftdi_read_data_set_chunksize(device.ctx.get(), inTransferSize); rc < 0) {
                TraceFtdi("ftdi_read_data_set_chunksize", rc, device.ctx.get());
                return FTDI_IO_ERROR;
            }
        }
        if (outTransferSize != 0) {
            std::lock_guard lock(device.writeMutex);
            if (const int rc = ftdi_write_data_set_chunksize(device.ctx.get(), outTransferSize); rc < 0) {
                TraceFtdi("ftdi_write_data_set_chunksize", rc, device.ctx.get());
                return FTDI_IO_ERROR;
            }
        }
        return FTDI_OK;
    }

    FtdiStatus PurgeOn(LibftdiDevice& device, std::uint32_t mask) override
    {
        std::scoped_lock lock(device.readMutex, device.writeMutex);
        int rc = 0;
        if ((mask & FTDI_PURGE_RX) != 0) {
            device.rx.clear();
            device.rxHead = 0;
            rc = ftdi_tciflush(device.ctx.get());
        }
        if (rc >= 0 && (mask & FTDI_PURGE_TX) != 0)
            rc = ftdi_tcoflush(device.ctx.get());
        if (rc < 0) {
            TraceFtdi("purge", rc, device.ctx.get());
            return FTDI_IO_ERROR;
        }
        return FTDI_OK;
    }

    FtdiStatus SetTimeoutsOn(LibftdiDevice& device, std::uint32_t readTimeoutMs,
                             std::uint32_t writeTimeoutMs) override
    {
        {
            std::lock_guard lock(device.readMutex);
            device.ctx->usb_read_timeout = ToTimeout(readTimeoutMs);
        }
        std::lock_guard lock(device.writeMutex);
        device.ctx->usb_write_timeout = ToTimeout(writeTimeoutMs);
        return FTDI_OK;
    }

    FtdiStatus SetLatencyTimerOn(LibftdiDevice& device, std::uint8_t latencyMs) override
    {
        std::lock_guard lock(device.readMutex);
        if (const int rc = ftdi_set_latency_timer(device.ctx.get(), latencyMs); rc < 0) {
            TraceFtdi("ftdi_set_latency_timer", rc, device.ctx.get());
            return FTDI_IO_ERROR;
        }
        // Read it back: the reply turnaround rests on this value.
        unsigned char now = 0;
        if (const int rc = ftdi_get_latency_timer(device.ctx.get(), &now); rc < 0) {
            TraceFtdi("ftdi_get_latency_timer", rc, device.ctx.get());
            return FTDI_IO_ERROR;
        }
        if (now != latencyMs) {
            Trace("USB: latency timer set to " + std::to_string(latencyMs) + " ms reads back " +
                  std::to_string(now) + " ms\r\n");
            return FTDI_IO_ERROR;
        }
        return FTDI_OK;
    }

    FtdiStatus GetStatusOn(LibftdiDevice& device, std::uint32_t& rxBytes, std::uint32_t&,
                           FtdiSysError& error) override
    {
        std::lock_guard lock(device.readMutex);
        // The chip cannot say how much it holds; pull what it has into the
        // host buffer (it answers within one latency period) and count that.
        if (Pending(device) < HOST_BUFFER_LIMIT) {
            std::uint8_t chunk[PULL_CHUNK];
            const int rc = ftdi_read_data(device.ctx.get(), chunk, PULL_CHUNK);
            if (rc > 0) {
                device.rx.insert(device.rx.end(), chunk, chunk + rc);
            } else if (rc < 0 && rc != LIBUSB_ERROR_TIMEOUT) {
                error = SysErrorFromTransfer(rc);
                TraceFtdi("ftdi_read_data", rc, device.ctx.get());
                return FTDI_IO_ERROR;
            }
        }
        rxBytes = static_cast<std::uint32_t>(Pending(device));
        return FTDI_OK;
    }

    FtdiStatus ReadOn(LibftdiDevice& device, std::uint8_t* buffer, std::uint32_t count,
                      std::uint32_t& bytesRead, FtdiSysError& error) override
    {
        std::lock_guard lock(device.readMutex);
        const std::size_t fromHost = std::min<std::size_t>(count, Pending(device));
        if (fromHost > 0) {
            std::memcpy(buffer, device.rx.data() + device.rxHead, fromHost);
            device.rxHead += fromHost;
            if (device.rxHead == device.rx.size()) {
                device.rx.clear();
                device.rxHead = 0;
            }
            bytesRead = static_cast<std::uint32_t>(fromHost);
        }
        const auto deadline = Clock::now() + std::chrono::milliseconds(device.ctx->usb_read_timeout);
        while (bytesRead < count && Clock::now() < deadline) {
            // Returns 0 after a status-only packet, which the chip sends
            // once per latency period: this loop polls at that rate.
            const int rc =
                ftdi_read_data(device.ctx.get(), buffer + bytesRead, static_cast<int>(count - bytesRead));
            if (rc > 0) {
                bytesRead += static_cast<std::uint32_t>(rc);
            } else if (rc < 0 && rc != LIBUSB_ERROR_TIMEOUT) {
                TraceFtdi("ftdi_read_data", rc, device.ctx.get());
                if (bytesRead > 0)
                    return FTDI_OK; // the failure shows on the next call
                error = SysErrorFromTransfer(rc);
                return FTDI_IO_ERROR;
            }
        }
        return FTDI_OK;
    }

    FtdiStatus WriteOn(LibftdiDevice& device, const std::uint8_t* buffer, std::uint32_t count,
                       std::uint32_t& bytesWritten) override
    {
        std::lock_guard lock(device.writeMutex);
        const int rc = ftdi_write_data(device.ctx.get(), buffer, static_cast<int>(count));
        if (rc < 0) {
            TraceFtdi("ftdi_write_data", rc, device.ctx.get());
            return FTDI_IO_ERROR;
        }
        bytesWritten = static_cast<std::uint32_t>(rc);
        return FTDI_OK;
    }

    // A running transfer ends within its timeout (the link lowers it before
    // closing); Close waits for it before the device is released.
    void Closed(FtdiHandle handle) override
    {
        std::lock_guard lock(m_openMutex);
        m_openNodes.erase(handle);
    }

    // A fresh context and the FTDI devices attached; attached is their
    // number before the choice narrows them.
    FtdiStatus FindAll(ContextPtr& ctx, DeviceListPtr& list, int& attached) const
    {
        ctx.reset(ftdi_new());
        if (!ctx) {
            Explain("libftdi could not start libusb");
            return FTDI_INSUFFICIENT_RESOURCES;
        }
        ftdi_device_list* raw = nullptr;
        // Vendor and product 0 select libftdi's list of FTDI ids
        // (0403:6001, 6010, 6011, 6014, 6015).
        attached = ftdi_usb_find_all(ctx.get(), &raw, 0, 0);
        list.reset(raw);
        if (attached < 0) {
            TraceFtdi("ftdi_usb_find_all", attached, ctx.get());
            return FTDI_IO_ERROR;
        }
        return FTDI_OK;
    }
    static std::size_t Pending(const LibftdiDevice& device) { return device.rx.size() - device.rxHead; }

    static int ToTimeout(std::uint32_t ms) { return ms > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(ms); }

    void TraceFtdi(const char* what, int rc, ftdi_context* ctx) const
    {
        const char* text = ctx != nullptr ? ftdi_get_error_string(ctx) : nullptr;
        Trace("USB: " + std::string(what) + " failed (" + std::to_string(rc) +
              "): " + (text != nullptr ? text : "") + "\r\n");
    }

    // The listed devices this backend may open: all, or the chosen one.
    std::vector<libusb_device*> Candidates(ftdi_device_list* list) const
    {
        std::vector<libusb_device*> out;
        std::vector<FtdiBridgeInfo> bridges;
        std::string error;
        if (!m_strChoice.empty())
            ListFtdiBridges(bridges, error);
        for (ftdi_device_list* e = list; e != nullptr; e = e->next) {
            if (m_strChoice.empty()) {
                out.push_back(e->dev);
                continue;
            }
            const std::string node = DevNodeOf(e->dev);
            for (const auto& b : bridges)
                if (b.devNode == node && BridgeMatches(b, m_strChoice))
                    out.push_back(e->dev);
        }
        return out;
    }

    bool IsOpenHere(const std::string& node) const
    {
        std::lock_guard lock(m_openMutex);
        for (const auto& [handle, open] : m_openNodes)
            if (open == node)
                return true;
        return false;
    }

    void ExplainNoDevice(int attached) const
    {
        if (!m_strChoice.empty() && attached > 0) {
            std::vector<FtdiBridgeInfo> bridges;
            std::string error;
            ListFtdiBridges(bridges, error);
            std::vector<std::string> names;
            for (const auto& b : bridges)
                names.push_back(DescribeBridge(b));
            Explain("no FTDI bridge matches \"" + m_strChoice +
                    "\" (give a serial number or a bus-port path); attached: " + Joined(names));
            return;
        }
        const auto ttys = ListUsbTtys();
        Explain("no FTDI device found" +
                (ttys.empty()
                     ? std::string("; check the cable and that the machine is powered")
                     : "; serial USB devices present: " + Joined(ttys) + " (another kind of adapter?)"));
    }

    // ftdi_usb_open_dev hides libusb's reason; ask libusb once more so a
    // missing permission can be told apart and its cure named.
    void ExplainOpenFailure(libusb_device* dev) const
    {
        libusb_device_handle* probe = nullptr;
        const int rc = libusb_open(dev, &probe);
        if (rc == 0) {
            libusb_close(probe);
            return;
        }
        const std::string node = DevNodeOf(dev);
        if (rc == LIBUSB_ERROR_ACCESS)
            Explain("permission denied on " + node +
                    ": install the velunda-cli package (its udev rule grants access) and replug the cable, "
                    "or join the plugdev group and log in again");
        else
            Explain(node + " cannot be opened: " + libusb_error_name(rc));
    }

    // The claim failed: the kernel's driver stayed bound, or another program
    // claimed the interface.
    void ExplainClaimFailure(libusb_device* dev) const
    {
        const std::string node = DevNodeOf(dev);
        libusb_device_handle* probe = nullptr;
        if (libusb_open(dev, &probe) == 0) {
            const int active = libusb_kernel_driver_active(probe, 0);
            libusb_close(probe);
            if (active == 1) {
                std::string tty;
                std::vector<FtdiBridgeInfo> bridges;
                std::string error;
                ListFtdiBridges(bridges, error);
                for (const auto& b : bridges)
                    if (b.devNode == node)
                        tty = b.tty;
                Explain("the kernel driver holds " + node + (tty.empty() ? "" : " (as " + tty + ")") +
                        " and could not be detached: unload it ('modprobe -r ftdi_sio') or reach the bridge "
                        "through its tty with --usb-tty");
                return;
            }
        }
        const auto holders = HoldersOf(node);
        Explain(node + " is busy: claimed by another program" +
                (holders.empty()
                     ? std::string(" (none found in /proc; close other programs that use FTDI devices)")
                     : " (" + Joined(holders) + ")"));
    }

    std::string m_strChoice;
    mutable std::mutex m_openMutex;
    std::map<FtdiHandle, std::string> m_openNodes;
};

} // namespace

std::unique_ptr<IFtdiBackend> MakeFtdiBackendLibftdi(const std::string& choice)
{
    return std::make_unique<CFtdiBackendLibftdi>(choice);
}

std::unique_ptr<IFtdiBackend> MakeFtdiBackendDefault()
{
    return MakeFtdiBackendLibftdi();
}
