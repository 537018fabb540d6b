#pragma once
// The main window on a USB link whose device records every frame the tool
// writes and never answers: the reactions are driven by calling OnAckEvent
// as the reader's hand-off would, and the frames they send are read back.
#include "TempFolder.h"
#include "UpgradeDlgTestAccess.h"
#include "app/HeadlessHost.h"
#include "window/UpgradeDlg.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

namespace seqtest {

struct SentFrame {
    std::uint8_t command;
    std::uint8_t subcommand;
    Bytes payload;
};

// An FTDI device that takes every write and has nothing to read.
class CRecordingBackend final : public IFtdiBackend {
public:
    explicit CRecordingBackend(std::shared_ptr<std::mutex> mutex, std::shared_ptr<Bytes> written)
        : m_pMutex(std::move(mutex)), m_pWritten(std::move(written))
    {
    }
    FtdiStatus ListDevices(std::uint32_t& count) override
    {
        count = 1;
        return FTDI_OK;
    }
    FtdiStatus Open(std::uint32_t, FtdiHandle& handle) override
    {
        handle = ++m_nLast;
        return FTDI_OK;
    }
    FtdiStatus SetUsbParameters(FtdiHandle, std::uint32_t, std::uint32_t) override { return FTDI_OK; }
    FtdiStatus Purge(FtdiHandle, std::uint32_t) override { return FTDI_OK; }
    FtdiStatus SetTimeouts(FtdiHandle, std::uint32_t, std::uint32_t) override { return FTDI_OK; }
    FtdiStatus SetLatencyTimer(FtdiHandle, std::uint8_t) override { return FTDI_OK; }
    FtdiStatus GetStatus(FtdiHandle, std::uint32_t& rx, std::uint32_t& tx, std::uint32_t& events,
                         FtdiSysError&) override
    {
        rx = tx = events = 0;
        return FTDI_OK;
    }
    FtdiStatus Read(FtdiHandle, std::uint8_t*, std::uint32_t, std::uint32_t& got, FtdiSysError&) override
    {
        got = 0;
        return FTDI_OK;
    }
    FtdiStatus Write(FtdiHandle, const std::uint8_t* buffer, std::uint32_t count,
                     std::uint32_t& written) override
    {
        std::lock_guard lock(*m_pMutex);
        m_pWritten->insert(m_pWritten->end(), buffer, buffer + count);
        written = count;
        return FTDI_OK;
    }
    FtdiStatus Close(FtdiHandle) override { return FTDI_OK; }

private:
    std::shared_ptr<std::mutex> m_pMutex;
    std::shared_ptr<Bytes> m_pWritten;
    FtdiHandle m_nLast = FTDI_NO_HANDLE;
};

// Splits a byte stream of well-formed frames; a malformed stream fails the test.
inline std::vector<SentFrame> SplitFrames(const Bytes& bytes)
{
    std::vector<SentFrame> frames;
    std::size_t at = 0;
    while (at < bytes.size()) {
        if (bytes.size() - at < FRAME_OVERHEAD || bytes[at] != 0xFB || bytes[at + 1] != 0x04) {
            ADD_FAILURE() << "no frame at offset " << at;
            break;
        }
        const std::size_t n = (std::size_t{bytes[at + 4]} << 8) | bytes[at + 5];
        if (bytes.size() - at < n + FRAME_OVERHEAD || bytes[at + 6 + n] != 0xFB ||
            ComputeChecksum(bytes.data() + at, n + 7) != bytes[at + 7 + n]) {
            ADD_FAILURE() << "broken frame at offset " << at;
            break;
        }
        frames.push_back(SentFrame{bytes[at + 2], bytes[at + 3],
                                   Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(at + 6),
                                         bytes.begin() + static_cast<std::ptrdiff_t>(at + 6 + n))});
        at += n + FRAME_OVERHEAD;
    }
    return frames;
}

class RecordingWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        dlg.OnInitDialog();
        State(dlg).m_szStartDir = m_dir.string();
        ASSERT_EQ(State(dlg).m_UsbLink.SetBackend(std::make_unique<CRecordingBackend>(m_pMutex, m_pWritten)),
                  1);
        ASSERT_EQ(State(dlg).m_UsbLink.OpenUsb(true), 1);
        State(dlg).m_bConnected = 1;
        State(dlg).m_nTransport = TRANSPORT_USB;
    }

    void TearDown() override { State(dlg).m_UsbLink.CloseUsb(true); }

    // A Quorin V1 part-image package with the given part sizes (MAIN, CIS M,
    // CIS S, CF, IR; 0 for absent), listed and checked, and a boot file.
    void LoadPartImage(const std::vector<std::size_t>& sizes, const Bytes& boot = Pattern(100, 99))
    {
        PutPartImage(dlg, sizes, parts, "pkg.DAT");
        bootImage = boot;
        WriteFileBytes(m_dir / "Boot" / "V1.00.OHH", boot);
        dlg.ShowPartChecks();
        dlg.FillPartList();
    }

    std::vector<SentFrame> Sent()
    {
        std::lock_guard lock(*m_pMutex);
        return SplitFrames(*m_pWritten);
    }
    // The frames sent since the last call.
    std::vector<SentFrame> TakeSent()
    {
        std::lock_guard lock(*m_pMutex);
        auto frames = SplitFrames(*m_pWritten);
        m_pWritten->clear();
        return frames;
    }

    CAckReceiver& Rx() { return State(dlg).m_UsbLink.Receiver(); }
    std::string Percent(int id) const { return host.GetText(id); }
    std::string Cell(int row, int col) const { return host.ListGetCell(IDC_LIST_PART, row, col); }

    // A short stall timeout, so that a quiet target ends a run within a test.
    static CAppOptions TestOptions()
    {
        CAppOptions options;
        options.stallTimeoutMs = 1000;
        return options;
    }

    CHeadlessHost host;
    CUpgradeDlg dlg{host, TestOptions()};
    Bytes parts[PART_COUNT];
    Bytes bootImage;
    CTempFolder m_tmp;
    std::filesystem::path m_dir = m_tmp.Path();

private:
    std::shared_ptr<std::mutex> m_pMutex = std::make_shared<std::mutex>();
    std::shared_ptr<Bytes> m_pWritten = std::make_shared<Bytes>();
};

} // namespace seqtest
