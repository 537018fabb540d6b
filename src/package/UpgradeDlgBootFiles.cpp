// The boot image of a part-image package: the greatest *.OHH file of the
// Boot folder under the start-up folder.
#include "app/UpgradeDlg.h"

#include <cctype>
#include <filesystem>
#include <system_error>

namespace {

bool HasOhhExtension(const std::string& name)
{
    const auto dot = name.rfind('.');
    if (dot == std::string::npos || name.size() - dot != 4)
        return false;
    std::string ext = name.substr(dot + 1);
    for (auto& c : ext)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return ext == "OHH";
}

} // namespace

void CUpgradeDlg::FindBootFile()
{
    namespace fs = std::filesystem;
    const std::string folder = m_szStartDir + "/Boot";
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    bool matched = false;
    bool keptAny = false;
    std::string kept;
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!HasOhhExtension(name))
            continue;
        matched = true;
        std::error_code typeError;
        if (name == "." || name == ".." || it->is_directory(typeError))
            continue;
        const std::string path = folder + "/" + name;
        if (!keptAny || path > kept) {
            kept = path;
            keptAny = true;
        }
    }
    if (!matched) {
        MessageBox("Can not find the boot folder");
        return;
    }
    if (!keptAny)
        return;
    m_strPartFile[0] = kept.find(".OHH") != std::string::npos ? kept : std::string();
}
