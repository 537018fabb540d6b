// File Load of one package archive through the window behind the headless
// host, then the clean-up of closing the window. Usage:
//   bench_package_load PACKAGE.QVP
// Prints the load and clean-up times in milliseconds; exits 1 when the load
// showed a message (the package was refused) or left files behind. Meant to be
// timed from outside, beside a yardstick that makes and removes as many files:
//   farm-bench --vs 'python3 -c "..."' -- bench_package_load big.QVP
#include "UpgradeDlgTestAccess.h"
#include "app/HeadlessHost.h"
#include "window/UpgradeDlg.h"

#include <chrono>
#include <cstdio>
#include <filesystem>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s PACKAGE.QVP\n", argv[0]);
        return 2;
    }
    using Clock = std::chrono::steady_clock;
    const auto ms = [](Clock::duration d) {
        return static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
    };
    CHeadlessHost host;
    CUpgradeDlg dlg(host, CAppOptions{});
    dlg.OnInitDialog();
    host.QueueOpenFileAnswer(std::filesystem::absolute(argv[1]).string());
    const auto start = Clock::now();
    host.Click(IDC_BUTTON_FILE_LOAD);
    const auto loaded = Clock::now();
    const std::string folder = State(dlg).m_strUnzipFolder;
    host.CloseWindow();
    const auto cleaned = Clock::now();
    std::printf("load %lld ms, clean-up %lld ms\n", ms(loaded - start), ms(cleaned - loaded));
    if (!host.Messages().empty()) {
        std::fprintf(stderr, "refused: %s\n", host.Messages()[0].text.c_str());
        return 1;
    }
    std::error_code ec;
    return std::filesystem::exists(folder, ec) ? 1 : 0;
}
