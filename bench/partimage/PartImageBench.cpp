// Time and peak memory of loading a part-image package holding a 32 MiB
// image, beside `xxd -r -p FILE | openssl enc -d -aes-128-cbc -nopad` on the
// same file in the same run.
//
// Each measurement runs in a fresh process (this program re-run with --load,
// or the shell pipeline), so that peak resident memory belongs to that load
// alone. The best of several rounds counts, the rounds interleaved so that
// both see the same machine load.
#include "DatWriter.h"
#include "package/PackageKey.h"
#include "package/PartImage.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr std::size_t IMAGE_BYTES = 32u << 20;
constexpr int ROUNDS = 5;

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

std::uint64_t Fnv1a(const std::uint8_t* p, std::size_t n, std::uint64_t h = 1469598103934665603ull)
{
    for (std::size_t i = 0; i < n; ++i) {
        h = (h ^ p[i]) * 1099511628211ull;
    }
    return h;
}

long StatusKib(const char* field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::size_t n = std::strlen(field);
    while (std::getline(status, line)) {
        if (line.compare(0, n, field) == 0) {
            return std::atol(line.c_str() + n + 1);
        }
    }
    return -1;
}

// Child mode: one load, then "seconds peakKib baselineKib hash".
int LoadOnce(const char* path)
{
    const long baseline = StatusKib("VmRSS");
    CAes128 aes;
    const auto start = std::chrono::steady_clock::now();
    const PartImageLoad load = LoadPartImageFile(path, PackageFileName(path), aes);
    const double seconds = Seconds(start);
    std::uint64_t hash = 1469598103934665603ull;
    for (int p = 0; p < PART_COUNT; ++p) {
        if (load.pPartData[p]) {
            hash = Fnv1a(load.pPartData[p].get(), load.header.section[p + 1].nSize, hash);
        }
    }
    std::printf("%.6f %ld %ld %016llx %zu\n", seconds, StatusKib("VmHWM"), baseline, (unsigned long long)hash,
                load.messages.size());
    return 0;
}

struct Run {
    double seconds = 0;
    long peakKib = 0;
    std::string output;
};

// Runs a shell command, timing it from start to exit, with the peak resident
// memory of it and its descendants.
bool RunTimed(const std::string& command, Run& run)
{
    int pipeFd[2];
    if (pipe(pipeFd) != 0) {
        return false;
    }
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0) {
        return false;
    }
    if (pid == 0) {
        dup2(pipeFd[1], STDOUT_FILENO);
        close(pipeFd[0]);
        close(pipeFd[1]);
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeFd[1]);
    char buffer[512];
    run.output.clear();
    for (ssize_t n; (n = read(pipeFd[0], buffer, sizeof buffer)) > 0;) {
        run.output.append(buffer, std::size_t(n));
    }
    close(pipeFd[0]);
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) {
        return false;
    }
    run.seconds = Seconds(start);
    run.peakKib = usage.ru_maxrss;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string Hex(const std::uint8_t* p, std::size_t n)
{
    return HexText(p, n, true);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--load") == 0) {
        return LoadOnce(argv[2]);
    }
    if (argc > 2 || (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0))) {
        std::printf(
            "Usage: %s [FOLDER]\nWrites a package with a 32 MiB image into FOLDER (default: the system's\n"
            "temporary folder) and compares its load with xxd | openssl.\n",
            argv[0]);
        return argc == 2 ? 0 : 2;
    }
    const fs::path folder = argc == 2 ? fs::path(argv[1]) : fs::temp_directory_path();
    const fs::path file = folder / ("velunda-bench-" + std::to_string(getpid()) + ".DAT");

    // MAIN fills the image; a small IR with a partial block rides along.
    DatPackage package;
    package.machineType = "I_QUORIN";
    const std::size_t irSize = 1000;
    package.parts[4].bGiven = true;
    package.parts[4].version = "7";
    package.parts[4].data.resize(irSize);
    package.parts[0].bGiven = true;
    package.parts[0].version = "1";
    package.parts[0].data.resize(IMAGE_BYTES - DAT_HEADER_SIZE - irSize);
    std::uint32_t x = 12345;
    for (auto* part : {&package.parts[0].data, &package.parts[4].data}) {
        for (auto& b : *part) {
            x = x * 1103515245u + 12345u;
            b = static_cast<std::uint8_t>(x >> 16);
        }
    }
    std::uint64_t expectedHash = Fnv1a(package.parts[0].data.data(), package.parts[0].data.size());
    expectedHash = Fnv1a(package.parts[4].data.data(), irSize, expectedHash);

    std::string text;
    std::string error;
    if (!BuildDatText(package, text, error)) {
        std::fprintf(stderr, "bench: %s\n", error.c_str());
        return 1;
    }
    package = DatPackage{};
    {
        std::ofstream out(file, std::ios::binary);
        out.write(text.data(), std::streamsize(text.size()));
        if (!out) {
            std::fprintf(stderr, "bench: cannot write %s\n", file.c_str());
            return 1;
        }
    }
    const std::size_t fileBytes = text.size();
    text = std::string();

    const std::string self = fs::canonical("/proc/self/exe").string();
    const std::string loadCommand = "'" + self + "' --load '" + file.string() + "'";
    const std::string pipeCommand = "xxd -r -p '" + file.string() +
                                    "' | openssl enc -d -aes-128-cbc -nopad -K " + Hex(PACKAGE_KEY, 16) +
                                    " -iv " + Hex(PACKAGE_IV, 16) + " > /dev/null";

    Run best{1e9, 0, {}};
    Run bestPipe{1e9, 0, {}};
    long baselineKib = 0;
    double bestInner = 1e9;
    Run warm;
    RunTimed("cat '" + file.string() + "' > /dev/null", warm);
    for (int round = 0; round < ROUNDS; ++round) {
        Run run;
        if (!RunTimed(loadCommand, run)) {
            std::fprintf(stderr, "bench: the load failed\n");
            return 1;
        }
        double seconds = 0;
        long peak = 0;
        long baseline = 0;
        unsigned long long hash = 0;
        std::size_t messages = 0;
        if (std::sscanf(run.output.c_str(), "%lf %ld %ld %llx %zu", &seconds, &peak, &baseline, &hash,
                        &messages) != 5 ||
            hash != expectedHash || messages != 0) {
            std::fprintf(stderr, "bench: the load gave wrong parts: %s\n", run.output.c_str());
            return 1;
        }
        if (run.seconds < best.seconds) {
            best.seconds = run.seconds;
        }
        bestInner = std::min(bestInner, seconds);
        best.peakKib = std::max(best.peakKib, peak);
        baselineKib = baseline;

        Run pipeRun;
        if (!RunTimed(pipeCommand, pipeRun)) {
            std::fprintf(stderr, "bench: the xxd | openssl pipeline failed\n");
            return 1;
        }
        if (pipeRun.seconds < bestPipe.seconds) {
            bestPipe.seconds = pipeRun.seconds;
        }
        bestPipe.peakKib = std::max(bestPipe.peakKib, pipeRun.peakKib);
    }
    fs::remove(file);

    const double ratio = best.seconds / bestPipe.seconds;
    std::printf("part-image load of a %zu-byte image (%zu-byte file), best of %d\n", IMAGE_BYTES, fileBytes,
                ROUNDS);
    std::printf("  velunda load         %8.3f s   peak RSS %7.1f MiB (%.1f MiB before the load)\n",
                best.seconds, best.peakKib / 1024.0, baselineKib / 1024.0);
    std::printf("    of which the load itself %.3f s, the rest process start-up\n", bestInner);
    std::printf("  xxd -r -p | openssl  %8.3f s   peak RSS %7.1f MiB (largest process)\n", bestPipe.seconds,
                bestPipe.peakKib / 1024.0);
    std::printf("  ratio load / pipeline %.2f (target at most 0.50): %s\n", ratio,
                ratio <= 0.5 ? "met" : "MISSED");
    return 0;
}
