// One Quorin V2 package archive to N = 1, 2, 4, 8 virtual machines in one
// velunda-cli --station run each. A run is dominated by the waits the
// protocol mandates (the board check's second, 10 ms before each chunk, the
// target's own erase and program steps), so N machines should take about as
// long as one, provided nothing busy-waits. Prints, per N, the median wall
// time of three runs, its ratio to N = 1 and the CPU seconds (user + system
// of the station and its workers) per machine; exits 1 when N = 8 takes more
// than 1.25 times N = 1.
//
// bench_station [--runs R] [--main-size BYTES]
#include "QuorinSim.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

void WriteRandom(const fs::path& path, std::size_t size, unsigned seed)
{
    std::mt19937 gen(seed);
    std::vector<char> bytes(size);
    for (auto& b : bytes)
        b = static_cast<char>(gen() & 0xFF);
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(size));
}

// Runs argv with stdout and stderr to files in dir; the exit status, the wall
// seconds and the CPU seconds of the process and everything it waited for.
struct Measured {
    int exitCode = -1;
    double wall = 0;
    double cpu = 0;
};

Measured Run(const std::vector<std::string>& args, const fs::path& dir)
{
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int out = ::open((dir / "out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open((dir / "err.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(err, STDERR_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    Measured m;
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    m.wall = std::chrono::duration<double>(Clock::now() - start).count();
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    m.cpu = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    m.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return m;
}

} // namespace

int main(int argc, char** argv)
{
    int runs = 3;
    std::size_t mainSize = 1024 * 1024;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--runs") == 0)
            runs = std::max(1, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--main-size") == 0)
            mainSize = static_cast<std::size_t>(std::max(1, std::atoi(argv[i + 1])));
    }
    const fs::path dir = fs::temp_directory_path() / ("velunda-bench-station-" + std::to_string(::getpid()));
    fs::create_directories(dir / "parts");
    WriteRandom(dir / "parts" / "BH_V1.0.bin", 1200, 1);
    WriteRandom(dir / "parts" / "SM_V2.10_a.bin", mainSize, 2);
    WriteRandom(dir / "parts" / "CDM_V1.02.NHB", 9000, 3);
    WriteRandom(dir / "parts" / "BC_V1.bin", 700, 4);
    const fs::path package = dir / "v2.qvp";
    const Measured packed =
        Run({VELUNDA_PACK, "qvp", "--out", package.string(), "--model", "v2", "--header",
             (dir / "parts" / "BH_V1.0.bin").string(), "--main", (dir / "parts" / "SM_V2.10_a.bin").string(),
             "--cdm", (dir / "parts" / "CDM_V1.02.NHB").string(), "--cdm-boot",
             (dir / "parts" / "BC_V1.bin").string()},
            dir);
    if (packed.exitCode != 0) {
        std::fprintf(stderr, "bench_station: velunda-pack failed\n");
        return 2;
    }

    std::printf("station run of a Quorin V2 archive (MAIN %zu bytes, CDM 9000 bytes), median of %d runs\n",
                mainSize, runs);
    std::printf("%3s  %8s  %8s  %14s\n", "N", "wall s", "ratio", "CPU s/machine");
    double single = 0;
    double ratioAt8 = 0;
    for (int n : {1, 2, 4, 8}) {
        std::vector<double> walls;
        std::vector<double> cpus;
        for (int r = 0; r < runs; ++r) {
            std::vector<std::unique_ptr<CQuorinSim>> machines;
            std::vector<std::string> args = {VELUNDA_CLI, "--station", "--json"};
            for (int i = 0; i < n; ++i) {
                CSimConfig c = ParseSimArgs({}).config;
                c.model = 2;
                c.sysRecord = DefaultSysRecord(2, "123");
                machines.push_back(std::make_unique<CQuorinSim>(c));
                std::string error;
                if (!machines.back()->Start(error)) {
                    std::fprintf(stderr, "bench_station: %s\n", error.c_str());
                    return 2;
                }
                args.insert(args.end(), {"--usb-tty", machines.back()->SlavePath()});
            }
            args.push_back(package.string());
            const Measured m = Run(args, dir);
            for (auto& machine : machines)
                machine->Stop();
            if (m.exitCode != 0) {
                std::fprintf(stderr, "bench_station: the station run with N = %d ended with %d (see %s)\n", n,
                             m.exitCode, (dir / "err.txt").c_str());
                return 2;
            }
            walls.push_back(m.wall);
            cpus.push_back(m.cpu / n);
        }
        std::sort(walls.begin(), walls.end());
        std::sort(cpus.begin(), cpus.end());
        const double wall = walls[walls.size() / 2];
        if (n == 1)
            single = wall;
        const double ratio = wall / single;
        if (n == 8)
            ratioAt8 = ratio;
        std::printf("%3d  %8.2f  %8.2f  %14.3f\n", n, wall, ratio, cpus[cpus.size() / 2]);
        std::fflush(stdout);
    }
    fs::remove_all(dir);
    std::printf("N = 8: %.2f x the single-machine time (target at most 1.25 x)\n", ratioAt8);
    return ratioAt8 <= 1.25 ? 0 : 1;
}
