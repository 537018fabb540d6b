#pragma once
// Settings of the virtual target: which side it plays, what it reports and
// which faults it injects. Filled from the command line by ParseSimArgs or
// directly by a test that embeds the target.
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

using SimClock = std::chrono::steady_clock;
using SimDuration = std::chrono::microseconds;

enum class ESimMode { Machine, Board };

// A chosen request, answer or message: its kind name and which occurrence
// (1-based, counted over the whole session); occurrence 0 stands for every one.
struct CSimPoint {
    std::string kind;
    int occurrence = 0;
    bool Matches(const std::string& k, int n) const
    {
        return kind == k && (occurrence == 0 || occurrence == n);
    }
};

struct CSimDelayRule {
    CSimPoint point;
    SimDuration delay{0};
};

// Bytes sent before a frame or acknowledgement; an empty point kind means
// before every one.
struct CSimStrayRule {
    CSimPoint point;
    std::vector<std::uint8_t> bytes;
};

// When the Serial Number & Software Version frame goes out.
enum class ESerialWhen { AfterSysCheck, BeforeSysCheck, AfterBoardCheck, Never };

struct CSimConfig {
    ESimMode mode = ESimMode::Machine;
    std::string linkPath;  // symlink to the slave, or empty
    std::string recordDir; // recordings, or empty for none
    bool verbose = false;  // one stderr line per event

    // Machine side.
    int model = 1;
    std::string sysRecord;                // 21 characters, seven groups of three
    std::vector<std::uint8_t> serialText; // payload of the serial/version frame
    std::uint8_t serialSubcommand = 0x01; // 0x01 or 0x02
    ESerialWhen serialWhen = ESerialWhen::AfterSysCheck;
    int eraseSteps = 10;   // 0..255, announced by Erase Start
    int programSteps = 10; // 0..65535
    int verifySteps = 10;  // 0..65535, CDM only
    SimDuration stepDelay = std::chrono::milliseconds(2);
    bool silent = false;
    int unplugAfterFrames = 0; // 0: never
    std::vector<CSimPoint> silentAt;
    std::vector<CSimPoint> nakAt;
    std::vector<CSimPoint> badSizeAt;
    std::vector<CSimPoint> corruptAt;
    std::vector<CSimPoint> unplugAt;
    std::vector<int> eraseFailItems;
    std::vector<int> programFailItems;
    std::vector<CSimDelayRule> delays;
    std::vector<CSimStrayRule> strays;
    // Answers sent twice, in two pieces 50 ms apart, late (the notices after
    // them are not held back) or replaced by other bytes.
    std::vector<CSimPoint> dupAt;
    std::vector<CSimPoint> splitAt;
    std::vector<CSimDelayRule> lates;
    std::vector<CSimStrayRule> replaces;
    // Machine: answered with the acknowledgement of another request.
    std::vector<CSimPoint> wrongCmdAt;

    // Board side.
    std::uint8_t bootAnswer = 0x06;
    std::vector<CSimPoint> refuseAt;
    SimDuration bootGap = std::chrono::milliseconds(1000);
    SimDuration endQuiet = std::chrono::milliseconds(100);
    SimDuration finishWindow = std::chrono::milliseconds(400);
    SimDuration shortBlockTimeout = std::chrono::milliseconds(1000);
};

// The record a machine reports by default for a model: every part of the
// model present, the others absent, then the board version.
std::string DefaultSysRecord(int model, const std::string& boardVersion);

// Separator, serial number, separator, five 6-character versions.
std::vector<std::uint8_t> BuildSerialText(const std::string& separator, const std::string& serial,
                                          const std::vector<std::string>& versions);

// Kind names the options accept.
const std::vector<std::string>& MachineRequestKinds();
const std::vector<std::string>& MachineNoticeKinds();
const std::vector<std::string>& BoardKinds();

struct CSimArgsResult {
    bool ok = false;
    bool help = false;
    std::string error; // when !ok: one line for the user
    CSimConfig config;
};

// args excludes the program name.
CSimArgsResult ParseSimArgs(const std::vector<std::string>& args);
std::string SimHelpText();

// Helpers shared with the tests.
bool ParseSimDuration(const std::string& text, SimDuration& out);
bool ParseSimHex(const std::string& text, std::vector<std::uint8_t>& out);
