#include "package/UpgradeInfo.h"
#include "protocol/Items.h"

#include "files/FileSystem.h"
#include "zip/FileException.h"
#include "zip/ZipException.h"
#include "zip/ZipPath.h"

#include <cstring>
#include <filesystem>
#include <new>

namespace {

// Keys in the order a line is tested against them; only the first found
// counts. flag -1: the model text; -2: no effect.
struct InfoKey {
    const char* key;
    int flag;
};

constexpr int KEY_MODEL = -1;
constexpr int KEY_NOTICE = -2;

constexpr InfoKey kInfoKeys[] = {
    {"Result Type", KEY_MODEL},         {"Upgrade Board Body Source File Path", 0},
    {"Main Source File Path", 0},       {"Main Body Source File Path", 0},
    {"CIS Master Source File Path", 1}, {"CIS Body Source File Path", 1},
    {"CIS Slave Source File Path", 2},  {"CF Source File Path", 3},
    {"IR Source File Path", 4},         {"Notice", KEY_NOTICE},
};

struct TokenRule {
    int model;
    CPartFileClass cls;
};

// Per model, in the order the tokens are tried.
constexpr TokenRule kTokenRules[] = {
    {MODEL_QUORIN_V1, {"BH", 0, -1, nullptr}},
    {MODEL_QUORIN_V1, {"SM", 1, 1, ItemRowName(ITEM_MAIN)}},
    {MODEL_QUORIN_V1, {"SC", 2, 2, ItemRowName(ITEM_CIS_M)}},
    {MODEL_QUORIN_V1, {"SS", 3, 3, ItemRowName(ITEM_CIS_S)}},
    {MODEL_QUORIN_V1, {"SF", 4, 4, ItemRowName(ITEM_CF)}},
    {MODEL_QUORIN_V1, {"SR", 5, 5, ItemRowName(ITEM_IR)}},
    {MODEL_QUORIN_V2, {"BH", 0, -1, nullptr}},
    {MODEL_QUORIN_V2, {"SM", 1, 1, ItemRowName(ITEM_MAIN_V2)}},
    {MODEL_QUORIN_V2, {"CDM", 2, 2, ItemRowName(ITEM_CDM)}},
    {MODEL_QUORIN_V2, {"BC", 6, -1, nullptr}},
    {MODEL_BOARD, {".UPH", 0, -1, nullptr}},
    {MODEL_BOARD, {".UPB", 1, 1, "UPBD"}},
};

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && IsSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsSpace(text.back()))
        text.remove_suffix(1);
    return text;
}

void RemoveAll(std::string& text, std::string_view what)
{
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    for (std::size_t hit; (hit = text.find(what, pos)) != std::string::npos; pos = hit + what.size())
        out.append(text, pos, hit - pos);
    out.append(text, pos, std::string::npos);
    text = std::move(out);
}

} // namespace

std::string_view UpgradeInfoValue(std::string_view line)
{
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos)
        return {};
    std::string_view rest = line.substr(colon + 1);
    const std::size_t next = rest.find(':');
    return next == std::string_view::npos ? rest : rest.substr(0, next);
}

void ParseUpgradeInfoLine(std::string_view line, CUpgradeInfo& info)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);
    for (const InfoKey& key : kInfoKeys) {
        // A key counts only after the first character of the line.
        const std::size_t pos = line.find(key.key);
        if (pos == std::string_view::npos || pos == 0)
            continue;
        const std::string_view value = UpgradeInfoValue(line);
        if (key.flag == KEY_MODEL) {
            info.strModelText = std::string(value);
        } else if (key.flag >= 0) {
            for (char c : value) {
                if (!IsBlank(c)) {
                    info.bHasPart[key.flag] = 1;
                    break;
                }
            }
        }
        return;
    }
}

CUpgradeInfo ParseUpgradeInfoText(std::string_view text)
{
    CUpgradeInfo info;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        ParseUpgradeInfoLine(line, info);
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
    return info;
}

int ModelTypeFromText(std::string_view modelText)
{
    const std::string_view model = Trim(modelText);
    for (int m = 1; m <= MODEL_COUNT; ++m)
        if (model == ModelText(m))
            return m;
    return 0;
}

std::optional<CPartFileClass> ClassifyPartFile(int modelType, std::string_view fileName)
{
    for (const TokenRule& rule : kTokenRules) {
        if (rule.model == modelType && fileName.find(rule.cls.pszToken) != std::string_view::npos)
            return rule.cls;
    }
    return std::nullopt;
}

std::string VersionFromName(std::string_view fileName)
{
    std::string name(fileName);
    if (name.find("CDM") != std::string::npos) {
        RemoveAll(name, "CDM_");
        RemoveAll(name, ".NHB");
        return name;
    }
    if (const std::size_t dot = name.rfind('.'); dot != std::string::npos)
        name.erase(dot);
    const std::size_t first = name.find('_');
    if (first == std::string::npos)
        return {};
    const std::size_t second = name.find('_', first + 1);
    return name.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
}

std::string SizeText(std::uint64_t size)
{
    return std::to_string(size) + " byte(s)";
}

std::string UnpackFolderFor(const std::string& packagePath)
{
    const std::size_t slash = ZipLastNativeSeparator(packagePath);
    const std::string folder = slash == std::string::npos ? std::string() : packagePath.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? packagePath : packagePath.substr(slash + 1);
    if (name.empty() || name == "." || name == "..")
        return {};
    const std::size_t dot = name.rfind('.');
    std::string stem = dot == std::string::npos ? std::string() : name.substr(0, dot);
    if (stem.find_first_not_of('.') == std::string::npos)
        stem = name + "_unpacked";
    return folder + stem;
}

std::string PrintableName(std::string_view name)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(name.size());
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            out += "\\x";
            out += kDigits[u >> 4];
            out += kDigits[u & 0xF];
        } else {
            out += c;
        }
    }
    return out;
}

bool IsKeptOnCleanup(std::string_view fileName)
{
    return fileName.find(".QV1") != std::string_view::npos || fileName.find(".QV2") != std::string_view::npos;
}

std::string DescribeLoadFailure(const std::exception& e, const std::string& packagePath)
{
    if (const auto* zip = dynamic_cast<const CZipException*>(&e))
        return zip->GetDescription();
    if (const auto* file = dynamic_cast<const CFileException*>(&e)) {
        const std::string reason = std::strerror(file->m_nOsError);
        std::error_code ec;
        const std::string absolutePackage = FsUtf8(std::filesystem::absolute(FsPath(packagePath), ec));
        if (file->m_strFileName == packagePath || file->m_strFileName == absolutePackage)
            return "the package file cannot be read (" + reason + ")";
        if (file->m_strOperation == "read" || file->m_strOperation == "seek")
            return "the file \"" + file->m_strFileName + "\" cannot be read (" + reason + ")";
        return "the file \"" + file->m_strFileName + "\" cannot be written (" + reason + ")";
    }
    if (dynamic_cast<const std::bad_alloc*>(&e) != nullptr)
        return "there is not enough memory";
    return e.what();
}
