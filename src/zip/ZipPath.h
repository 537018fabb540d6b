#pragma once

#include <string>
#include <string_view>

// Stored names are held with '\' as separator and converted to '/' only when
// the file system is called. A folder given by the caller is a Linux path: only
// its '/' are separators; a '\' in it is a character of a folder's name.

std::string ZipToInternal(std::string_view strPath);
std::string ZipToNative(std::string_view strPath);
std::string ZipTrimTrailingSeparators(std::string strPath);
// Everything up to and including the last separator ("" when there is none).
std::string ZipFolderPart(std::string_view strPath);

// Linux paths: only '/' separates.
std::string ZipTrimTrailingSlashes(std::string strPath);
// Everything before the last '/' ("" when there is none).
std::string ZipNativeParent(std::string_view strPath);
// The destination of an entry part (as ZipBuildEntryPart gives it) below a folder.
std::string ZipJoinNative(std::string_view strFolder, std::string_view strEntryPart);

// The part of the destination that the entry name contributes below the
// folder. fullPath false: the last component. fullPath true: the folder part
// too, without drive and leading separators. Components "", "." and ".." are
// dropped so the result always stays below the folder; an empty result means
// the name leaves nothing to extract.
std::string ZipBuildEntryPart(std::string_view strName, bool bFullPath);
