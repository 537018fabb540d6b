// velunda-cli --station against several virtual machines at once: the
// healthy ones complete whatever the others do, each failure keeps its own
// message, and an interrupt leaves nothing behind.
#include "CliTestSupport.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <set>
#include <thread>

using namespace clitest;

namespace {

class CliStationTest : public CliTest {
protected:
    CSimConfig Machine(int model, const std::string& serial) const
    {
        CSimConfig c = sim;
        c.model = model;
        c.sysRecord = DefaultSysRecord(model, "123");
        c.serialText = BuildSerialText("##", serial, {"1.0.01", "1.0.02", "1.0.03", "1.0.04", "1.0.05"});
        return c;
    }

    // Every line of out as a JSON event; the summary event is returned apart.
    static std::vector<nlohmann::json> Events(const std::string& out, nlohmann::json& summary)
    {
        std::vector<nlohmann::json> events;
        for (const auto& line : Lines(out)) {
            nlohmann::json e = nlohmann::json::parse(line, nullptr, false);
            EXPECT_TRUE(e.is_object()) << line;
            if (e.is_object() && e.value("event", "") == "station_summary")
                summary = e;
            else if (e.is_object())
                events.push_back(e);
        }
        return events;
    }
};

// One station run per package kind, each to four machines of its model: two
// healthy, one refusing Data End, one unplugged in the middle of its data.
TEST_F(CliStationTest, HealthyMachinesCompleteWhileTheOthersFailEachWithItsOwnMessage)
{
    struct Kind {
        const char* name;
        int model;
    };
    for (const Kind kind : {Kind{"V1 .DAT", 1}, Kind{"V2 .QVP", 2}}) {
        SCOPED_TRACE(kind.name);
        fs::path package;
        V2Package v2;
        if (kind.model == 1) {
            package = MakeDat({{"--main", 40000, "3"}, {"--ir", 3000, "2"}});
        } else {
            v2 = MakeV2Qvp(40000);
            package = v2.qvp;
        }
        const std::size_t first = m_targets.size();
        AddTarget(Machine(kind.model, "QV-1"));
        AddTarget(Machine(kind.model, "QV-2"));
        CSimConfig nak = Machine(kind.model, "QV-NAK");
        nak.nakAt.push_back({"data-end", 1});
        AddTarget(nak);
        CSimConfig unplug = Machine(kind.model, "QV-GONE");
        unplug.unplugAt.push_back({"data-down", 2});
        AddTarget(unplug);
        std::vector<std::string> args = {"--station", "--stall-timeout", "2"};
        std::vector<std::string> ttys;
        for (std::size_t i = first; i < m_targets.size(); ++i) {
            ttys.push_back(m_targets[i]->SlavePath());
            args.insert(args.end(), {"--usb-tty", ttys.back()});
        }
        args.push_back(package.string());
        const RunResult r = Cli(args, 120s);
        EXPECT_EQ(r.exitCode, 1) << r.err;

        for (std::size_t i = first; i < first + 2; ++i) {
            const fs::path rec = m_targets[i]->RecordDir();
            if (kind.model == 2) {
                EXPECT_TRUE(RecordedV2(rec, v2));
            } else {
                EXPECT_TRUE(SameBytes(ReadFileBytes(rec / "5-data.bin"), ReadFileBytes(PartFile("--main"))));
                EXPECT_TRUE(SameBytes(ReadFileBytes(rec / "5-boot.bin"), m_boot));
                EXPECT_TRUE(SameBytes(ReadFileBytes(rec / "1-data.bin"), ReadFileBytes(PartFile("--ir"))));
            }
        }

        nlohmann::json summary;
        const auto events = Events(r.out, summary);
        std::set<std::string> targetsSeen;
        for (const auto& e : events) {
            EXPECT_TRUE(e.contains("target")) << e.dump();
            targetsSeen.insert(e.value("target", ""));
        }
        EXPECT_EQ(targetsSeen, std::set<std::string>(ttys.begin(), ttys.end()));
        ASSERT_TRUE(summary.is_object()) << r.out;
        EXPECT_EQ(summary["exit_code"], 1);
        const auto& machines = summary["machines"];
        ASSERT_EQ(machines.size(), 4u);
        const char* serials[] = {"QV-1", "QV-2", "QV-NAK", "QV-GONE"};
        for (std::size_t i = 0; i < 4; ++i) {
            EXPECT_EQ(machines[i]["target"], ttys[i]);
            EXPECT_EQ(machines[i]["serial"], serials[i]);
        }
        EXPECT_EQ(machines[0]["outcome"], "success");
        EXPECT_EQ(machines[1]["outcome"], "success");
        EXPECT_EQ(machines[2]["outcome"], "rejected");
        EXPECT_EQ(machines[2]["reason"], "ACK Data End Protocal Result : FALSE!");
        EXPECT_EQ(machines[3]["outcome"], "failed");
        EXPECT_EQ(machines[3]["reason"], "The connection to the machine was lost during the upgrade.");
        // The table names each machine with its own outcome.
        const char* outcomes[] = {"success: Upgrade Complete.", "success: Upgrade Complete.",
                                  "rejected: ACK Data End", "failed: The connection to the machine was lost"};
        for (std::size_t i = 0; i < 4; ++i) {
            bool found = false;
            for (const auto& line : Lines(r.err))
                found = found ||
                        (line.rfind(ttys[i] + " ", 0) == 0 && line.find(serials[i]) != std::string::npos &&
                         line.find(outcomes[i]) != std::string::npos);
            EXPECT_TRUE(found) << ttys[i] << "\n" << r.err;
        }
        EXPECT_TRUE(HasLine(r.err, "velunda-cli: station: 4 machine(s) (exit status 1)")) << r.err;
    }
}

// The velunda-cli processes whose command lines name tty: its worker, and
// with station the station itself.
std::vector<pid_t> CliProcessesOf(const std::string& tty, bool station)
{
    std::vector<pid_t> pids;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream in(entry.path() / "cmdline", std::ios::binary);
        std::vector<std::string> args;
        for (std::string arg; std::getline(in, arg, '\0');)
            args.push_back(arg);
        const bool isStation = std::find(args.begin(), args.end(), "--station") != args.end();
        if (!args.empty() && args[0].ends_with("velunda-cli") &&
            std::find(args.begin(), args.end(), tty) != args.end() && (station || !isStation))
            pids.push_back(static_cast<pid_t>(std::stol(name)));
    }
    return pids;
}

// Waits until every target has received the start of its upgrade.
bool AllReceiving(const std::vector<CQuorinSim*>& targets)
{
    for (int i = 0; i < 500; ++i) {
        bool all = true;
        for (const CQuorinSim* t : targets)
            all = all && fs::exists(fs::path(t->RecordDir()) / "12-boot.bin");
        if (all)
            return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

// Ctrl-C reaches the station and its workers as from a terminal (the whole
// process group): every worker closes its link and removes its files, and
// the station names the --items that finish each machine.
TEST_F(CliStationTest, AnInterruptStopsEveryWorkerCleanlyAndNamesTheItemsLeft)
{
    const V2Package pkg = MakeV2Qvp(40000);
    std::vector<std::string> ttys;
    for (const char* serial : {"QV-1", "QV-2"}) {
        CSimConfig slow = Machine(2, serial);
        slow.stepDelay = std::chrono::milliseconds(150); // erase, program and verify take seconds
        ttys.push_back(AddTarget(slow).SlavePath());
    }
    const fs::path tmp = m_dir / "tmp";
    fs::create_directories(tmp);
    RunResult stopped;
    std::thread station([&] {
        stopped = RunProgram({"/usr/bin/env", "-u", "XDG_RUNTIME_DIR", "TMPDIR=" + tmp.string(),
                              TestPath("VELUNDA_CLI"), "--station", "--usb-tty", ttys[0], "--usb-tty",
                              ttys[1], pkg.qvp.string()},
                             m_dir, 60s);
    });
    // Ctrl-C on a terminal reaches every process of the group at once.
    EXPECT_TRUE(AllReceiving({m_targets[0].get(), m_targets[1].get()}));
    std::set<pid_t> group;
    for (const auto& tty : ttys)
        for (pid_t pid : CliProcessesOf(tty, true))
            group.insert(pid);
    EXPECT_EQ(group.size(), 3u);
    for (pid_t pid : group)
        ::kill(pid, SIGINT);
    station.join();
    EXPECT_EQ(stopped.exitCode, 130) << stopped.err;
    EXPECT_TRUE(HasLine(stopped.err, "velunda-cli: interrupted; machines left mid-upgrade:")) << stopped.err;
    const char* serials[] = {"QV-1", "QV-2"};
    for (std::size_t i = 0; i < 2; ++i) {
        const std::string head = "  " + ttys[i] + " (serial number " + serials[i] + "): finish with --items ";
        bool named = false;
        for (const auto& line : Lines(stopped.err))
            named = named || (line.rfind(head, 0) == 0 && line.size() > head.size() && line.ends_with("CDM"));
        EXPECT_TRUE(named) << stopped.err;
    }
    nlohmann::json summary;
    Events(stopped.out, summary);
    ASSERT_TRUE(summary.is_object()) << stopped.out;
    EXPECT_EQ(summary["interrupted"], true);
    // No unpacked package, no station folder: nothing is left behind.
    EXPECT_TRUE(ListTree(tmp).empty()) << ::testing::PrintToString(ListTree(tmp));
}

TEST_F(CliStationTest, AWorkerThatCrashesStopsNoOtherMachine)
{
    const V2Package pkg = MakeV2Qvp(40000);
    std::vector<std::string> ttys;
    for (const char* serial : {"QV-1", "QV-2", "QV-CRASH"}) {
        CSimConfig c = Machine(2, serial);
        c.stepDelay = std::chrono::milliseconds(40);
        ttys.push_back(AddTarget(c).SlavePath());
    }
    RunResult r;
    std::thread station([&] {
        r = Cli(
            {"--station", "--usb-tty", ttys[0], "--usb-tty", ttys[1], "--usb-tty", ttys[2], pkg.qvp.string()},
            90s);
    });
    // Killed once its machine is receiving the upgrade.
    EXPECT_TRUE(AllReceiving({m_targets[2].get()}));
    const std::vector<pid_t> victim = CliProcessesOf(ttys[2], false);
    EXPECT_EQ(victim.size(), 1u);
    for (pid_t pid : victim)
        ::kill(pid, SIGKILL);
    station.join();
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_TRUE(RecordedV2(m_targets[0]->RecordDir(), pkg));
    EXPECT_TRUE(RecordedV2(m_targets[1]->RecordDir(), pkg));
    nlohmann::json summary;
    Events(r.out, summary);
    ASSERT_TRUE(summary.is_object()) << r.out;
    EXPECT_EQ(summary["machines"][0]["outcome"], "success");
    EXPECT_EQ(summary["machines"][1]["outcome"], "success");
    EXPECT_EQ(summary["machines"][2]["outcome"], "failed");
    EXPECT_EQ(summary["machines"][2]["reason"], "the worker ended by signal Killed");
}

} // namespace
