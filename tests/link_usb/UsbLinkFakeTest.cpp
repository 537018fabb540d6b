// CUsbLink against a scripted device: configuration, the reader's reads,
// lost devices, second opens, and closing around hand-offs.
#include "FakeFtdiBackend.h"
#include "LinkTestSupport.h"

#include <thread>

namespace {

using Fake = CFakeFtdiBackend;

class UsbLinkWithFakeDevice : public ::testing::Test {
protected:
    UsbLinkWithFakeDevice()
    {
        auto fake = std::make_unique<Fake>();
        m_pFake = fake.get();
        m_link = std::make_unique<CUsbLink>(std::move(fake));
        m_sink = std::make_unique<CWindowSink>(*m_link, m_ui);
        m_link->SetSink(m_sink.get());
    }
    ~UsbLinkWithFakeDevice() override { m_link.reset(); }

    Fake& fake() { return *m_pFake; }
    CUsbLink& link() { return *m_link; }
    CWindowSink& sink() { return *m_sink; }

    FtdiHandle OnlyOpenHandle()
    {
        const auto open = fake().OpenHandles();
        return open.size() == 1 ? *open.begin() : FTDI_NO_HANDLE;
    }

    // Waits until the reader has taken everything the fake holds.
    bool Drained()
    {
        return fake().WaitFor([](const Fake& f) { return f.RxLeftLocked() == 0; }, 3000ms);
    }

    bool PumpEvents(std::size_t count)
    {
        return m_ui.PumpUntil([&] { return sink().events.size() >= count; });
    }

    CUiQueue m_ui;
    Fake* m_pFake = nullptr;
    std::unique_ptr<CUsbLink> m_link;
    std::unique_ptr<CWindowSink> m_sink;
};

TEST_F(UsbLinkWithFakeDevice, OpeningConfiguresTheDeviceAndClosingLowersTheTimeoutsFirst)
{
    ASSERT_EQ(link().OpenUsb(true), 1);
    const FtdiHandle h = OnlyOpenHandle();
    ASSERT_NE(h, FTDI_NO_HANDLE);
    EXPECT_EQ(link().DeviceCount(), 1u);
    ASSERT_EQ(link().CloseUsb(true), 1);

    std::vector<std::string> setup;
    for (const auto& c : fake().Calls())
        if (c.name != "read")
            setup.push_back(c.name + " " + std::to_string(c.a) + " " + std::to_string(c.b) +
                            (c.handle == h                ? " h"
                             : c.handle == FTDI_NO_HANDLE ? ""
                                                          : " other"));
    const std::vector<std::string> expected = {
        "list 0 0",      "open 0 0",           "usbparams 32768 0 h", "purge 3 0 h", "timeouts 3000 3000 h",
        "latency 2 0 h", "timeouts 100 100 h", "purge 3 0 h",         "close 0 0 h",
    };
    EXPECT_EQ(setup, expected);
    EXPECT_TRUE(fake().OpenHandles().empty());
}

struct OpenFailure {
    const char* name;
    Fake::EFailStep step;
    std::uint32_t devices;
    bool opensDevice; // the failure comes after the device was opened
};

class UsbLinkOpenFailure : public UsbLinkWithFakeDevice, public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(UsbLinkOpenFailure, FailsWithoutLeavingAHandleOrAReader)
{
    fake().SetFailStep(GetParam().step);
    fake().SetDeviceCount(GetParam().devices);
    EXPECT_EQ(link().OpenUsb(true), 0);
    EXPECT_FALSE(link().IsOpen());
    EXPECT_TRUE(fake().OpenHandles().empty());
    EXPECT_EQ(fake().CallsNamed("open").size(),
              GetParam().devices > 0 && GetParam().step != Fake::FAIL_LIST ? 1u : 0u);
    EXPECT_EQ(fake().CallsNamed("close").size(), GetParam().opensDevice ? 1u : 0u);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(fake().StatusCalls(), 0) << "a reader runs without a device";
    EXPECT_EQ(link().write_usb(Pattern(4, 12345).data(), 4), 0u);
}

INSTANTIATE_TEST_SUITE_P(EveryStep, UsbLinkOpenFailure,
                         ::testing::Values(OpenFailure{"NoDevice", Fake::FAIL_NONE, 0, false},
                                           OpenFailure{"ListFails", Fake::FAIL_LIST, 1, false},
                                           OpenFailure{"OpenFails", Fake::FAIL_OPEN, 1, false},
                                           OpenFailure{"UsbParameters", Fake::FAIL_USB_PARAMETERS, 1, true},
                                           OpenFailure{"Purge", Fake::FAIL_PURGE, 1, true},
                                           OpenFailure{"Timeouts", Fake::FAIL_TIMEOUTS, 1, true},
                                           OpenFailure{"Latency", Fake::FAIL_LATENCY, 1, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(UsbLinkWithFakeDevice, MoreThanOneBufferWaitingIsReadOverTwoPollsAndParsedInOrder)
{
    // 40000 bytes with a frame across the 32768 boundary of the first read.
    std::vector<std::uint8_t> stream(40000, 0x00);
    const auto frame = BoardCheckAck();
    std::copy(frame.begin(), frame.end(), stream.begin() + 32764);
    ASSERT_EQ(link().OpenUsb(true), 1);
    fake().Feed(stream);
    ASSERT_TRUE(Drained());
    ASSERT_TRUE(PumpEvents(1));

    std::vector<std::uint32_t> sizes;
    for (const auto& c : fake().CallsNamed("read"))
        sizes.push_back(c.a);
    EXPECT_EQ(sizes, (std::vector<std::uint32_t>{32768, 40000 - 32768}));
    m_ui.PumpFor(20ms);
    EXPECT_EQ(sink().events, std::vector<int>{ACK_BOARD_CHECK});
}

struct LostCase {
    const char* name;
    bool onStatus;
    std::uint32_t sysError;
    bool lost;
};

class UsbLinkReadFailure : public UsbLinkWithFakeDevice, public ::testing::WithParamInterface<LostCase> {};

TEST_P(UsbLinkReadFailure, OnlyALostDeviceIsClosedAndReopened)
{
    ASSERT_EQ(link().OpenUsb(true), 1);
    const FtdiHandle h = OnlyOpenHandle();
    if (GetParam().onStatus) {
        fake().FailNextStatus(GetParam().sysError, true);
    } else {
        fake().FailNextRead(GetParam().sysError, true);
        fake().Feed({0x55});
    }
    if (GetParam().lost) {
        // Closed, one attempt to reopen (the device is gone), then idle.
        ASSERT_TRUE(fake().WaitFor([](const Fake& f) { return f.OpenLocked().empty(); }, 3000ms));
        ASSERT_TRUE(fake().WaitFor([](const Fake& f) { return f.ListCountLocked() >= 2; }, 3000ms));
        EXPECT_FALSE(link().IsOpen());
        std::this_thread::sleep_for(20ms);
        EXPECT_EQ(fake().CallsNamed("list").size(), 2u) << "one reopen attempt, no more";
        EXPECT_EQ(fake().CallsNamed("open").size(), 1u);
        EXPECT_EQ(fake().CallsNamed("close").size(), 1u);
        EXPECT_EQ(fake().CallsNamed("close").front().handle, h);
    } else {
        std::this_thread::sleep_for(30ms);
        EXPECT_EQ(OnlyOpenHandle(), h);
        EXPECT_TRUE(fake().CallsNamed("close").empty());
        fake().SetPresent(true);
        fake().Feed(BoardCheckAck());
        EXPECT_TRUE(PumpEvents(1)) << "the reader stopped reading after a harmless failure";
    }
    // The reader still answers a close at once.
    EXPECT_LT(Timed([&] { link().CloseUsb(true); }), 500ms);
    EXPECT_TRUE(fake().OpenHandles().empty());
}

INSTANTIATE_TEST_SUITE_P(SystemErrors, UsbLinkReadFailure,
                         ::testing::Values(LostCase{"ReadDeviceNotFunctioning", false, 31, true},
                                           LostCase{"ReadInvalidHandle", false, 6, true},
                                           LostCase{"ReadOtherError", false, 5, false},
                                           LostCase{"StatusDeviceNotFunctioning", true, 31, true},
                                           LostCase{"StatusOtherError", true, 1117, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(UsbLinkWithFakeDevice, ADeviceThatComesBackIsReopenedWithTheReceiverStateKept)
{
    ASSERT_EQ(link().OpenUsb(true), 1);
    const FtdiHandle first = OnlyOpenHandle();
    const auto frame = BoardCheckAck();
    fake().Feed({frame.begin(), frame.begin() + 4});
    ASSERT_TRUE(Drained());
    fake().FailNextRead(FTDI_SYSERR_DEVICE_NOT_FUNCTIONING, false);
    fake().Feed({frame.begin() + 4, frame.end()});
    ASSERT_TRUE(PumpEvents(1));
    const FtdiHandle second = OnlyOpenHandle();
    EXPECT_NE(second, FTDI_NO_HANDLE);
    EXPECT_NE(second, first);
    EXPECT_TRUE(link().IsOpen());
    m_ui.PumpFor(20ms);
    EXPECT_EQ(sink().events, std::vector<int>{ACK_BOARD_CHECK});
}

TEST_F(UsbLinkWithFakeDevice, ReconnectWhileOpenKeepsTheWorkingHandleWhenTheSecondOpenIsRefused)
{
    ASSERT_EQ(link().OpenUsb(true), 1);
    const FtdiHandle h = OnlyOpenHandle();
    EXPECT_EQ(link().ReconnectUsb(), 0);
    EXPECT_EQ(link().OpenUsb(true), 0) << "a second open must not start a second reader";
    EXPECT_EQ(fake().OpenHandles(), std::set<FtdiHandle>{h});
    EXPECT_TRUE(fake().CallsNamed("close").empty());

    const auto request = Pattern(64, 12345);
    EXPECT_EQ(link().write_usb(request.data(), 64), 64u);
    EXPECT_EQ(fake().Written(h), request);
    fake().Feed(BoardCheckAck());
    EXPECT_TRUE(PumpEvents(1));
}

TEST_F(UsbLinkWithFakeDevice, ReconnectWhileOpenAdoptsASecondHandleAndReleasesTheFirst)
{
    fake().SetAllowSecondOpen(true);
    ASSERT_EQ(link().OpenUsb(true), 1);
    const FtdiHandle first = OnlyOpenHandle();
    EXPECT_EQ(link().ReconnectUsb(), 1);
    const FtdiHandle second = OnlyOpenHandle();
    EXPECT_NE(second, FTDI_NO_HANDLE);
    EXPECT_NE(second, first);

    const auto request = Pattern(16, 12345);
    EXPECT_EQ(link().write_usb(request.data(), 16), 16u);
    EXPECT_EQ(fake().Written(second), request);
    EXPECT_TRUE(fake().Written(first).empty());
    fake().Feed(BoardCheckAck());
    EXPECT_TRUE(PumpEvents(1));
}

TEST_F(UsbLinkWithFakeDevice, ReconnectWhileClosedLeavesNothingOpen)
{
    EXPECT_EQ(link().ReconnectUsb(), 0);
    EXPECT_FALSE(link().IsOpen());
    EXPECT_TRUE(fake().OpenHandles().empty());
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(fake().StatusCalls(), 0);
}

TEST_F(UsbLinkWithFakeDevice, WriteReportsTheBytesAcceptedAndNothingWhenClosed)
{
    const auto frame = BuildFrame(CMD_UPGRADE, SUB_DATA_DOWN, Pattern(8192, 12345).data(), 8192);
    EXPECT_EQ(link().write_usb(frame.data(), static_cast<std::uint32_t>(frame.size())), 0u);
    ASSERT_EQ(link().OpenUsb(true), 1);
    EXPECT_EQ(link().write_usb(frame.data(), static_cast<std::uint32_t>(frame.size())), frame.size());
    const auto written = fake().Written(OnlyOpenHandle());
    EXPECT_TRUE(SameBytes(written, frame));
    link().CloseUsb(true);
    EXPECT_EQ(link().write_usb(frame.data(), 8), 0u);
}

TEST_F(UsbLinkWithFakeDevice, NothingReachesTheWindowOnceCloseHasReturned)
{
    fake().SetRepeat(BoardCheckAck());
    ASSERT_EQ(link().OpenUsb(true), 1);
    ASSERT_TRUE(PumpEvents(5));
    ASSERT_EQ(link().CloseUsb(true), 1);
    const int calls = sink().Calls();
    const int polls = fake().StatusCalls();
    const std::size_t delivered = sink().events.size();
    m_ui.PumpFor(50ms);
    EXPECT_EQ(sink().Calls(), calls);
    EXPECT_EQ(fake().StatusCalls(), polls) << "the reader outlived the close";
    EXPECT_EQ(sink().events.size(), delivered);
    EXPECT_TRUE(fake().OpenHandles().empty());
}

TEST_F(UsbLinkWithFakeDevice, CloseReleasesAReaderWaitingForAHandOffThatNeverRuns)
{
    ASSERT_EQ(link().OpenUsb(true), 1);
    fake().Feed(BoardCheckAck());
    const auto deadline = TestClock::now() + 3s;
    while (m_ui.Pending() == 0 && TestClock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    ASSERT_EQ(m_ui.Pending(), 1u);
    EXPECT_LT(Timed([&] { EXPECT_EQ(link().CloseUsb(true), 1); }), 1000ms);
    m_ui.RunPending(); // the dropped hand-off runs late and must do nothing
    EXPECT_TRUE(sink().events.empty());
    EXPECT_TRUE(fake().OpenHandles().empty());
}

TEST_F(UsbLinkWithFakeDevice, CloseFromInsideAHandOffDefersTheJoinToTheNextOpen)
{
    int reopenInside = -1;
    bool closed = false;
    sink().reaction = [&](int) {
        if (closed)
            return;
        closed = true;
        link().CloseUsb(true);
        reopenInside = link().OpenUsb(true);
    };
    ASSERT_EQ(link().OpenUsb(true), 1);
    auto twoFrames = BoardCheckAck();
    const auto second = BuildFrame(CMD_SERIAL_VERSION, SUB_REQUEST, Pattern(5, 12345).data(), 5);
    twoFrames.insert(twoFrames.end(), second.begin(), second.end());
    fake().Feed(twoFrames);

    EXPECT_LT(Timed([&] { ASSERT_TRUE(PumpEvents(1)); }), 2000ms);
    EXPECT_EQ(reopenInside, 0) << "an open inside the hand-off cannot wait for its own reader";
    EXPECT_FALSE(link().IsOpen());
    m_ui.PumpFor(30ms);
    EXPECT_EQ(sink().events, std::vector<int>{ACK_BOARD_CHECK}) << "the frame after the close was delivered";

    ASSERT_EQ(link().OpenUsb(true), 1);
    fake().Feed(BoardCheckAck());
    EXPECT_TRUE(PumpEvents(2));
}

TEST_F(UsbLinkWithFakeDevice, DestroyingTheLinkAfterACloseInsideAHandOffJoinsItsReader)
{
    sink().reaction = [&](int) { link().CloseUsb(true); };
    ASSERT_EQ(link().OpenUsb(true), 1);
    fake().SetRepeat(BoardCheckAck());
    ASSERT_TRUE(PumpEvents(1));
    const int calls = sink().Calls();
    m_link.reset();
    EXPECT_LE(sink().Calls(), calls + 1);
}

TEST_F(UsbLinkWithFakeDevice, TheReaderPollsAboutEveryMillisecond)
{
    ASSERT_EQ(link().OpenUsb(true), 1);
    std::this_thread::sleep_for(200ms);
    const int polls = fake().StatusCalls();
    link().CloseUsb(true);
    EXPECT_GE(polls, 20) << "the reader sleeps far longer than its poll period";
    EXPECT_LE(polls, 400) << "the reader spins instead of pausing";
}

TEST_F(UsbLinkWithFakeDevice, CheckerMessagesTravelThroughTheSameHandOff)
{
    const std::uint8_t payload[2] = {1, 1};
    ASSERT_EQ(link().OpenUsb(true), 1);
    fake().Feed(BuildFrame(CMD_BOARD_CHECK, SUB_ACK, payload, 2));
    ASSERT_TRUE(m_ui.PumpUntil([&] { return !sink().messages.empty(); }));
    EXPECT_EQ(sink().messages, std::vector<std::string>{"ACK Velunda Board Check Protocol Data Size Err"});
    EXPECT_TRUE(sink().events.empty());
    EXPECT_GE(sink().Frames(), 1) << "the frame itself did not reach the window";
}

TEST_F(UsbLinkWithFakeDevice, TheBackendCanOnlyBeReplacedWhileClosed)
{
    ASSERT_EQ(link().OpenUsb(true), 1);
    EXPECT_EQ(link().SetBackend(std::make_unique<Fake>()), 0);
    EXPECT_EQ(OnlyOpenHandle() != FTDI_NO_HANDLE, true);
    link().CloseUsb(true);
    auto replacement = std::make_unique<Fake>();
    Fake* next = replacement.get();
    ASSERT_EQ(link().SetBackend(std::move(replacement)), 1);
    m_pFake = next;
    ASSERT_EQ(link().OpenUsb(true), 1);
    EXPECT_EQ(fake().OpenHandles().size(), 1u);
}

TEST_F(UsbLinkWithFakeDevice, ClosingTwiceOnlyClosesAgain)
{
    ASSERT_EQ(link().OpenUsb(true), 1);
    EXPECT_EQ(link().CloseUsb(true), 1);
    EXPECT_EQ(link().CloseUsb(true), 1);
    EXPECT_EQ(fake().CallsNamed("close").size(), 1u);
    EXPECT_FALSE(link().IsOpen());
}

} // namespace
