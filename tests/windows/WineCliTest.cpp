// velunda-cli.exe under Wine against the virtual target on a pty mapped as a
// COM port: whole runs judged as on Linux, by the exit status, the texts and
// what the target recorded, plus what only Windows has (COM port names, the
// FTDI driver's latency setting, the console's Ctrl-C).
#include "CliTestSupport.h"
#include "SysCheckScenarios.h"
#include "WinePrefix.h"
#include "protocol/Frame.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <thread>

using namespace clitest;
using namespace winetest;

namespace {

using Json = nlohmann::json;

const char kLostText[] = "The connection to the machine was lost during the upgrade.";
const char kFtdiKey[] = "SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS\\VID_0403+PID_6001+VT000017A\\0000";

std::string StripCr(std::string text)
{
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// Every line of a --json run's stdout, parsed; a line that is no JSON object fails.
::testing::AssertionResult ParseEvents(const std::string& out, std::vector<Json>& events)
{
    for (const std::string& line : Lines(out)) {
        if (line.empty())
            continue;
        Json event = Json::parse(line, nullptr, false);
        if (event.is_discarded() || !event.is_object() || !event.contains("event"))
            return ::testing::AssertionFailure() << "not an event: " << line;
        events.push_back(std::move(event));
    }
    if (events.empty())
        return ::testing::AssertionFailure() << "no events in: " << out;
    return ::testing::AssertionSuccess();
}

const Json* FindEvent(const std::vector<Json>& events, const std::string& name)
{
    const auto it = std::find_if(events.rbegin(), events.rend(),
                                 [&](const Json& e) { return e.value("event", "") == name; });
    return it == events.rend() ? nullptr : &*it;
}

// The data download of item, from its first progress event to 100 %, in ms;
// -1 when the events do not show it.
double DataDownloadMs(const std::vector<Json>& events, const std::string& item)
{
    double first = -1;
    double last = -1;
    for (const Json& e : events) {
        if (e.value("event", "") != "progress" || e.value("item", "") != item ||
            e.value("step", "") != "Data Download")
            continue;
        // "2026-12-09T16:46:21.566Z": the seconds of the minute are enough
        // within one run, the minutes and hours carried.
        const std::string t = e.value("time", "");
        if (t.size() < 23)
            return -1;
        const double ms = (std::stod(t.substr(11, 2)) * 3600 + std::stod(t.substr(14, 2)) * 60 +
                           std::stod(t.substr(17, 6))) *
                          1000;
        if (first < 0)
            first = ms;
        if (e.value("percent", 0) == 100)
            last = ms;
    }
    return first >= 0 && last >= first ? last - first : -1;
}

class WineCliTest : public CliTest {
protected:
    static void SetUpTestSuite()
    {
        const char* exe = std::getenv("VELUNDA_CLI_EXE");
        s_exe = exe != nullptr ? exe : "";
        if (s_exe.empty()) {
            s_skip = "VELUNDA_CLI_EXE is not set: build velunda-cli.exe with the cross build "
                     "(cmake/mingw-w64-x86_64.cmake) and name it there to run these tests under Wine";
            return;
        }
        std::string error;
        if (!s_prefix.Prepare(fs::path(TestPath("VELUNDA_BINARY_DIR")) / "wine", error))
            s_skip = "no Wine prefix: " + error;
    }

    void SetUp() override
    {
        if (s_skip.empty())
            return;
        const char* require = std::getenv("VELUNDA_REQUIRE_WINE");
        if (require != nullptr && std::string(require) == "1")
            FAIL() << s_skip;
        GTEST_SKIP() << s_skip;
    }

    // The target on the pty behind COMn.
    void StartTargetOn(int com)
    {
        sim.linkPath = s_prefix.PortLink(com).string();
        StartTarget();
    }

    // velunda-cli.exe with args under Wine in the working folder; "\r" stripped.
    RunResult Exe(std::vector<std::string> args, std::chrono::seconds timeout = 90s,
                  const std::function<void(pid_t)>& started = {})
    {
        s_prefix.KeepServer();
        args.insert(args.begin(), {s_prefix.Wine(), s_exe});
        RunResult r = RunProgram(args, m_dir, timeout, started);
        r.out = StripCr(r.out);
        r.err = StripCr(r.err);
        return r;
    }

    // Every part of a V1 package and its boot image as the target recorded them.
    void ExpectRecordedV1(const std::vector<std::pair<int, const char*>>& items)
    {
        for (const auto& [item, option] : items) {
            EXPECT_TRUE(SameBytes(ReadFileBytes(Recorded(item, "data")), ReadFileBytes(PartFile(option))))
                << option;
            EXPECT_TRUE(SameBytes(ReadFileBytes(Recorded(item, "boot")), m_boot)) << option;
        }
    }

    static CWinePrefix s_prefix;
    static std::string s_exe;
    static std::string s_skip;
};

CWinePrefix WineCliTest::s_prefix;
std::string WineCliTest::s_exe;
std::string WineCliTest::s_skip;

TEST_F(WineCliTest, AQuorinV1DatGoesThroughComElevenByteForByteWithEventsThatParse)
{
    const fs::path dat = MakeDat({{"--main", 20000, "3"}, {"--cf", 8193, "6"}, {"--ir", 100, "7"}});
    StartTargetOn(11);
    const RunResult r = Exe({"--usb-port", "COM11", "--json", "--no-history", WinPath(dat)});
    EXPECT_EQ(r.exitCode, 0) << r.err << r.out;
    ExpectRecordedV1({{5, "--main"}, {2, "--cf"}, {1, "--ir"}});
    std::vector<Json> events;
    ASSERT_TRUE(ParseEvents(r.out, events));
    const Json* outcome = FindEvent(events, "outcome");
    ASSERT_NE(outcome, nullptr) << r.out;
    EXPECT_EQ(outcome->value("outcome", ""), "success");
    EXPECT_EQ(outcome->value("reason", ""), "Upgrade Complete.");
}

TEST_F(WineCliTest, AQuorinV2QvpIsUnpackedAndArrivesByteForByte)
{
    const V2Package p = MakeV2Qvp();
    sim.model = 2;
    sim.sysRecord = DefaultSysRecord(2, "123");
    StartTargetOn(12);
    const RunResult r = Exe({"--usb-port", "\\\\.\\COM12", "--json", "--no-history", WinPath(p.qvp)});
    EXPECT_EQ(r.exitCode, 0) << r.err << r.out;
    EXPECT_TRUE(RecordedV2(m_dir / "rec", p));
    std::vector<Json> events;
    ASSERT_TRUE(ParseEvents(r.out, events));
    ASSERT_NE(FindEvent(events, "package"), nullptr) << r.out;
    EXPECT_EQ(FindEvent(events, "package")->value("model", ""), "Quorin V2");
}

TEST_F(WineCliTest, AnUpgradeBoardQvpGoesOverTheSerialPortByteForByte)
{
    const fs::path boot = Part("BOARD.UPH", 400, 21);
    Bytes data = Pattern(5000, 22);
    std::replace(data.begin(), data.end(), std::uint8_t('#'), std::uint8_t(0x24));
    const Bytes finish = {0x01, 0x02, 0x03, 0x04};
    Bytes body = data;
    body.insert(body.end(), {'#', '#'});
    body.insert(body.end(), finish.begin(), finish.end());
    WriteFileBytes(m_dir / "parts" / "BOARD.UPB", body);
    const fs::path qvp = Pack({"--model", "board", "--board-boot", boot.string(), "--board-body",
                               (m_dir / "parts" / "BOARD.UPB").string()},
                              "board.qvp");
    sim.mode = ESimMode::Board;
    StartTargetOn(13);
    const RunResult r = Exe({"--port", "COM13", "--baud", "38400", "--json", "--no-history", WinPath(qvp)});
    EXPECT_EQ(r.exitCode, 0) << r.err << r.out;
    EXPECT_TRUE(SameBytes(ReadFileBytes(m_dir / "rec" / "board-boot.bin"), ReadFileBytes(boot)));
    // Blocks of 1024 bytes; the one holding the end mark is padded with 0xFF.
    Bytes wire = data;
    wire.resize((data.size() + 1023) / 1024 * 1024, 0xFF);
    EXPECT_TRUE(SameBytes(ReadFileBytes(m_dir / "rec" / "board-body.bin"), wire));
    EXPECT_TRUE(SameBytes(ReadFileBytes(m_dir / "rec" / "board-finish.bin"), finish));
    std::vector<Json> events;
    EXPECT_TRUE(ParseEvents(r.out, events));
    EXPECT_FALSE(fs::exists(m_dir / "board")) << "the unpacked folder is left behind";
}

TEST_F(WineCliTest, AMachineUnpluggedMidRunEndsTheRunWithinTwoSecondsNamingTheLostLink)
{
    const fs::path dat = MakeDat({{"--main", 200000, "3"}});
    sim.unplugAt.push_back({"data-down", 3});
    StartTargetOn(14);
    std::chrono::steady_clock::time_point unplugged{};
    const RunResult r =
        Exe({"--usb-port", "COM14", "--stall-timeout", "20", "--no-history", WinPath(dat)}, 60s, [&](pid_t) {
            const auto deadline = std::chrono::steady_clock::now() + 40s;
            while (!m_target->Sim().Unplugged() && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(5ms);
            unplugged = std::chrono::steady_clock::now();
        });
    const auto took = std::chrono::steady_clock::now() - unplugged;
    ASSERT_TRUE(m_target->Sim().Unplugged()) << r.err;
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_TRUE(HasLine(r.err, kLostText)) << r.err;
    EXPECT_LT(took, 2s) << "from the unplug to the end of the program";
}

TEST_F(WineCliTest, APackageInAFolderNamedWithNonAsciiLettersLoads)
{
    const fs::path folder = m_dir / "Pakete Ünïcødé Ωμέγα";
    fs::create_directories(folder);
    const fs::path made = MakeDat({{"--main", 3000, "3"}});
    const fs::path dat = folder / "pkg.DAT";
    fs::rename(made, dat);
    StartTargetOn(15);
    const RunResult r = Exe({"--usb-port", "COM15", "--no-history", WinPath(dat)});
    EXPECT_EQ(r.exitCode, 0) << r.err << r.out;
    EXPECT_TRUE(HasLine(r.err, "Upgrade Complete.")) << r.err;
    ExpectRecordedV1({{5, "--main"}});
}

TEST_F(WineCliTest, CtrlCMidRunClosesTheLinkAndLeavesTheFolderAsItWas)
{
    const V2Package p = MakeV2Qvp(400000);
    sim.model = 2;
    sim.sysRecord = DefaultSysRecord(2, "123");
    sim.stepDelay = std::chrono::milliseconds(20); // long enough to be caught mid-run
    StartTargetOn(16);
    const auto before = ListTree(m_dir);
    // Under Wine a SIGINT to the program is the console's Ctrl-C (CTRL_C_EVENT
    // to its handlers), as the terminal sends it when Ctrl-C is pressed.
    const RunResult r =
        Exe({"--usb-port", "COM16", "--json", "--no-history", WinPath(p.qvp)}, 60s, [&](pid_t pid) {
            const auto deadline = std::chrono::steady_clock::now() + 40s;
            while (m_target->Sim().BytesReceived() < 50000 && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(10ms);
            ::kill(pid, SIGINT);
        });
    // The same end as an interrupted run on Linux.
    EXPECT_EQ(r.exitCode, 130) << r.err << r.out;
    std::vector<Json> events;
    ASSERT_TRUE(ParseEvents(r.out, events));
    ASSERT_NE(FindEvent(events, "outcome"), nullptr) << r.out;
    EXPECT_EQ(FindEvent(events, "outcome")->value("reason", ""), "interrupted");
    // What the run unpacked is gone; the target's recordings are its own.
    auto after = ListTree(m_dir);
    std::erase_if(after, [](const std::string& name) { return name.rfind("rec", 0) == 0; });
    auto expected = before;
    std::erase_if(expected, [](const std::string& name) { return name.rfind("rec", 0) == 0; });
    EXPECT_EQ(after, expected);
}

TEST_F(WineCliTest, TheFtdiLatencyTimerIsShownByDevicesAndWarnedAboutBeforeARun)
{
    std::string error;
    s_prefix.RegDelete(kFtdiKey, error);
    ASSERT_TRUE(
        s_prefix.RegAdd(std::string(kFtdiKey) + "\\Device Parameters", "PortName", "REG_SZ", "COM17", error))
        << error;
    ASSERT_TRUE(s_prefix.RegAdd(std::string(kFtdiKey) + "\\Device Parameters", "LatencyTimer", "REG_DWORD",
                                "16", error))
        << error;
    const fs::path dat = MakeDat({{"--main", 3000, "3"}});
    StartTargetOn(17);

    const RunResult listed = Exe({"devices"}, 60s);
    EXPECT_EQ(listed.exitCode, 0) << listed.err;
    bool shown = false;
    for (const std::string& line : Lines(listed.out))
        shown =
            shown || (Contains(line, "COM17") && Contains(line, "FTDI") && Contains(line, "latency 16 ms"));
    EXPECT_TRUE(shown) << listed.out;
    std::vector<Json> events;
    const RunResult json = Exe({"devices", "--json"}, 60s);
    ASSERT_TRUE(ParseEvents(json.out, events));
    const Json* devices = FindEvent(events, "devices");
    ASSERT_NE(devices, nullptr) << json.out;
    bool bridge = false;
    for (const Json& b : devices->value("ftdi_bridges", Json::array()))
        bridge = bridge || (b.value("tty", "") == "COM17" && b.value("latency_ms", 0) == 16);
    EXPECT_TRUE(bridge) << json.out;

    // The only FTDI port is the machine's: no --usb-port needed, and the warning first.
    events.clear();
    const RunResult run = Exe({"--json", "--no-history", WinPath(dat)});
    s_prefix.RegDelete(kFtdiKey, error);
    EXPECT_EQ(run.exitCode, 0) << run.err << run.out;
    ExpectRecordedV1({{5, "--main"}});
    ASSERT_TRUE(ParseEvents(run.out, events));
    bool warned = false;
    for (const Json& e : events)
        warned =
            warned || (e.value("event", "") == "warning" &&
                       Contains(e.value("text", ""), "COM17: the FTDI driver's latency timer is 16 ms") &&
                       Contains(e.value("text", ""), "Advanced > Latency Timer"));
    EXPECT_TRUE(warned) << run.out;
}

TEST_F(WineCliTest, TheDataDownloadKeepsCloseToItsFloorUnderWineAsOnLinux)
{
    constexpr std::size_t kMainBytes = 400000;
    const fs::path dat = MakeDat({{"--main", kMainBytes, "3"}});
    sim.stepDelay = std::chrono::milliseconds(0);
    StartTargetOn(18);
    const RunResult wine = Exe({"--usb-port", "COM18", "--json", "--no-history", WinPath(dat)});
    ASSERT_EQ(wine.exitCode, 0) << wine.err;
    ExpectRecordedV1({{5, "--main"}});
    const RunResult native =
        Cli({"--usb-tty", m_target->SlavePath(), "--json", "--no-history", dat.string()}, 90s);
    ASSERT_EQ(native.exitCode, 0) << native.err;
    // The first progress event comes after the first chunk: the floor counts the others.
    const double floorMs = 10.0 * double((kMainBytes + FRAME_MAX_PAYLOAD - 1) / FRAME_MAX_PAYLOAD - 1);
    std::vector<Json> wineEvents;
    std::vector<Json> nativeEvents;
    ASSERT_TRUE(ParseEvents(wine.out, wineEvents));
    ASSERT_TRUE(ParseEvents(native.out, nativeEvents));
    const double wineMs = DataDownloadMs(wineEvents, "MAIN");
    const double nativeMs = DataDownloadMs(nativeEvents, "MAIN");
    ASSERT_GT(wineMs, 0) << wine.out;
    ASSERT_GT(nativeMs, 0) << native.out;
    std::printf(
        "data download of %zu bytes: floor %.0f ms; Wine %.0f ms (ratio %.3f); Linux %.0f ms (ratio %.3f)\n",
        kMainBytes, floorMs, wineMs, wineMs / floorMs, nativeMs, nativeMs / floorMs);
    RecordProperty("wine_ratio", std::to_string(wineMs / floorMs));
    RecordProperty("linux_ratio", std::to_string(nativeMs / floorMs));
    // A latency timer or a polling receive would more than double it.
    EXPECT_LT(wineMs / floorMs, 2.0);
}

} // namespace
