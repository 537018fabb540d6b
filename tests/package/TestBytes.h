#pragma once
// Deterministic byte patterns and a byte comparison that names the first
// differing offset.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <vector>

// xorshift32 bytes; the same seed always gives the same pattern.
inline std::vector<std::uint8_t> Pattern(std::uint32_t seed, std::size_t n)
{
    std::vector<std::uint8_t> out(n);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    return out;
}

inline testing::AssertionResult SameBytes(const std::uint8_t* actual, const std::uint8_t* expected,
                                          std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i) {
        if (actual[i] != expected[i]) {
            return testing::AssertionFailure()
                   << "first difference at offset " << i << " of " << n << ": got 0x" << std::hex
                   << int(actual[i]) << ", expected 0x" << int(expected[i]);
        }
    }
    return testing::AssertionSuccess();
}

inline testing::AssertionResult SameBytes(const std::vector<std::uint8_t>& actual,
                                          const std::vector<std::uint8_t>& expected)
{
    if (actual.size() != expected.size()) {
        return testing::AssertionFailure() << "length " << actual.size() << ", expected " << expected.size();
    }
    return SameBytes(actual.data(), expected.data(), actual.size());
}
