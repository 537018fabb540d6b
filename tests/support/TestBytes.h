#pragma once
// Byte helpers every test program shares: deterministic patterns, whole-file
// reads and writes, and comparisons that name the first differing offset.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

// n xorshift32 bytes; the same seed always gives the same bytes, and they
// hardly compress.
Bytes Pattern(std::size_t n, std::uint32_t seed);

// The whole file; empty when it cannot be read.
Bytes ReadFileBytes(const std::filesystem::path& path);
// The lines of a text file, without their line ends; empty when it cannot be read.
std::vector<std::string> ReadFileLines(const std::filesystem::path& path);
// Writes the file, creating its folders; false when it cannot be written.
bool WriteFileBytes(const std::filesystem::path& path, const Bytes& bytes);

// The text with every '.' made a NUL byte, for records written in a table.
inline std::string WithNuls(std::string text)
{
    for (char& c : text)
        if (c == '.')
            c = '\0';
    return text;
}

// Empty when equal; otherwise the first differing offset with both values,
// or how the sizes differ.
std::string FirstDifference(const Bytes& expected, const Bytes& actual);

// For EXPECT_TRUE over n bytes in place: fails naming the first differing offset.
::testing::AssertionResult SameBytes(const std::uint8_t* actual, const std::uint8_t* expected, std::size_t n);

// For EXPECT_TRUE: fails with FirstDifference's text.
inline ::testing::AssertionResult SameBytes(const Bytes& actual, const Bytes& expected)
{
    const std::string difference = FirstDifference(expected, actual);
    if (difference.empty())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << difference;
}
