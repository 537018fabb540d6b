// velunda-cli against the virtual target: whole runs from the command line,
// judged by the exit status, the exact texts on stderr and what the target
// recorded.
#include "CliTestSupport.h"
#include "SysCheckScenarios.h"

#include <algorithm>
#include <map>
#include <thread>

using namespace clitest;

namespace {

const std::vector<DatPart> kAllParts = {{"--main", 20000, "3"},
                                        {"--cis-m", 9000, "4"},
                                        {"--cis-s", 8192, "5"},
                                        {"--cf", 8193, "6"},
                                        {"--ir", 100, "7"}};

struct ItemFile {
    int item;
    const char* option;
};
constexpr ItemFile kItems[] = {{5, "--main"}, {3, "--cis-m"}, {4, "--cis-s"}, {2, "--cf"}, {1, "--ir"}};

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

class CliUpgradeTest : public CliTest {};

TEST_F(CliUpgradeTest, AFullUsbUpgradeExitsZeroAndTheTargetRecordsEveryPartAndTheBootImage)
{
    const fs::path dat = MakeDat(kAllParts);
    StartTarget();
    const RunResult r = CliUsb({dat.string()}, 90s);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(HasLine(r.err, "Upgrade Complete.")) << r.err;
    for (const ItemFile& f : kItems) {
        EXPECT_TRUE(SameBytes(ReadFileBytes(Recorded(f.item, "data")), ReadFileBytes(PartFile(f.option))))
            << f.option;
        EXPECT_TRUE(SameBytes(ReadFileBytes(Recorded(f.item, "boot")), m_boot)) << f.option;
    }
    // The list at the end shows every item's result.
    const auto lines = Lines(r.out);
    int complete = 0;
    bool inEnd = false;
    for (const auto& line : lines) {
        if (line == "Part list (end):")
            inEnd = true;
        else if (inEnd && Contains(line, "Complete"))
            ++complete;
    }
    EXPECT_EQ(complete, 5) << r.out;
}

TEST_F(CliUpgradeTest, ChosenItemsAreTheOnlyOnesSent)
{
    const fs::path dat = MakeDat(kAllParts);
    StartTarget();
    const RunResult r = CliUsb({"--items", "cf,MAIN", dat.string()}, 60s);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(SameBytes(ReadFileBytes(Recorded(5, "data")), ReadFileBytes(PartFile("--main"))));
    EXPECT_TRUE(SameBytes(ReadFileBytes(Recorded(2, "data")), ReadFileBytes(PartFile("--cf"))));
    for (int item : {1, 3, 4})
        EXPECT_FALSE(fs::exists(Recorded(item, "data"))) << item;
}

TEST_F(CliUpgradeTest, CheckOnlyPrintsSerialVersionsAndPartStatesAndUpgradesNothing)
{
    const fs::path dat = MakeDat({{"--main", 3000, "3"}, {"--cf", 500, "2"}});
    sim.sysRecord = "NNNYYYNNNNNNYYYNNN7Q2"; // IR absent, CF present, no CIS parts, MAIN present
    sim.serialText = BuildSerialText("#*", "AB12", {"M1.000", "C2.000", "S3.000", "F4.000", "I5.000"});
    StartTarget();
    const RunResult r = CliUsb({"--check-only", dat.string()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "Target serial number: AB12")) << r.out;
    EXPECT_TRUE(Contains(r.out, "Upgrade board version: 7Q2")) << r.out;
    // The target section: from the board version line to the next blank line.
    std::map<std::string, std::string> state;
    bool inTarget = false;
    for (const auto& line : Lines(r.out)) {
        if (line.rfind("Upgrade board version:", 0) == 0)
            inTarget = true;
        else if (line.empty())
            inTarget = false;
        for (const char* part : {"MAIN", "CF", "IR"})
            if (inTarget && line.rfind(std::string(part) + " ", 0) == 0)
                state[part] = line;
    }
    EXPECT_TRUE(Contains(state["MAIN"], "M1.000") && Contains(state["MAIN"], "Active")) << state["MAIN"];
    EXPECT_TRUE(Contains(state["CF"], "F4.000") && Contains(state["CF"], "Active")) << state["CF"];
    EXPECT_TRUE(Contains(state["IR"], "I5.000") && Contains(state["IR"], "None")) << state["IR"];
    EXPECT_FALSE(fs::exists(Recorded(5, "data")));
    EXPECT_FALSE(fs::exists(Recorded(5, "boot")));
}

struct NakCase {
    const char* point;
    bool badSize; // a payload of the wrong size instead of result 00
    const char* message;
};

class CliNakTest : public CliUpgradeTest, public ::testing::WithParamInterface<NakCase> {};

TEST_P(CliNakTest, ARefusedAcknowledgementExitsOneWithTheCheckersMessage)
{
    const fs::path dat = MakeDat({{"--main", 20000, "3"}});
    CSimPoint point;
    const std::string text = GetParam().point;
    point.kind = text.substr(0, text.find(':'));
    point.occurrence = text.find(':') == std::string::npos ? 0 : std::stoi(text.substr(text.find(':') + 1));
    (GetParam().badSize ? sim.badSizeAt : sim.nakAt).push_back(point);
    StartTarget();
    const RunResult r = CliUsb({"--stall-timeout", "3", dat.string()}, 30s);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_TRUE(HasLine(r.err, GetParam().message)) << r.err;
    EXPECT_FALSE(HasLine(r.err, "Upgrade Complete.")) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Points, CliNakTest,
    ::testing::Values(NakCase{"up-index", false, "ACK UP Index Protocal Result : FALSE!"},
                      NakCase{"data-down:2", false, "ACK Data Down Protocal Result : FALSE!"},
                      NakCase{"boot-end", false, "ACK Boot End Protocal Result : FALSE!"},
                      NakCase{"sys-check", true, "ACK SYS Check Protocol Data Size Err"},
                      NakCase{"finish", true, "ACK Upgrade Finish Protocol Data Size Err"}));

TEST_F(CliUpgradeTest, ASilentMachineIsAConnectionFailure)
{
    const fs::path dat = MakeDat({{"--main", 1000, "3"}});
    sim.silent = true;
    StartTarget();
    const RunResult r = CliUsb({dat.string()}, 30s);
    EXPECT_EQ(r.exitCode, 3) << r.err;
    EXPECT_TRUE(HasLine(r.err, "The machine does not respond to the protocol.")) << r.err;
}

TEST_F(CliUpgradeTest, AMissingUsbDeviceIsAConnectionFailure)
{
    const fs::path dat = MakeDat({{"--main", 1000, "3"}});
    const RunResult r = Cli({"--usb-tty", (m_dir / "no-such-tty").string(), dat.string()}, 30s);
    EXPECT_EQ(r.exitCode, 3) << r.err;
    EXPECT_TRUE(Contains(r.err, "USB connection failed!\n")) << r.err;
}

TEST_F(CliUpgradeTest, AnUnplugMidRunExitsOneAtOnceNamingTheLostConnection)
{
    const fs::path dat = MakeDat({{"--main", 40000, "3"}});
    sim.unplugAt.push_back({"data-down", 2});
    StartTarget();
    const auto start = std::chrono::steady_clock::now();
    const RunResult r = CliUsb({"--stall-timeout", "20", dat.string()}, 40s);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_TRUE(HasLine(r.err, "The connection to the machine was lost during the upgrade.")) << r.err;
    EXPECT_LT(took, 10s); // not the 20 s of the stall watch
}

TEST_F(CliUpgradeTest, APackageThatDoesNotSuitTheMachineIsRejected)
{
    // Both CIS parts in the package, but the machine reports CIS S absent.
    const fs::path dat = MakeDat({{"--main", 1000, "3"}, {"--cis-m", 900, "1"}, {"--cis-s", 800, "1"}});
    sim.sysRecord = "YYYYYYYYYNNNYYYNNN123";
    StartTarget();
    const RunResult r = CliUsb({dat.string()});
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_TRUE(HasLine(r.err, "Machine type and the file type does not match!")) << r.err;
    EXPECT_FALSE(fs::exists(Recorded(5, "data")));
}

class CliSysCheckTest : public CliUpgradeTest,
                        public ::testing::WithParamInterface<syscheck::SysCheckScenario> {};

// The outcome and reason of the window's own run of the same table (the scenario suite).
TEST_P(CliSysCheckTest, TheCliEndsAsTheWindowDoesAndGivesTheSameReason)
{
    const syscheck::SysCheckScenario& c = GetParam();
    static const std::map<std::string, DatPart> kPartOf = {{"MAIN", {"--main", 1000, "3"}},
                                                           {"CIS-M", {"--cis-m", 1100, "4"}},
                                                           {"CIS-S", {"--cis-s", 1200, "5"}}};
    std::vector<DatPart> parts;
    for (const auto& name : c.parts)
        parts.push_back(kPartOf.at(name));
    const fs::path dat = MakeDat(parts);
    sim.sysRecord = c.record;
    sim.serialWhen = c.serialWhen;
    StartTarget();
    const std::string reason = c.reason;
    const RunResult r = CliUsb({"--verbose", dat.string()}, 60s);
    if (c.startAvailable) {
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(HasLine(r.err, "Upgrade Complete.")) << r.err;
    } else {
        EXPECT_EQ(r.exitCode, 1) << r.err;
        const auto lines = Lines(r.err);
        EXPECT_EQ(std::count(lines.begin(), lines.end(), reason), 1) << r.err;
        EXPECT_TRUE(HasLine(r.err, "velunda-cli: rejected: " + reason + " (exit status 1)")) << r.err;
        EXPECT_TRUE(Contains(r.err, "trace: Upgrade Start stays disabled: ")) << r.err;
        EXPECT_FALSE(fs::exists(Recorded(5, "data")));
    }
    if (c.serial[0] != '\0') {
        EXPECT_TRUE(HasLine(r.out, std::string("Target serial number: ") + c.serial)) << r.out;
    } else {
        EXPECT_TRUE(HasLine(r.out, "no serial number or versions received")) << r.out;
    }
    EXPECT_FALSE(Contains(r.out, "Target serial number: (none)")) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, CliSysCheckTest, ::testing::ValuesIn(syscheck::SysCheckScenarios()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CliUpgradeTest, CheckOnlyFiftyTimesNeverReportsAnEmptySerialNumber)
{
    // The target sends the serial number frame right after its SYS Check answer.
    const fs::path dat = MakeDat({{"--main", 1000, "3"}});
    // Ten targets with five runs each, side by side, so the board check's
    // second is waited ten times rather than fifty.
    constexpr int kTargets = 10;
    constexpr int kRunsEach = 5;
    std::vector<std::unique_ptr<CQuorinSim>> targets;
    for (int i = 0; i < kTargets; ++i) {
        CSimConfig config = sim;
        config.recordDir = (m_dir / ("rec" + std::to_string(i))).string();
        targets.push_back(std::make_unique<CQuorinSim>(config));
        std::string error;
        ASSERT_TRUE(targets.back()->Start(error)) << error;
    }
    std::vector<std::vector<RunResult>> results(kTargets);
    std::vector<std::thread> runners;
    for (int i = 0; i < kTargets; ++i)
        runners.emplace_back([&, i] {
            for (int n = 0; n < kRunsEach; ++n)
                results[static_cast<std::size_t>(i)].push_back(RunProgram(
                    {TestPath("VELUNDA_CLI"), "--usb-tty", targets[static_cast<std::size_t>(i)]->SlavePath(),
                     "--check-only", dat.string()},
                    m_dir, 30s));
        });
    for (auto& t : runners)
        t.join();
    for (auto& t : targets)
        t->Stop();
    int reported = 0;
    for (const auto& runs : results)
        for (const RunResult& r : runs) {
            EXPECT_EQ(r.exitCode, 0) << r.err;
            if (HasLine(r.out, "Target serial number: QV2024001"))
                ++reported;
            else
                ADD_FAILURE() << r.out;
        }
    EXPECT_EQ(reported, kTargets * kRunsEach);
}

TEST_F(CliUpgradeTest, AnItemTheMachineLacksIsRejectedAndOneThePackageLacksIsBadUsage)
{
    const fs::path dat = MakeDat({{"--main", 1000, "3"}, {"--ir", 500, "2"}});
    sim.sysRecord = "NNNYYYYYYYYYYYYNNN123"; // no IR on the machine
    StartTarget();
    const RunResult lacksOnMachine = CliUsb({"--items", "IR", dat.string()});
    EXPECT_EQ(lacksOnMachine.exitCode, 1) << lacksOnMachine.err;
    const RunResult lacksInPackage = CliUsb({"--items", "CF", dat.string()});
    EXPECT_EQ(lacksInPackage.exitCode, 2) << lacksInPackage.err;
    EXPECT_FALSE(fs::exists(Recorded(1, "data")));
}

TEST_F(CliUpgradeTest, JsonOutputHoldsEveryProgressStepOfTheRun)
{
    const fs::path dat = MakeDat({{"--main", 20000, "3"}, {"--ir", 8193, "2"}});
    StartTarget();
    const RunResult r = CliUsb({"--json", dat.string()}, 60s);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    WriteFileBytes(m_dir / "events.jsonl", Bytes(r.out.begin(), r.out.end()));
    // Parsed by Python's json module, an independent reader of what we wrote.
    const char* script = "import json,sys\n"
                         "for line in open(sys.argv[1]):\n"
                         "    e = json.loads(line)\n"
                         "    k = e['event']\n"
                         "    if k == 'progress': print('P', e['item'], '|', e['step'], '|', e['percent'])\n"
                         "    elif k == 'item_result': print('R', e['item'], '|', e['result'])\n"
                         "    elif k == 'outcome': print('O', e['outcome'], e['exit_code'])\n"
                         "    elif k == 'target': print('T', e['serial'])\n";
    const RunResult parsed = RunProgram({"/usr/bin/python3", "-c", script, "events.jsonl"}, m_dir, 30s);
    ASSERT_EQ(parsed.exitCode, 0) << parsed.err;
    std::map<std::string, std::vector<std::string>> steps; // "item|row" -> percents in order
    std::vector<std::string> results;
    std::string outcome;
    std::string serial;
    for (const auto& line : Lines(parsed.out)) {
        if (line.rfind("P ", 0) == 0) {
            const auto bar1 = line.find(" | ");
            const auto bar2 = line.rfind(" | ");
            // A row back at 0 % is the reset before the next item.
            if (line.substr(bar2 + 3) != "0")
                steps[line.substr(2, bar1 - 2) + "|" + line.substr(bar1 + 3, bar2 - bar1 - 3)].push_back(
                    line.substr(bar2 + 3));
        } else if (line.rfind("R ", 0) == 0) {
            results.push_back(line.substr(2));
        } else if (line.rfind("O ", 0) == 0) {
            outcome = line.substr(2);
        } else if (line.rfind("T ", 0) == 0) {
            serial = line.substr(2);
        }
    }
    using V = std::vector<std::string>;
    const V tens = {"10", "20", "30", "40", "50", "60", "70", "80", "90", "100"};
    // 20000 bytes in chunks of 8192: 40 %, 81 %, then complete.
    EXPECT_EQ(steps["MAIN|Data Download"], (V{"40", "81", "100"}));
    EXPECT_EQ(steps["MAIN|Erase"], tens);
    // The programming animation may add its own values between the steps.
    const V& programming = steps["MAIN|Programming"];
    std::size_t next = 0;
    for (const auto& p : programming)
        if (next < tens.size() && p == tens[next])
            ++next;
    EXPECT_EQ(next, tens.size()) << ::testing::PrintToString(programming);
    ASSERT_FALSE(programming.empty());
    EXPECT_EQ(programming.back(), "100");
    EXPECT_EQ(steps["MAIN|Boot Download"], (V{"100"})); // 1500 bytes: one chunk
    // 8193 bytes: 99 % after the first chunk.
    EXPECT_EQ(steps["IR|Data Download"], (V{"99", "100"}));
    EXPECT_EQ(steps["IR|Erase"], tens);
    EXPECT_EQ(results, (V{"MAIN | Complete", "IR | Complete"}));
    EXPECT_EQ(serial, "QV2024001");
    EXPECT_EQ(outcome, "success 0");
}

} // namespace
