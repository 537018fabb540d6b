#pragma once
// The part table a package fills and the part list shows, and the section
// records of a part-image header.
#include "protocol/Items.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

// Display texts of one part slot; fixed widths include the terminator.
struct PartListEntry {
    char szName[10];
    char szFile[260];
    char szVersion[20];
    char szSize[50];
};

// Slots 0 to 6: 0 boot or header, 1 MAIN (or board body), 2 CIS M or CDM,
// 3 CIS S, 4 CF, 5 IR, 6 CDM boot. Only slots 1 to 5 are shown.
struct PartListTable {
    PartListEntry slot[7];
};

inline constexpr int PART_SLOTS = 7;

// One section entry of a part-image header: its expected tag and size.
struct SectionInfo {
    char szTag[3];
    std::uint32_t nSize;
};

// Copies text into a fixed field, cut to fit, always terminated.
template <std::size_t N> void CopyField(char (&field)[N], std::string_view text)
{
    const std::size_t n = text.size() < N - 1 ? text.size() : N - 1;
    std::memcpy(field, text.data(), n);
    field[n] = '\0';
}

template <std::size_t N> std::string FieldText(const char (&field)[N])
{
    return std::string(field, strnlen(field, N));
}

// The version a slot carries; empty when the package names none (an empty
// or "0" version, which the list shows as "None").
inline std::string PartVersion(const PartListEntry& entry)
{
    std::string version = FieldText(entry.szVersion);
    return version == "0" ? std::string() : version;
}

// What a slot carries, as data rather than as the list shows it: the item it
// fills ("BOARD" for the board's body), its file, its version (empty when the
// package names none) and its size in bytes.
struct PartData {
    std::string item, file, version;
    long long size = 0;
};

inline std::vector<PartData> PartDataOf(const PartListTable& table, bool board)
{
    std::vector<PartData> parts;
    for (int slot = 1; slot <= 5; ++slot) {
        const PartListEntry& entry = table.slot[slot];
        std::string name = FieldText(entry.szName);
        if (!name.empty())
            parts.push_back({board ? std::string(BOARD_ITEM_NAME) : name, FieldText(entry.szFile),
                             PartVersion(entry), std::strtoll(FieldText(entry.szSize).c_str(), nullptr, 10)});
    }
    return parts;
}

// A row of the part list as it is shown: one per slot 1 to 5 with a name;
// "None" stands for an empty file name, an empty or "0" version and an empty
// or "0 byte(s)" size.
struct PartListRow {
    std::string strName, strFile, strVersion, strSize;
};

inline std::vector<PartListRow> PartListRows(const PartListTable& table)
{
    const auto orNone = [](std::string text, const char* none) {
        return text.empty() || (none != nullptr && text == none) ? std::string("None") : text;
    };
    std::vector<PartListRow> rows;
    for (int slot = 1; slot <= 5; ++slot) {
        const PartListEntry& entry = table.slot[slot];
        std::string name = FieldText(entry.szName);
        if (name.empty())
            continue;
        rows.push_back({std::move(name), orNone(FieldText(entry.szFile), nullptr),
                        orNone(PartVersion(entry), nullptr), orNone(FieldText(entry.szSize), "0 byte(s)")});
    }
    return rows;
}
