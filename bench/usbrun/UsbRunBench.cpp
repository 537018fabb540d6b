// A full upgrade of a five-part Quorin V1 .DAT package over the USB link to
// the virtual target, which answers every request at once, twice in one run:
// through the tty backend on the target's pty, and through the default
// backend (libftdi1 over libusb) on an emulated FT232R in front of the target
// (under the umockdev preload; the program starts itself again with it). The
// data download of each item is timed from the Boot End acknowledgement
// (read by the USB reader) to the Data End request (written by the window);
// its floor is the mandated 10 ms wait before each memory chunk. Prints the
// figures and exits 1 when a run fails or the tty download takes more than
// 1.1 times its floor.
#include "FrameWatchBackend.h"
#include "TestBytes.h"
#include "UpgradeDlgTestAccess.h"
#include "app/HeadlessHost.h"
#include "window/UpgradeDlg.h"

#include "DatWriter.h"
#include "QuorinSim.h"
#ifdef VELUNDA_HAVE_CHIP
#include "EmulatedFtdiChip.h"
#endif

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// A backend with a stopwatch on the frames that bound a data download.
class CTimedBackend final : public CFrameWatchBackend {
public:
    struct Item {
        Clock::time_point bootEndAck{};
        Clock::time_point dataEnd{};
        int chunks = 0;
    };

    using CFrameWatchBackend::CFrameWatchBackend;

    std::vector<Item> Items()
    {
        std::lock_guard lock(m_mutex);
        return m_items;
    }
    // Mean milliseconds from a Data Down write to its acknowledgement being
    // read, and from that read to the next request written (the 10 ms wait
    // included).
    std::pair<double, double> MeanTurn()
    {
        std::lock_guard lock(m_mutex);
        return {m_nAcks ? m_targetMs / m_nAcks : 0.0, m_nTurns ? m_windowMs / m_nTurns : 0.0};
    }

private:
    void OnAnswerRead(std::uint8_t subcommand, Clock::time_point now) override
    {
        std::lock_guard lock(m_mutex);
        if (subcommand == SUB_DATA_DOWN_ACK) {
            m_targetMs += std::chrono::duration<double, std::milli>(now - m_lastWrite).count();
            ++m_nAcks;
            m_lastAck = now;
            m_bAckPending = true;
        }
        if (subcommand == SUB_BOOT_END_ACK)
            m_items.push_back(Item{now, {}, 0});
    }
    void OnRequestWritten(std::uint8_t subcommand, Clock::time_point now) override
    {
        std::lock_guard lock(m_mutex);
        if (m_bAckPending) {
            m_windowMs += std::chrono::duration<double, std::milli>(now - m_lastAck).count();
            ++m_nTurns;
            m_bAckPending = false;
        }
        m_lastWrite = now;
        if (!m_items.empty() && subcommand == SUB_DATA_DOWN)
            ++m_items.back().chunks;
        if (!m_items.empty() && subcommand == SUB_DATA_END)
            m_items.back().dataEnd = now;
    }

    std::mutex m_mutex;
    std::vector<Item> m_items;
    Clock::time_point m_lastWrite{}, m_lastAck{};
    bool m_bAckPending = false;
    double m_targetMs = 0, m_windowMs = 0;
    int m_nAcks = 0, m_nTurns = 0;
};

struct Row {
    double dataMs = 0, floorMs = 0, runSeconds = 0, targetMs = 0, windowMs = 0;
    std::size_t items = 0;
    std::string end = "<not run>";
};

// One whole upgrade with the given backend; chipPath, when set, receives the
// target's pty so an emulated chip can stand in front of it.
Row RunUpgrade(const std::filesystem::path& dir, const std::size_t (&sizes)[DAT_PART_COUNT], bool overChip)
{
    using namespace std::chrono_literals;
    Row row;
    CSimConfig sim;
    sim.sysRecord = DefaultSysRecord(1, "123");
    sim.serialText = BuildSerialText("##", "BENCH", {"1.0.01", "1.0.02", "1.0.03", "1.0.04", "1.0.05"});
    sim.stepDelay = SimDuration{0};
    CQuorinSim target(sim);
    std::string error;
    if (!target.Start(error)) {
        row.end = "<" + error + ">";
        return row;
    }
#ifdef VELUNDA_HAVE_CHIP
    std::unique_ptr<CEmulatedFtdiChip> chip;
    if (overChip) {
        chip = std::make_unique<CEmulatedFtdiChip>();
        chip->Add(CChipIdentity(), target.SlavePath());
    }
#endif
    {
        CHeadlessHost host;
        CAppOptions options;
        CUpgradeDlg dlg(host, options);
        dlg.OnInitDialog();
        State(dlg).m_szStartDir = dir.string();
        auto timed = std::make_unique<CTimedBackend>(overChip ? MakeFtdiBackendLibftdi()
                                                              : MakeFtdiBackendTty(target.SlavePath()));
        CTimedBackend* stopwatch = timed.get();
        State(dlg).m_UsbLink.SetBackend(std::move(timed));

        host.QueueOpenFileAnswer((dir / "bench.DAT").string());
        host.Click(IDC_BUTTON_FILE_LOAD);
        host.Click(IDC_BUTTON_CONNECT);
        const bool ready = host.RunUntil([&] { return host.IsControlEnabled(IDC_BUTTON_SYS_CHECK); }, 5s) &&
                           host.Click(IDC_BUTTON_SYS_CHECK) &&
                           host.RunUntil([&] { return host.IsControlEnabled(IDC_BUTTON_UPGRADE_START); }, 5s);
        if (!ready) {
            row.end = "<the window did not get ready to upgrade>";
        } else {
            host.ClearMessages();
            const auto started = Clock::now();
            host.Click(IDC_BUTTON_UPGRADE_START);
            host.RunUntil([&] { return !host.Messages().empty() && State(dlg).m_bRunActive == 0; }, 120s);
            row.runSeconds = std::chrono::duration<double>(Clock::now() - started).count();
            row.end = host.Messages().empty() ? "<none>" : host.Messages().back().text;
            const auto items = stopwatch->Items();
            row.items = items.size();
            for (std::size_t i = 0; i < items.size(); ++i) {
                const double ms =
                    std::chrono::duration<double, std::milli>(items[i].dataEnd - items[i].bootEndAck).count();
                const double floor = 10.0 * items[i].chunks;
                row.dataMs += ms;
                row.floorMs += floor;
                std::printf("  item %zu  %7zu bytes  %3d chunks  %8.1f ms  floor %5.0f ms  ratio %.3f\n",
                            i + 1, i < DAT_PART_COUNT ? sizes[i] : 0, items[i].chunks, ms, floor,
                            floor > 0 ? ms / floor : 0.0);
            }
            std::tie(row.targetMs, row.windowMs) = stopwatch->MeanTurn();
        }
        State(dlg).m_UsbLink.CloseUsb(true);
    }
    target.Stop();
    return row;
}

} // namespace

int main(int, char** argv)
{
#ifdef VELUNDA_HAVE_CHIP
    CEmulatedFtdiChip::RunUnderPreload(argv);
    const bool haveChip = CEmulatedFtdiChip::PreloadActive();
#else
    (void)argv;
    const bool haveChip = false;
#endif
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("velunda-bench-usbrun-" + std::to_string(::getpid()));
    fs::create_directories(dir / "Boot");

    const std::size_t sizes[DAT_PART_COUNT] = {1 << 20, 256 << 10, 256 << 10, 128 << 10, 64 << 10};
    DatPackage package;
    for (int i = 0; i < DAT_PART_COUNT; ++i) {
        package.parts[i].bGiven = true;
        package.parts[i].data = Pattern(sizes[i], static_cast<unsigned>(i));
        package.parts[i].version = std::to_string(i + 1);
    }
    std::string text, error;
    if (!BuildDatText(package, text, error)) {
        std::fprintf(stderr, "bench_usbrun: %s\n", error.c_str());
        return 2;
    }
    std::ofstream(dir / "bench.DAT", std::ios::binary) << text;
    const auto boot = Pattern(8192, 99);
    std::ofstream(dir / "Boot" / "BENCH.OHH", std::ios::binary)
        .write(reinterpret_cast<const char*>(boot.data()), static_cast<std::streamsize>(boot.size()));

    std::printf("tty backend on the target's pty:\n");
    const Row tty = RunUpgrade(dir, sizes, false);
    Row usb;
    if (haveChip) {
        std::printf("default backend (libftdi1, libusb) on an emulated FT232R:\n");
        usb = RunUpgrade(dir, sizes, true);
    }
    std::printf(
        "\nbackend                   data ms   floor ms  ratio  run s   per chunk: target, window ms  end\n");
    auto print = [](const char* name, const Row& r) {
        std::printf("%-24s %9.1f %9.0f  %.3f  %5.2f   %6.3f, %6.3f                 \"%s\"\n", name, r.dataMs,
                    r.floorMs, r.floorMs > 0 ? r.dataMs / r.floorMs : 0.0, r.runSeconds, r.targetMs,
                    r.windowMs, r.end.c_str());
    };
    print("tty on pty", tty);
    if (haveChip)
        print("libftdi on emulated chip", usb);
    else
        std::printf("libftdi on emulated chip: not run (no umockdev preload)\n");

    int status = 0;
    if (tty.end != "Upgrade Complete." || tty.items != DAT_PART_COUNT || tty.dataMs > 1.1 * tty.floorMs)
        status = 1;
    if (haveChip && (usb.end != "Upgrade Complete." || usb.items != DAT_PART_COUNT))
        status = 1;
    std::error_code ec;
    fs::remove_all(dir, ec);
    return status;
}
