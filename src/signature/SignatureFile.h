#pragma once
// The detached signature of a package, PACKAGE.sig: six lines of text (see
// docs/signature-format.md). The first five are the signed statement; the
// sixth holds the ECDSA P-256 signature of those five lines' bytes.
//
// Errors: ParseSignatureFile never throws; a file that is not exactly of the
// format gives false and one line saying what is wrong with it.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

inline constexpr int SIGNATURE_FORMAT_VERSION = 1;
inline constexpr std::size_t SIGNATURE_FILE_MAX_BYTES = 1024;
inline constexpr std::size_t SIGNATURE_KEY_NAME_MAX = 64;
inline constexpr std::size_t SIGNATURE_KEY_ID_CHARS = 16; // hex digits: 8 bytes of the key's SHA-256
inline constexpr std::size_t SIGNATURE_BYTES = 64;        // r and s, 32 bytes each, big-endian
inline constexpr const char* SIGNATURE_EXTENSION = ".sig";

using CSha256Digest = std::array<std::uint8_t, 32>;

struct CSignatureFile {
    int nVersion = SIGNATURE_FORMAT_VERSION;
    std::string strKeyId;   // 16 lower-case hex digits
    std::string strKeyName; // letters, digits, '.', '_', '-'
    std::uint64_t uPackageSize = 0;
    CSha256Digest packageDigest{};
    std::array<std::uint8_t, SIGNATURE_BYTES> signature{};
};

// A key name fit for a file name and a .sig line.
bool IsValidKeyName(std::string_view name);

// The signed statement: the first five lines, each ending in "\n".
std::string SignedStatement(const CSignatureFile& sig);
// The whole file: the statement and its signature line.
std::string FormatSignatureFile(const CSignatureFile& sig);

// Reads text as a .sig file; on success sig holds its fields and statement
// the bytes the signature covers.
bool ParseSignatureFile(std::string_view text, CSignatureFile& sig, std::string& statement,
                        std::string& error);

std::string HexText(const std::uint8_t* data, std::size_t n);
