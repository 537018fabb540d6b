#pragma once
// One velunda-cli run: the main window behind the console host, driven as a
// user would drive it (File Load, Connect, Sys Check, the item boxes,
// Upgrade Start), with what the window shows printed as it happens.
#include "cli/CliOptions.h"
#include "cli/CliReport.h"
#include "cli/ConsoleHost.h"
#include "cli/ExitStatus.h"
#include "protocol/Items.h"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

// The warning a trace line of the signature check carries for the user (a
// trusted key skipped, a policy line not understood), or empty.
std::string SignatureWarningOf(const std::string& traceLine);

class CUpgradeDlg;

class CCliSession {
public:
    CCliSession(const CCliOptions& options, CCliReport& report);
    ~CCliSession();
    CCliSession(const CCliSession&) = delete;
    CCliSession& operator=(const CCliSession&) = delete;

    // The whole run; returns the exit status.
    int Run();
    // File Load alone, then the window is closed again (what it unpacked is
    // removed); the exit status of a run that stopped there.
    int CheckPackage();
    // The private folder the run left holding the package's kept files, when
    // the folder beside the package could not be used; empty otherwise.
    const std::string& KeptFolder() const { return m_strKeptFolder; }

private:
    using Clock = std::chrono::steady_clock;
    enum class EPhase { Load, Connect, SysCheck, Run };

    // The package's File Load; -1 when it loaded, else the exit status.
    int Load();
    // exitCode -1: the outcome's own status.
    int Finish(ECliOutcome outcome, const std::string& reason, int exitCode = -1);
    // The package event of the JSON stream: what File Load found.
    void ReportPackage();
    int Stop(ECliOutcome outcome, const std::string& reason);
    int RunMachine(int model);
    // The steps of RunMachine; each returns -1 to go on, else the exit status.
    // The port, the bridges and the items asked for, before anything is opened.
    int CheckMachineRequest(int model);
    // Connect and the board check; serialFramesBefore counts the serial frames
    // handled before it.
    int ConnectMachine(int& serialFramesBefore);
    // Sys Check, the serial number and versions, and the target's report.
    int SystemCheck(int serialFramesBefore);
    // Whether this machine may be upgraded: Upgrade Start and --allow-serial.
    int AcceptMachine();
    // Ticks the items to upgrade into wanted (item boxes).
    int ChooseItems(int model, std::vector<int>& wanted);
    // Upgrade Start and the wait for its end; every wanted item must complete.
    int UpgradeItems(int model, const std::vector<int>& wanted);
    int RunBoard();
    // Drops from wanted the items whose target version equals the package's.
    void SkipCurrentItems(int model, std::vector<int>& wanted);
    bool SelectPortAndBaud(const std::string& port, std::string& error);
    // Runs the window's loop until pred, an ending message, an interrupt or the
    // timeout; true when pred held.
    bool Wait(const std::function<bool()>& pred, std::chrono::milliseconds timeout);
    // Runs until an ending message or until nothing has happened for idle.
    void WaitForEnd(const std::function<bool()>& ended, std::chrono::milliseconds idle,
                    const std::string& stallText);
    // What a message the window shows decides, by its kind.
    void OnResult(const CShownMessage& message);
    void OnProgress(int barId);
    void OnCell(int row, int column, const std::string& text);
    std::vector<std::vector<std::string>> ListRows() const;
    void PrintList(const std::string& when);
    std::string CurrentItemName() const;
    bool Interrupted() const;

    const CCliOptions& m_opt;
    CCliReport& m_report;
    CConsoleHost m_host;
    std::unique_ptr<CUpgradeDlg> m_dlg;
    EPhase m_phase = EPhase::Load;
    ECliOutcome m_outcome = ECliOutcome::None;
    std::string m_strReason;
    std::string m_strKeptFolder;
    std::string m_strUsbPort; // the bridge's port a USB run goes through; empty for libftdi
    bool m_bEnded = false;
    bool m_bInterrupted = false;
    std::map<std::string, std::string> m_statusOfPart; // Target Status as the system check wrote it
    int m_nShownItem = -1;
    int m_nRunModel = 0; // model of the loaded package
    Clock::time_point m_lastActivity = Clock::now();
};

// velunda-cli info PACKAGE.
int RunInfo(const CCliOptions& options, CCliReport& report);
// velunda-cli history [--serial S] [--since DATE].
int RunHistory(const CCliOptions& options, CCliReport& report);

// velunda-cli devices: the FTDI bridges and serial ports, as text or as the
// event stream (start, devices, outcome).
int RunDevices(const CCliOptions& options, CCliReport& report);
