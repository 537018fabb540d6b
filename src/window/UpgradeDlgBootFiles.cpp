// The boot image of a part-image package: the greatest *.OHH file of the
// Boot folder under the start-up folder, else of the one beside the package.
#include "window/UpgradeDlg.h"

#include "files/FileSystem.h"

#include <cctype>
#include <filesystem>
#include <system_error>
#include <vector>

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

bool CUpgradeDlg::FindBootFile(bool reportUnusable)
{
    namespace fs = std::filesystem;
    // The start-up folder's Boot first; then the one beside the package, for
    // a tool started elsewhere (a desktop menu starts in the home folder).
    std::vector<std::string> folders = {m_szStartDir + "/Boot"};
    if (!m_strUpgradeFile.empty()) {
        const std::string beside = FsUtf8(FsPath(m_strUpgradeFile).parent_path());
        const std::string folder = (beside.empty() ? std::string(".") : beside) + "/Boot";
        std::error_code same;
        if (folder != folders[0] && !fs::equivalent(FsPath(folder), FsPath(folders[0]), same))
            folders.push_back(folder);
    }
    std::string searched;
    for (const std::string& folder : folders)
        searched += (searched.empty() ? "" : " or ") + folder;
    for (const std::string& folder : folders) {
        std::error_code ec;
        fs::directory_iterator it(FsPath(folder), ec);
        bool matched = false;
        bool keptAny = false;
        std::string kept;
        for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
            const std::string name = FsUtf8(it->path().filename());
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
        if (!matched)
            continue;
        if (keptAny)
            m_strPartFile[0] = kept.find(".OHH") != std::string::npos ? kept : std::string();
        std::error_code fileError;
        if (!m_strPartFile[0].empty() && fs::is_regular_file(FsPath(m_strPartFile[0]), fileError))
            return true;
        if (reportUnusable)
            MessageBox(EMsg::NoBootFolder, " (no usable .OHH boot image in " + searched + ")");
        return false;
    }
    MessageBox(EMsg::NoBootFolder, " (no .OHH boot image in " + searched + ")");
    return false;
}