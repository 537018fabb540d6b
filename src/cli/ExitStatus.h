#pragma once
// How velunda-cli ends: the outcome of a run, its exit status and its name.
// The window's messages decide it by their kind (window/Messages.h).
#include "window/Messages.h"

enum class ECliOutcome {
    None,          // nothing decided yet
    Success,       // the upgrade or the check went through
    Failed,        // the upgrade ran and failed (an item failed, the target stopped answering)
    Rejected,      // the target or the tool refused a step (a checker message, a mismatch)
    BadUsage,      // the command line asked for something the window (or this build) cannot do
    BadPackage,    // the package cannot be loaded or lacks a file
    ConnectFailed, // no link to the target, or the target never answered
};

// The outcome a message of that kind decides.
ECliOutcome OutcomeOf(EResultKind kind);
// Process exit status of an outcome: 0, 1, 2 or 3.
int ExitCodeOf(ECliOutcome outcome);
// The exit status of a run that Ctrl-C (or a closed console or terminal)
// stopped, whatever it had reached, as a shell reports SIGINT.
inline constexpr int EXIT_INTERRUPTED = 130;
// "success", "failed", "rejected", "bad-usage", "bad-package", "connect-failed", "none".
const char* OutcomeName(ECliOutcome outcome);
// Severity order for combining: a later failure never hides an earlier, worse one.
ECliOutcome WorseOf(ECliOutcome a, ECliOutcome b);
