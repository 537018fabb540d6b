#include "WinePrefix.h"

#include "CliTestSupport.h"

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sys/file.h>
#include <unistd.h>

namespace winetest {

using namespace std::chrono_literals;

namespace {

// wine64 from PATH, or where Debian puts it.
std::string FindWine()
{
    if (const char* wine = std::getenv("VELUNDA_WINE"); wine != nullptr && wine[0] != '\0')
        return wine;
    const std::string path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find(':', start), path.size());
        const fs::path candidate = fs::path(path.substr(start, end - start)) / "wine64";
        if (end > start && ::access(candidate.c_str(), X_OK) == 0)
            return candidate.string();
        start = end + 1;
    }
    return ::access("/usr/lib/wine/wine64", X_OK) == 0 ? "/usr/lib/wine/wine64" : "";
}

std::string WineServer(const std::string& wine)
{
    const fs::path beside = fs::path(wine).parent_path() / "wineserver";
    return ::access(beside.c_str(), X_OK) == 0 ? beside.string() : "wineserver";
}

// Runs a shell line with no output kept; its exit status.
int Quiet(const std::string& line)
{
    return std::system((line + " </dev/null >/dev/null 2>&1").c_str());
}

} // namespace

std::string WinPath(const fs::path& path)
{
    std::string text = "Z:" + fs::absolute(path).string();
    for (char& c : text)
        if (c == '/')
            c = '\\';
    return text;
}

bool CWinePrefix::Prepare(const fs::path& base, std::string& error)
{
    m_strWine = FindWine();
    if (m_strWine.empty()) {
        error = "wine64 is not installed (apt-get install wine64)";
        return false;
    }
    m_base = base;
    m_prefix = base / "prefix";
    ::setenv("WINEPREFIX", m_prefix.c_str(), 1);
    ::setenv("WINEDEBUG", "-all", 1);
    // Wine reads the command line in the locale's encoding: UTF-8, as the tests write it.
    ::setenv("LC_ALL", "C.UTF-8", 1);
    std::error_code ec;
    fs::create_directories(base, ec);
    // One maker at a time; the others wait and then find it ready.
    const int lock = ::open((base / "lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock < 0 || ::flock(lock, LOCK_EX) != 0) {
        error = "cannot lock " + (base / "lock").string();
        if (lock >= 0)
            ::close(lock);
        return false;
    }
    const bool ready = fs::exists(base / "ready") || Make(error);
    // A port's link left dangling by an earlier target would make Wine drop
    // that port when its services start again.
    for (int n : kComPorts)
        if (!fs::exists(PortLink(n), ec)) {
            fs::remove(PortLink(n), ec);
            fs::create_symlink("/dev/null", PortLink(n), ec);
        }
    ::close(lock);
    if (ready)
        KeepServer();
    return ready;
}

bool CWinePrefix::Make(std::string& error) const
{
    std::error_code ec;
    fs::remove_all(m_prefix, ec);
    fs::create_directories(m_base / "ports", ec);
    KeepServer();
    if (Quiet("'" + m_strWine + "' wineboot -i") != 0) {
        error = "wineboot -i failed for " + m_prefix.string();
        return false;
    }
    // Registered ports are listed by Windows (SERIALCOMM, the DOS device
    // names) once the prefix's services start again; each stands for a link
    // a test points at its pty.
    const fs::path reg = m_base / "ports.reg";
    {
        std::ofstream out(reg);
        out << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n";
        for (int n : kComPorts) {
            fs::remove(PortLink(n), ec);
            fs::create_symlink("/dev/null", PortLink(n), ec);
            std::string target = PortLink(n).string();
            out << "\"COM" << n << "\"=\"" << target << "\"\n";
        }
    }
    if (Quiet("'" + m_strWine + "' regedit /S '" + WinPath(reg) + "'") != 0) {
        error = "regedit could not import " + reg.string();
        return false;
    }
    const std::string server = WineServer(m_strWine);
    Quiet("'" + server + "' -k");
    Quiet("'" + server + "' -w");
    std::ofstream(m_base / "ready") << "ready\n";
    return true;
}

void CWinePrefix::KeepServer() const
{
    // Persistent for a minute after the last program; a no-op when one runs.
    // The first program of a server starts the prefix's services, which
    // would inherit and hold its output open: a program of no interest does.
    Quiet("'" + WineServer(m_strWine) + "' -p60");
    Quiet("'" + m_strWine + "' cmd /c exit");
}

bool CWinePrefix::RegAdd(const std::string& key, const std::string& value, const std::string& type,
                         const std::string& data, std::string& error) const
{
    KeepServer();
    const auto r = RunProgram(
        {m_strWine, "reg", "add", "HKLM\\" + key, "/v", value, "/t", type, "/d", data, "/f"}, m_base, 60s);
    error = r.out + r.err;
    return r.exitCode == 0;
}

bool CWinePrefix::RegDelete(const std::string& key, std::string& error) const
{
    KeepServer();
    const auto r = RunProgram({m_strWine, "reg", "delete", "HKLM\\" + key, "/f"}, m_base, 60s);
    error = r.out + r.err;
    return r.exitCode == 0;
}

} // namespace winetest
