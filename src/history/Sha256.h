#pragma once
// SHA-256 (FIPS 180-4), for naming exactly which package a run used.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

class CSha256 {
public:
    CSha256();
    void Update(const std::uint8_t* data, std::size_t length);
    // The digest as 64 lower-case hex digits; the object is spent afterwards.
    std::string HexDigest();

private:
    void Block(const std::uint8_t* block);
    std::array<std::uint32_t, 8> m_state;
    std::array<std::uint8_t, 64> m_buffer{};
    std::size_t m_nBuffered = 0;
    std::uint64_t m_nTotalBytes = 0;
};

// Digest of a whole file, read in pieces; empty when it cannot be read.
std::string Sha256OfFile(const std::string& path, std::uint64_t* size = nullptr);
