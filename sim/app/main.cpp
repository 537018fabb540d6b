// quorin-sim: a virtual Quorin machine or upgrade board on a pseudo-terminal.
#include "QuorinSim.h"
#include "version/Version.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <sys/signalfd.h>
#include <unistd.h>
#include <vector>

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && args.front() == "--version") {
        std::printf("%s\n", VersionLine("quorin-sim").c_str());
        return 0;
    }
    const CSimArgsResult parsed = ParseSimArgs(args);
    if (!parsed.ok) {
        std::fprintf(stderr, "quorin-sim: %s\nTry 'quorin-sim --help'.\n", parsed.error.c_str());
        return 2;
    }
    if (parsed.help) {
        std::fputs(SimHelpText().c_str(), stdout);
        return 0;
    }

    // Signals arrive through a descriptor in the loop's poll set, so that an
    // interrupt ends the loop cleanly and removes the link.
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGHUP);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    const int sigFd = signalfd(-1, &mask, SFD_CLOEXEC);
    if (sigFd < 0) {
        std::perror("quorin-sim: signalfd");
        return 1;
    }
    std::signal(SIGPIPE, SIG_IGN);

    CQuorinSim sim(parsed.config);
    std::string error;
    if (!sim.Open(error)) {
        std::fprintf(stderr, "quorin-sim: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s\n", sim.SlavePath().c_str());
    std::fflush(stdout);
    const int status = sim.Run(sigFd);
    sim.Stop();
    ::close(sigFd);
    if (sim.Unplugged())
        std::fprintf(stderr, "quorin-sim: unplugged\n");
    return status;
}
