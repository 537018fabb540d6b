#include "cli/Outcome.h"

#include <algorithm>

namespace {

using M = CMessageRule::EMatch;
using O = ECliOutcome;

// Texts are the window's own. Checker messages end the run because a
// refused acknowledgement is answered by no further request.
const std::vector<CMessageRule> kRules = {
    {"Upgrade Complete.", M::Exact, O::Success, true},
    {"Upgrade finished with errors.", M::Exact, O::Failed, true},
    {"The machine stopped responding during the upgrade.", M::Exact, O::Failed, true},
    {"Board upgrade failed.", M::Exact, O::Failed, true},
    {"Download boot error occurred", M::Exact, O::Failed, true},
    {"The upgrade board stopped responding.", M::Exact, O::Failed, true},
    {"The connection to the machine was lost during the upgrade.", M::Exact, O::Failed, true},
    {"The connection to the upgrade board was lost.", M::Exact, O::Failed, true, O::ConnectFailed},
    {"The connection to the machine was lost.", M::Exact, O::ConnectFailed, true},
    {"Upgrade::Erase Fail!", M::Exact, O::Failed, false},
    {"Close failed", M::Exact, O::Failed, false},
    // Acknowledgement checkers.
    {" Protocol Data Size Err", M::Suffix, O::Rejected, true},
    {" Result : FALSE!", M::Suffix, O::Rejected, true},
    {"Upgrade Error::Erase Fail!", M::Exact, O::Rejected, true},
    {"Machine type and the file type does not match!", M::Exact, O::Rejected, true},
    {"Upgrade Start is not available: ", M::Prefix, O::Rejected, true},
    {"Select upgrade item.", M::Exact, O::Rejected, true},
    // Connection.
    {"USB connection failed!", M::Exact, O::ConnectFailed, true},
    {"The machine does not respond to the protocol.", M::Exact, O::ConnectFailed, true},
    {"Check boot mode failed.", M::Exact, O::ConnectFailed, true},
    {"Not Connect.", M::Exact, O::ConnectFailed, true},
    {"Error while creating ThreadWatchComm,", M::Prefix, O::ConnectFailed, true},
    // Choices the command line made for the user.
    {"Please choose com port!", M::Exact, O::BadUsage, true},
    {"Please choose baud rate!", M::Exact, O::BadUsage, true},
    {"Upgrade formats of file is not!", M::Exact, O::BadUsage, true},
    // Package and its files.
    {"Upgrade File Open Fail.", M::Exact, O::BadPackage, true},
    {"Data file path is wrong.", M::Exact, O::BadPackage, true},
    {"Upgrade Body File Open Fail!", M::Exact, O::BadPackage, true},
    {"Can not find the boot folder", M::Prefix, O::BadPackage, true},
    {"Open Upfrade File Error!!", M::Exact, O::BadPackage, true},
    {"Upgrade file header error!", M::Exact, O::BadPackage, true},
    {"Bad Making File!", M::Exact, O::BadPackage, true},
    {"Upgrade file is damaged.", M::Exact, O::BadPackage, true},
    {"Cannot load the package ", M::Prefix, O::BadPackage, true},
    {"No upgrade file.", M::Exact, O::BadPackage, true},
};

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

bool Matches(const CMessageRule& rule, const std::string& text)
{
    const std::string pattern = rule.text;
    switch (rule.match) {
    case M::Exact:
        return text == pattern;
    case M::Prefix:
        return text.size() > pattern.size() && text.compare(0, pattern.size(), pattern) == 0;
    case M::Suffix:
        return text.size() > pattern.size() &&
               text.compare(text.size() - pattern.size(), pattern.size(), pattern) == 0;
    }
    return false;
}

} // namespace

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

const std::vector<CMessageRule>& MessageRules()
{
    return kRules;
}

const CMessageRule* FindMessageRule(const std::string& text)
{
    const auto it = std::find_if(kRules.begin(), kRules.end(),
                                 [&](const CMessageRule& rule) { return Matches(rule, text); });
    return it == kRules.end() ? nullptr : &*it;
}
