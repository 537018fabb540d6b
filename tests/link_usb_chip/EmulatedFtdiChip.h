#pragma once
// FT232R bridges at the kernel's USB boundary: a umockdev testbed holds the
// USB devices and a handler answers their usbdevfs ioctls as the chip does
// (control requests, bulk OUT to the machine, bulk IN packets of at most 64
// bytes led by two modem-status bytes, a status-only packet per latency
// period). Behind each chip sits the machine: the master side of a pty is
// the virtual target's, the chip holds the slave. The real libusb and
// libftdi1 run unchanged, under the umockdev preload.
//
// Threads: umockdev answers ioctls on a worker thread of its own; every
// public call here takes the chip's lock and may run on any other thread.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct CChipIdentity {
    std::string serial = "QB000001";
    std::string description = "FT232R USB UART";
    int bus = 1;
    int port = 2; // the device is BUS-PORT ("1-2") and gets address port+1
    // ftdi_sio holds the interface (and shows it as this tty); detaching it
    // may be refused.
    bool kernelDriver = false;
    std::string tty = "ttyUSB0";
    bool detachRefused = false;
};

class CEmulatedFtdiChip {
public:
    // True when this process runs under the umockdev preload.
    static bool PreloadActive();
    // Starts this program again under the preload, once; returns only when
    // it is active already or the new start failed.
    static void RunUnderPreload(char** argv);

    CEmulatedFtdiChip();
    ~CEmulatedFtdiChip();
    CEmulatedFtdiChip(const CEmulatedFtdiChip&) = delete;
    CEmulatedFtdiChip& operator=(const CEmulatedFtdiChip&) = delete;

    // Plugs in a bridge whose machine is reached through the tty at
    // machinePath (empty: nothing answers). Returns its number.
    int Add(const CChipIdentity& identity, const std::string& machinePath);
    // Unplugs bridge n: every URB in flight ends and the next fails with
    // ENODEV, and the device leaves sysfs.
    void Remove(int n);
    // Plugs bridge n in again, on the same bus and port, with a new machine.
    void Readd(int n, const std::string& machinePath);

    // At most this many 64-byte packets per bulk IN URB (0: as many as fit).
    void SetPacketsPerUrb(int n, int packets);
    // Another program claims bridge n's interface: the next claim fails.
    // Returns false when the helper process could not start.
    bool HoldElsewhere(int n);
    void ReleaseElsewhere();

    std::string DevNode(int n) const;
    // The latency timer bridge n holds (ms) and every value it was set to.
    int Latency(int n) const;
    std::vector<int> LatencySets(int n) const;
    // Bulk IN URBs answered with data, and packets in them.
    int DataUrbs(int n) const;
    int DataPackets(int n) const;
    // Bytes carried each way.
    std::uint64_t BytesOut(int n) const;
    std::uint64_t BytesIn(int n) const;

    struct CImpl;

private:
    std::unique_ptr<CImpl> m_pImpl;
};
