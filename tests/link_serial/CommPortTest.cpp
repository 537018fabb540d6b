#include "SerialTestSupport.h"

#include "TestPaths.h"
#include "link/CommPort.h"
#include <csignal>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr std::uint32_t kFast = 115200;

// Threads of this process the kernel lists. A thread joined a moment ago may
// still be listed briefly, so callers let the count settle and compare with <=.
int ThreadsInProcess()
{
    int n = 0;
    if (DIR* dir = ::opendir("/proc/self/task")) {
        while (const dirent* e = ::readdir(dir))
            n += e->d_name[0] != '.';
        ::closedir(dir);
    }
    return n;
}

// The probe program's answer about a port another process holds.
struct ProbeResult {
    int status = -1; // 0 ran, 77 could not drop privileges, 78 could not start
    int rawErrno = -1;
    int opened = -1;
    int error = -1;
};

ProbeResult RunProbe(const std::string& path, bool asNobody)
{
    ProbeResult result;
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return result;
    const std::string probe = TestPath("LINK_SERIAL_PROBE");
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipeFds[1], 1);
        if (asNobody && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(77);
        const char* argv[] = {probe.c_str(), path.c_str(), "115200", nullptr};
        ::execv(argv[0], const_cast<char* const*>(argv));
        ::_exit(78);
    }
    ::close(pipeFds[1]);
    char text[256] = {};
    std::size_t got = 0;
    ssize_t n;
    while (got + 1 < sizeof text && (n = ::read(pipeFds[0], text + got, sizeof text - 1 - got)) > 0)
        got += std::size_t(n);
    ::close(pipeFds[0]);
    int wstatus = 0;
    ::waitpid(pid, &wstatus, 0);
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    std::sscanf(text, "raw=%d port=%d err=%d", &result.rawErrno, &result.opened, &result.error);
    return result;
}

// ---- opening and line settings

class CommPortBaud : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(CommPortBaud, OpensRaw8N1AndTheDeviceKeepsTheExactSpeed)
{
    const std::uint32_t baud = GetParam();
    CPty pty;
    CRxQueue queue;
    CCommPort port(queue);
    ASSERT_EQ(port.OpenPort(pty.SlavePath(), baud), 1) << port.LastErrorText();
    EXPECT_EQ(port.IsConnected(), 1);
    EXPECT_EQ(port.ActualBaudRate(), baud);

    // Read back through the master, not through the port's own code.
    unsigned inBaud = 0;
    EXPECT_EQ(pty.SlaveSpeed(&inBaud), baud);
    EXPECT_EQ(inBaud, baud);
    termios tio{};
    ASSERT_EQ(::tcgetattr(pty.Master(), &tio), 0);
    EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD),
              tcflag_t(CS8 | CLOCAL | CREAD));
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    port.ClosePort();
    EXPECT_EQ(port.IsConnected(), 0);
}

INSTANTIATE_TEST_SUITE_P(BaudList, CommPortBaud,
                         ::testing::Values(4800u, 9600u, 19200u, 38300u, 38400u, 57600u, 115200u, 250000u));

TEST(CommPort, AReopenAtAStandardSpeedDropsBothDirectionsOfAnExactSpeed)
{
    CPty pty;
    CRxQueue queue;
    CCommPort port(queue);
    for (const std::uint32_t baud : {38300u, 9600u, 250000u, 115200u}) {
        SCOPED_TRACE(std::to_string(baud) + " baud");
        ASSERT_EQ(port.OpenPort(pty.SlavePath(), baud), 1) << port.LastErrorText();
        unsigned inBaud = 0;
        EXPECT_EQ(pty.SlaveSpeed(&inBaud), baud);
        EXPECT_EQ(inBaud, baud);
        port.ClosePort();
    }
}

TEST(CommPort, RefusedOpensKeepTheOsErrorAndLeaveThePortClosed)
{
    CPty pty;
    char file[] = "/tmp/velunda-not-a-tty-XXXXXX";
    const int fileFd = ::mkstemp(file);
    ASSERT_GE(fileFd, 0);
    ::close(fileFd);
    struct Case {
        std::string name;
        std::uint32_t baud;
        int error;
    };
    const Case cases[] = {
        {"", 9600, EINVAL},
        {pty.SlavePath(), 0, EINVAL},
        {"/dev/velunda-no-such-port", 9600, ENOENT},
        {file, 9600, ENOTTY},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("port '" + c.name + "' at " + std::to_string(c.baud));
        CCommPort port;
        EXPECT_EQ(port.OpenPort(c.name, c.baud), 0);
        EXPECT_EQ(port.LastError(), c.error) << port.LastErrorText();
        EXPECT_NE(port.LastErrorText().find(std::strerror(c.error)), std::string::npos)
            << port.LastErrorText();
        EXPECT_EQ(port.IsConnected(), 0);
        const std::uint8_t byte = 'A';
        EXPECT_EQ(port.WriteComm(&byte, 1), 0);
    }
    ::unlink(file);
}

TEST(CommPort, ABareNameIsADeviceUnderDevAndANameWithASlashIsAPath)
{
    CCommPort bare;
    EXPECT_EQ(bare.OpenPort("ttyNoSuchPort", kFast), 0);
    EXPECT_EQ(bare.DevicePath(), "/dev/ttyNoSuchPort");

    // "pts/N" relative to the working folder, not /dev/pts/N.
    CPty pty;
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(::chdir("/dev"), 0);
    const std::string relative = pty.SlavePath().substr(std::string("/dev/").size());
    CCommPort port;
    const int opened = port.OpenPort(relative, kFast);
    const std::string error = port.LastErrorText();
    ASSERT_EQ(::chdir(cwd), 0);
    ASSERT_EQ(opened, 1) << error;
    EXPECT_EQ(port.DevicePath(), relative);
}

TEST(CommPort, APortAnotherProgramHoldsOpenIsRefusedAndTheHolderNamed)
{
    CPty pty;
    // A program that took neither the lock nor the exclusive flag.
    const pid_t holder = ::fork();
    if (holder == 0) {
        const int fd = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
        ::execlp("sleep", "sleep", "5", static_cast<char*>(nullptr));
        ::_exit(fd >= 0 ? 127 : 126);
    }
    ASSERT_GT(holder, 0);
    CCommPort port;
    int opened = 1;
    // Until the child has the device open and has become "sleep".
    for (int i = 0; i < 100 && opened != 0; ++i) {
        opened = port.OpenPort(pty.SlavePath(), kFast);
        if (opened != 0 || port.LastErrorText().find("sleep") == std::string::npos) {
            port.ClosePort();
            opened = 1;
            ::usleep(20000);
        }
    }
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    EXPECT_EQ(opened, 0);
    EXPECT_EQ(port.LastError(), EBUSY);
    EXPECT_NE(port.LastErrorText().find("(held by " + std::to_string(holder) + " (sleep))"),
              std::string::npos)
        << port.LastErrorText();
    // Once it is gone the port opens.
    EXPECT_EQ(port.OpenPort(pty.SlavePath(), kFast), 1) << port.LastErrorText();
}

TEST(CommPort, OpeningAnOpenPortIsRefusedAndTheSessionGoesOn)
{
    CPty pty;
    CRxQueue queue;
    CCommPort port(queue);
    ASSERT_EQ(port.OpenPort(pty.SlavePath(), kFast), 1);
    EXPECT_EQ(port.OpenPort(pty.SlavePath(), 9600), 0);
    EXPECT_EQ(port.LastError(), EISCONN);
    EXPECT_EQ(port.IsConnected(), 1);
    const Bytes out = Pattern(64, 5);
    EXPECT_EQ(port.WriteComm(out.data(), 64), 64);
    EXPECT_TRUE(SameBytes(pty.Read(64, 2s), out));
}

// ---- a second program

TEST(CommPort, TheLockStopsASecondOpenEvenByRoot)
{
    CPty pty;
    CRxQueue queue;
    CCommPort first(queue);
    ASSERT_EQ(first.OpenPort(pty.SlavePath(), kFast), 1);

    CCommPort second;
    EXPECT_EQ(second.OpenPort(pty.SlavePath(), kFast), 0);
    EXPECT_EQ(second.LastError(), EWOULDBLOCK) << second.LastErrorText();
    EXPECT_EQ(second.IsConnected(), 0);

    const ProbeResult other = RunProbe(pty.SlavePath(), false);
    ASSERT_EQ(other.status, 0);
    if (::geteuid() == 0) {
        EXPECT_EQ(other.rawErrno, 0) << "root passes the exclusive flag; only the lock stops it";
    }
    EXPECT_EQ(other.opened, 0);
    EXPECT_EQ(other.error, ::geteuid() == 0 ? EWOULDBLOCK : EBUSY);

    first.ClosePort();
    EXPECT_EQ(second.OpenPort(pty.SlavePath(), kFast), 1) << second.LastErrorText();
}

TEST(CommPort, AnUnprivilegedProgramIsRefusedWhileThePortIsHeld)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to become the unprivileged user 65534";
    CPty pty;
    ASSERT_EQ(::chmod(pty.SlavePath().c_str(), 0666), 0);
    CRxQueue queue;
    CCommPort holder(queue);
    ASSERT_EQ(holder.OpenPort(pty.SlavePath(), kFast), 1);

    const ProbeResult held = RunProbe(pty.SlavePath(), true);
    if (held.status == 77)
        GTEST_SKIP() << "cannot drop privileges to 65534 here";
    ASSERT_EQ(held.status, 0) << "the probe program did not run as 65534 (is the build folder readable?)";
    EXPECT_EQ(held.rawErrno, EBUSY) << "the exclusive flag must stop even a plain open";
    EXPECT_EQ(held.opened, 0);
    EXPECT_EQ(held.error, EBUSY);

    holder.ClosePort();
    const ProbeResult freed = RunProbe(pty.SlavePath(), true);
    EXPECT_EQ(freed.rawErrno, 0) << "the exclusive flag must go with the close";
    EXPECT_EQ(freed.opened, 1) << "error " << freed.error;
}

// ---- writing

TEST(CommPort, WrittenBytesArriveWholeWithinTheWriteTime)
{
    CPty pty;
    CRxQueue queue;
    CCommPort port(queue);
    ASSERT_EQ(port.OpenPort(pty.SlavePath(), 230400), 1);
    // 1 ms per byte at 230400: generous, but it must not fire while the device reads.
    const Bytes out = Pattern(20000, 6);
    Bytes seen;
    std::thread device([&] { seen = pty.Read(out.size(), 10s); });
    EXPECT_EQ(port.WriteComm(out.data(), int(out.size())), int(out.size())) << port.LastErrorText();
    EXPECT_FALSE(port.LastWriteTimedOut());
    device.join();
    EXPECT_TRUE(SameBytes(seen, out));
}

struct WriteBudget {
    std::uint32_t baud;
    int count;
    int budgetMs; // count x (230400 / baud)
};

void PrintTo(const WriteBudget& p, std::ostream* os)
{
    *os << p.count << " bytes at " << p.baud << " baud";
}

class CommPortWriteTimeout : public ::testing::TestWithParam<WriteBudget> {};

TEST_P(CommPortWriteTimeout, AStalledDeviceEndsTheWriteAfterTheByteBudget)
{
    const WriteBudget p = GetParam();
    CPty pty;
    CRxQueue queue;
    CCommPort port(queue);
    ASSERT_EQ(port.OpenPort(pty.SlavePath(), p.baud), 1);
    // Fill the path to the master through a second descriptor until it refuses more.
    const int filler = ::open(pty.SlavePath().c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK);
    if (filler < 0)
        GTEST_SKIP() << "a second descriptor on the held port needs root";
    // The kernel moves bytes on to the master's side in the background, so
    // fill again until a round after a pause takes nothing.
    const Bytes junk(4096, 0x20);
    for (bool took = true; took;) {
        took = false;
        while (::write(filler, junk.data(), junk.size()) > 0)
            took = true;
        std::this_thread::sleep_for(20ms);
    }
    ::close(filler);

    const Bytes out = Pattern(std::size_t(p.count), 7);
    const auto start = std::chrono::steady_clock::now();
    const int written = port.WriteComm(out.data(), p.count);
    const auto tookMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count();
    EXPECT_LT(written, p.count);
    EXPECT_TRUE(port.LastWriteTimedOut());
    EXPECT_EQ(port.LastError(), ETIMEDOUT);
    EXPECT_GE(tookMs, p.budgetMs - 5);
    EXPECT_LT(tookMs, p.budgetMs + 1500);
}

INSTANTIATE_TEST_SUITE_P(Budgets, CommPortWriteTimeout,
                         ::testing::Values(WriteBudget{115200, 100, 200}, WriteBudget{38300, 20, 120},
                                           WriteBudget{9600, 10, 240}));

// A port whose notifications reach a user-interface loop, as the bootloader
// window wires it. Members in the order that lets the port, and with it the
// receive thread, go first.
class WiredPort : public ::testing::Test {
protected:
    WiredPort() { WireToUi(port, queue, ui, collector); }

    CPty pty;
    CCollector collector;
    CRxQueue queue;
    CUiLoop ui;
    CCommPort port{queue};
};

// ---- reading and delivery

TEST(CommPort, AReadWithNothingWaitingReturnsZeroAtOnce)
{
    CPty pty;
    CRxQueue queue;
    CCommPort port(queue);
    std::uint8_t buf[64];
    EXPECT_EQ(port.ReadComm(buf, sizeof buf), 0) << "closed port";
    ASSERT_EQ(port.OpenPort(pty.SlavePath(), kFast), 1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(port.ReadComm(buf, sizeof buf), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 50ms);
    EXPECT_EQ(port.BytesWaiting(), 0);
}

TEST_F(WiredPort, AFullRingLeavesBytesInTheDriverUntilTheConsumerMakesRoom)
{
    const Bytes early = Pattern(CRxQueue::RXQUEUE_CAPACITY, 8);
    ASSERT_EQ(queue.PushBlock(early.data(), int(early.size())), CRxQueue::RXQUEUE_CAPACITY);
    ASSERT_EQ(port.OpenPort(pty.SlavePath(), kFast), 1);

    const Bytes late = Pattern(500, 9);
    pty.Write(late);
    ASSERT_TRUE(WaitUntil([&] { return port.BytesWaiting() == 500; }, 2s)) << port.BytesWaiting();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(port.BytesWaiting(), 500) << "nothing may be read while the ring is full";
    EXPECT_TRUE(collector.Counts().empty());

    // ReadComm itself honours its capacity.
    std::uint8_t buf[16];
    ASSERT_EQ(port.ReadComm(buf, 4), 4);
    EXPECT_TRUE(SameBytes(Bytes(buf, buf + 4), Bytes(late.begin(), late.begin() + 4)));

    ui.Run([&] { collector.Add(PopAll(queue), 0); });
    ASSERT_TRUE(collector.WaitForBytes(early.size() + 496, 5s));
    Bytes expected = early;
    expected.insert(expected.end(), late.begin() + 4, late.end());
    EXPECT_TRUE(SameBytes(collector.TakeBytes(), expected));
}

TEST_F(WiredPort, AReadTakesNoMoreThanTheRingsFreeSpace)
{
    const Bytes early = Pattern(16000, 10);
    ASSERT_EQ(queue.PushBlock(early.data(), int(early.size())), 16000);
    ASSERT_EQ(port.OpenPort(pty.SlavePath(), kFast), 1);

    const Bytes late = Pattern(1000, 11);
    pty.Write(late);
    ASSERT_TRUE(collector.WaitForBytes(early.size() + late.size(), 5s)) << collector.Counts().size();
    Bytes expected = early;
    expected.insert(expected.end(), late.begin(), late.end());
    EXPECT_TRUE(SameBytes(collector.TakeBytes(), expected));
    const auto counts = collector.Counts();
    ASSERT_FALSE(counts.empty());
    EXPECT_LE(counts.front(), CRxQueue::RXQUEUE_CAPACITY - 16000);
}

TEST_F(WiredPort, SixteenKilobytesFromTheDeviceArriveWholeAndInOrder)
{
    ASSERT_EQ(port.OpenPort(pty.SlavePath(), kFast), 1);
    const Bytes in = Pattern(16384, 12);
    pty.Write(in);
    ASSERT_TRUE(collector.WaitForBytes(in.size(), 5s));
    EXPECT_TRUE(SameBytes(collector.TakeBytes(), in));
    int total = 0;
    for (int c : collector.Counts()) {
        EXPECT_GT(c, 0);
        EXPECT_LE(c, CRxQueue::RXQUEUE_CAPACITY);
        total += c;
    }
    EXPECT_EQ(total, 16384) << "each notification carries the count it queued";
}

TEST(CommPort, DeliveringABlockLargerThanTheFreeSpaceLosesNothing)
{
    CRxQueue queue;
    CCommPort port(queue);
    const Bytes in = Pattern(16384, 13);

    // The notification empties the ring, as the bootloader window does.
    Bytes seen;
    std::vector<int> counts;
    port.SetNotify([&](int count) {
        counts.push_back(count);
        const Bytes got = PopAll(queue);
        seen.insert(seen.end(), got.begin(), got.end());
    });
    EXPECT_EQ(port.DeliverReceived(in.data(), int(in.size())), 16384);
    EXPECT_TRUE(SameBytes(seen, in));
    EXPECT_EQ(counts, (std::vector<int>{16383, 1}));

    // A notification that leaves the ring full: the rest stays with the caller.
    counts.clear();
    port.SetNotify([&](int count) { counts.push_back(count); });
    EXPECT_EQ(port.DeliverReceived(in.data(), int(in.size())), 16383);
    EXPECT_EQ(counts, (std::vector<int>{16383}));
    EXPECT_TRUE(SameBytes(PopAll(queue), Bytes(in.begin(), in.end() - 1)));
    EXPECT_EQ(port.DeliverReceived(in.data(), 0), 0);
}

TEST(CommPort, TheGlobalPortFillsTheGlobalRing)
{
    CPty pty;
    CCollector collector;
    CUiLoop ui;
    WireToUi(g_ComPort, g_RxQueue, ui, collector);
    // The global port outlives this test: close it on every way out.
    const auto closeGlobal = [](void*) {
        g_ComPort.ClosePort();
        g_ComPort.SetNotify(nullptr);
    };
    const std::unique_ptr<void, decltype(closeGlobal)> guard(&g_ComPort, closeGlobal);
    ASSERT_EQ(g_ComPort.OpenPort(pty.SlavePath(), kFast), 1) << g_ComPort.LastErrorText();
    const Bytes in = Pattern(300, 14);
    pty.Write(in);
    ASSERT_TRUE(collector.WaitForBytes(in.size(), 5s));
    EXPECT_TRUE(SameBytes(collector.TakeBytes(), in));
}

// ---- closing

TEST(CommPort, NoNotificationComesAfterClosePortReturned)
{
    CPty pty;
    CRxQueue queue;
    CCommPort port(queue);
    std::atomic<bool> closed{false};
    std::atomic<int> late{0};
    std::atomic<int> calls{0};
    // Here the receive thread itself is the consumer.
    port.SetNotify([&](int) {
        if (closed.load())
            ++late;
        ++calls;
        PopAll(queue);
        std::this_thread::sleep_for(1ms); // widen the window a close can meet
        if (closed.load())
            ++late;
    });
    std::atomic<bool> stop{false};
    std::thread device([&] {
        const Bytes chunk = Pattern(256, 15);
        while (!stop.load()) {
            [[maybe_unused]] const auto n = ::write(pty.Master(), chunk.data(), chunk.size());
            std::this_thread::sleep_for(1ms);
        }
    });
    std::this_thread::sleep_for(20ms); // let threads of earlier tests leave the list
    const int baseline = ThreadsInProcess();
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        closed = false;
        const int before = calls.load();
        ASSERT_EQ(port.OpenPort(pty.SlavePath(), kFast), 1) << port.LastErrorText();
        ASSERT_TRUE(WaitUntil([&] { return calls.load() > before + 2; }, 5s));
        RunWithin(5s, "ClosePort", [&] { port.ClosePort(); });
        closed = true;
        // The kernel may list a joined thread for a moment longer; one that
        // still runs stays listed.
        EXPECT_TRUE(WaitUntil([&] { return ThreadsInProcess() <= baseline; }, 1s))
            << "the receive thread outlived ClosePort";
        std::this_thread::sleep_for(20ms);
        EXPECT_EQ(late.load(), 0);
    }
    stop = true;
    device.join();
}

TEST_F(WiredPort, ACloseFromInsideTheNotificationReturnsAndTheNextOpenWorks)
{
    std::atomic<bool> closeInside{true};
    std::atomic<int> closesInside{0};
    int reopenInside = -1;
    int reopenInsideError = 0;
    port.SetNotify([&](int count) {
        port.Gate().Send([this](std::function<void()> task) { ui.Post(std::move(task)); },
                         [&, count] {
                             collector.Add(PopAll(queue), count);
                             if (!closeInside.exchange(false))
                                 return;
                             // The board upgrade ends and closes the port from here.
                             port.ClosePort();
                             reopenInside = port.OpenPort(pty.SlavePath(), kFast);
                             reopenInsideError = port.LastError();
                             ++closesInside;
                         });
    });
    ui.Run([&] { ASSERT_EQ(port.OpenPort(pty.SlavePath(), 9600), 1); });
    const Bytes first = Pattern(10, 16);
    pty.Write(first);
    RequireWithin([&] { return closesInside.load() == 1; }, 5s, "the close inside the notification");
    ui.Run([&] {
        EXPECT_EQ(port.IsConnected(), 0);
        EXPECT_EQ(reopenInside, 0) << "the stopped thread cannot be joined from inside its own notification";
        EXPECT_EQ(reopenInsideError, EDEADLK);
    });
    EXPECT_TRUE(SameBytes(collector.TakeBytes(), first));

    ui.Run([&] { EXPECT_EQ(port.OpenPort(pty.SlavePath(), kFast), 1) << port.LastErrorText(); });
    EXPECT_EQ(pty.SlaveSpeed(), kFast);
    const Bytes second = Pattern(20, 17);
    pty.Write(second);
    ASSERT_TRUE(collector.WaitForBytes(second.size(), 5s));
    EXPECT_TRUE(SameBytes(collector.TakeBytes(), second));
    ui.Run([&] { port.ClosePort(); });
}

TEST(CommPort, ADestructorAfterACloseFromInsideTheNotificationJoinsTheThread)
{
    CPty pty;
    CRxQueue queue;
    CUiLoop ui;
    std::this_thread::sleep_for(20ms); // let threads of earlier tests leave the list
    const int baseline = ThreadsInProcess();
    std::atomic<bool> closed{false};
    auto port = std::make_unique<CCommPort>(queue);
    port->SetNotify([&](int) {
        port->Gate().Send([&ui](std::function<void()> task) { ui.Post(std::move(task)); },
                          [&] {
                              PopAll(queue);
                              port->ClosePort();
                              closed = true;
                          });
    });
    ui.Run([&] { ASSERT_EQ(port->OpenPort(pty.SlavePath(), kFast), 1); });
    pty.Write(Pattern(5, 18));
    RequireWithin([&] { return closed.load(); }, 5s, "the close inside the notification");
    RunWithin(5s, "the destructor", [&] { ui.Run([&] { port.reset(); }); });
    EXPECT_TRUE(WaitUntil([&] { return ThreadsInProcess() <= baseline; }, 1s))
        << ThreadsInProcess() - baseline << " thread(s) left behind";
}

TEST(CommPort, ACloseStraightFromTheReceiveThreadsCallbackDoesNotJoinItself)
{
    CPty pty;
    CRxQueue queue;
    std::atomic<int> calls{0};
    auto port = std::make_unique<CCommPort>(queue);
    port->SetNotify([&](int) {
        ++calls;
        port->ClosePort();
    });
    ASSERT_EQ(port->OpenPort(pty.SlavePath(), kFast), 1);
    pty.Write(Pattern(3, 20));
    RequireWithin([&] { return calls.load() == 1; }, 5s, "the notification");
    EXPECT_EQ(port->IsConnected(), 0);
    pty.Write(Pattern(3, 21));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(calls.load(), 1) << "the stopped thread delivered again";
    EXPECT_EQ(port->OpenPort(pty.SlavePath(), kFast), 1) << port->LastErrorText();
    RunWithin(5s, "the destructor", [&] { port.reset(); });
}

TEST(CommPort, CloseReleasesAThreadWaitingForAHandOffNobodyWillRun)
{
    CPty pty;
    CRxQueue queue;
    CCommPort port(queue);
    std::mutex mutex;
    std::vector<std::function<void()>> neverRun;
    std::atomic<bool> ran{false};
    port.SetNotify([&](int) {
        port.Gate().Send(
            [&](std::function<void()> task) {
                std::lock_guard lock(mutex);
                neverRun.push_back(std::move(task));
            },
            [&] { ran = true; });
    });
    ASSERT_EQ(port.OpenPort(pty.SlavePath(), kFast), 1);
    pty.Write(Pattern(8, 19));
    ASSERT_TRUE(WaitUntil(
        [&] {
            std::lock_guard lock(mutex);
            return !neverRun.empty();
        },
        5s));
    RunWithin(5s, "ClosePort", [&] { port.ClosePort(); });
    // The dropped hand-off, run late, must not reach the window.
    for (auto& task : neverRun)
        task();
    EXPECT_FALSE(ran.load());
    EXPECT_EQ(queue.Count(), 8) << "the bytes stay queued for the next consumer";
}

TEST(CommPort, AReceiveThreadThatCannotStartIsReportedWithTheDevicePath)
{
    CPty pty;
    CRxQueue queue;
    CCommPort port(queue);
    std::vector<std::string> messages;
    port.SetMessage([&](const std::string& text) { messages.push_back(text); });

    // Leave room for the device only, so that the wake-up event cannot be made.
    const int next = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(next, 0);
    ::close(next);
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit tight = saved;
    tight.rlim_cur = rlim_t(next) + 1;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    const int opened = port.OpenPort(pty.SlavePath(), kFast);
    const int error = port.LastError();
    ::setrlimit(RLIMIT_NOFILE, &saved);

    EXPECT_EQ(opened, 0);
    EXPECT_EQ(error, EMFILE);
    EXPECT_EQ(port.IsConnected(), 0);
    EXPECT_EQ(messages,
              (std::vector<std::string>{"Error while creating ThreadWatchComm," + pty.SlavePath()}));
    EXPECT_EQ(port.OpenPort(pty.SlavePath(), kFast), 1) << "the failed open left the port locked";
}

} // namespace
