#pragma once
// A program run as a user runs it: in a process of its own, in a working
// folder, its stdout and stderr read whole, killed after a time-out.
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

struct RunResult {
    int exitCode = -1; // -1: killed after the time-out or by a signal
    std::string out;
    std::string err;
};

// Runs argv[0] with the arguments in cwd; kills it after timeout.
RunResult RunProgram(const std::vector<std::string>& argv, const std::filesystem::path& cwd,
                     std::chrono::seconds timeout);

std::vector<std::string> Lines(const std::string& text);
// text holds line as one whole line.
bool HasLine(const std::string& text, const std::string& line);
// Every file below dir, as relative paths, sorted.
std::vector<std::string> ListTree(const std::filesystem::path& dir);
