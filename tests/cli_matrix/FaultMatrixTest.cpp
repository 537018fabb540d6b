// Every fault a cable, a machine or a board can show, one cell each: velunda-cli
// against the virtual target on a pty of the cell's own. A cell may end in
// success only when the target holds exactly the package; it must end within
// the stall time plus 2 s of a healthy run's duration; and a second run
// against the same target right afterwards completes. Cells run side by side
// (they mostly wait on timers), so the whole matrix takes a few minutes.
#include "CliTestSupport.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

using namespace clitest;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kStallSeconds = 2;
constexpr int kWorkers = 8;

struct Cell {
    std::string name;
    std::vector<std::string> simArgs; // after the mode word
};

// USB: each request's answer spoiled once, in every way a target can spoil it.
std::vector<Cell> UsbCells()
{
    const char* kinds[] = {"board-check", "sys-check", "up-index", "boot-down",
                           "boot-end",    "data-down", "data-end", "finish"};
    std::vector<Cell> cells;
    for (const std::string k : kinds) {
        const std::string one = k + ":1";
        if (k != "sys-check") // its answer carries no result to refuse with
            cells.push_back({k + "/nak", {"--nak", one}});
        cells.push_back({k + "/size", {"--bad-size", one}});
        cells.push_back({k + "/badsum", {"--corrupt", one}});
        cells.push_back({k + "/silence", {"--late", one + "=3s"}});
        cells.push_back({k + "/unplug", {"--unplug-at", one}});
        cells.push_back({k + "/garbage", {"--stray", one + "=00 FB 13 FB 04 0B"}});
        cells.push_back({k + "/split", {"--split", one}});
        cells.push_back({k + "/dup", {"--dup", one}});
        cells.push_back({k + "/wrong-command", {"--wrong-cmd", one}});
    }
    return cells;
}

// Board: each step's answer spoiled once.
std::vector<Cell> BoardCells()
{
    const char* steps[] = {"probe", "boot", "ready", "erase", "start", "block", "end", "finish"};
    std::vector<Cell> cells;
    for (const std::string s : steps) {
        const std::string one = s + ":1";
        const bool single = s == "probe" || s == "boot"; // one-byte answers
        cells.push_back({s + "/silent", {"--late", one + "=3s"}});
        cells.push_back({s + "/nak", {"--replace", one + (single ? "=15" : "=01 00 01 15 04 11")}});
        cells.push_back({s + "/malformed", {"--replace", one + (single ? "=41 41" : "=01 00 02 06 06 04")}});
        if (!single) {
            cells.push_back({s + "/badsum", {"--replace", one + "=01 00 01 06 04 03"}});
            cells.push_back({s + "/short", {"--replace", one + "=01 00 01 06"}});
        }
        cells.push_back({s + "/split", {"--split", one}});
        cells.push_back({s + "/garbage", {"--stray", one + "=00 13 FB"}});
        cells.push_back({s + "/vanish", {"--unplug-at", one}});
    }
    return cells;
}

bool HasText(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

class FaultMatrix : public CliTest {
protected:
    // The package and the oracle: a two-item .DAT for USB, a board archive
    // (copied into each cell's folder, which it is unpacked beside) for the board.
    void MakePackages()
    {
        m_dat = MakeDat({{"--main", 9001, "3"}, {"--cf", 100, "2"}});
        const fs::path parts = m_dir / "parts";
        m_boardBoot = Pattern(40, 5);
        WriteFileBytes(parts / "BOARD.UPH", m_boardBoot);
        Bytes body = Pattern(1500, 6);
        std::replace(body.begin(), body.end(), std::uint8_t{'#'}, std::uint8_t{0x24});
        body.insert(body.end(), {'#', '#', 0x11, 0x22, 0x33});
        WriteFileBytes(parts / "BOARD.UPB", body);
        m_wire = BodyOnTheWire(body);
        m_finish = FinishRecordOf(body);
        Pack({"--model", "board", "--board-boot", (parts / "BOARD.UPH").string(), "--board-body",
              (parts / "BOARD.UPB").string()},
             "board.qvp");
    }

    bool ImagesEqual(bool board, const fs::path& rec) const
    {
        if (board)
            return SameBytes(ReadFileBytes(rec / "board-boot.bin"), m_boardBoot) &&
                   SameBytes(ReadFileBytes(rec / "board-body.bin"), m_wire) &&
                   SameBytes(ReadFileBytes(rec / "board-finish.bin"), m_finish);
        return SameBytes(ReadFileBytes(rec / "5-data.bin"), ReadFileBytes(PartFile("--main"))) &&
               SameBytes(ReadFileBytes(rec / "2-data.bin"), ReadFileBytes(PartFile("--cf"))) &&
               SameBytes(ReadFileBytes(rec / "5-boot.bin"), m_boot) &&
               SameBytes(ReadFileBytes(rec / "2-boot.bin"), m_boot);
    }

    // One run of the program against target; its result and duration.
    RunResult RunOnce(bool board, const fs::path& cwd, CQuorinSim& target, Clock::duration& took)
    {
        std::vector<std::string> args = {TestPath("VELUNDA_CLI"), "--stall-timeout",
                                         std::to_string(kStallSeconds)};
        if (board)
            args.insert(args.end(),
                        {"--port", target.SlavePath(), "--baud", "38400", (cwd / "board.qvp").string()});
        else
            args.insert(args.end(), {"--usb-tty", target.SlavePath(), m_dat.string()});
        const auto start = Clock::now();
        RunResult r = RunProgram(args, cwd, 60s);
        took = Clock::now() - start;
        return r;
    }

    std::unique_ptr<CQuorinSim> StartSim(bool board, const std::vector<std::string>& faults,
                                         const fs::path& rec, std::string& error)
    {
        std::vector<std::string> args = {board ? "board" : "machine", "--record-dir", rec.string()};
        args.insert(args.end(), faults.begin(), faults.end());
        CSimArgsResult parsed = ParseSimArgs(args);
        if (!parsed.ok) {
            error = "quorin-sim options: " + parsed.error;
            return nullptr;
        }
        parsed.config.stepDelay = std::chrono::milliseconds(1);
        auto sim = std::make_unique<CQuorinSim>(parsed.config);
        if (!sim->Start(error))
            return nullptr;
        return sim;
    }

    // "" when the cell held; else what went wrong.
    std::string RunCell(bool board, const Cell& cell, Clock::duration healthy)
    {
        const fs::path cwd = m_dir / "cells" / (std::string(board ? "board-" : "usb-") + cell.name);
        const fs::path rec = cwd / "rec";
        fs::create_directories(cwd);
        if (board)
            fs::copy_file(m_dir / "board.qvp", cwd / "board.qvp");
        std::string error;
        std::unique_ptr<CQuorinSim> sim = StartSim(board, cell.simArgs, rec, error);
        if (!sim)
            return error;

        std::string fault;
        Clock::duration took{};
        const RunResult first = RunOnce(board, cwd, *sim, took);
        const bool equal = ImagesEqual(board, rec);
        if (first.exitCode == 0 && !equal)
            fault += "exit 0 with images that differ from the package; ";
        if (HasText(first.err, "Upgrade Complete.") && !equal)
            fault += "\"Upgrade Complete.\" with images that differ from the package; ";
        if (first.exitCode < 0)
            fault += "never ended; ";
        if (took > healthy + std::chrono::seconds(kStallSeconds + 2))
            fault += "ended after " +
                     std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()) +
                     " ms; ";

        // The same machine again (a fresh one when it vanished): the fault
        // fired once, so this run completes. A board left halfway through its
        // bootloader answers no probe until it is reset, so it is a fresh one.
        if (board || sim->Unplugged()) {
            sim->Stop();
            fs::remove_all(rec);
            sim = StartSim(board, {}, rec, error);
            if (!sim)
                return fault + error;
        }
        const RunResult second = RunOnce(board, cwd, *sim, took);
        if (second.exitCode != 0 || !ImagesEqual(board, rec))
            fault += "the second run did not complete (exit " + std::to_string(second.exitCode) +
                     "): " + second.err.substr(0, 300) + "; ";
        sim->Stop();
        if (!fault.empty())
            fault +=
                "first run exit " + std::to_string(first.exitCode) + ", stderr: " + first.err.substr(0, 400);
        else
            fs::remove_all(cwd);
        return fault;
    }

    void RunMatrix(bool board, const std::vector<Cell>& cells)
    {
        MakePackages();
        // The healthy run sets the time a faulty one may take beyond the stall.
        const Cell healthy{"healthy", {}};
        const auto start = Clock::now();
        ASSERT_EQ(RunCell(board, healthy, std::chrono::hours(1)), "");
        const Clock::duration reference = Clock::now() - start;

        std::atomic<std::size_t> next{0};
        std::mutex mutex;
        std::vector<std::pair<std::string, std::string>> failures;
        std::vector<std::thread> workers;
        for (int w = 0; w < kWorkers; ++w)
            workers.emplace_back([&] {
                for (std::size_t i; (i = next.fetch_add(1)) < cells.size();) {
                    // Two runs per cell: the reference covers both.
                    const std::string why = RunCell(board, cells[i], reference / 2);
                    if (!why.empty()) {
                        std::lock_guard lock(mutex);
                        failures.emplace_back(cells[i].name, why);
                    }
                }
            });
        for (auto& t : workers)
            t.join();
        for (const auto& [name, why] : failures)
            ADD_FAILURE() << name << ": " << why;
    }

    fs::path m_dat;
    Bytes m_boardBoot;
    Bytes m_wire;
    Bytes m_finish;
};

TEST_F(FaultMatrix, UsbEveryRequestKindTimesEveryFault)
{
    RunMatrix(false, UsbCells());
}

TEST_F(FaultMatrix, BoardEveryStepTimesEveryFault)
{
    RunMatrix(true, BoardCells());
}

} // namespace
