#include "TempFolder.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

CTempFolder::CTempFolder()
{
    char pattern[] = "/tmp/velunda-test-XXXXXX";
    if (::mkdtemp(pattern) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

CTempFolder::~CTempFolder()
{
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

std::string CTempFolder::Write(const std::string& name, const Bytes& bytes) const
{
    const std::string path = m_path + "/" + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
}
