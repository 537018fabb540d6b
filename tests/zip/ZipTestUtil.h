#pragma once

#include "TempFolder.h"
#include "TestBytes.h"
#include "zip/ZipArchive.h"

#include <cstdint>
#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

namespace ziptest {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

Bytes TextPattern(size_t n, uint32_t seed); // deterministic, compressible
Bytes RawDeflate(const Bytes& data, int level = 6);
uint32_t Crc(const Bytes& data);
Bytes ToBytes(const std::string& s);

void WriteFile(const std::string& path, const Bytes& data);
Bytes ReadFile(const std::string& path);
// Equal contents, or the first differing offset.
::testing::AssertionResult SameFile(const std::string& expected, const std::string& actual);
::testing::AssertionResult SameBytes(const Bytes& expected, const std::string& actual);

// Runs a shell command; the exit status.
int Shell(const std::string& cmd);
std::string Quote(const std::string& s);

// Collects the reader's trace lines.
struct TraceLog {
    std::vector<std::string> lines;
    void Attach(CZipArchive& zip)
    {
        zip.SetTraceSink([this](const std::string& s) { lines.push_back(s); });
    }
    bool Has(const std::string& s) const;
};

// Every path below root, relative, sorted.
std::vector<std::string> ListTree(const fs::path& root);

// One entry of a crafted archive. The data is placed as is after the local
// header; the local fields follow the central ones unless overridden.
struct CraftEntry {
    std::string name;
    Bytes data;
    uint16_t method = 0;
    uint16_t flag = 0;
    uint32_t crc = 0;
    uint32_t comprSize = 0;
    uint32_t uncomprSize = 0;
    uint16_t time = 0x5A2F; // 11:17:30
    uint16_t date = 0x5A93; // 2025-04-19
    uint16_t versionMadeBy = 20;
    uint16_t versionNeeded = 20;
    uint16_t diskStart = 0;
    uint32_t externalAttr = 0x20;
    std::optional<uint16_t> localFlag, localMethod, localNameLen, localTime, localDate, localVersion,
        localExtraLen;
    std::optional<uint32_t> localCrc, localCompr, localUncompr, offsetOverride;
    Bytes localExtra;
    Bytes descriptor; // written after the data
};

CraftEntry Stored(const std::string& name, const Bytes& content);
CraftEntry Deflated(const std::string& name, const Bytes& content);
Bytes Descriptor(const CraftEntry& e, bool withSignature);

struct CraftArchive {
    std::vector<CraftEntry> entries;
    Bytes prefix; // written before the archive; offsets are as if it started at 0
    std::string comment;
    std::optional<uint16_t> thisDisk, diskWithCD, diskEntries, totalEntries, commentLen;
    std::optional<uint32_t> cdSize, cdOffset;
    Bytes Build() const;
};

} // namespace ziptest
