// velunda: the firmware upgrade window.
#include "app/TraceLog.h"
#include "app/UpgradeApp.h"
#include "app/qt/QtHost.h"
#include "app/qt/QuitSignals.h"
#include "history/StateDir.h"
#include "version/Version.h"
#include "window/AppOptions.h"

#include <QApplication>
#include <cstdio>
#include <cstring>
#include <filesystem>

int main(int argc, char** argv)
{
    // Before any thread starts: a logout's SIGTERM or SIGHUP then reaches the
    // window's close instead of ending the process mid-write.
    CQuitSignals::Block();
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(WindowHelpText().c_str(), stdout);
            return 0;
        } else if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("%s\n", VersionLine("velunda").c_str());
            return 0;
        }
    CAppOptions options;
    std::vector<std::string> rest;
    std::string error;
    if (!ParseAppOptions(argc, argv, options, rest, error)) {
        std::fprintf(stderr, "velunda: %s\n", error.c_str());
        return 2;
    }
    QApplication app(argc, argv);
    std::string package;
    for (const auto& arg : rest) {
        if (arg.rfind("--", 0) == 0) {
            std::fprintf(stderr, "velunda: unknown option %s (see --help)\n", arg.c_str());
            return 2;
        }
        if (!package.empty()) {
            std::fprintf(stderr, "velunda: one package at a time (%s and %s given)\n", package.c_str(),
                         arg.c_str());
            return 2;
        }
        std::error_code ec;
        package = std::filesystem::absolute(arg, ec).lexically_normal().string();
    }
    CTraceLog log;
    if (!options.logFile.empty() && !log.OpenFile(options.logFile)) {
        std::fprintf(stderr, "velunda: cannot write the log file %s\n", options.logFile.c_str());
        return 2;
    }
    // A session log support can ask for, without the user having to know --log.
    const std::string stateDir = VelundaStateDir();
    const std::string sessionLog = NewSessionLogPath(stateDir.empty() ? std::string() : stateDir + "/logs");
    if (sessionLog.empty() || !log.OpenFile(sessionLog))
        std::fprintf(stderr, "velunda: no session log (%s cannot be written)\n",
                     stateDir.empty() ? "the state folder" : stateDir.c_str());
    CQtHost host(log);
    CQuitSignals quit;
    QObject::connect(&quit, &CQuitSignals::quitRequested, &host, [&host, &log](int signo) {
        log.Write("Signal " + std::to_string(signo) + ": closing\r\n");
        host.OnQuitSignal();
    });
    CUpgradeApp upgradeApp;
    upgradeApp.InitInstance(host, options, package);
    return 0;
}
