#pragma once
// The rules of a package archive that need no window: the description file
// UpgradeInfo.txt, the part-file names and their versions, the unpack folder
// and what clean-up keeps, and the words for a failed load.
//
// Error contract: the parsing and naming functions never fail; an input they
// do not recognise gives model type 0, no flags, no class or an empty text.
// The archive loader reports a package it must refuse with CPackageError,
// whose what() is a plain sentence for the user.
#include "package/PartImage.h"

#include <cstdint>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

inline constexpr const char* UPGRADE_INFO_NAME = "UpgradeInfo.txt";
// A larger description file is not a description file; it is not read.
inline constexpr std::uint64_t UPGRADE_INFO_MAX_BYTES = 1024 * 1024;

// What UpgradeInfo.txt says.
struct CUpgradeInfo {
    std::string strModelText;      // value of the last "Result Type" line, untrimmed
    int bHasPart[PART_COUNT] = {}; // MAIN, CIS M (CDM), CIS S, CF, IR
};

// The value of a line: between its first ':' and the next ':' or the end.
std::string_view UpgradeInfoValue(std::string_view line);
// Applies one line (a trailing CR or LF is not part of it) to info.
void ParseUpgradeInfoLine(std::string_view line, CUpgradeInfo& info);
// All lines of a whole text (CR LF or LF line ends).
CUpgradeInfo ParseUpgradeInfoText(std::string_view text);
// 1 "Quorin V1", 2 "Quorin V2", 3 "Upgrade Board", else 0; the text is
// trimmed of surrounding white space first.
int ModelTypeFromText(std::string_view modelText);

// Where a part file goes, by the first token its name carries.
struct CPartFileClass {
    const char* pszToken;
    int nFileSlot;           // slot of m_strPartFile
    int nListSlot;           // slot of the part list, -1 for none
    const char* pszListName; // name written into that slot, or nullptr
};
std::optional<CPartFileClass> ClassifyPartFile(int modelType, std::string_view fileName);

// The version a part file's name carries: for a name with "CDM", the name
// without every "CDM_" and ".NHB"; otherwise, without its extension, the text
// between its first and second '_'.
std::string VersionFromName(std::string_view fileName);

// "%d byte(s)".
std::string SizeText(std::uint64_t size);

// The folder a package is unpacked into: beside it, named as the package's
// file name without its extension. A name that leaves nothing usable (no
// extension, or only dots before it) gets "_unpacked" appended instead, so the
// folder is never the package itself nor a folder above it. Empty when the
// path names no file.
std::string UnpackFolderFor(const std::string& packagePath);

// A name as it may be shown: control characters (NUL, ESC, line breaks) and
// DEL become \xNN, so nothing in a stored name can drive a terminal.
std::string PrintableName(std::string_view name);

// Clean-up leaves files whose names carry ".QV1" or ".QV2".
bool IsKeptOnCleanup(std::string_view fileName);

class CPackageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Plain words for what ended a package load: the ZIP reader's causes, a file
// that could not be read or written (the package itself named as such), or
// the loader's own refusal.
std::string DescribeLoadFailure(const std::exception& e, const std::string& packagePath);
