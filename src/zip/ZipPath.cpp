#include "zip/ZipPath.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <vector>

namespace {

constexpr size_t kMaxPart = 255; // each of folder part, name and extension

#ifdef _WIN32
constexpr bool kWindows = true;
constexpr std::string_view kNativeSeparators = "/\\";
#else
constexpr bool kWindows = false;
constexpr std::string_view kNativeSeparators = "/";
#endif

bool IsNativeSeparator(char c)
{
    return kNativeSeparators.find(c) != std::string_view::npos;
}

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
    // A drive's root ("C:\\") keeps its separator: without it, it names the
    // drive's current folder.
    while (strPath.size() > 1 && IsNativeSeparator(strPath.back()) &&
           (!kWindows || strPath[strPath.size() - 2] != ':'))
        strPath.pop_back();
    return strPath;
}

std::string ZipNativeParent(std::string_view strPath)
{
    const size_t nSep = strPath.find_last_of(kNativeSeparators);
    return nSep == std::string_view::npos ? std::string() : std::string(strPath.substr(0, nSep));
}

size_t ZipLastNativeSeparator(std::string_view strPath)
{
    return strPath.find_last_of(kNativeSeparators);
}

std::string ZipJoinNative(std::string_view strFolder, std::string_view strEntryPart)
{
    std::string strResult = ZipTrimTrailingSlashes(std::string(strFolder));
    if (strResult.empty() || !IsNativeSeparator(strResult.back()))
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

std::string ZipWindowsNameProblem(std::string_view strComponent)
{
    static constexpr std::array<std::string_view, 4> kDevices = {"CON", "PRN", "AUX", "NUL"};
    static constexpr std::array<std::string_view, 2> kNumbered = {"COM", "LPT"};
    static constexpr std::string_view kReserved = "<>:\"|?*";
    for (char c : strComponent) {
        if (static_cast<unsigned char>(c) < 0x20)
            return "it holds a control character";
        if (kReserved.find(c) != std::string_view::npos)
            return std::string("it holds the character '") + c + "'";
    }
    if (!strComponent.empty() && (strComponent.back() == '.' || strComponent.back() == ' '))
        return strComponent.back() == '.' ? "it ends in a dot" : "it ends in a space";
    // The device is the name before the first dot, whatever follows it
    // ("NUL.txt", "com1.tar.gz"); trailing spaces before the dot do not count.
    std::string stem(strComponent.substr(0, strComponent.find('.')));
    while (!stem.empty() && stem.back() == ' ')
        stem.pop_back();
    std::transform(stem.begin(), stem.end(), stem.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    const bool device = std::find(kDevices.begin(), kDevices.end(), stem) != kDevices.end();
    const bool numbered = stem.size() == 4 && stem[3] >= '1' && stem[3] <= '9' &&
                          std::find(kNumbered.begin(), kNumbered.end(), stem.substr(0, 3)) != kNumbered.end();
    if (device || numbered)
        return "it is the device name " + stem;
    return {};
}

std::string ZipNameProblem(std::string_view strEntryPart)
{
    if (!kWindows)
        return {};
    size_t nPos = 0;
    for (;;) {
        const size_t nEnd = strEntryPart.find('\\', nPos);
        std::string why = ZipWindowsNameProblem(strEntryPart.substr(nPos, nEnd - nPos));
        if (!why.empty() || nEnd == std::string_view::npos)
            return why;
        nPos = nEnd + 1;
    }
}
