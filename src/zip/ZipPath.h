#pragma once

#include <string>
#include <string_view>

// Stored names are held with '\' as separator and converted to '/' only when
// the file system is called. A folder given by the caller is a path of the
// system: on Linux only its '/' are separators (a '\' in it is a character of
// a folder's name); on Windows '\' separates too.

std::string ZipToInternal(std::string_view strPath);
std::string ZipToNative(std::string_view strPath);
std::string ZipTrimTrailingSeparators(std::string strPath);
// Everything up to and including the last separator ("" when there is none).
std::string ZipFolderPart(std::string_view strPath);

// Paths of the system: on Linux only '/' separates.
std::string ZipTrimTrailingSlashes(std::string strPath);
// Everything before the last separator ("" when there is none).
std::string ZipNativeParent(std::string_view strPath);
// Where the last separator of a path of the system is; npos when there is none.
size_t ZipLastNativeSeparator(std::string_view strPath);
// The destination of an entry part (as ZipBuildEntryPart gives it) below a folder.
std::string ZipJoinNative(std::string_view strFolder, std::string_view strEntryPart);

// The part of the destination that the entry name contributes below the
// folder. fullPath false: the last component. fullPath true: the folder part
// too, without drive and leading separators. Components "", "." and ".." are
// dropped so the result always stays below the folder; an empty result means
// the name leaves nothing to extract.
std::string ZipBuildEntryPart(std::string_view strName, bool bFullPath);

// Why Windows cannot hold a file or folder of this name, as a phrase ("it is
// the device name CON"); empty when it can. Refused: the device names CON,
// PRN, AUX, NUL, COM1-COM9 and LPT1-LPT9 (with any extension and in any
// case), a trailing dot or space, the characters < > : " | ? * and control
// characters.
std::string ZipWindowsNameProblem(std::string_view strComponent);
// The same for every component of an entry part (as ZipBuildEntryPart gives
// it) on the system this program runs on: on Linux every such name is held,
// and the answer is always empty.
std::string ZipNameProblem(std::string_view strEntryPart);
