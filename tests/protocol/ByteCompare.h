#pragma once
// Byte-vector comparison that names the first differing offset.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

inline ::testing::AssertionResult SameBytes(const std::vector<std::uint8_t>& actual,
                                            const std::vector<std::uint8_t>& expected)
{
    const std::size_t common = actual.size() < expected.size() ? actual.size() : expected.size();
    for (std::size_t i = 0; i < common; ++i) {
        if (actual[i] != expected[i]) {
            char text[96];
            std::snprintf(text, sizeof text, "first difference at offset %zu: got %02X, expected %02X", i,
                          actual[i], expected[i]);
            return ::testing::AssertionFailure() << text;
        }
    }
    if (actual.size() != expected.size())
        return ::testing::AssertionFailure() << "sizes differ after offset " << common << ": got "
                                             << actual.size() << " bytes, expected " << expected.size();
    return ::testing::AssertionSuccess();
}
