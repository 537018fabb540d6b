#include "TestPaths.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace {

std::string ListFile()
{
    if (const char* named = std::getenv("VELUNDA_TEST_PATHS"); named != nullptr && named[0] != '\0')
        return named;
    // A test program run by hand: build/tests/<folder>/test_<folder>.
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : (self.parent_path().parent_path() / "test-paths.txt").string();
}

} // namespace

std::string OptionalTestPath(const std::string& name)
{
    if (const char* value = std::getenv(name.c_str()); value != nullptr && value[0] != '\0')
        return value;
    std::ifstream in(ListFile());
    for (std::string line; std::getline(in, line);)
        if (line.size() > name.size() && line.compare(0, name.size(), name) == 0 && line[name.size()] == '=')
            return line.substr(name.size() + 1);
    return {};
}

std::string TestPath(const std::string& name)
{
    std::string path = OptionalTestPath(name);
    if (path.empty())
        throw std::runtime_error(name + " is not known: run the test through ctest, or set " + name +
                                 " or VELUNDA_TEST_PATHS");
    return path;
}

std::string SourcePath(const std::string& relative)
{
    return TestPath("VELUNDA_SOURCE_DIR") + "/" + relative;
}
