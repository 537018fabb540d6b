#pragma once
// The part table a package fills and the part list shows, and the section
// records of a part-image header.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

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
