#include "cli/Console.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/ioctl.h>
#include <unistd.h>

void PrepareConsole()
{
    // An interrupt stays pending and is noticed by the run's loop, which then
    // closes the link properly; a resize waits until the bars are next drawn.
    // Threads started later inherit the mask.
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGHUP);
    sigaddset(&mask, SIGWINCH);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

bool InterruptPending()
{
    // The signals are blocked by PrepareConsole and stay pending, so no handler is needed.
    sigset_t pending;
    sigemptyset(&pending);
    if (sigpending(&pending) != 0)
        return false;
    return sigismember(&pending, SIGINT) == 1 || sigismember(&pending, SIGTERM) == 1 ||
           sigismember(&pending, SIGHUP) == 1;
}

bool IsCursorConsole(std::FILE* stream)
{
    const char* term = std::getenv("TERM");
    return ::isatty(::fileno(stream)) == 1 && term != nullptr && term[0] != '\0' &&
           std::strcmp(term, "dumb") != 0;
}

int ConsoleColumns(std::FILE* stream)
{
    winsize ws{};
    return ::ioctl(::fileno(stream), TIOCGWINSZ, &ws) == 0 ? ws.ws_col : 0;
}

bool TakeConsoleResize()
{
    // SIGWINCH is blocked, so it waits here until it is taken.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGWINCH);
    const timespec none{0, 0};
    return sigtimedwait(&set, nullptr, &none) == SIGWINCH;
}
