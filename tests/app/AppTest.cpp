// The pieces of the window layer below the window: options, the trace, the
// synchronous hand-off, and the connection choices a user can get wrong.
#include "UpgradeDlgTestAccess.h"
#include "app/HeadlessHost.h"
#include "app/TraceLog.h"
#include "link/SyncGate.h"
#include "window/AppOptions.h"
#include "window/UpgradeDlg.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

using namespace std::chrono_literals;

std::vector<char*> Argv(std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    return argv;
}

TEST(AppOptions, SharedOptionsAreTakenAndTheRestIsLeft)
{
    std::vector<std::string> args = {"velunda",    "--log",           "/tmp/v.log", "--usb-tty",
                                     "/dev/pts/9", "--port",          "/dev/a",     "--port",
                                     "/dev/b",     "--stall-timeout", "2.5",        "--other"};
    auto argv = Argv(args);
    CAppOptions options;
    std::vector<std::string> rest;
    std::string error;
    ASSERT_TRUE(ParseAppOptions(static_cast<int>(argv.size()), argv.data(), options, rest, error)) << error;
    EXPECT_EQ(options.logFile, "/tmp/v.log");
    EXPECT_EQ(options.usbTty, "/dev/pts/9");
    EXPECT_EQ(options.extraPorts, (std::vector<std::string>{"/dev/a", "/dev/b"}));
    EXPECT_EQ(options.stallTimeoutMs, 2500);
    EXPECT_EQ(rest, std::vector<std::string>{"--other"});
}

TEST(AppOptions, BadValuesAreRefusedWithAMessage)
{
    const std::vector<std::vector<std::string>> cases = {
        {"velunda", "--stall-timeout", "abc"},
        {"velunda", "--stall-timeout", "0"},
        {"velunda", "--stall-timeout", "-3"},
        {"velunda", "--stall-timeout", "5s"},
        {"velunda", "--log"},
        {"velunda", "--stall-timeout=0"},
        {"velunda", "--no-history=yes"},
        {"velunda", "--port", "USB"},
    };
    for (auto args : cases) {
        auto argv = Argv(args);
        CAppOptions options;
        std::vector<std::string> rest;
        std::string error;
        EXPECT_FALSE(ParseAppOptions(static_cast<int>(argv.size()), argv.data(), options, rest, error))
            << args.back();
        EXPECT_FALSE(error.empty()) << args.back();
    }
}

TEST(TraceLog, LinesAreTimeStampedAndReachTheLogFile)
{
    const auto path =
        std::filesystem::temp_directory_path() / ("velunda-trace-" + std::to_string(::getpid()));
    {
        CTraceLog log;
        log.SetEcho(false);
        ASSERT_TRUE(log.OpenFile(path.string()));
        log.Write("==> STEP_START - NAK\r\n");
        log.Write("two\nlines");
    }
    std::ifstream in(path);
    std::string first, second, third;
    std::getline(in, first);
    std::getline(in, second);
    std::getline(in, third);
    std::filesystem::remove(path);
    // "YYYY-MM-DD HH:MM:SS.mmm text", the line end of the trace text not doubled.
    ASSERT_GE(first.size(), 24u);
    EXPECT_EQ(first.substr(4, 1), "-");
    EXPECT_EQ(first.substr(19, 1), ".");
    EXPECT_EQ(first.substr(24), "==> STEP_START - NAK");
    EXPECT_EQ(second.substr(24), "two");
    EXPECT_EQ(third, "lines");
    EXPECT_FALSE(CTraceLog().OpenFile("/nonexistent-folder/x.log"));
}

// A user-interface thread of its own, as the hosts have.
class UiLoop {
public:
    UiLoop()
        : m_thread([this] {
              m_id = std::this_thread::get_id();
              m_ready = true;
              m_host.RunUntil([this] { return m_stop.load(); }, 60s);
          })
    {
        while (!m_ready)
            std::this_thread::yield();
    }
    ~UiLoop()
    {
        m_stop = true;
        m_thread.join();
    }
    CSyncGate::PostFn Post()
    {
        return [this](std::function<void()> f) { m_host.Post(std::move(f)); };
    }

private:
    CHeadlessHost m_host;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_ready{false};
    std::thread::id m_id;
    std::thread m_thread;
};

TEST(SyncGate, AHandOffRunsOnTheUserInterfaceThreadAndIsWaitedFor)
{
    CHeadlessHost host; // this thread is its user-interface thread
    CSyncGate gate;
    std::atomic<bool> ran{false};
    std::thread::id where;
    std::thread reader([&] {
        EXPECT_TRUE(host.SendSync(gate, [&] {
            where = std::this_thread::get_id();
            ran = true;
        }));
        EXPECT_TRUE(ran); // Send returned only after the task ran
    });
    EXPECT_TRUE(host.RunUntil([&] { return ran.load(); }, 2s));
    reader.join();
    EXPECT_EQ(where, std::this_thread::get_id());
}

TEST(SyncGate, ClosingReleasesAWaitingSenderAndTheTaskNeverRuns)
{
    CHeadlessHost host;
    CSyncGate gate;
    std::atomic<bool> ran{false};
    std::atomic<int> result{-1};
    std::thread reader(
        [&] { result = gate.Send([&](auto f) { host.Post(std::move(f)); }, [&] { ran = true; }); });
    std::this_thread::sleep_for(20ms); // the reader now waits; the loop does not run
    gate.Close();
    reader.join(); // would hang without the close
    EXPECT_EQ(result, 0);
    host.RunFor(10ms); // the dropped task is still queued and must not run
    EXPECT_FALSE(ran);
    EXPECT_FALSE(gate.Send([&](auto f) { host.Post(std::move(f)); }, [&] { ran = true; }));
    gate.Open();
    std::thread again([&] { result = gate.Send([&](auto f) { host.Post(std::move(f)); }, [] {}); });
    EXPECT_TRUE(host.RunUntil([&] { return result.load() == 1; }, 2s));
    again.join();
}

TEST(SyncGate, ACloseFromInsideAHandOffLetsThatHandOffFinish)
{
    CHeadlessHost host;
    CSyncGate gate;
    std::atomic<int> result{-1};
    bool inHandOff = false;
    std::thread reader([&] {
        result = gate.Send([&](auto f) { host.Post(std::move(f)); },
                           [&] {
                               inHandOff = gate.InHandOff();
                               gate.Close();
                           });
    });
    EXPECT_TRUE(host.RunUntil([&] { return result.load() != -1; }, 2s));
    reader.join();
    EXPECT_TRUE(inHandOff);
    EXPECT_EQ(result, 1);
    EXPECT_FALSE(gate.InHandOff());
}

TEST(SyncGate, ASendFromTheUserInterfaceThreadRunsAtOnce)
{
    CHeadlessHost host;
    CSyncGate gate;
    bool ran = false;
    EXPECT_TRUE(host.SendSync(gate, [&] { ran = true; }));
    EXPECT_TRUE(ran);
}

class ConnectChoiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dlg.OnInitDialog();
        State(dlg).m_nResultType = RESULT_TYPE_BOARD;
        host.EnableControl(IDC_BUTTON_CONNECT, true);
    }
    CHeadlessHost host;
    CUpgradeDlg dlg{host, [] {
                        CAppOptions o;
                        o.extraPorts = {"/dev/velunda-test-a", "/dev/velunda-test-b"};
                        return o;
                    }()};
};

TEST_F(ConnectChoiceTest, ABoardPackageListsTheSerialPortsThenTheGivenOnes)
{
    dlg.FillPortList();
    const int n = host.ComboCount(IDC_COMBO_PORT);
    ASSERT_GE(n, 2);
    EXPECT_EQ(host.ComboItemText(IDC_COMBO_PORT, n - 2), "/dev/velunda-test-a");
    EXPECT_EQ(host.ComboItemText(IDC_COMBO_PORT, n - 1), "/dev/velunda-test-b");
    EXPECT_EQ(host.ComboSelected(IDC_COMBO_PORT), 0);
    EXPECT_NE(host.ComboItemText(IDC_COMBO_PORT, 0), "USB");

    // Any other model lists USB alone, also when the list is opened again.
    State(dlg).m_nResultType = RESULT_TYPE_QUORIN_V1;
    host.DropDown(IDC_COMBO_PORT);
    ASSERT_EQ(host.ComboCount(IDC_COMBO_PORT), 1);
    EXPECT_EQ(host.ComboItemText(IDC_COMBO_PORT, 0), "USB");
}

TEST_F(ConnectChoiceTest, ConnectWithoutAPortOrABaudSaysWhichIsMissing)
{
    host.ComboReset(IDC_COMBO_PORT);
    host.Click(IDC_BUTTON_CONNECT);
    EXPECT_EQ(host.MessageTexts(), std::vector<std::string>{"Please choose com port!"});

    host.ClearMessages();
    dlg.FillPortList();
    host.ComboSelect(IDC_COMBO_BAUD, -1);
    host.Click(IDC_BUTTON_CONNECT);
    EXPECT_EQ(host.MessageTexts(), std::vector<std::string>{"Please choose baud rate!"});
    EXPECT_EQ(State(dlg).m_bConnected, 0);
}

TEST_F(ConnectChoiceTest, ASerialPortThatDoesNotOpenLeavesConnectCaptionedConnect)
{
    dlg.FillPortList();
    const int n = host.ComboCount(IDC_COMBO_PORT);
    host.Choose(IDC_COMBO_PORT, n - 1); // a path that does not exist
    host.Click(IDC_BUTTON_CONNECT);
    EXPECT_EQ(State(dlg).m_bConnected, 0);
    EXPECT_EQ(State(dlg).m_nTransport, 0);
    EXPECT_EQ(host.GetText(IDC_BUTTON_CONNECT), "Connect");
    EXPECT_TRUE(host.Messages().empty());
    EXPECT_FALSE(host.IsTimerRunning(IDT_BOOT_MODE));
    EXPECT_TRUE(host.HasTrace("/dev/velunda-test-b"));
}

} // namespace
