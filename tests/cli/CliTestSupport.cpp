#include "CliTestSupport.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace clitest {

RunResult RunProgram(const std::vector<std::string>& argv, const fs::path& cwd, std::chrono::seconds timeout,
                     const std::function<void(pid_t)>& started)
{
    RunResult result;
    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return result;
    }
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(outPipe[1], STDOUT_FILENO);
        ::dup2(errPipe[1], STDERR_FILENO);
        if (::chdir(cwd.c_str()) != 0)
            ::_exit(127);
        // The test runner may block signals; the program starts with none blocked.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    // On a thread of its own, so a long callback cannot stall the program on a full pipe.
    std::thread watcher;
    if (started)
        watcher = std::thread([&started, pid] { started(pid); });
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    int open = 2;
    bool killed = false;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 && !killed) {
            ::kill(pid, SIGKILL);
            killed = true;
        }
        if (::poll(fds, 2, killed ? 1000 : static_cast<int>(std::min<long long>(left.count(), 1000))) < 0 &&
            errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP)) == 0)
                continue;
            char buf[4096];
            const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
                continue;
            }
            (i == 0 ? result.out : result.err).append(buf, static_cast<std::size_t>(n));
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0)
            ::close(f.fd);
    // Reaped after the callback, so it never signals a reused process id.
    if (watcher.joinable())
        watcher.join();
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.exitCode = !killed && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::string cur;
    for (char c : text) {
        if (c == '\n') {
            lines.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(c);
        }
    }
    if (!cur.empty())
        lines.push_back(cur);
    return lines;
}

bool HasLine(const std::string& text, const std::string& line)
{
    const auto lines = Lines(text);
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::vector<std::string> ListTree(const fs::path& dir)
{
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        names.push_back(fs::relative(e.path(), dir).string());
    std::sort(names.begin(), names.end());
    return names;
}

CliTest::CliTest()
{
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info->name();
    std::replace(name.begin(), name.end(), '/', '_'); // parameterised tests
    m_dir = fs::temp_directory_path() / ("velunda-cli-" + name + "-" + std::to_string(::getpid()));
    fs::remove_all(m_dir);
    fs::create_directories(m_dir);
    // Runs record their history and logs here, never in the user's own, and
    // beside the working folder, whose contents some tests compare.
    m_state = m_dir.string() + "-state";
    fs::remove_all(m_state);
    ::setenv("XDG_STATE_HOME", m_state.c_str(), 1);
    // Signature policy and trusted keys: the test's own, never the machine's.
    m_etc = m_dir.string() + "-etc";
    m_config = m_dir.string() + "-config";
    fs::remove_all(m_etc);
    fs::remove_all(m_config);
    ::setenv("VELUNDA_CONFIG_DIR", m_etc.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", m_config.c_str(), 1);
    // Nor do they send records to a server this machine may be pointed at.
    ::setenv("VELUNDA_RECORDS_URL", "", 1);
    // The program's defaults: a Quorin V1 with every part, its serial number and versions.
    sim = ParseSimArgs({}).config;
    sim.recordDir = (m_dir / "rec").string();
    sim.stepDelay = std::chrono::milliseconds(1);
}

CliTest::~CliTest()
{
    for (auto& t : m_targets)
        t->Stop();
    if (m_target)
        m_target->Stop();
    m_target.reset();
    if (!HasFailure()) {
        for (const fs::path& dir : {m_dir, m_state, m_etc, m_config})
            fs::remove_all(dir);
    }
}

void CliTest::StartTarget()
{
    m_target = std::make_unique<CQuorinSim>(sim);
    std::string error;
    ASSERT_TRUE(m_target->Start(error)) << error;
}

fs::path CliTest::MakeDat(const std::vector<DatPart>& parts, const std::string& name)
{
    m_boot = Pattern(1500, 99);
    WriteFileBytes(m_dir / "Boot" / "V1.00.OHH", m_boot);
    std::vector<std::string> args = {TestPath("VELUNDA_PACK"), "dat", "--type", "I_QUORIN", "--out", name};
    unsigned seed = 1;
    for (const DatPart& p : parts) {
        WriteFileBytes(PartFile(p.option), Pattern(p.size, seed++));
        args.push_back(p.option);
        args.push_back(PartFile(p.option).string());
        args.push_back(std::string(p.option) + "-version");
        args.push_back(p.version);
    }
    const RunResult made = RunProgram(args, m_dir, 30s);
    EXPECT_EQ(made.exitCode, 0) << made.err;
    return m_dir / name;
}

fs::path CliTest::Pack(const std::vector<std::string>& args, const std::string& out)
{
    std::vector<std::string> argv = {TestPath("VELUNDA_PACK"), "qvp", "--out", out};
    argv.insert(argv.end(), args.begin(), args.end());
    const RunResult made = RunProgram(argv, m_dir, 30s);
    EXPECT_EQ(made.exitCode, 0) << made.err;
    return m_dir / out;
}

fs::path CliTest::Part(const std::string& name, std::size_t size, unsigned seed)
{
    WriteFileBytes(m_dir / "parts" / name, Pattern(size, seed));
    return m_dir / "parts" / name;
}

CliTest::V2Package CliTest::MakeV2Qvp(std::size_t mainSize, const std::string& name)
{
    V2Package p;
    p.header = Part("BH_V1.0.bin", 1200, 1);
    p.main = Part("SM_V2.10_a.bin", mainSize, 2);
    p.cdm = Part("CDM_V1.02.NHB", 9000, 3);
    p.cdmBoot = Part("BC_V1.bin", 700, 4);
    p.qvp = Pack({"--model", "v2", "--header", p.header.string(), "--main", p.main.string(), "--cdm",
                  p.cdm.string(), "--cdm-boot", p.cdmBoot.string()},
                 name);
    return p;
}

::testing::AssertionResult CliTest::RecordedV2(const fs::path& recordDir, const V2Package& p) const
{
    const std::pair<const char*, const fs::path*> expected[] = {
        {"12-boot", &p.header}, {"12-data", &p.main}, {"11-boot", &p.cdmBoot}, {"11-data", &p.cdm}};
    for (const auto& [name, source] : expected) {
        const fs::path got = recordDir / (std::string(name) + ".bin");
        if (!fs::exists(got))
            return ::testing::AssertionFailure() << got << " was not recorded";
        if (!SameBytes(ReadFileBytes(got), ReadFileBytes(*source)))
            return ::testing::AssertionFailure() << got << " differs from " << *source;
    }
    return ::testing::AssertionSuccess();
}

CQuorinSim& CliTest::AddTarget(CSimConfig config)
{
    config.recordDir = (m_dir / ("rec-" + std::to_string(m_targets.size() + 1))).string();
    m_targets.push_back(std::make_unique<CQuorinSim>(std::move(config)));
    std::string error;
    EXPECT_TRUE(m_targets.back()->Start(error)) << error;
    return *m_targets.back();
}

RunResult CliTest::Cli(std::vector<std::string> args, std::chrono::seconds timeout)
{
    args.insert(args.begin(), TestPath("VELUNDA_CLI"));
    return RunProgram(args, m_dir, timeout);
}

RunResult CliTest::CliUsb(std::vector<std::string> args, std::chrono::seconds timeout)
{
    if (!m_target) {
        ADD_FAILURE() << "the target was not started";
        return {};
    }
    args.insert(args.begin(), {"--usb-tty", m_target->SlavePath()});
    return Cli(std::move(args), timeout);
}

} // namespace clitest
