#pragma once
// The tool's version: the project version the build was configured with and
// the git revision it was built from (empty outside a checkout).
#include <string>

const char* VelundaVersion();
const char* VelundaRevision();

// "velunda-cli 1.0.8 (git 1a2b3c4d5e)", or without the parenthesis outside a checkout.
std::string VersionLine(const std::string& program);
// "1.0.8 (git 1a2b3c4d5e)" or "1.0.8".
std::string VersionText();
