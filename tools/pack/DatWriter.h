#pragma once
// Writer of part-image packages (.DAT). It encrypts with OpenSSL, never with
// the tool's own decryptor, so that every package it makes checks the loader
// against an independent AES.
//
// Contract: BuildDat* return true and fill their output, or return false with
// a message naming the bad input; nothing is written to disk here.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr int DAT_PART_COUNT = 5;
inline constexpr std::size_t DAT_HEADER_SIZE = 80;

// Part names in section order 1 to 5, as the part list shows them.
inline constexpr const char* DAT_PART_NAMES[DAT_PART_COUNT] = {"MAIN", "CIS M", "CIS S", "CF", "IR"};

struct DatPart {
    bool bGiven = false; // false: the entry says "no such part" (version 0, size 0)
    std::vector<std::uint8_t> data;
    // Numeric layout: decimal 0 to 65535. Text layout: one to three printable
    // ASCII characters, padded with zero bytes.
    std::string version;
};

struct DatPackage {
    // "I_QUORIN" (16-bit versions, 32-bit sizes), "S_QUORIN" or "P_QUORIN"
    // (three-character versions, 24-bit sizes).
    std::string machineType = "I_QUORIN";
    std::vector<std::uint8_t> ba; // section 0, carried along, not a part
    std::array<DatPart, DAT_PART_COUNT> parts;
    bool bLowerCase = false;

    // For making damaged packages in tests: a machine-type code written in
    // place of machineType's (which still picks the layout), and the tags of
    // the six entries.
    std::string headerCode;
    std::array<std::string, 6> tags = {"BA", "SM", "SC", "SS", "SF", "SR"};
};

// True when the type names the numeric-version layout; false for the text
// one. Unknown types fail in BuildDatImage.
bool IsNumericLayout(const std::string& machineType);

// The plain image: header followed by the six sections.
bool BuildDatPlain(const DatPackage& package, std::vector<std::uint8_t>& image, std::string& error);

// The encrypted image, chained as the loader expects: header and section 0
// in one chain, each part section in a chain of its own, every chain from the
// package initialisation vector; a trailing partial block stays plain.
bool BuildDatImage(const DatPackage& package, std::vector<std::uint8_t>& image, std::string& error);

// The .DAT file contents: the encrypted image as hexadecimal text.
bool BuildDatText(const DatPackage& package, std::string& text, std::string& error);

// AES-128-CBC encryption of nBlocks whole blocks with OpenSSL, no padding.
bool EncryptCbc(const std::uint8_t* key, const std::uint8_t* iv, const std::uint8_t* in, std::size_t nBlocks,
                std::uint8_t* out);
bool DecryptCbc(const std::uint8_t* key, const std::uint8_t* iv, const std::uint8_t* in, std::size_t nBlocks,
                std::uint8_t* out);

std::string HexText(const std::uint8_t* data, std::size_t n, bool bLowerCase);
