// The tty backend on pseudo-terminals: the test plays the bridge's far side
// on the master.
#include "LinkTestSupport.h"

#include <cstdio>
#include <thread>

namespace {

class TtyBackend : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_pty.IsOpen());
        m_backend = MakeFtdiBackendTty(m_pty.SlavePath());
        m_backend->SetTrace([this](const std::string& line) { m_traces.push_back(line); });
    }

    FtdiHandle OpenOrFail()
    {
        FtdiHandle h = FTDI_NO_HANDLE;
        EXPECT_EQ(m_backend->Open(0, h), FTDI_OK);
        return h;
    }

    // Reads exactly count bytes through the backend within a few seconds.
    std::vector<std::uint8_t> ReadAll(FtdiHandle h, std::size_t count)
    {
        std::vector<std::uint8_t> bytes(count);
        std::size_t done = 0;
        const auto deadline = TestClock::now() + 5s;
        while (done < count && TestClock::now() < deadline) {
            std::uint32_t got = 0;
            FtdiSysError error;
            if (m_backend->Read(h, bytes.data() + done, static_cast<std::uint32_t>(count - done), got,
                                error) != FTDI_OK)
                break;
            done += got;
        }
        bytes.resize(done);
        return bytes;
    }

    CPty m_pty;
    std::unique_ptr<IFtdiBackend> m_backend;
    std::vector<std::string> m_traces;
};

TEST_F(TtyBackend, ListsOneDeviceWhenThePathExistsAndNoneOtherwise)
{
    std::uint32_t count = 99;
    EXPECT_EQ(m_backend->ListDevices(count), FTDI_OK);
    EXPECT_EQ(count, 1u);

    auto absent = MakeFtdiBackendTty("/dev/velunda-no-such-tty");
    EXPECT_EQ(absent->ListDevices(count), FTDI_OK);
    EXPECT_EQ(count, 0u);
    FtdiHandle h = 1234;
    EXPECT_EQ(absent->Open(0, h), FTDI_DEVICE_NOT_FOUND);
    EXPECT_EQ(h, 1234u) << "a failed open wrote the handle";
    EXPECT_EQ(m_backend->Open(1, h), FTDI_DEVICE_NOT_FOUND) << "only device 0 exists";
}

TEST_F(TtyBackend, EveryByteValueCrossesUnchangedInBothDirections)
{
    const FtdiHandle h = OpenOrFail();
    std::vector<std::uint8_t> all(256);
    for (int i = 0; i < 256; ++i)
        all[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    auto bytes = Pattern(3000, 7);
    bytes.insert(bytes.begin(), all.begin(), all.end());

    std::uint32_t written = 0;
    ASSERT_EQ(m_backend->Write(h, bytes.data(), static_cast<std::uint32_t>(bytes.size()), written), FTDI_OK);
    EXPECT_EQ(written, bytes.size());
    const auto atTarget = m_pty.Read(bytes.size());
    EXPECT_TRUE(SameBytes(atTarget, bytes)) << "to the target";

    ASSERT_TRUE(m_pty.Write(bytes));
    const auto atHost = ReadAll(h, bytes.size());
    EXPECT_TRUE(SameBytes(atHost, bytes)) << "from the target";
    EXPECT_EQ(m_backend->Close(h), FTDI_OK);
}

TEST_F(TtyBackend, StatusCountsTheBytesWaiting)
{
    const FtdiHandle h = OpenOrFail();
    ASSERT_TRUE(m_pty.Write(Pattern(100, 12345)));
    std::uint32_t rx = 0, tx = 0, ev = 0;
    FtdiSysError error;
    const auto deadline = TestClock::now() + 3s;
    while (rx < 100 && TestClock::now() < deadline) {
        ASSERT_EQ(m_backend->GetStatus(h, rx, tx, ev, error), FTDI_OK);
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(rx, 100u);
    EXPECT_EQ(ReadAll(h, 100), Pattern(100, 12345));
    ASSERT_EQ(m_backend->GetStatus(h, rx, tx, ev, error), FTDI_OK);
    EXPECT_EQ(rx, 0u);
}

TEST_F(TtyBackend, AReadWithNothingWaitingTimesOutWithoutFailing)
{
    const FtdiHandle h = OpenOrFail();
    ASSERT_EQ(m_backend->SetTimeouts(h, 60, 60), FTDI_OK);
    std::uint8_t buffer[16];
    std::uint32_t got = 77;
    FtdiSysError error;
    FtdiStatus status = FTDI_OTHER_ERROR;
    const auto elapsed = Timed([&] { status = m_backend->Read(h, buffer, sizeof buffer, got, error); });
    EXPECT_EQ(status, FTDI_OK);
    EXPECT_EQ(got, 0u);
    EXPECT_GE(elapsed, 50ms);
    EXPECT_LT(elapsed, 1000ms);
}

TEST_F(TtyBackend, AClosedMasterShowsAsALostDevice)
{
    const FtdiHandle h = OpenOrFail();
    m_pty.CloseMaster();
    std::uint32_t rx = 0, tx = 0, ev = 0;
    FtdiSysError status;
    EXPECT_EQ(m_backend->GetStatus(h, rx, tx, ev, status), FTDI_IO_ERROR);
    EXPECT_EQ(status.code, FTDI_SYSERR_DEVICE_NOT_FUNCTIONING);
    EXPECT_TRUE(FtdiIsLostDevice(status));

    std::uint8_t buffer[8];
    std::uint32_t got = 0;
    FtdiSysError read;
    EXPECT_EQ(m_backend->Read(h, buffer, sizeof buffer, got, read), FTDI_IO_ERROR);
    EXPECT_TRUE(FtdiIsLostDevice(read)) << "system error " << read.code << " errno " << read.native;
    EXPECT_EQ(m_backend->Close(h), FTDI_OK);
}

TEST_F(TtyBackend, CloseWakesAReadWaitingOnAnotherThread)
{
    const FtdiHandle h = OpenOrFail();
    ASSERT_EQ(m_backend->SetTimeouts(h, 10000, 10000), FTDI_OK);
    FtdiStatus status = FTDI_OK;
    FtdiSysError error;
    std::atomic<bool> returned{false};
    std::thread reader([&] {
        std::uint8_t buffer[8];
        std::uint32_t got = 0;
        status = m_backend->Read(h, buffer, sizeof buffer, got, error);
        returned = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(returned.load());
    const auto elapsed = Timed([&] { EXPECT_EQ(m_backend->Close(h), FTDI_OK); });
    reader.join();
    EXPECT_LT(elapsed, 1000ms);
    EXPECT_EQ(status, FTDI_IO_ERROR);
    EXPECT_EQ(error.code, FTDI_SYSERR_INVALID_HANDLE);
}

TEST_F(TtyBackend, TheDeviceIsExclusiveUntilClosedAndHandlesAreNotReused)
{
    const FtdiHandle first = OpenOrFail();
    FtdiHandle second = FTDI_NO_HANDLE;
    EXPECT_EQ(m_backend->Open(0, second), FTDI_DEVICE_NOT_OPENED);
    // What the system check's reopen meets: expected, and traced as such.
    EXPECT_EQ(m_traces,
              std::vector<std::string>{"USB tty: device already open: keeping the current handle\r\n"});
    auto other = MakeFtdiBackendTty(m_pty.SlavePath());
    EXPECT_EQ(other->Open(0, second), FTDI_DEVICE_NOT_OPENED) << "another backend got in";
    EXPECT_EQ(m_backend->Close(first), FTDI_OK);
    EXPECT_EQ(m_backend->Close(first), FTDI_INVALID_HANDLE);

    const FtdiHandle again = OpenOrFail();
    EXPECT_NE(again, first);
    std::uint32_t rx = 0, tx = 0, ev = 0;
    FtdiSysError error;
    EXPECT_EQ(m_backend->GetStatus(first, rx, tx, ev, error), FTDI_INVALID_HANDLE)
        << "a stale handle reached the new device";
    EXPECT_EQ(m_backend->Close(again), FTDI_OK);
}

TEST_F(TtyBackend, RejectsValuesTheDeviceCannotTake)
{
    const FtdiHandle h = OpenOrFail();
    const FtdiHandle unknown = h + 100;
    struct Case {
        const char* what;
        FtdiStatus got;
        FtdiStatus want;
    };
    std::uint8_t byte = 0;
    std::uint32_t n = 0;
    FtdiSysError error;
    const Case cases[] = {
        {"transfer 32768/0", m_backend->SetUsbParameters(h, 32768, 0), FTDI_OK},
        {"transfer 100", m_backend->SetUsbParameters(h, 100, 0), FTDI_INVALID_PARAMETER},
        {"transfer 65600", m_backend->SetUsbParameters(h, 65600, 0), FTDI_INVALID_PARAMETER},
        {"latency 2", m_backend->SetLatencyTimer(h, 2), FTDI_OK},
        {"latency 0", m_backend->SetLatencyTimer(h, 0), FTDI_INVALID_PARAMETER},
        {"purge 3", m_backend->Purge(h, FTDI_PURGE_RX | FTDI_PURGE_TX), FTDI_OK},
        {"purge 4", m_backend->Purge(h, 4), FTDI_INVALID_PARAMETER},
        {"read unknown", m_backend->Read(unknown, &byte, 1, n, error), FTDI_INVALID_HANDLE},
        {"write unknown", m_backend->Write(unknown, &byte, 1, n), FTDI_INVALID_HANDLE},
        {"timeouts unknown", m_backend->SetTimeouts(unknown, 1, 1), FTDI_INVALID_HANDLE},
        {"close unknown", m_backend->Close(unknown), FTDI_INVALID_HANDLE},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.got, c.want) << c.what;
    EXPECT_EQ(m_backend->Close(h), FTDI_OK);
}

TEST_F(TtyBackend, AFileThatIsNotATerminalDoesNotOpen)
{
    char path[] = "/tmp/velunda-not-a-tty-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    auto file = MakeFtdiBackendTty(path);
    std::vector<std::string> traces;
    file->SetTrace([&](const std::string& line) { traces.push_back(line); });
    FtdiHandle h = FTDI_NO_HANDLE;
    EXPECT_EQ(file->Open(0, h), FTDI_DEVICE_NOT_OPENED);
    EXPECT_FALSE(traces.empty()) << "the failure was not explained";
    ::unlink(path);
}

} // namespace
