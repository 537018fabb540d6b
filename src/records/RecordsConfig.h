#pragma once
// Where the fleet records go: records-url in /etc/velunda/velunda.conf, or
// $VELUNDA_RECORDS_URL (which wins, and when set but empty turns them off).
// The value is a libpq connection string or URI; the password, if it holds
// one, is never shown.
#include <string>

inline constexpr const char* kVelundaConfigFile = "/etc/velunda/velunda.conf";

// The records-url of a configuration file of "key = value" lines (# starts
// a comment); empty when the file or the key is missing.
std::string RecordsUrlFromFile(const std::string& path);
// The records server this machine is pointed at; empty: none.
// configFile empty: velunda.conf in VelundaConfigDir().
std::string ConfiguredRecordsUrl(const std::string& configFile = {});
// The connection string as libpq reads it, in key=value form, with the
// password masked; a string libpq cannot parse is not shown at all.
std::string MaskedConnection(const std::string& conninfo);
