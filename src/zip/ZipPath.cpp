#include "zip/ZipPath.h"

#include <algorithm>
#include <vector>

namespace {

constexpr size_t kMaxPart = 255; // each of folder part, name and extension

bool IsSeparator(char c)
{
    return c == '\\' || c == '/';
}

bool IsDotName(std::string_view s)
{
    return s.empty() || s == "." || s == "..";
}

} // namespace

std::string ZipToInternal(std::string_view strPath)
{
    std::string s(strPath);
    std::replace(s.begin(), s.end(), '/', '\\');
    return s;
}

std::string ZipToNative(std::string_view strPath)
{
    std::string s(strPath);
    std::replace(s.begin(), s.end(), '\\', '/');
    return s;
}

std::string ZipTrimTrailingSeparators(std::string strPath)
{
    while (!strPath.empty() && IsSeparator(strPath.back()))
        strPath.pop_back();
    return strPath;
}

std::string ZipFolderPart(std::string_view strPath)
{
    size_t nSep = strPath.find_last_of("\\/");
    return nSep == std::string_view::npos ? std::string() : std::string(strPath.substr(0, nSep + 1));
}

std::string ZipTrimTrailingSlashes(std::string strPath)
{
    while (strPath.size() > 1 && strPath.back() == '/')
        strPath.pop_back();
    return strPath;
}

std::string ZipNativeParent(std::string_view strPath)
{
    const size_t nSep = strPath.rfind('/');
    return nSep == std::string_view::npos ? std::string() : std::string(strPath.substr(0, nSep));
}

std::string ZipJoinNative(std::string_view strFolder, std::string_view strEntryPart)
{
    std::string strResult = ZipTrimTrailingSlashes(std::string(strFolder));
    if (strResult != "/")
        strResult += '/';
    return strResult + ZipToNative(strEntryPart);
}

std::string ZipBuildEntryPart(std::string_view strName, bool bFullPath)
{
    // A NUL would cut the path short at the system call; such a name is not usable.
    if (strName.find('\0') != std::string_view::npos)
        return {};
    if (strName.size() >= 2 && strName[1] == ':')
        strName.remove_prefix(2); // drive
    size_t nSep = strName.find_last_of("\\/");
    std::string_view folder =
        nSep == std::string_view::npos ? std::string_view() : strName.substr(0, nSep + 1);
    std::string_view leaf = nSep == std::string_view::npos ? strName : strName.substr(nSep + 1);
    size_t nDot = leaf.rfind('.');
    std::string_view name = nDot == std::string_view::npos ? leaf : leaf.substr(0, nDot);
    std::string_view ext = nDot == std::string_view::npos ? std::string_view() : leaf.substr(nDot);
    std::string strLeaf(name.substr(0, kMaxPart));
    strLeaf += ext.substr(0, kMaxPart);
    if (IsDotName(strLeaf))
        strLeaf.clear();
    if (!bFullPath)
        return strLeaf;

    std::string strResult;
    folder = folder.substr(0, kMaxPart);
    size_t nPos = 0;
    while (nPos < folder.size()) {
        size_t nEnd = nPos;
        while (nEnd < folder.size() && !IsSeparator(folder[nEnd]))
            ++nEnd;
        std::string_view component = folder.substr(nPos, nEnd - nPos);
        if (!IsDotName(component)) {
            strResult += component;
            strResult += '\\';
        }
        nPos = nEnd + 1;
    }
    return strResult + strLeaf;
}
