// velunda-cli with package archives: a Quorin V2 machine over USB and the
// upgrade board over a serial pty, each judged by the target's recordings
// and by what the run leaves on disk.
#include "CliTestSupport.h"

using namespace clitest;

namespace {

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

class CliArchiveTest : public CliTest {
protected:
    fs::path Pack(const std::vector<std::string>& args, const std::string& out)
    {
        std::vector<std::string> argv = {VELUNDA_PACK, "qvp", "--out", out};
        argv.insert(argv.end(), args.begin(), args.end());
        const RunResult made = RunProgram(argv, m_dir, 30s);
        EXPECT_EQ(made.exitCode, 0) << made.err;
        return m_dir / out;
    }
    fs::path Part(const std::string& name, std::size_t size, unsigned seed)
    {
        WriteFileBytes(m_dir / "parts" / name, Pattern(size, seed));
        return m_dir / "parts" / name;
    }
};

TEST_F(CliArchiveTest, AQuorinV2ArchiveUpgradesMainAndCdmWithTheirOwnBootImages)
{
    const fs::path header = Part("BH_V1.0.bin", 1200, 1);
    const fs::path main = Part("SM_V2.10_a.bin", 17000, 2);
    const fs::path cdm = Part("CDM_V1.02.NHB", 9000, 3);
    const fs::path cdmBoot = Part("BC_V1.bin", 700, 4);
    const fs::path qvp = Pack({"--model", "v2", "--header", header.string(), "--main", main.string(), "--cdm",
                               cdm.string(), "--cdm-boot", cdmBoot.string()},
                              "v2.qvp");
    sim.model = 2;
    sim.sysRecord = DefaultSysRecord(2, "123");
    StartTarget();
    const auto before = ListTree(m_dir);
    const RunResult r = CliUsb({"--json", qvp.string()}, 90s);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(HasLine(r.err, "Upgrade Complete.")) << r.err;
    EXPECT_TRUE(SameBytes(ReadFileBytes(Recorded(12, "boot")), ReadFileBytes(header)));
    EXPECT_TRUE(SameBytes(ReadFileBytes(Recorded(12, "data")), ReadFileBytes(main)));
    EXPECT_TRUE(SameBytes(ReadFileBytes(Recorded(11, "boot")), ReadFileBytes(cdmBoot)));
    EXPECT_TRUE(SameBytes(ReadFileBytes(Recorded(11, "data")), ReadFileBytes(cdm)));
    // CDM is verified: its Verify row reaches 100 %.
    EXPECT_TRUE(Contains(r.out, R"("item":"CDM","step":"Verify","percent":100)")) << r.out;
    // The unpacked folder is gone again; only the target's new recordings remain.
    std::vector<std::string> after;
    for (const auto& p : ListTree(m_dir))
        if (p.rfind("rec", 0) != 0)
            after.push_back(p);
    std::vector<std::string> expected;
    for (const auto& p : before)
        if (p.rfind("rec", 0) != 0)
            expected.push_back(p);
    EXPECT_EQ(after, expected);
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
