#include "TestBytes.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

Bytes Pattern(std::size_t n, std::uint32_t seed)
{
    Bytes out(n);
    std::uint32_t x = seed * 2654435761u + 0x9E3779B9u;
    if (x == 0)
        x = 1;
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    return out;
}

Bytes ReadFileBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> ReadFileLines(const std::filesystem::path& path)
{
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool WriteFileBytes(const std::filesystem::path& path, const Bytes& bytes)
{
    const std::filesystem::path parent = path.parent_path();
    std::error_code ec;
    if (!parent.empty())
        std::filesystem::create_directories(parent, ec);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::string FirstDifference(const Bytes& expected, const Bytes& actual)
{
    const std::size_t n = std::min(expected.size(), actual.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (expected[i] != actual[i]) {
            char text[128];
            std::snprintf(text, sizeof text, "first difference at offset %zu: expected %02X, got %02X", i,
                          expected[i], actual[i]);
            return text;
        }
    }
    if (expected.size() != actual.size())
        return "sizes differ: expected " + std::to_string(expected.size()) + " bytes, got " +
               std::to_string(actual.size()) + " (equal up to offset " + std::to_string(n) + ")";
    return {};
}

::testing::AssertionResult SameBytes(const std::uint8_t* actual, const std::uint8_t* expected, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i) {
        if (actual[i] != expected[i])
            return ::testing::AssertionFailure()
                   << "first difference at offset " << i << " of " << n << ": got 0x" << std::hex
                   << int(actual[i]) << ", expected 0x" << int(expected[i]);
    }
    return ::testing::AssertionSuccess();
}
