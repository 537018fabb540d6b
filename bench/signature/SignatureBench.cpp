// The signature check beside the File Load it is part of. Usage:
//   bench_signature PACKAGE [ROUNDS]
// Each round checks the package alone (SHA-256 of every byte, the .sig, the
// ECDSA verification) and then loads it through the window behind the
// headless host (which checks it again, then unpacks or decodes it). Prints
// the best time of each in milliseconds and the check's share of the load,
// beside the record's own SHA-256 of the file that the check's replaced;
// exits 1 when the load was refused. A 32 MiB package, signed and trusted:
//   head -c 33554432 /dev/urandom >parts/SM_V1_x.bin
//   velunda-pack qvp --model v1 --main parts/SM_V1_x.bin --out big.QVP
//   velunda-pack keygen bench && velunda-pack sign --key bench.key big.QVP
//   mkdir -p etc/trusted-keys && cp bench.pub etc/trusted-keys/
//   VELUNDA_CONFIG_DIR=$PWD/etc bench_signature big.QVP
#include "app/HeadlessHost.h"
#include "window/UpgradeDlg.h"
#include "history/Sha256.h"
#include "package/BinaryFile.h"
#include "signature/SignaturePolicy.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

int main(int argc, char** argv)
{
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: %s PACKAGE [ROUNDS]\n", argv[0]);
        return 2;
    }
    using Clock = std::chrono::steady_clock;
    const auto ms = [](Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); };
    const std::string path = std::filesystem::absolute(argv[1]).string();
    const int rounds = argc == 3 ? std::max(1, std::atoi(argv[2])) : 5;
    double bestCheck = 1e300;
    double bestLoad = 1e300;
    double bestRecordHash = 1e300;
    std::string signer;
    for (int round = 0; round < rounds; ++round) {
        CBinaryFile file;
        if (!file.Open(path)) {
            std::fprintf(stderr, "cannot open %s\n", path.c_str());
            return 1;
        }
        const auto start = Clock::now();
        const CPackageVerification check = VerifyPackage(file.Descriptor(), path, false);
        bestCheck = std::min(bestCheck, ms(Clock::now() - start));
        signer = SignerText(check.check);
        file.Close();
        // The record's own SHA-256 of the file, which the load did before it had the check's.
        const auto hashStart = Clock::now();
        Sha256OfFile(path);
        bestRecordHash = std::min(bestRecordHash, ms(Clock::now() - hashStart));

        CHeadlessHost host;
        CAppOptions options;
        options.noHistory = true;
        CUpgradeDlg dlg(host, options);
        dlg.OnInitDialog();
        host.QueueOpenFileAnswer(path);
        const auto loadStart = Clock::now();
        host.Click(IDC_BUTTON_FILE_LOAD);
        bestLoad = std::min(bestLoad, ms(Clock::now() - loadStart));
        if (!host.Messages().empty()) {
            std::fprintf(stderr, "refused: %s\n", host.Messages()[0].text.c_str());
            return 1;
        }
        host.CloseWindow();
    }
    const double mib = static_cast<double>(std::filesystem::file_size(path)) / (1024.0 * 1024.0);
    std::printf("%.1f MiB, %s\ncheck %.1f ms (%.0f MiB/s), File Load with the check %.1f ms, without it "
                "%.1f ms; the check is %.0f %% of the load\n(the record's own SHA-256 of the file, which the "
                "check's replaces: %.1f ms)\n",
                mib, signer.c_str(), bestCheck, mib / (bestCheck / 1000.0), bestLoad, bestLoad - bestCheck,
                100.0 * bestCheck / bestLoad, bestRecordHash);
    return 0;
}
