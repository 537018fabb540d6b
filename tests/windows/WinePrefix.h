#pragma once
// The Wine prefix the Windows tests share: made once under a lock by the
// first test program that needs it (about 15 s), with COM ports registered
// so Windows lists them (HKLM\Software\Wine\Ports), each reaching the pty a
// test links to its place in Ports().
#include <filesystem>
#include <string>
#include <vector>

namespace winetest {

namespace fs = std::filesystem;

// The COM port numbers the prefix registers; a test takes one of its own.
inline constexpr int kComPorts[] = {4, 11, 12, 13, 14, 15, 16, 17, 18};

class CWinePrefix {
public:
    // Sets WINEPREFIX and WINEDEBUG for the programs this process starts.
    // False with the reason when Wine or the prefix cannot be had.
    bool Prepare(const fs::path& base, std::string& error);
    // Keeps the prefix's wineserver and services running between programs,
    // detached from their output (started by a program, they would hold its
    // pipes open).
    void KeepServer() const;

    const std::string& Wine() const { return m_strWine; }
    // Where the symlink for port COMn goes (the target's link path).
    fs::path PortLink(int n) const { return m_base / "ports" / ("com" + std::to_string(n)); }
    // A Wine registry value under HKLM; false with the tool's output in error.
    bool RegAdd(const std::string& key, const std::string& value, const std::string& type,
                const std::string& data, std::string& error) const;
    bool RegDelete(const std::string& key, std::string& error) const;

private:
    bool Make(std::string& error) const;

    fs::path m_base;
    fs::path m_prefix;
    std::string m_strWine;
};

// A Linux path as Windows programs under Wine see it (Z: is /).
std::string WinPath(const fs::path& path);

} // namespace winetest
