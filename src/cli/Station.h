#pragma once
// velunda-cli --station: one package to several machines at once. Each
// machine gets a worker process (velunda-cli itself with one target and
// --json), so the link globals stay per process and a crash or hang of one
// machine never stops another; this parent reads the workers' event streams,
// shows one row per machine and ends with one table.
#include <string>
#include <vector>

struct CStationTarget {
    std::string option; // the worker's option: "--usb-tty", "--port" or "--usb-device"
    std::string value;
};

struct CStationOptions {
    std::vector<CStationTarget> targets;
    bool allDevices = false;
    bool json = false;                   // --json: the merged event stream on stdout
    std::string logFile;                 // --log FILE: FILE.1, FILE.2 ... one per machine
    std::string package;                 // as the workers' options name it
    int stallTimeoutMs = 60000;          // the workers' stall watch, for the hang watch
    std::vector<std::string> workerArgs; // every other option and the package, passed on as given
};

// argv asks for station mode (--station, or "station" as the first word).
bool IsStationCommand(int argc, char** argv);
// False with a one-line reason for a command line that cannot run.
bool ParseStationOptions(int argc, char** argv, CStationOptions& options, std::string& error);
// The whole station run; returns the exit status (130 after an interrupt).
int RunStation(CStationOptions options);

std::string StationHelpText();
