#include "records/FleetDb.h"
#include "records/RecordsConfig.h"

// Debian has no libpq for mingw-w64: the Windows build sends no fleet
// records. Every call fails with one line, which callers trace and go on.

namespace {

constexpr const char* kNotAvailable = "not available in the Windows build";

bool NotAvailable(std::string& error)
{
    error = kNotAvailable;
    return false;
}

} // namespace

void CFleetDb::Closer::operator()(pg_conn*) const
{
}

void CFleetDb::ResultFree::operator()(pg_result*) const
{
}

bool CFleetDb::Connect(const std::string&, std::string& error)
{
    return NotAvailable(error);
}

bool CFleetDb::SchemaVersion(int& version, std::string& error)
{
    version = 0;
    return NotAvailable(error);
}

bool CFleetDb::CheckSchema(std::string& error)
{
    return NotAvailable(error);
}

bool CFleetDb::Init(std::vector<std::string>&, std::string& error, int)
{
    return NotAvailable(error);
}

bool CFleetDb::AddRuns(const std::vector<CHistoryRun>&, std::size_t& added, std::string& error)
{
    added = 0;
    return NotAvailable(error);
}

bool CFleetDb::List(const CFleetFilter&, std::vector<CHistoryRun>&, std::string& error)
{
    return NotAvailable(error);
}

std::string MaskedConnection(const std::string&)
{
    // Without libpq the string is not read, so no part of it is shown.
    return "(the records server is not available in the Windows build)";
}
