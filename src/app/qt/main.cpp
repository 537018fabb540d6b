// velunda: the firmware upgrade window.
#include "app/AppOptions.h"
#include "app/TraceLog.h"
#include "app/UpgradeApp.h"
#include "app/qt/QtHost.h"
#include "app/qt/QuitSignals.h"

#include <QApplication>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace {
void PrintHelp()
{
    std::puts(
        "Usage: velunda [options] [PACKAGE]\n"
        "Firmware upgrade tool for Quorin V1 / Quorin V2 machines and their upgrade board.\n"
        "PACKAGE (a .QVP or .DAT file) is loaded at start as File Load would.\n\n"
        "Options:\n"
        "  --log FILE             also write the time-stamped debug trace to FILE\n"
        "  --usb-tty PATH         reach the machine's FTDI bridge through a tty (e.g. /dev/ttyUSB0,\n"
        "                         or the pseudo-terminal of quorin-sim) instead of libftdi\n"
        "  --port PATH            offer PATH in the port list of upgrade-board packages (repeatable)\n"
        "  --stall-timeout SECS   end a run after SECS without any frame from the machine (default 60)\n"
        "  --help                 show this help");
}
} // namespace

int main(int argc, char** argv)
{
    // Before any thread starts: a logout's SIGTERM or SIGHUP then reaches the
    // window's close instead of ending the process mid-write.
    CQuitSignals::Block();
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            PrintHelp();
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
