#include "history/HistoryDb.h"

#include "history/StateDir.h"

// Debian has no SQLite for mingw-w64: the Windows build keeps no history.
// Every call fails with the same line, which callers trace before they go on
// (records never fail an upgrade).

namespace {

constexpr const char* kNotAvailable = "not available in the Windows build";

bool NotAvailable(std::string& error)
{
    error = kNotAvailable;
    return false;
}

} // namespace

void CHistoryDb::Closer::operator()(sqlite3*) const
{
}

bool CHistoryDb::Open(const std::string&, bool, std::string& error, int)
{
    return NotAvailable(error);
}

bool CHistoryDb::Add(CHistoryRun&, std::string& error)
{
    return NotAvailable(error);
}

bool CHistoryDb::List(const CHistoryFilter&, std::vector<CHistoryRun>&, std::string& error)
{
    return NotAvailable(error);
}

bool CHistoryDb::ListUnsent(std::size_t, std::vector<CHistoryRun>&, std::string& error)
{
    return NotAvailable(error);
}

bool CHistoryDb::CountUnsent(std::size_t&, std::string& error)
{
    return NotAvailable(error);
}

bool CHistoryDb::MarkSent(const std::vector<long long>&, std::string& error)
{
    return NotAvailable(error);
}

std::string DefaultHistoryPath()
{
    const std::string dir = VelundaStateDir();
    return dir.empty() ? std::string() : dir + "\\history.sqlite";
}
