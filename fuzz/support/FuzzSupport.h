#pragma once
// What the harnesses share: a broken invariant ends the run with its words,
// and each target writes below one private folder for the whole run.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

[[noreturn]] inline void Broken(const std::string& what)
{
    std::fprintf(stderr, "fuzz check failed: %s\n", what.c_str());
    std::abort();
}

// A folder made once per process, in memory where /dev/shm exists.
inline const std::filesystem::path& FuzzRoot(const char* target)
{
    static const std::filesystem::path root = [target] {
        const char* base = std::filesystem::exists("/dev/shm") ? "/dev/shm" : "/tmp";
        std::string tmpl = std::string(base) + "/velunda-fuzz-" + target + "-XXXXXX";
        if (::mkdtemp(tmpl.data()) == nullptr)
            Broken("mkdtemp");
        return std::filesystem::path(tmpl);
    }();
    return root;
}
