// The fleet records' two costs: a station's whole backlog (10,000 recorded
// runs of two items each) pushed to an empty server, and the push at a
// run's end (connect, schema check, one batch, marking it sent) after one
// new run, the median of 20. The server is a real PostgreSQL 15 of the
// benchmark's own, durable as a production one (fsync on); the history is
// on disk. Exits 1 when the backlog is not all on the server once.
//
// bench_records [--runs N]
#include "PgServer.h"
#include "history/HistoryDb.h"
#include "records/FleetDb.h"
#include "records/RecordsPush.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

CPushResult Push(const std::string& history, const std::string& url)
{
    CPushLimits limits;
    limits.deadline = Clock::time_point::max();
    return PushRecords(history, url, limits);
}

} // namespace

int main(int argc, char** argv)
{
    int runs = 10000;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--runs") == 0)
            runs = std::max(1, std::atoi(argv[++i]));
    CPgServer server;
    std::string error;
    if (!server.Create(error, true)) {
        std::fprintf(stderr, "bench_records: %s\n", error.c_str());
        return 2;
    }
    const std::string url = server.Url();
    CFleetDb fleet;
    std::vector<std::string> done;
    if (!fleet.Connect(url, error) || !fleet.Init(done, error)) {
        std::fprintf(stderr, "bench_records: %s\n", error.c_str());
        return 2;
    }
    // Made in memory (the runs' own writes are not measured), then put on disk.
    const fs::path folder = fs::path(server.Folder()) / "station";
    fs::create_directories(folder);
    const std::string made = "/dev/shm/velunda-bench-" + std::to_string(::getpid()) + ".sqlite";
    const std::string history = (folder / "history.sqlite").string();
    if (!AddSampleRuns(fs::exists("/dev/shm") ? made : history, runs, "bench-station", error)) {
        std::fprintf(stderr, "bench_records: %s\n", error.c_str());
        return 2;
    }
    if (fs::exists(made)) {
        fs::copy_file(made, history, fs::copy_options::overwrite_existing);
        fs::remove(made);
    }

    const auto started = Clock::now();
    const CPushResult backlog = Push(history, url);
    const double backlogSeconds = SecondsSince(started);
    std::vector<CHistoryRun> onServer;
    fleet.List({}, onServer, error);
    std::printf("backlog: %zu runs pushed in %.2f s (%.0f runs/s), %zu on the server%s\n", backlog.sent,
                backlogSeconds, backlog.sent / backlogSeconds, onServer.size(),
                backlog.ok ? "" : (" - failed: " + backlog.error).c_str());

    std::vector<double> one;
    for (int i = 0; i < 20; ++i) {
        if (!AddSampleRuns(history, 1, "bench-next-" + std::to_string(i), error))
            break;
        const auto t = Clock::now();
        const CPushResult pushed = Push(history, url);
        one.push_back(SecondsSince(t) * 1000);
        if (!pushed.ok || pushed.added != 1) {
            std::fprintf(stderr, "bench_records: the push after one run: %s\n", pushed.error.c_str());
            return 1;
        }
    }
    std::sort(one.begin(), one.end());
    std::printf("one run: push after it takes %.1f ms (median of %zu, fastest %.1f, slowest %.1f)\n",
                one[one.size() / 2], one.size(), one.front(), one.back());
    return backlog.ok && onServer.size() == static_cast<std::size_t>(runs) ? 0 : 1;
}
