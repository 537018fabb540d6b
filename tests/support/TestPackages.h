#pragma once
// Packages made as a user makes them, with velunda-pack, from part files of
// deterministic byte patterns that stay beside them for comparing; and what
// the upgrade board must receive of a board body.
#include "TestBytes.h"

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

struct DatPart {
    const char* option; // "--main", "--cis-m", ...
    std::size_t size;
    const char* version;
};

// The part file of a .DAT option in dir: "--cis-m" -> dir/cis-m.bin.
std::filesystem::path DatPartFile(const std::filesystem::path& dir, const char* option);
// A Quorin V1 .DAT named name in dir, its parts' patterns seeded 1, 2, ... in
// order; with boot, also a boot image (returned there) in dir's Boot folder.
// A failure fails the test.
std::filesystem::path PackDat(const std::filesystem::path& dir, const std::vector<DatPart>& parts,
                              const std::string& name, Bytes* boot = nullptr);
// velunda-pack qvp with args, written to out in dir. A failure fails the test.
std::filesystem::path PackQvp(const std::filesystem::path& dir, const std::vector<std::string>& args,
                              const std::string& out);

// The body as the board must receive it: the data before the end mark, then
// 0xFF up to whole 1024-byte blocks (one block at least).
Bytes BodyOnTheWire(const Bytes& body);
// The bytes after the end mark, at most 4.
Bytes FinishRecordOf(const Bytes& body);
