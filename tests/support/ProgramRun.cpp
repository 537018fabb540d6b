#include "ProgramRun.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

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
