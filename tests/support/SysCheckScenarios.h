#pragma once
// System-check scenarios that both front ends must end alike: the window
// behind the headless host and velunda-cli, each against the virtual target.
// One table, so that the two suites cannot drift apart.
#include "SimConfig.h"
#include "TestBytes.h"

#include <ostream>
#include <string>
#include <vector>

namespace syscheck {

struct SysCheckScenario {
    const char* name;
    // Parts of the Quorin V1 package, of MAIN, CIS-M, CIS-S, CF, IR.
    std::vector<std::string> parts;
    std::string record;
    ESerialWhen serialWhen;
    // Upgrade Start after the check; the upgrade then completes.
    bool startAvailable;
    // The reason both front ends give when Upgrade Start stays disabled.
    const char* reason;
    // The serial number both report; empty: no serial number or versions received.
    const char* serial;
    friend void PrintTo(const SysCheckScenario& s, std::ostream* os) { *os << s.name; }
};

inline constexpr const char* kSerial = "QV2024001";

inline const std::vector<SysCheckScenario>& SysCheckScenarios()
{
    static const std::vector<std::string> cisBoth = {"MAIN", "CIS-M", "CIS-S"};
    static const std::string allPresent = DefaultSysRecord(1, "123");
    static const std::vector<SysCheckScenario> cases = {
        {"SerialRightAfterTheAnswer", cisBoth, allPresent, ESerialWhen::AfterSysCheck, true, "", kSerial},
        {"SerialBeforeTheAnswer", cisBoth, allPresent, ESerialWhen::BeforeSysCheck, true, "", kSerial},
        // Sent once, after the board check; Sys Check then clears the serial field.
        {"SerialAfterTheBoardCheck", cisBoth, allPresent, ESerialWhen::AfterBoardCheck, true, "", kSerial},
        {"SerialNever", {"MAIN"}, allPresent, ESerialWhen::Never, true, "", ""},
        // Neither 'Y' nor 'N': nothing is marked, and a package without CIS parts suits any machine.
        {"AllNulRecord",
         {"MAIN"},
         WithNuls("....................."),
         ESerialWhen::AfterSysCheck,
         true,
         "",
         kSerial},
        {"AllNulRecordAndCisParts", cisBoth, WithNuls("....................."), ESerialWhen::AfterSysCheck,
         false, "Upgrade Start is not available: the machine reports none of the package's parts.", kSerial},
        {"CisSWithoutCisM",
         {"MAIN", "CIS-S"},
         allPresent,
         ESerialWhen::AfterSysCheck,
         false,
         "Upgrade Start is not available: a package with CIS S but without CIS M suits no machine.",
         kSerial},
        {"MachineWithoutCisS", cisBoth, "YYYYYYYYYNNNYYYNNN123", ESerialWhen::BeforeSysCheck, false,
         "Upgrade Start is not available: this package's CIS parts do not suit this machine.", kSerial},
    };
    return cases;
}

} // namespace syscheck
