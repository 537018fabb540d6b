#include "package/UnpackManifest.h"

#include "files/FileSystem.h"
#include "zip/FileException.h"

#include <cerrno>
#include <fstream>

namespace {

// One name a line; bytes that would break the line format are written as %XX.
std::string Encode(const std::string& name)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == '%') {
            out += '%';
            out += kDigits[u >> 4];
            out += kDigits[u & 0xF];
        } else {
            out += c;
        }
    }
    return out;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Empty when the line is not a name this file wrote.
std::string Decode(const std::string& line)
{
    std::string out;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] != '%') {
            out += line[i];
            continue;
        }
        if (i + 2 >= line.size())
            return {};
        const int high = HexDigit(line[i + 1]);
        const int low = HexDigit(line[i + 2]);
        if (high < 0 || low < 0)
            return {};
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

} // namespace

std::string CUnpackManifest::Path() const
{
    return m_strFolder + "/" + UNPACK_MANIFEST_NAME;
}

void CUnpackManifest::Reset()
{
    m_pAppend.reset();
    m_names.clear();
    m_strFolder.clear();
}

void CUnpackManifest::Load(const std::string& folder)
{
    Reset();
    m_strFolder = folder;
    std::ifstream in(FsPath(Path()), std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        std::string name = Decode(line);
        if (!name.empty() && name.find('/') == std::string::npos)
            m_names.insert(std::move(name));
    }
}

void CUnpackManifest::Add(const std::string& name)
{
    if (!m_names.insert(name).second)
        return;
    if (!m_pAppend) {
        m_pAppend.reset(FsOpenStream(Path(), "ab"));
        if (!m_pAppend)
            throw CFileException(errno, Path(), "write");
    }
    const std::string line = Encode(name) + "\n";
    // Flushed at once: a session killed right after must still find the name.
    if (std::fwrite(line.data(), 1, line.size(), m_pAppend.get()) != line.size() ||
        std::fflush(m_pAppend.get()) != 0)
        throw CFileException(errno, Path(), "write");
}

void CUnpackManifest::Rewrite(const std::vector<std::string>& names)
{
    m_pAppend.reset();
    m_names.clear();
    if (m_strFolder.empty())
        return;
    if (names.empty()) {
        FsRemoveFile(Path());
        return;
    }
    std::ofstream out(FsPath(Path()), std::ios::binary | std::ios::trunc);
    for (const std::string& name : names) {
        out << Encode(name) << '\n';
        m_names.insert(name);
    }
}
