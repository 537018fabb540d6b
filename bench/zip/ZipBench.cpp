// Extraction speed beside Info-ZIP unzip on the same archive in the same run,
// and the peak resident memory of extracting one large entry.
//
// usage: bench_zip [--mib N] [--peak-mib M] [--rounds R]
//        bench_zip --extract ARCHIVE FOLDER   (the child that does the work)
#include "zip/ZipArchive.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct RunResult {
    double seconds = 0;
    long maxRssKiB = 0;
    int status = -1;
};

// Runs argv as a child; wall time and the child's own peak resident size.
RunResult Run(const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::execvp(argv[0], argv.data());
        std::_Exit(127);
    }
    RunResult r;
    int status = 0;
    struct rusage ru {};
    ::wait4(pid, &status, 0, &ru);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.maxRssKiB = ru.ru_maxrss;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// The package loader's sequence, with full paths so the tree matches unzip's.
int ExtractChild(const std::string& archive, const std::string& folder)
{
    try {
        CZipArchive zip;
        zip.Open(archive, 1, 0);
        const int n = zip.GetEntryCount();
        int failed = 0;
        for (int i = 0; i < n; ++i)
            failed +=
                zip.ExtractEntry(static_cast<uint16_t>(i), folder, true, nullptr, nullptr, nullptr, 65535)
                    ? 0
                    : 1;
        zip.Close(false);
        return failed == 0 ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "extraction failed: %s\n", e.what());
        return 2;
    }
}

bool SameTree(const fs::path& a, const fs::path& b)
{
    return std::system(("diff -r -q '" + a.string() + "' '" + b.string() + "' > /dev/null").c_str()) == 0;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::string(argv[1]) == "--extract")
        return ExtractChild(argv[2], argv[3]);
    int mib = 200, peakMib = 512, rounds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string opt = argv[i];
        int value = std::atoi(argv[i + 1]);
        if (opt == "--mib")
            mib = value;
        else if (opt == "--peak-mib")
            peakMib = value;
        else if (opt == "--rounds")
            rounds = std::max(1, value);
    }
    const std::string self = fs::canonical("/proc/self/exe").string();
    std::string tmpl = (fs::temp_directory_path() / "velunda-bench-zip-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr)
        return 1;
    const fs::path work = tmpl;
    const std::string python = std::string("python3 '") + ZIP_FIXTURE_SCRIPT + "' ";
    std::ostringstream report;

    std::printf("writing a %d MiB mixed archive...\n", mib);
    if (std::system((python + "mixed '" + (work / "mixed").string() + "' " + std::to_string(mib)).c_str()) !=
        0)
        return 1;
    const std::string mixed = (work / "mixed/mixed.zip").string();
    { // into the page cache for both readers
        std::ifstream warm(mixed, std::ios::binary);
        std::vector<char> buf(1 << 20);
        while (warm.read(buf.data(), static_cast<std::streamsize>(buf.size())))
            ;
    }
    std::vector<double> ours, theirs;
    bool identical = true;
    for (int r = 0; r < rounds; ++r) {
        fs::remove_all(work / "ours");
        fs::remove_all(work / "unzip");
        ::sync();
        RunResult a = Run({self, "--extract", mixed, (work / "ours").string()});
        ::sync();
        RunResult b = Run({"unzip", "-o", "-qq", mixed, "-d", (work / "unzip").string()});
        if (a.status != 0 || b.status != 0) {
            std::fprintf(stderr, "extraction failed (ours %d, unzip %d)\n", a.status, b.status);
            return 1;
        }
        ours.push_back(a.seconds);
        theirs.push_back(b.seconds);
    }
    identical = SameTree(work / "ours", work / "unzip");
    const double ratio = Median(ours) / Median(theirs);
    report << "mixed archive " << mib << " MiB (" << fs::file_size(mixed) / (1 << 20) << " MiB compressed), "
           << rounds << " rounds, median: ours " << Median(ours) << " s, unzip -o -qq " << Median(theirs)
           << " s, ratio " << ratio << (ratio <= 1.1 ? " (target <= 1.1 met)" : " (target <= 1.1 MISSED)")
           << ", trees " << (identical ? "identical" : "DIFFER") << "\n";
    fs::remove_all(work / "ours");
    fs::remove_all(work / "unzip");
    fs::remove_all(work / "mixed");

    std::printf("writing a %d MiB single-entry archive...\n", peakMib);
    if (std::system((python + "big '" + (work / "big").string() + "' " + std::to_string(peakMib)).c_str()) !=
        0)
        return 1;
    fs::remove_all(work / "big/src");
    const std::string big = (work / "big/big.zip").string();
    RunResult p = Run({self, "--extract", big, (work / "peak").string()});
    const double peakMiB = static_cast<double>(p.maxRssKiB) / 1024.0;
    fs::remove_all(work / "peak");
    RunResult q = Run({"unzip", "-o", "-qq", big, "-d", (work / "peak").string()});
    report << "single entry " << peakMib << " MiB: extraction " << (p.status == 0 ? "ok" : "FAILED") << " in "
           << p.seconds << " s, peak resident " << peakMiB << " MiB"
           << (peakMiB < 32 ? " (target < 32 MiB met)" : " (target < 32 MiB MISSED)") << "; unzip "
           << q.seconds << " s, peak " << static_cast<double>(q.maxRssKiB) / 1024.0 << " MiB\n";
    fs::remove_all(work);

    std::fputs(report.str().c_str(), stdout);
    std::ofstream(std::string(VELUNDA_ARTIFACTS_DIR) + "/bench-zip.txt") << report.str();
    return 0;
}
