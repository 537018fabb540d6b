#include "OrdinaryUser.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr const char* kSetpriv = "/usr/bin/setpriv";

std::string Quote(const std::string& text)
{
    std::string out = "'";
    for (const char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

} // namespace

bool RanAsOrdinaryUser()
{
    if (::geteuid() != 0)
        return false;
    if (::access(kSetpriv, X_OK) != 0) {
        [] { GTEST_SKIP() << "root cannot become an ordinary user here: " << kSetpriv << " is missing"; }();
        return true;
    }
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string test = std::string(info->test_suite_name()) + "." + info->name();
    std::error_code ec;
    const std::string self = std::filesystem::read_symlink("/proc/self/exe", ec).string();
    // The child finds the same programs: the environment (VELUNDA_TEST_PATHS) is inherited.
    const std::string command = std::string(kSetpriv) + " --reuid=nobody --regid=nogroup --clear-groups -- " +
                                Quote(self) + " --gtest_color=no --gtest_filter=" + Quote(test) + " 2>&1";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        ADD_FAILURE() << "cannot start " << command;
        return true;
    }
    std::string output;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;)
        output.append(buf, n);
    const int status = ::pclose(pipe);
    const bool exited = status != -1 && WIFEXITED(status);
    if (exited && WEXITSTATUS(status) == 0 && output.find("[  SKIPPED ] 1 test") != std::string::npos)
        [&] { GTEST_SKIP() << "skipped as nobody:\n" << output; }();
    else if (!exited || WEXITSTATUS(status) != 0 || output.find("[  PASSED  ] 1 test.") == std::string::npos)
        ADD_FAILURE() << "as the user nobody (is the build folder readable by all?), " << test << ":\n"
                      << output;
    return true;
}
