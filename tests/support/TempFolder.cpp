#include "TempFolder.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <sys/stat.h>

CTempFolder::CTempFolder()
{
    char pattern[] = "/tmp/velunda-test-XXXXXX";
    if (::mkdtemp(pattern) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

CTempFolder::~CTempFolder()
{
    namespace fs = std::filesystem;
    std::error_code ec;
    // Entries may have made folders read-only; open them up before removing.
    for (auto it = fs::recursive_directory_iterator(m_path, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec))
            ::chmod(it->path().c_str(), 0700);
    }
    fs::remove_all(m_path, ec);
}

std::string CTempFolder::Write(const std::string& name, const Bytes& bytes) const
{
    const std::string path = m_path + "/" + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
}
