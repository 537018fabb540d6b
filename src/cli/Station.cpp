#include "cli/Station.h"

#include "cli/CliOptions.h"
#include "cli/CliReport.h"
#include "cli/CliSession.h"
#include "cli/ExitStatus.h"
#include "cli/StationEvents.h"
#include "history/RecordTime.h"
#include "link/FtdiBridgeList.h"
#include "package/UnpackFolder.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kRedrawEvery = 200ms;   // terminal rows at most this often
constexpr auto kHangMargin = 30s;      // beyond the worker's own stall watch
constexpr auto kStopGrace = 15s;       // from SIGTERM to SIGKILL
constexpr std::size_t kErrTail = 4096; // bytes of a worker's stderr kept for the table

struct CWorker {
    CStationTarget target;
    std::string label; // the target as rows, events and the table name it
    pid_t pid = -1;
    int outFd = -1;
    int errFd = -1;
    std::string outBuf;
    std::string errTail;
    Clock::time_point started{};
    Clock::time_point ended{};
    Clock::time_point lastEvent{};
    Clock::time_point killAt{}; // SIGKILL due after a SIGTERM of ours
    bool exited = false;
    int waitStatus = 0;
    bool hung = false;

    std::string serial;
    std::string item;
    std::string step;
    int percent = -1;
    std::string state = "starting";
    std::vector<std::string> plan;                            // command-line item names
    std::vector<std::pair<std::string, std::string>> results; // part, result, in order
    bool outcomeSeen = false;
    std::string outcomeName;
    std::string reason;
    std::vector<std::string> warnings; // what the run went past, said after the table

    bool Finished() const { return exited && outFd < 0 && errFd < 0; }
};

ECliOutcome OutcomeFromName(const std::string& name)
{
    for (ECliOutcome o : {ECliOutcome::Success, ECliOutcome::Failed, ECliOutcome::Rejected,
                          ECliOutcome::BadUsage, ECliOutcome::BadPackage, ECliOutcome::ConnectFailed})
        if (name == OutcomeName(o))
            return o;
    return ECliOutcome::Failed;
}

ECliOutcome OutcomeFromExitCode(int code)
{
    switch (code) {
    case 0:
        return ECliOutcome::Success;
    case 2:
        return ECliOutcome::BadUsage;
    case 3:
        return ECliOutcome::ConnectFailed;
    default:
        return ECliOutcome::Failed;
    }
}

std::string LastLine(const std::string& text)
{
    std::string t = text;
    while (!t.empty() && (t.back() == '\n' || t.back() == '\r'))
        t.pop_back();
    const std::size_t nl = t.rfind('\n');
    return nl == std::string::npos ? t : t.substr(nl + 1);
}

// How a worker ended, for its row and the table.
ECliOutcome Settle(CWorker& w)
{
    if (w.hung) {
        w.reason = "the machine's run stopped reporting and was ended";
        return ECliOutcome::Failed;
    }
    if (w.outcomeSeen)
        return OutcomeFromName(w.outcomeName);
    if (WIFSIGNALED(w.waitStatus)) {
        w.reason = std::string("the worker ended by signal ") + ::strsignal(WTERMSIG(w.waitStatus));
        return ECliOutcome::Failed;
    }
    w.reason = LastLine(w.errTail);
    if (w.reason.empty())
        w.reason = "the worker ended without an outcome";
    return OutcomeFromExitCode(WIFEXITED(w.waitStatus) ? WEXITSTATUS(w.waitStatus) : 1);
}

std::vector<std::string> ItemsToFinish(const CWorker& w)
{
    std::vector<std::string> left;
    for (const auto& item : w.plan) {
        bool done = false;
        for (const auto& [part, result] : w.results)
            done = done || (CanonicalItemName(part) == item && result == "Complete");
        if (!done)
            left.push_back(item);
    }
    return left;
}

std::string Join(const std::vector<std::string>& parts, const char* sep)
{
    std::string out;
    for (const auto& p : parts)
        out += (out.empty() ? "" : sep) + p;
    return out;
}

std::string Duration(Clock::duration d)
{
    const long long s = std::chrono::duration_cast<std::chrono::seconds>(d).count();
    char buf[32];
    std::snprintf(buf, sizeof buf, "%lld:%02lld", s / 60, s % 60);
    return buf;
}

std::string SelfPath()
{
    std::vector<char> buf(4096);
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    return n > 0 ? std::string(buf.data(), static_cast<std::size_t>(n)) : std::string("velunda-cli");
}

class CStation {
public:
    explicit CStation(CStationOptions options) : m_opt(std::move(options)) {}
    ~CStation();
    int Run();

private:
    // The steps of Run; the first four return -1 to go on, else the exit status.
    int WatchSignals();
    int CheckPackageOnce();
    int AddAllDevices(); // --all-devices
    int MakeFolder();    // the workers' unpack folders go under it
    void StartWorkers();
    // One wait for output, a signal or the next redraw; false when the wait failed.
    bool PollOnce();
    bool Spawn(CWorker& w, std::size_t index);
    void OnOutput(CWorker& w);
    void OnErrors(CWorker& w);
    void OnLine(CWorker& w, const std::string& line);
    void Reap();
    void Interrupt(bool again);
    void Watch();
    void Draw(bool final);
    int Summarise();
    bool Running() const;

    CStationOptions m_opt;
    std::vector<CWorker> m_workers;
    std::string m_strFolder; // the workers' private unpack folders live under it
    // The kept files are kept once, by the package check: beside the package,
    // or in this private folder when that cannot be written.
    std::string m_strKeptFolder;
    bool m_bJson = false;
    bool m_bRows = false;
    bool m_bDirty = false;
    bool m_bInterrupted = false;
    int m_nDrawn = 0;
    Clock::time_point m_lastDraw{};
    int m_nSignalFd = -1;
};

CStation::~CStation()
{
    for (auto& w : m_workers) {
        if (w.outFd >= 0)
            ::close(w.outFd);
        if (w.errFd >= 0)
            ::close(w.errFd);
    }
    if (m_nSignalFd >= 0)
        ::close(m_nSignalFd);
    // Whatever a killed worker could not remove goes with the station's folder.
    std::error_code ec;
    if (!m_strFolder.empty())
        std::filesystem::remove_all(m_strFolder, ec);
}

bool CStation::Running() const
{
    return std::any_of(m_workers.begin(), m_workers.end(), [](const CWorker& w) { return !w.Finished(); });
}

bool CStation::Spawn(CWorker& w, std::size_t index)
{
    std::vector<std::string> args = {SelfPath()};
    args.insert(args.end(), m_opt.workerArgs.begin(), m_opt.workerArgs.end());
    args.insert(args.end(), {w.target.option, w.target.value, "--json"});
    if (!m_opt.logFile.empty())
        args.insert(args.end(), {"--log", m_opt.logFile + "." + std::to_string(index + 1)});
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "TMPDIR=", 7) != 0 && std::strncmp(*e, "XDG_RUNTIME_DIR=", 16) != 0)
            env.emplace_back(*e);
    env.push_back("TMPDIR=" + m_strFolder);
    std::vector<char*> argv;
    std::vector<char*> envp;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return false;
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        return false;
    }
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // A worker whose station is gone stops (and cleans up) as after Ctrl-C.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(1);
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(err[1], STDERR_FILENO);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    if (pid < 0) {
        ::close(out[0]);
        ::close(err[0]);
        return false;
    }
    w.pid = pid;
    w.outFd = out[0];
    w.errFd = err[0];
    w.started = w.lastEvent = Clock::now();
    return true;
}

void CStation::OnLine(CWorker& w, const std::string& line)
{
    CWorkerEvent e;
    if (!ParseWorkerEvent(line, e)) {
        w.errTail += line + "\n";
        return;
    }
    w.lastEvent = Clock::now();
    // A worker's private folder goes with the station's; the kept files stay
    // where the package check left them, which the summary names.
    if (e.kind == "outcome")
        e.object.erase("kept_folder");
    if (m_bJson) {
        std::fprintf(stdout, "%s\n", WithTarget(e.object, w.label).c_str());
        std::fflush(stdout);
    }
    m_bDirty = true;
    if (w.state == "starting")
        w.state = "connecting";
    if (e.kind == "target") {
        w.serial = e.serial;
        w.state = "checked";
    } else if (e.kind == "plan") {
        w.plan = e.items;
        w.state = "upgrading";
    } else if (e.kind == "item_start") {
        w.item = e.item;
        w.step.clear();
        w.percent = -1;
    } else if (e.kind == "progress") {
        if (!e.item.empty())
            w.item = e.item;
        w.step = e.row;
        w.percent = e.percent;
    } else if (e.kind == "item_result") {
        w.results.emplace_back(e.item, e.result);
    } else if (e.kind == "warning") {
        w.warnings.push_back(e.text);
    } else if (e.kind == "outcome") {
        w.outcomeSeen = true;
        w.outcomeName = e.result;
        w.reason = e.text;
        w.state = e.result;
    }
}

void CStation::OnOutput(CWorker& w)
{
    char buf[8192];
    const ssize_t n = ::read(w.outFd, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n <= 0) {
        ::close(w.outFd);
        w.outFd = -1;
        if (!w.outBuf.empty())
            OnLine(w, w.outBuf);
        w.outBuf.clear();
        return;
    }
    w.outBuf.append(buf, static_cast<std::size_t>(n));
    std::size_t start = 0;
    for (std::size_t nl; (nl = w.outBuf.find('\n', start)) != std::string::npos; start = nl + 1)
        OnLine(w, w.outBuf.substr(start, nl - start));
    w.outBuf.erase(0, start);
    // A line without an end that grows without bound is no event stream.
    if (w.outBuf.size() > (1u << 20))
        w.outBuf.clear();
}

void CStation::OnErrors(CWorker& w)
{
    char buf[4096];
    const ssize_t n = ::read(w.errFd, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n <= 0) {
        ::close(w.errFd);
        w.errFd = -1;
        return;
    }
    w.errTail.append(buf, static_cast<std::size_t>(n));
    if (w.errTail.size() > kErrTail)
        w.errTail.erase(0, w.errTail.size() - kErrTail);
}

void CStation::Reap()
{
    for (;;) {
        int status = 0;
        const pid_t pid = ::waitpid(-1, &status, WNOHANG);
        if (pid <= 0)
            return;
        for (auto& w : m_workers)
            if (w.pid == pid) {
                w.exited = true;
                w.waitStatus = status;
                w.ended = Clock::now();
                m_bDirty = true;
            }
    }
}

void CStation::Interrupt(bool again)
{
    m_bInterrupted = true;
    for (auto& w : m_workers) {
        if (w.exited)
            continue;
        // The first time each worker closes its link and removes its files; a
        // second Ctrl-C does not wait for that.
        ::kill(w.pid, again ? SIGKILL : SIGTERM);
        if (!again)
            w.killAt = Clock::now() + kStopGrace;
    }
}

void CStation::Watch()
{
    const auto now = Clock::now();
    const auto hangAfter = std::chrono::milliseconds(m_opt.stallTimeoutMs) + kHangMargin;
    for (auto& w : m_workers) {
        if (w.exited)
            continue;
        if (w.killAt != Clock::time_point{} && now >= w.killAt) {
            ::kill(w.pid, SIGKILL);
            w.killAt = now + kStopGrace;
        } else if (w.killAt == Clock::time_point{} && now - w.lastEvent > hangAfter) {
            w.hung = true;
            ::kill(w.pid, SIGTERM);
            w.killAt = now + kStopGrace;
        }
    }
}

void CStation::Draw(bool final)
{
    if (!m_bRows)
        return;
    winsize ws{};
    const int width = ::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 20 ? ws.ws_col - 1 : 99;
    std::string text;
    if (m_nDrawn > 0)
        text += "\x1b[" + std::to_string(m_nDrawn) + "A\x1b[J";
    m_nDrawn = 0;
    auto line = [&](std::string l) {
        if (static_cast<int>(l.size()) > width)
            l.resize(static_cast<std::size_t>(width));
        text += l + "\n";
        ++m_nDrawn;
    };
    char buf[512];
    std::snprintf(buf, sizeof buf, "%-20s %-12s %-6s %-15s %5s  %s", "TARGET", "SERIAL", "ITEM", "STEP", "",
                  "STATE");
    line(buf);
    for (const auto& w : m_workers) {
        const std::string pct = w.percent >= 0 ? std::to_string(w.percent) + " %" : "";
        const std::string state = w.exited && !w.outcomeSeen ? "ended" : w.state;
        std::snprintf(buf, sizeof buf, "%-20s %-12s %-6s %-15s %5s  %s", w.label.c_str(),
                      w.serial.empty() ? "-" : w.serial.c_str(), w.item.c_str(), w.step.c_str(), pct.c_str(),
                      state.c_str());
        line(buf);
    }
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
    if (final)
        m_nDrawn = 0;
    m_bDirty = false;
    m_lastDraw = Clock::now();
}

int CStation::Summarise()
{
    ECliOutcome worst = ECliOutcome::None;
    std::vector<std::vector<std::string>> rows;
    nlohmann::ordered_json machines = nlohmann::ordered_json::array();
    std::string unfinished;
    for (auto& w : m_workers) {
        const ECliOutcome o = Settle(w);
        worst = WorseOf(worst, o);
        std::vector<std::string> items;
        nlohmann::ordered_json jsonItems = nlohmann::ordered_json::array();
        for (const auto& [part, result] : w.results) {
            items.push_back(part + " " + result);
            jsonItems.push_back({{"item", part}, {"result", result}});
        }
        const auto took = (w.ended == Clock::time_point{} ? Clock::now() : w.ended) - w.started;
        const std::string outcome = std::string(OutcomeName(o)) + (w.reason.empty() ? "" : ": " + w.reason);
        rows.push_back({w.label, w.serial.empty() ? "-" : w.serial, items.empty() ? "-" : Join(items, ", "),
                        Duration(took), outcome});
        nlohmann::ordered_json m = {
            {"target", w.label},
            {"serial", w.serial},
            {"items", jsonItems},
            {"seconds", std::chrono::duration_cast<std::chrono::milliseconds>(took).count() / 1000.0},
            {"outcome", OutcomeName(o)},
            {"exit_code", ExitCodeOf(o)},
            {"reason", w.reason}};
        const auto left = ItemsToFinish(w);
        if (m_bInterrupted && !w.plan.empty() && o != ECliOutcome::Success && !left.empty()) {
            m["finish_items"] = Join(left, ",");
            unfinished += "  " + w.label + (w.serial.empty() ? "" : " (serial number " + w.serial + ")") +
                          ": finish with --items " + Join(left, ",") + "\n";
        }
        machines.push_back(std::move(m));
    }
    const int code = m_bInterrupted ? EXIT_INTERRUPTED
                                    : ExitCodeOf(worst == ECliOutcome::None ? ECliOutcome::Failed : worst);
    const std::string table = FormatTable({"Target", "Serial Number", "Items", "Time", "Outcome"}, rows);
    if (m_bJson) {
        nlohmann::ordered_json s = {{"event", "station_summary"},
                                    {"time", Rfc3339Now()},
                                    {"machines", machines},
                                    {"interrupted", m_bInterrupted},
                                    {"exit_code", code}};
        if (!m_strKeptFolder.empty())
            s["kept_folder"] = m_strKeptFolder;
        std::fprintf(stdout, "%s\n",
                     s.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
        std::fflush(stdout);
        std::fprintf(stderr, "\n%s", table.c_str());
    } else {
        std::fprintf(stdout, "\n%s", table.c_str());
        std::fflush(stdout);
    }
    for (const auto& w : m_workers)
        for (const auto& text : w.warnings)
            std::fprintf(stderr, "velunda-cli: %s: warning: %s\n", w.label.c_str(), text.c_str());
    if (m_bInterrupted) {
        std::fprintf(stderr, "velunda-cli: interrupted; %s",
                     unfinished.empty() ? "no machine was mid-upgrade\n" : "machines left mid-upgrade:\n");
        std::fputs(unfinished.c_str(), stderr);
    }
    if (!m_strKeptFolder.empty())
        std::fprintf(stderr, "velunda-cli: station: the package's kept files are in %s\n",
                     m_strKeptFolder.c_str());
    std::fprintf(stderr, "velunda-cli: station: %zu machine(s) (exit status %d)\n", m_workers.size(), code);
    return code;
}

int CStation::Run()
{
    m_bJson = m_opt.json || ::isatty(STDOUT_FILENO) != 1;
    m_bRows = !m_bJson && ::isatty(STDERR_FILENO) == 1;
    int status = WatchSignals();
    if (status < 0)
        status = CheckPackageOnce();
    if (status < 0 && m_opt.allDevices)
        status = AddAllDevices();
    if (status < 0)
        status = MakeFolder();
    if (status >= 0)
        return status;
    StartWorkers();
    while (Running() && PollOnce()) {
    }
    Draw(true);
    return Summarise();
}

int CStation::WatchSignals()
{
    // The signals stay blocked (main did so) and arrive through this descriptor.
    sigset_t mask;
    sigemptyset(&mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGCHLD})
        sigaddset(&mask, sig);
    ::sigprocmask(SIG_BLOCK, &mask, nullptr);
    m_nSignalFd = ::signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK);
    if (m_nSignalFd < 0) {
        std::fprintf(stderr, "velunda-cli: signalfd: %s\n", std::strerror(errno));
        return ExitCodeOf(ECliOutcome::Failed);
    }
    return -1;
}

int CStation::CheckPackageOnce()
{
    // The package is read and checked once, before any machine is touched.
    std::vector<std::string> argv = {"velunda-cli"};
    argv.insert(argv.end(), m_opt.workerArgs.begin(), m_opt.workerArgs.end());
    std::vector<char*> ptrs;
    for (auto& a : argv)
        ptrs.push_back(a.data());
    CCliOptions check;
    std::string error;
    ParseCliOptions(static_cast<int>(ptrs.size()), ptrs.data(), check, error);
    check.app.logFile.clear();
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* mem = ::open_memstream(&text, &size);
    int rc = ExitCodeOf(ECliOutcome::Failed);
    if (mem != nullptr) {
        CCliReport report(false, false, mem, mem);
        CCliSession session(check, report);
        rc = session.CheckPackage();
        m_strKeptFolder = session.KeptFolder();
        std::fclose(mem);
    }
    if (rc != 0) {
        std::fputs(text != nullptr ? text : "velunda-cli: the package cannot be checked\n", stderr);
        std::free(text);
        return rc;
    }
    std::free(text);
    return -1;
}

int CStation::AddAllDevices()
{
    std::vector<FtdiBridgeInfo> bridges;
    std::string error;
    if (!ListFtdiBridges(bridges, error))
        std::fprintf(stderr, "velunda-cli: --all-devices: %s\n", error.c_str());
    // The bus-port path names a bridge even when its serial number cannot be read.
    for (const auto& b : bridges)
        m_opt.targets.push_back({"--usb-device", b.serial.empty() ? b.busPort : b.serial});
    if (m_opt.targets.empty()) {
        std::fprintf(stderr, "velunda-cli: --all-devices: no FTDI USB device found\n");
        return ExitCodeOf(ECliOutcome::ConnectFailed);
    }
    return -1;
}

int CStation::MakeFolder()
{
    std::string templ = PrivateUnpackBase() + "/velunda-station-XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr) {
        std::fprintf(stderr, "velunda-cli: cannot make a folder in %s: %s\n", PrivateUnpackBase().c_str(),
                     std::strerror(errno));
        return ExitCodeOf(ECliOutcome::Failed);
    }
    m_strFolder = templ;
    return -1;
}

void CStation::StartWorkers()
{
    m_workers.resize(m_opt.targets.size());
    for (std::size_t i = 0; i < m_workers.size(); ++i) {
        CWorker& w = m_workers[i];
        w.target = m_opt.targets[i];
        w.label = w.target.option == "--usb-device" ? "usb:" + w.target.value : w.target.value;
        if (!Spawn(w, i)) {
            w.exited = true;
            w.waitStatus = 1 << 8;
            w.errTail = std::string("cannot start a worker: ") + std::strerror(errno);
            w.started = w.ended = Clock::now();
        }
    }
    Draw(false);
}

bool CStation::PollOnce()
{
    std::vector<pollfd> fds = {{m_nSignalFd, POLLIN, 0}};
    std::vector<std::pair<CWorker*, bool>> owners = {{nullptr, false}};
    for (auto& w : m_workers) {
        if (w.outFd >= 0) {
            fds.push_back({w.outFd, POLLIN, 0});
            owners.emplace_back(&w, true);
        }
        if (w.errFd >= 0) {
            fds.push_back({w.errFd, POLLIN, 0});
            owners.emplace_back(&w, false);
        }
    }
    int timeoutMs = 1000; // the hang watch's pace when nothing happens
    if (m_bDirty && m_bRows) {
        const auto due = m_lastDraw + kRedrawEvery - Clock::now();
        timeoutMs = std::max<int>(
            0, static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(due).count()));
    }
    const int ready = ::poll(fds.data(), fds.size(), timeoutMs);
    if (ready < 0 && errno != EINTR)
        return false;
    for (std::size_t i = 0; ready > 0 && i < fds.size(); ++i) {
        if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
            continue;
        if (i == 0) {
            signalfd_siginfo si{};
            while (::read(m_nSignalFd, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
                if (si.ssi_signo == SIGCHLD)
                    Reap();
                else
                    Interrupt(m_bInterrupted);
            }
        } else if (owners[i].second) {
            OnOutput(*owners[i].first);
        } else {
            OnErrors(*owners[i].first);
        }
    }
    Reap();
    Watch();
    if (m_bDirty && m_bRows && Clock::now() - m_lastDraw >= kRedrawEvery)
        Draw(false);
    return true;
}

} // namespace

namespace {

// The CLI's rows with the station's actions: the targets, --all-devices,
// --json and --log are the station's; every other option is passed on to
// each worker.
COptionTable StationOptionRows(CStationOptions& options, CCliOptions& unused)
{
    COptionTable rows = CliOptionRows(unused);
    for (COption& row : rows) {
        row.ends = false;
        row.action = [&options, option = "--" + row.name, takes = row.takesValue](const std::string& v,
                                                                                  std::string&) {
            options.workerArgs.push_back(option);
            if (takes)
                options.workerArgs.push_back(v);
            return true;
        };
    }
    for (const char* name : {"usb-tty", "port", "usb-device"}) {
        const std::string option = std::string("--") + name;
        auto passOn = FindOption(rows, name)->action;
        FindOption(rows, name)->action = [&options, option, passOn](const std::string& v,
                                                                    std::string& error) {
            if (option == "--port" && v == "USB")
                return passOn(v, error);
            for (const auto& t : options.targets)
                if (t.value == v) {
                    error = "the target " + v + " is given twice";
                    return false;
                }
            options.targets.push_back({option, v});
            return true;
        };
    }
    FindOption(rows, "json")->action = FlagOption("json", 0, options.json).action;
    FindOption(rows, "log")->action = TextOption("log", 0, options.logFile).action;
    FindOption(rows, "help")->action = [](const std::string&, std::string& error) {
        error = "--help does not combine with --station";
        return false;
    };
    rows.push_back(FlagOption("all-devices", 0, options.allDevices));
    // Here --station is the mode itself, not history's filter.
    *FindOption(rows, "station") = {"station", 0, false, nullptr};
    return rows;
}

} // namespace

bool ParseStationOptions(int argc, char** argv, CStationOptions& options, std::string& error)
{
    options = CStationOptions{};
    std::vector<std::string> args(argv, argv + argc);
    if (args.size() > 1 && args[1] == "station")
        args.erase(args.begin()); // the word stands in for the program's name
    CCliOptions unused;
    COptionParse how;
    how.positional = [&options](const std::string& arg, std::string&) {
        // A package named like an option keeps its name in the workers' options.
        options.workerArgs.push_back(arg.size() > 1 && arg[0] == '-' ? "./" + arg : arg);
        return true;
    };
    if (!ParseOptions(args, StationOptionRows(options, unused), how, error))
        return false;
    if (options.targets.empty() && !options.allDevices) {
        error = "--station needs its machines: --usb-tty PATH, --port PATH or --usb-device ID (each may be "
                "repeated), or --all-devices";
        return false;
    }
    // Each worker's command line must be one velunda-cli accepts.
    std::vector<std::string> argvWorker = {"velunda-cli"};
    argvWorker.insert(argvWorker.end(), options.workerArgs.begin(), options.workerArgs.end());
    argvWorker.insert(argvWorker.end(), {"--usb-tty", "/dev/null"});
    std::vector<char*> ptrs;
    for (auto& a : argvWorker)
        ptrs.push_back(a.data());
    CCliOptions worker;
    if (!ParseCliOptions(static_cast<int>(ptrs.size()), ptrs.data(), worker, error))
        return false;
    if (worker.command != CCliOptions::ECommand::Run) {
        error = "--station runs upgrades and checks only";
        return false;
    }
    options.package = worker.package;
    options.stallTimeoutMs = worker.app.stallTimeoutMs;
    return true;
}

int RunStation(CStationOptions options)
{
    CStation station(std::move(options));
    return station.Run();
}

std::string StationHelpText()
{
    return "Station mode: velunda-cli --station [OPTIONS] TARGETS... PACKAGE\n"
           "  upgrades several machines at once, one worker process per machine. TARGETS are\n"
           "  repeated --usb-tty PATH, --usb-device ID or --port PATH (upgrade board), or\n"
           "  --all-devices for every FTDI USB device found. The package is checked once;\n"
           "  every other option applies to each machine. A terminal shows one row per\n"
           "  machine; piped or with --json, stdout carries every worker's events with a\n"
           "  \"target\" field, then a \"station_summary\" event. --log FILE writes FILE.1,\n"
           "  FILE.2 ... one per machine. The exit status is the worst machine's; after\n"
           "  Ctrl-C every worker stops cleanly, the machines left mid-upgrade are named\n"
           "  with the --items that finish them, and the status is 130.\n";
}
