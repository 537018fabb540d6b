// Time of one board upgrade (Connect at 38300 until "Upgrade Complete.")
// with a 2 KiB boot image and a 64 KiB body, against the virtual upgrade
// board on a pty, divided by the least time the exchange can take: its fixed
// waits (500 ms before the boot image, 1 ms before each boot byte, the
// 100 + 1000 + 1000 ms port cycle, 10 ms between the ten ERASEs, 200 ms
// before START, 500 ms after each block's acknowledgement, 200 ms before the
// finish record) plus every byte's time on the wire at the baud in use.
//
// A pty moves bytes without line delay, so the ratio is also given against
// the waits alone, the stricter figure for the tool's own overhead. The
// virtual board adds its quiet windows (END after 100 ms of silence, the
// finish record after 400 ms), which a real board does not need; they are
// listed apart.
#include "QuorinSim.h"
#include "TestBytes.h"
#include "UpgradeDlgTestAccess.h"
#include "app/HeadlessHost.h"
#include "window/UpgradeDlg.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t BOOT_BYTES = 2048;
constexpr std::size_t BODY_BYTES = 64 * 1024; // data, end mark and finish record
constexpr std::size_t FINISH_BYTES = 4;
constexpr std::size_t BLOCK = 1024;
constexpr double BITS_PER_BYTE = 10.0; // start, 8 data, stop

// '#' marks the end of a body ("##"): the pattern holds none.
Bytes BodyPattern(std::size_t n, unsigned seed)
{
    Bytes out = Pattern(n, seed);
    std::replace(out.begin(), out.end(), std::uint8_t{'#'}, std::uint8_t{'+'});
    return out;
}

void WriteFile(const std::string& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

double WireSeconds(double bytes, double baud)
{
    return bytes * BITS_PER_BYTE / baud;
}

} // namespace

int main()
{
    char dirTemplate[] = "/tmp/velunda-bench-board-XXXXXX";
    if (::mkdtemp(dirTemplate) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = dirTemplate;

    const Bytes boot = BodyPattern(BOOT_BYTES, 1);
    Bytes body = BodyPattern(BODY_BYTES - 2 - FINISH_BYTES, 2);
    body.push_back('#');
    body.push_back('#');
    for (std::size_t i = 0; i < FINISH_BYTES; ++i)
        body.push_back(static_cast<std::uint8_t>(0xE0 + i));
    const std::size_t blocks = (BODY_BYTES - 2 - FINISH_BYTES + BLOCK - 1) / BLOCK;
    WriteFile(dir + "/BOARD.UPH", boot);
    WriteFile(dir + "/BOARD.UPB", body);

    CSimArgsResult args = ParseSimArgs({"board", "--record-dir", dir + "/records"});
    if (!args.ok) {
        std::fprintf(stderr, "quorin-sim options: %s\n", args.error.c_str());
        return 1;
    }
    CQuorinSim sim(args.config);
    std::string error;
    if (!sim.Start(error)) {
        std::fprintf(stderr, "quorin-sim: %s\n", error.c_str());
        return 1;
    }

    CHeadlessHost host;
    CAppOptions options;
    options.extraPorts = {sim.SlavePath()};
    double total = 0;
    bool done = false;
    {
        CUpgradeDlg dlg(host, options);
        dlg.OnInitDialog();
        State(dlg).m_nResultType = RESULT_TYPE_BOARD;
        State(dlg).m_strPartFile[0] = dir + "/BOARD.UPH";
        State(dlg).m_strPartFile[1] = dir + "/BOARD.UPB";
        dlg.FillPortList();
        host.EnableControl(IDC_BUTTON_CONNECT, true);
        for (int i = 0; i < host.ComboCount(IDC_COMBO_PORT); ++i)
            if (host.ComboItemText(IDC_COMBO_PORT, i) == sim.SlavePath())
                host.Choose(IDC_COMBO_PORT, i);
        host.Choose(IDC_COMBO_BAUD, 3); // 38300

        const auto start = Clock::now();
        host.Click(IDC_BUTTON_CONNECT);
        done = host.RunUntil([&] { return host.HasMessage("Upgrade Complete."); }, std::chrono::seconds(120));
        total = std::chrono::duration<double>(Clock::now() - start).count();
    }
    sim.Stop();

    std::ifstream recorded(dir + "/records/board-body.bin", std::ios::binary | std::ios::ate);
    const auto recordedBody = static_cast<std::size_t>(recorded.tellg());
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    if (!done) {
        std::fprintf(stderr, "the upgrade did not complete\n");
        return 1;
    }

    const double waits = 0.500 + BOOT_BYTES * 0.001 + 0.100 + 1.000 + 1.000 + 9 * 0.010 + 0.200 +
                         static_cast<double>(blocks) * 0.500 + 0.200;
    // Both directions: the probe and every boot byte with their answers at
    // 38300; the messages, blocks and finish record with their
    // acknowledgements at 115200.
    const double slowBytes = 2.0 + 2.0 * BOOT_BYTES;
    const double fastBytes = (10 + 6) + 10 * (11 + 6) + (10 + 6) + static_cast<double>(blocks) * (BLOCK + 6) +
                             (8 + 6) + (FINISH_BYTES + 6);
    const double wire = WireSeconds(slowBytes, 38300) + WireSeconds(fastBytes, 115200);
    const double floor = waits + wire;
    const double simQuiet = 0.100 + 0.400;

    char report[1024];
    std::snprintf(report, sizeof report,
                  "board upgrade: boot image %zu bytes at 38300 baud, body %zu bytes in %zu blocks at 115200 "
                  "(recorded %zu)\n"
                  "total                 %.3f s\n"
                  "floor: fixed waits    %.3f s\n"
                  "floor: wire time      %.3f s\n"
                  "floor: waits + wire   %.3f s\n"
                  "ratio total / floor   %.4f (at most 1.05)\n"
                  "ratio total / waits   %.4f (pty: no line delay)\n"
                  "of which the virtual board's quiet windows: %.3f s\n",
                  BOOT_BYTES, BODY_BYTES, blocks, recordedBody, total, waits, wire, floor, total / floor,
                  total / waits, simQuiet);
    std::fputs(report, stdout);
    const std::string artifacts = VELUNDA_ARTIFACTS_DIR;
    std::filesystem::create_directories(artifacts, ec);
    std::ofstream(artifacts + "/bench-board.txt") << report;
    return total / floor <= 1.05 ? 0 : 2;
}
