// Data-download throughput of a Quorin V1 package archive's MAIN part: the
// window streams it from its unpacked file over the USB link (tty backend)
// to the virtual target, which answers at once; beside it, a minimal
// stop-and-wait client writes the same chunks on the same target's pty and
// waits for each acknowledgement with a blocking read. Rounds alternate so
// both see the same machine load; the best of each counts.
//
// The window's download is timed from the Boot End acknowledgement read to
// the Data End request written; the client's from its first chunk written to
// the last acknowledgement read. Prints the figures; exits 1 when the ratio
// (window throughput / client throughput) is below 0.9 or an image differs.
#include "FrameWatchBackend.h"
#include "TestBytes.h"
#include "UpgradeDlgTestAccess.h"
#include "app/HeadlessHost.h"
#include "window/UpgradeDlg.h"

#include "QuorinSim.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::size_t kMainBytes = 16u << 20;
constexpr int kRounds = 5;

void WriteBytes(const fs::path& path, const std::vector<std::uint8_t>& bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::uint8_t> ReadBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The tty backend with a stopwatch on Boot End acknowledgement and Data End.
class CTimedBackend final : public CFrameWatchBackend {
public:
    using CFrameWatchBackend::CFrameWatchBackend;

    double LastDownloadSeconds()
    {
        std::lock_guard lock(m_mutex);
        return std::chrono::duration<double>(m_dataEnd - m_bootEndAck).count();
    }

private:
    void OnAnswerRead(std::uint8_t subcommand, Clock::time_point now) override
    {
        if (subcommand != SUB_BOOT_END_ACK)
            return;
        std::lock_guard lock(m_mutex);
        m_bootEndAck = now;
    }
    void OnRequestWritten(std::uint8_t subcommand, Clock::time_point now) override
    {
        if (subcommand != SUB_DATA_END)
            return;
        std::lock_guard lock(m_mutex);
        m_dataEnd = now;
    }

    std::mutex m_mutex;
    Clock::time_point m_bootEndAck{}, m_dataEnd{};
};

// The minimal client: raw fd, write a frame, block until its answer.
class CMinimalClient {
public:
    explicit CMinimalClient(const std::string& path)
        : m_fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC))
    {
        termios tio{};
        if (m_fd >= 0 && ::tcgetattr(m_fd, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::tcsetattr(m_fd, TCSANOW, &tio);
            ::tcflush(m_fd, TCIOFLUSH);
        }
    }
    ~CMinimalClient()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool Ok() const { return m_fd >= 0; }

    bool Send(std::uint8_t command, std::uint8_t sub, const std::uint8_t* payload, std::size_t n)
    {
        const auto frame = BuildFrame(command, sub, payload, static_cast<std::int32_t>(n));
        std::size_t done = 0;
        while (done < frame.size()) {
            const ssize_t w = ::write(m_fd, frame.data() + done, frame.size() - done);
            if (w <= 0)
                return false;
            done += static_cast<std::size_t>(w);
        }
        return true;
    }

    // Waits for the 9-byte answer FB 04 command sub 00 01 result FB checksum.
    bool Await(std::uint8_t command, std::uint8_t sub)
    {
        const auto deadline = Clock::now() + 2s;
        while (Clock::now() < deadline) {
            for (std::size_t i = 0; i + 9 <= m_buffer.size(); ++i) {
                if (m_buffer[i] == 0xFB && m_buffer[i + 1] == 0x04 && m_buffer[i + 2] == command &&
                    m_buffer[i + 3] == sub) {
                    m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(i + 9));
                    return true;
                }
            }
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            std::uint8_t chunk[256];
            const ssize_t n = ::read(m_fd, chunk, sizeof chunk);
            if (n > 0)
                m_buffer.insert(m_buffer.end(), chunk, chunk + n);
        }
        return false;
    }

private:
    int m_fd;
    std::vector<std::uint8_t> m_buffer;
};

// One item's data download by the minimal client; seconds, or < 0 on failure.
double MinimalRun(const std::string& path, const std::vector<std::uint8_t>& main)
{
    CMinimalClient client(path);
    const std::uint8_t item = ITEM_MAIN;
    if (!client.Ok() || !client.Send(CMD_UPGRADE, SUB_REQUEST, &item, 1) || !client.Await(CMD_UPGRADE, 0x02))
        return -1;
    const auto started = Clock::now();
    for (std::size_t at = 0; at < main.size(); at += FRAME_MAX_PAYLOAD) {
        const std::size_t n = std::min<std::size_t>(FRAME_MAX_PAYLOAD, main.size() - at);
        if (!client.Send(CMD_UPGRADE, SUB_DATA_DOWN, main.data() + at, n) ||
            !client.Await(CMD_UPGRADE, SUB_DATA_DOWN_ACK))
            return -1;
    }
    const std::uint8_t one = 1;
    client.Send(CMD_UPGRADE, SUB_DATA_END, &one, 1);
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    client.Await(CMD_UPGRADE, SUB_DATA_END_ACK);
    return seconds;
}

} // namespace

int main()
{
    const fs::path dir = fs::temp_directory_path() / ("velunda-bench-archive-" + std::to_string(::getpid()));
    fs::create_directories(dir / "src");
    const auto main = Pattern(kMainBytes, 1);
    WriteBytes(dir / "src" / "SM_V1.00.bin", main);
    WriteBytes(dir / "src" / "BH_V1.bin", Pattern(8192, 2));
    const std::string pack = std::string(VELUNDA_PACK) + " qvp --model v1 -o '" +
                             (dir / "bench.QVP").string() + "' --main '" +
                             (dir / "src" / "SM_V1.00.bin").string() + "' --header '" +
                             (dir / "src" / "BH_V1.bin").string() + "' >/dev/null";
    if (std::system(pack.c_str()) != 0) {
        std::fprintf(stderr, "bench_archive: velunda-pack failed\n");
        return 2;
    }

    CSimConfig sim;
    sim.sysRecord = DefaultSysRecord(1, "123");
    sim.serialText = BuildSerialText("##", "BENCH", {"1.0.01", "1.0.02", "1.0.03", "1.0.04", "1.0.05"});
    sim.stepDelay = SimDuration{0};
    sim.eraseSteps = 1;
    sim.programSteps = 1;
    sim.recordDir = (dir / "target").string();
    CQuorinSim target(sim);
    std::string error;
    if (!target.Start(error)) {
        std::fprintf(stderr, "bench_archive: %s\n", error.c_str());
        return 2;
    }
    const fs::path recorded = dir / "target" / (std::to_string(ITEM_MAIN) + "-data.bin");

    double bestOurs = 1e9, bestMinimal = 1e9;
    int status = 0;
    for (int round = 0; round < kRounds && status == 0; ++round) {
        {
            CHeadlessHost host;
            CAppOptions options;
            options.usbTty = target.SlavePath();
            CUpgradeDlg dlg(host, options);
            dlg.OnInitDialog();
            auto timed = std::make_unique<CTimedBackend>(MakeFtdiBackendTty(target.SlavePath()));
            CTimedBackend* stopwatch = timed.get();
            State(dlg).m_UsbLink.SetBackend(std::move(timed));
            host.QueueOpenFileAnswer((dir / "bench.QVP").string());
            host.Click(IDC_BUTTON_FILE_LOAD);
            host.Click(IDC_BUTTON_CONNECT);
            const bool ready =
                host.RunUntil([&] { return host.IsControlEnabled(IDC_BUTTON_SYS_CHECK); }, 5s) &&
                host.Click(IDC_BUTTON_SYS_CHECK) &&
                host.RunUntil([&] { return host.IsControlEnabled(IDC_BUTTON_UPGRADE_START); }, 5s);
            for (int id = IDC_CHECK_ALL; id <= IDC_CHECK_IR; ++id)
                host.SetCheck(id, id == IDC_CHECK_MAIN);
            host.ClearMessages();
            if (!ready || !host.Click(IDC_BUTTON_UPGRADE_START) ||
                !host.RunUntil([&] { return !host.Messages().empty() && State(dlg).m_bRunActive == 0; },
                               60s) ||
                host.Messages().back().text != "Upgrade Complete.") {
                std::fprintf(stderr, "bench_archive: the window's run did not complete\n");
                status = 2;
            } else {
                bestOurs = std::min(bestOurs, stopwatch->LastDownloadSeconds());
                if (ReadBytes(recorded) != main) {
                    std::fprintf(stderr, "bench_archive: the target recorded other bytes than the part\n");
                    status = 1;
                }
            }
            State(dlg).m_UsbLink.CloseUsb(true);
            host.CloseWindow();
        }
        if (status != 0)
            break;
        const double minimal = MinimalRun(target.SlavePath(), main);
        if (minimal < 0 || ReadBytes(recorded) != main) {
            std::fprintf(stderr, "bench_archive: the minimal client's download failed\n");
            status = 2;
            break;
        }
        bestMinimal = std::min(bestMinimal, minimal);
    }
    target.Stop();
    std::error_code ec;
    fs::remove_all(dir, ec);
    if (status != 0)
        return status;

    const double mib = static_cast<double>(kMainBytes) / (1 << 20);
    const double ratio = (mib / bestOurs) / (mib / bestMinimal);
    std::printf("data download of %.0f MiB in %zu chunks, best of %d rounds\n", mib,
                (kMainBytes + FRAME_MAX_PAYLOAD - 1) / FRAME_MAX_PAYLOAD, kRounds);
    std::printf("  window (archive file)  %.3f s  %.1f MiB/s\n", bestOurs, mib / bestOurs);
    std::printf("  minimal stop-and-wait  %.3f s  %.1f MiB/s\n", bestMinimal, mib / bestMinimal);
    std::printf("  ratio window/minimal   %.3f (target >= 0.9)\n", ratio);
    return ratio >= 0.9 ? 0 : 1;
}
