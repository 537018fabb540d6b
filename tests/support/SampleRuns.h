#pragma once
// Recorded runs made up for the fleet records tests and benchmark: one
// station's runs, each with two items, different serial numbers.
#include <string>

// Adds n runs of station host to the history at path (made when missing);
// the first takes firstUuid when one is given. False with a reason.
bool AddSampleRuns(const std::string& path, int n, const std::string& host, std::string& error,
                   const std::string& firstUuid = "");
