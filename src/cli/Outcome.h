#pragma once
// How velunda-cli reads the end of a run from what the window showed: every
// message box text the window can raise mapped, in one table, to an outcome
// and to whether the run can go on after it.
#include <string>
#include <vector>

enum class ECliOutcome {
    None,          // nothing decided yet
    Success,       // the upgrade or the check went through
    Failed,        // the upgrade ran and failed (an item failed, the target stopped answering)
    Rejected,      // the target or the tool refused a step (a checker message, a mismatch)
    BadUsage,      // the command line asked for something the window cannot do
    BadPackage,    // the package cannot be loaded or lacks a file
    ConnectFailed, // no link to the target, or the target never answered
};

// Process exit status of an outcome: 0, 1, 2 or 3.
int ExitCodeOf(ECliOutcome outcome);
// "success", "failed", "rejected", "bad-usage", "bad-package", "connect-failed", "none".
const char* OutcomeName(ECliOutcome outcome);
// Severity order for combining: a later failure never hides an earlier, worse one.
ECliOutcome WorseOf(ECliOutcome a, ECliOutcome b);

struct CMessageRule {
    enum class EMatch { Exact, Suffix, Prefix };
    const char* text;
    EMatch match;
    ECliOutcome outcome;
    bool endsRun; // nothing more will happen in this run after the message
    // The outcome instead while connecting, before the target was sent any
    // of the upgrade; None: the same.
    ECliOutcome whileConnecting = ECliOutcome::None;
};

// The whole table, for --help and the tests.
const std::vector<CMessageRule>& MessageRules();

// The rule a message box text falls under, or nullptr for a text the table
// does not know (shown, but it decides nothing).
const CMessageRule* FindMessageRule(const std::string& text);
