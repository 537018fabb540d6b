#pragma once
// A program run as a user runs it: in a process of its own, in a working
// folder, its stdout and stderr read whole, killed after a time-out.
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

struct RunResult {
    int exitCode = -1; // -1: killed after the time-out or by a signal
    std::string out;
    std::string err;
};

// Runs argv[0] with the arguments in cwd; kills it after timeout. started,
// when given, is called with the program's process id once it runs (to
// signal it mid-run), on a thread of its own while the output is collected;
// the program is reaped only after started has returned.
RunResult RunProgram(const std::vector<std::string>& argv, const std::filesystem::path& cwd,
                     std::chrono::seconds timeout, const std::function<void(pid_t)>& started = {});

std::vector<std::string> Lines(const std::string& text);
// text holds line as one whole line.
bool HasLine(const std::string& text, const std::string& line);
// Every file below dir, as relative paths, sorted.
std::vector<std::string> ListTree(const std::filesystem::path& dir);
