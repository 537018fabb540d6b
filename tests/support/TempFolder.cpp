#include "TempFolder.h"

#include "files/FileSystem.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace {

std::string TempBase()
{
#ifdef _WIN32
    std::error_code ec;
    const std::string base = FsUtf8(std::filesystem::temp_directory_path(ec));
    return ec || base.empty() ? std::string(".") : base.substr(0, base.find_last_not_of("\\/") + 1);
#else
    return "/tmp";
#endif
}

} // namespace

CTempFolder::CTempFolder()
{
    m_path = FsMakeUniqueFolder(TempBase(), "velunda-test-");
    if (m_path.empty())
        throw std::runtime_error("no temporary folder can be made in " + TempBase());
}

CTempFolder::~CTempFolder()
{
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path root = FsPath(m_path);
    // Entries may have made folders read-only; open them up before removing.
    for (auto it = fs::recursive_directory_iterator(root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec))
            FsSetPermissions(FsUtf8(it->path()), 0700);
    }
    fs::remove_all(root, ec);
}

std::string CTempFolder::Write(const std::string& name, const Bytes& bytes) const
{
    const std::string path = m_path + "/" + name;
    std::ofstream out(FsPath(path), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
}
