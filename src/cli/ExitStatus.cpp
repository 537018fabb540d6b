#include "cli/ExitStatus.h"

namespace {

using O = ECliOutcome;

int Severity(ECliOutcome o)
{
    switch (o) {
    case O::None:
        return 0;
    case O::Success:
        return 1;
    case O::Failed:
        return 2;
    case O::Rejected:
        return 3;
    case O::ConnectFailed:
        return 4;
    case O::BadPackage:
        return 5;
    case O::BadUsage:
        return 6;
    }
    return 0;
}

} // namespace

ECliOutcome OutcomeOf(EResultKind kind)
{
    switch (kind) {
    case EResultKind::Success:
        return O::Success;
    case EResultKind::Failed:
        return O::Failed;
    case EResultKind::Rejected:
        return O::Rejected;
    case EResultKind::ConnectFailed:
        return O::ConnectFailed;
    case EResultKind::BadPackage:
        return O::BadPackage;
    case EResultKind::BadUsage:
        return O::BadUsage;
    }
    return O::Failed;
}

int ExitCodeOf(ECliOutcome outcome)
{
    switch (outcome) {
    case O::Success:
        return 0;
    case O::None: // a run that ended without saying how did not succeed
    case O::Failed:
    case O::Rejected:
        return 1;
    case O::BadUsage:
    case O::BadPackage:
        return 2;
    case O::ConnectFailed:
        return 3;
    }
    return 1;
}

const char* OutcomeName(ECliOutcome outcome)
{
    switch (outcome) {
    case O::None:
        return "none";
    case O::Success:
        return "success";
    case O::Failed:
        return "failed";
    case O::Rejected:
        return "rejected";
    case O::BadUsage:
        return "bad-usage";
    case O::BadPackage:
        return "bad-package";
    case O::ConnectFailed:
        return "connect-failed";
    }
    return "none";
}

ECliOutcome WorseOf(ECliOutcome a, ECliOutcome b)
{
    return Severity(b) > Severity(a) ? b : a;
}
