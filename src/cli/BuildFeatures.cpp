#include "cli/BuildFeatures.h"

#include "cli/ExitStatus.h"

#include <cstdio>

namespace {

#ifdef _WIN32
constexpr bool kWindowsBuild = true;
#else
constexpr bool kWindowsBuild = false;
#endif

const char* FeatureName(ECliFeature feature)
{
    switch (feature) {
    case ECliFeature::History:
        return "the history";
    case ECliFeature::Records:
        return "the fleet records";
    case ECliFeature::Station:
        return "station mode";
    }
    return "this command";
}

} // namespace

bool InThisBuild(ECliFeature)
{
    return !kWindowsBuild;
}

int ReportNotInThisBuild(ECliFeature feature, CCliReport& report)
{
    const std::string reason = std::string(FeatureName(feature)) + " is not available in the Windows build";
    if (report.IsJson())
        report.Outcome(ECliOutcome::BadUsage, reason);
    else
        std::fprintf(stderr, "velunda-cli: %s\n", reason.c_str());
    return ExitCodeOf(ECliOutcome::BadUsage);
}
