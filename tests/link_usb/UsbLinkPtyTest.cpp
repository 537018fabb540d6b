// CUsbLink over the tty backend on a pseudo-terminal: the test plays the
// target on the master side.
#include "LinkTestSupport.h"
#include "link/FtdiBackendForward.h"

#include <thread>

namespace {

// Passes every call to the real backend and counts the ones the tests ask
// about, so a reopen attempt can be seen even when it fails.
class CCountingBackend final : public CForwardingFtdiBackend {
public:
    explicit CCountingBackend(std::unique_ptr<IFtdiBackend> inner) : CForwardingFtdiBackend(std::move(inner))
    {
    }

    std::atomic<int> lists{0};
    std::atomic<int> opens{0};
    std::atomic<int> closes{0};
    std::atomic<int> openNow{0};

    FtdiStatus ListDevices(std::uint32_t& count) override
    {
        ++lists;
        return Inner().ListDevices(count);
    }
    FtdiStatus Open(std::uint32_t index, FtdiHandle& handle) override
    {
        ++opens;
        const FtdiStatus status = Inner().Open(index, handle);
        if (status == FTDI_OK)
            ++openNow;
        return status;
    }
    FtdiStatus Close(FtdiHandle h) override
    {
        ++closes;
        const FtdiStatus status = Inner().Close(h);
        if (status == FTDI_OK)
            --openNow;
        return status;
    }
};

class UsbLinkOnPty : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_pty.IsOpen());
        auto counting = std::make_unique<CCountingBackend>(MakeFtdiBackendTty(m_pty.SlavePath()));
        m_pCounts = counting.get();
        m_link = std::make_unique<CUsbLink>(std::move(counting));
        m_link->SetTrace([this](const std::string& line) {
            std::lock_guard lock(m_traceMutex);
            m_traces.push_back(line);
        });
        m_sink = std::make_unique<CWindowSink>(*m_link, m_ui);
        m_link->SetSink(m_sink.get());
    }
    void TearDown() override { m_link.reset(); }

    bool Traced(const std::string& text)
    {
        std::lock_guard lock(m_traceMutex);
        for (const auto& line : m_traces)
            if (line.find(text) != std::string::npos)
                return true;
        return false;
    }

    CPty m_pty;
    CUiQueue m_ui;
    CCountingBackend* m_pCounts = nullptr;
    std::unique_ptr<CUsbLink> m_link;
    std::unique_ptr<CWindowSink> m_sink;
    std::mutex m_traceMutex;
    std::vector<std::string> m_traces;
};

TEST_F(UsbLinkOnPty, OpensClosesAndOpensAgain)
{
    ASSERT_EQ(m_link->OpenUsb(true), 1);
    EXPECT_TRUE(m_link->IsOpen());
    EXPECT_EQ(m_link->DeviceCount(), 1u);
    EXPECT_EQ(m_link->CloseUsb(true), 1);
    EXPECT_FALSE(m_link->IsOpen());
    EXPECT_EQ(m_pCounts->openNow.load(), 0);
    ASSERT_EQ(m_link->OpenUsb(true), 1) << "the close kept the device locked";
    EXPECT_EQ(m_link->CloseUsb(true), 1);
    EXPECT_EQ(m_link->CloseUsb(true), 1);
}

TEST_F(UsbLinkOnPty, AWrittenFrameArrivesAtTheTargetByteForByte)
{
    ASSERT_EQ(m_link->OpenUsb(true), 1);
    const auto frame = BuildFrame(CMD_UPGRADE, SUB_DATA_DOWN, Pattern(8192, 99).data(), 8192);
    std::uint32_t written = 0;
    std::thread writer(
        [&] { written = m_link->write_usb(frame.data(), static_cast<std::uint32_t>(frame.size())); });
    const auto received = m_pty.Read(frame.size());
    writer.join();
    EXPECT_EQ(written, frame.size());
    EXPECT_TRUE(SameBytes(received, frame));
}

TEST_F(UsbLinkOnPty, AFrameFromTheTargetInSingleBytesRaisesOneEvent)
{
    int command = -1;
    m_sink->reaction = [&](int) { command = m_link->Receiver().packet().command; };
    ASSERT_EQ(m_link->OpenUsb(true), 1);
    for (std::uint8_t b : BoardCheckAck()) {
        ASSERT_TRUE(m_pty.Write({b}));
        m_ui.PumpFor(2ms);
    }
    ASSERT_TRUE(m_ui.PumpUntil([&] { return !m_sink->events.empty(); }));
    m_ui.PumpFor(20ms);
    EXPECT_EQ(m_sink->events, std::vector<int>{ACK_BOARD_CHECK});
    EXPECT_EQ(command, CMD_BOARD_CHECK) << "the window could not read the packet during the hand-off";
}

TEST_F(UsbLinkOnPty, AnUnpluggedTargetClosesTheLinkWhichTriesToReopenAndStillClosesPromptly)
{
    ASSERT_EQ(m_link->OpenUsb(true), 1);
    const int listsBefore = m_pCounts->lists.load();
    m_pty.CloseMaster();
    ASSERT_TRUE(m_ui.PumpUntil([&] { return !m_link->IsOpen(); }));
    ASSERT_TRUE(m_ui.PumpUntil([&] { return m_pCounts->lists.load() > listsBefore; }));
    EXPECT_TRUE(Traced("device lost"));
    m_ui.PumpFor(20ms);
    EXPECT_FALSE(m_link->IsOpen()) << "a vanished pty was reopened";
    EXPECT_EQ(m_pCounts->openNow.load(), 0);
    EXPECT_LT(Timed([&] { EXPECT_EQ(m_link->CloseUsb(true), 1); }), 500ms);
    EXPECT_EQ(m_link->write_usb(Pattern(4, 12345).data(), 4), 0u);
}

TEST_F(UsbLinkOnPty, AnAbsentPathDoesNotOpen)
{
    ASSERT_EQ(m_link->SetBackend(MakeFtdiBackendTty("/dev/velunda-absent")), 1);
    EXPECT_EQ(m_link->OpenUsb(true), 0);
    EXPECT_FALSE(m_link->IsOpen());
    EXPECT_EQ(m_link->DeviceCount(), 0u);
    EXPECT_EQ(m_link->CloseUsb(true), 1);
}

TEST_F(UsbLinkOnPty, ASecondLinkOnTheSameDeviceFailsAndTheFirstKeepsWorking)
{
    ASSERT_EQ(m_link->OpenUsb(true), 1);
    {
        CUsbLink intruder(MakeFtdiBackendTty(m_pty.SlavePath()));
        EXPECT_EQ(intruder.OpenUsb(true), 0);
    }
    const auto request = Pattern(32, 5);
    EXPECT_EQ(m_link->write_usb(request.data(), 32), 32u);
    EXPECT_EQ(m_pty.Read(32), request);
}

TEST_F(UsbLinkOnPty, ReconnectWhileOpenKeepsTheOpenDeviceWorking)
{
    ASSERT_EQ(m_link->OpenUsb(true), 1);
    EXPECT_EQ(m_link->ReconnectUsb(), 0);
    EXPECT_TRUE(m_link->IsOpen());
    EXPECT_EQ(m_pCounts->openNow.load(), 1);
    EXPECT_EQ(m_pCounts->closes.load(), 0);

    const auto request = Pattern(16, 3);
    EXPECT_EQ(m_link->write_usb(request.data(), 16), 16u);
    EXPECT_EQ(m_pty.Read(16), request);
    ASSERT_TRUE(m_pty.Write(BoardCheckAck()));
    EXPECT_TRUE(m_ui.PumpUntil([&] { return m_sink->events.size() == 1; }));
}

} // namespace
