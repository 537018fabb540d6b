// velunda-cli with package archives: a Quorin V2 machine over USB and the
// upgrade board over a serial pty, each judged by the target's recordings
// and by what the run leaves on disk.
#include "CliTestSupport.h"
#include "OrdinaryUser.h"

#include <csignal>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace clitest;

namespace {

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

class CliArchiveTest : public CliTest {};

std::vector<std::string> WithoutRecordings(std::vector<std::string> tree)
{
    std::erase_if(tree, [](const std::string& p) { return p.rfind("rec", 0) == 0; });
    return tree;
}

TEST_F(CliArchiveTest, AQuorinV2ArchiveUpgradesMainAndCdmWithTheirOwnBootImages)
{
    const V2Package pkg = MakeV2Qvp();
    const fs::path& qvp = pkg.qvp;
    sim.model = 2;
    sim.sysRecord = DefaultSysRecord(2, "123");
    StartTarget();
    const auto before = ListTree(m_dir);
    const RunResult r = CliUsb({"--json", qvp.string()}, 90s);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(HasLine(r.err, "Upgrade Complete.")) << r.err;
    EXPECT_TRUE(RecordedV2(m_dir / "rec", pkg));
    // CDM is verified: its Verify row reaches 100 %.
    EXPECT_TRUE(Contains(r.out, R"("item":"CDM","step":"Verify","percent":100)")) << r.out;
    // The unpacked folder is gone again; only the target's new recordings remain.
    EXPECT_EQ(WithoutRecordings(ListTree(m_dir)), WithoutRecordings(before));
}

// Ctrl-C mid-download: the run ends as a shell reports SIGINT, says why, and
// removes what it unpacked.
TEST_F(CliArchiveTest, CtrlCMidRunEndsWithStatus130AndLeavesTheFolderAsItWas)
{
    const V2Package pkg = MakeV2Qvp(400000);
    sim.model = 2;
    sim.sysRecord = DefaultSysRecord(2, "123");
    sim.stepDelay = std::chrono::milliseconds(20);
    StartTarget();
    const auto before = ListTree(m_dir);
    const RunResult r = RunProgram({TestPath("VELUNDA_CLI"), "--usb-tty", m_target->SlavePath(), "--json",
                                    "--no-history", pkg.qvp.string()},
                                   m_dir, 60s, [&](pid_t pid) {
                                       const auto deadline = std::chrono::steady_clock::now() + 40s;
                                       while (m_target->Sim().BytesReceived() < 50000 &&
                                              std::chrono::steady_clock::now() < deadline)
                                           std::this_thread::sleep_for(10ms);
                                       ::kill(pid, SIGINT);
                                   });
    EXPECT_EQ(r.exitCode, 130) << r.err;
    const auto outcome = JsonEvents(r.out, "outcome");
    ASSERT_EQ(outcome.size(), 1u) << r.out;
    EXPECT_EQ(outcome[0]["reason"], "interrupted");
    EXPECT_EQ(outcome[0]["exit_code"], 130);
    EXPECT_EQ(WithoutRecordings(ListTree(m_dir)), WithoutRecordings(before));
}

// One run unpacks beside the package, the other (finding that folder held)
// into a private one: neither removes the other's files half-way, and
// nothing is left beside the package.
TEST_F(CliArchiveTest, TwoRunsOnOnePackageAtOnceBothComplete)
{
    const V2Package pkg = MakeV2Qvp(60000);
    CSimConfig v2 = sim;
    v2.model = 2;
    v2.sysRecord = DefaultSysRecord(2, "123");
    const std::string first = AddTarget(v2).SlavePath();
    const std::string second = AddTarget(v2).SlavePath();
    RunResult other;
    std::thread t([&] { other = Cli({"--usb-tty", second, pkg.qvp.string()}, 90s); });
    const RunResult r = Cli({"--usb-tty", first, pkg.qvp.string()}, 90s);
    t.join();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(other.exitCode, 0) << other.err;
    EXPECT_TRUE(RecordedV2(m_dir / "rec-1", pkg));
    EXPECT_TRUE(RecordedV2(m_dir / "rec-2", pkg));
    EXPECT_FALSE(fs::exists(m_dir / "v2"));
}

TEST_F(CliArchiveTest, APackageOnReadOnlyStorageRunByAnUnprivilegedUserCompletes)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "dropping privileges needs root";
    const V2Package pkg = MakeV2Qvp();
    // The package's folder is root's: the user may read the package, not write beside it.
    fs::permissions(m_dir, fs::perms(0755));
    fs::permissions(pkg.qvp, fs::perms(0644));
    sim.model = 2;
    sim.sysRecord = DefaultSysRecord(2, "123");
    StartTarget();
    ASSERT_EQ(::chmod(m_target->SlavePath().c_str(), 0666), 0);
    const RunResult r =
        RunProgram({"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                    TestPath("VELUNDA_CLI"), "--usb-tty", m_target->SlavePath(), pkg.qvp.string()},
                   m_dir, 90s);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(RecordedV2(m_dir / "rec", pkg));
    EXPECT_FALSE(fs::exists(m_dir / "v2"));
}

// Files named *.QV1 / *.QV2 outlive the run. Beside the package they are the
// tool's, replaced by the next load, unless the user put them there; a
// package whose folder cannot be written leaves them in a private folder
// that the run names and the history keeps.
TEST_F(CliArchiveTest, KeptFilesStayBesideThePackageOrInAPrivateFolderTheRunNames)
{
    if (RanAsOrdinaryUser())
        return; // root writes into a read-only folder
    const fs::path main = Part("SM_V1.bin", 4000, 7);
    fs::create_directories(m_dir / "tmp");
    const auto pack = [&](const std::string& folder, unsigned seed) {
        fs::create_directories(m_dir / folder);
        const fs::path kept = Part("cal.QV1", 300 + seed, seed);
        Pack({"--model", "v1", "--main", main.string(), "--extra", "cal.QV1=" + kept.string()},
             folder + "/k.QVP");
        return ReadFileBytes(kept);
    };
    const auto run = [&](const std::string& folder, bool json) {
        CQuorinSim& target = AddTarget(sim);
        std::vector<std::string> args = {"/usr/bin/env", "-u", "XDG_RUNTIME_DIR",
                                         "TMPDIR=" + (m_dir / "tmp").string()};
        args.insert(args.end(), {TestPath("VELUNDA_CLI"), "--usb-tty", target.SlavePath(), "--check-only",
                                 (m_dir / folder / "k.QVP").string()});
        if (json)
            args.push_back("--json");
        return RunProgram(args, m_dir, 60s);
    };
    const fs::path beside = m_dir / "b" / "k";
    for (const unsigned seed : {1u, 2u}) {
        const Bytes bytes = pack("b", seed);
        const RunResult r = run("b", true);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(ListTree(beside), (std::vector<std::string>{".velunda-unpacked", "cal.QV1"}));
        EXPECT_TRUE(SameBytes(ReadFileBytes(beside / "cal.QV1"), bytes)) << "run " << seed;
        EXPECT_FALSE(Contains(r.out, "kept_folder")) << r.out;
    }
    // The user's own file under that name: the load is refused and the file left as it was.
    fs::remove_all(beside);
    const Bytes users = Pattern(50, 9);
    WriteFileBytes(beside / "cal.QV1", users);
    const RunResult refused = run("b", false);
    EXPECT_EQ(refused.exitCode, 2) << refused.err;
    EXPECT_TRUE(Contains(refused.err, "already holds a file named cal.QV1")) << refused.err;
    EXPECT_TRUE(SameBytes(ReadFileBytes(beside / "cal.QV1"), users));

    const Bytes bytes = pack("ro", 3);
    fs::permissions(m_dir / "ro", fs::perms(0555));
    const RunResult plain = run("ro", false);
    const RunResult json = run("ro", true);
    fs::permissions(m_dir / "ro", fs::perms(0755));
    EXPECT_EQ(plain.exitCode, 0) << plain.err;
    const std::string said =
        "velunda-cli: the folder beside the package could not be used; the package's kept "
        "files are in ";
    std::string kept;
    for (const auto& line : Lines(plain.err))
        if (line.rfind(said, 0) == 0)
            kept = line.substr(said.size());
    ASSERT_FALSE(kept.empty()) << plain.err;
    EXPECT_EQ(fs::path(kept).parent_path(), m_dir / "tmp");
    EXPECT_EQ(ListTree(kept), std::vector<std::string>{"cal.QV1"});
    EXPECT_TRUE(SameBytes(ReadFileBytes(fs::path(kept) / "cal.QV1"), bytes));
    // The JSON outcome and the history say where too.
    EXPECT_TRUE(Contains(json.out, R"("kept_folder":")" + (m_dir / "tmp").string() + "/velunda-"))
        << json.out;
    EXPECT_TRUE(Contains(Cli({"history", "--json"}, 30s).out, R"("kept_folder":")" + kept + "\""));
}

// The machine answers QV-B and already runs the package's MAIN (V2.10).
TEST_F(CliArchiveTest, AllowSerialRefusesAnUnlistedMachineAndSkipCurrentLeavesOutWhatItHas)
{
    const V2Package pkg = MakeV2Qvp();
    const std::string list = "# the line's machines\nQV-OTHER\n\n  QV-B  \n";
    WriteFileBytes(m_dir / "allowed.txt", Bytes(list.begin(), list.end()));
    CSimConfig v2 = sim;
    v2.model = 2;
    v2.sysRecord = DefaultSysRecord(2, "123");
    v2.serialText = BuildSerialText("##", "QV-B", {"V2.10 ", "1.0.02", "1.0.03", "1.0.04", "1.0.05"});
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        const char* line; // a line of stderr
        bool mainSent;
        bool cdmSent;
    };
    const Case cases[] = {
        {{"--allow-serial", "QV-A, QV-C"},
         1,
         "velunda-cli: rejected: the machine's serial number QV-B is not in the --allow-serial list (exit "
         "status 1)",
         false,
         false},
        {{"--allow-serial", (m_dir / "allowed.txt").string(), "--skip-current"},
         0,
         "velunda-cli: MAIN left out: the machine already has version V2.10 (--skip-current)",
         false,
         true},
        {{"--allow-serial", "QV-B"}, 0, "Upgrade Complete.", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back());
        CQuorinSim& target = AddTarget(v2);
        std::vector<std::string> args = {"--usb-tty", target.SlavePath()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.push_back(pkg.qvp.string());
        const RunResult r = Cli(args, 90s);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_TRUE(HasLine(r.err, c.line)) << r.err;
        EXPECT_EQ(fs::exists(fs::path(target.RecordDir()) / "12-data.bin"), c.mainSent);
        EXPECT_EQ(fs::exists(fs::path(target.RecordDir()) / "11-data.bin"), c.cdmSent);
        // A refused machine saw no upgrade request at all, not even an UP Index.
        const Bytes frames = ReadFileBytes(fs::path(target.RecordDir()) / "frames.log");
        const bool upgradeFrames = Contains(std::string(frames.begin(), frames.end()), "\n0B ");
        EXPECT_EQ(upgradeFrames, c.mainSent || c.cdmSent);
    }
}

TEST_F(CliArchiveTest, AnUpgradeBoardArchiveIsDownloadedThroughTheBootloaderOverAPty)
{
    const fs::path boot = Part("BOARD.UPH", 300, 5);
    // Body: data without '#', the end mark, a 4-byte finish record.
    Bytes data = Pattern(3000, 6);
    for (auto& b : data)
        if (b == '#')
            b = 0x24;
    const Bytes finish = {0x11, 0x22, 0x33, 0x44};
    Bytes body = data;
    body.push_back('#');
    body.push_back('#');
    body.insert(body.end(), finish.begin(), finish.end());
    WriteFileBytes(m_dir / "parts" / "BOARD.UPB", body);
    const fs::path qvp = Pack({"--model", "board", "--board-boot", boot.string(), "--board-body",
                               (m_dir / "parts" / "BOARD.UPB").string()},
                              "board.qvp");
    sim.mode = ESimMode::Board;
    StartTarget();
    const RunResult r = Cli({"--port", m_target->SlavePath(), "--baud", "38400", qvp.string()}, 90s);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(HasLine(r.err, "Upgrade Complete.")) << r.err;
    EXPECT_TRUE(SameBytes(ReadFileBytes(m_dir / "rec" / "board-boot.bin"), ReadFileBytes(boot)));
    // Blocks of 1024 bytes; the one holding the end mark is padded with 0xFF.
    Bytes wire = data;
    wire.resize((data.size() + 1023) / 1024 * 1024, 0xFF);
    EXPECT_TRUE(SameBytes(ReadFileBytes(m_dir / "rec" / "board-body.bin"), wire));
    EXPECT_TRUE(SameBytes(ReadFileBytes(m_dir / "rec" / "board-finish.bin"), finish));
    EXPECT_FALSE(fs::exists(m_dir / "board")) << "the unpacked folder is left behind";
}

TEST_F(CliArchiveTest, ABoardThatNeverAnswersTheProbeIsAConnectionFailure)
{
    const fs::path boot = Part("BOARD.UPH", 30, 5);
    WriteFileBytes(m_dir / "parts" / "BOARD.UPB", {'a', '#', '#'});
    const fs::path qvp = Pack({"--model", "board", "--board-boot", boot.string(), "--board-body",
                               (m_dir / "parts" / "BOARD.UPB").string()},
                              "board.qvp");
    sim.mode = ESimMode::Board;
    sim.silentAt.push_back({"probe", 0});
    StartTarget();
    const RunResult r = Cli({"--port", m_target->SlavePath(), qvp.string()}, 30s);
    EXPECT_EQ(r.exitCode, 3) << r.err;
    EXPECT_TRUE(HasLine(r.err, "Check boot mode failed.")) << r.err;
    // Gone before its answer: nothing of the upgrade was sent either.
    CSimConfig gone = sim;
    gone.silentAt.clear();
    gone.unplugAt.push_back({"probe", 1});
    const RunResult lost = Cli({"--port", AddTarget(gone).SlavePath(), qvp.string()}, 30s);
    EXPECT_EQ(lost.exitCode, 3) << lost.err;
    EXPECT_TRUE(HasLine(lost.err, "The connection to the upgrade board was lost.")) << lost.err;
}

TEST_F(CliArchiveTest, ABoardPackageWithoutAPortIsBadUsage)
{
    const fs::path boot = Part("BOARD.UPH", 30, 5);
    WriteFileBytes(m_dir / "parts" / "BOARD.UPB", {'a', '#', '#'});
    const fs::path qvp = Pack({"--model", "board", "--board-boot", boot.string(), "--board-body",
                               (m_dir / "parts" / "BOARD.UPB").string()},
                              "board.qvp");
    const RunResult r = Cli({qvp.string()}, 30s);
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_TRUE(Contains(r.err, "--port")) << r.err;
}

} // namespace
