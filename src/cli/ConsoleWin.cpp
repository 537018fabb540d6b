#include "cli/Console.h"

#include <atomic>
#include <cstdlib>
#include <io.h>

#include <windows.h>

namespace {

// Set by the console's control handler, which Windows runs on a thread of its
// own; the run's loop polls it as it polls pending signals on POSIX.
std::atomic<bool> s_bInterrupted{false};

BOOL WINAPI OnConsoleControl(DWORD event)
{
    s_bInterrupted.store(true);
    // Windows ends the process once this returns from a close, log-off or
    // shut-down event; waiting here gives the run's loop the time to close
    // the links and clean up (the system allows about 5 s), and main's
    // return ends the process first.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        ::Sleep(10000);
    return TRUE;
}

HANDLE ConsoleOf(std::FILE* stream)
{
    const HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode) ? handle : nullptr;
}

} // namespace

void PrepareConsole()
{
    ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    ::SetConsoleOutputCP(CP_UTF8);
    // The progress line moves the cursor with escape sequences.
    for (std::FILE* stream : {stdout, stderr})
        if (const HANDLE console = ConsoleOf(stream)) {
            DWORD mode = 0;
            ::GetConsoleMode(console, &mode);
            ::SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
        }
}

bool InterruptPending()
{
    return s_bInterrupted.load();
}

bool IsCursorConsole(std::FILE* stream)
{
    return ConsoleOf(stream) != nullptr;
}

int ConsoleColumns(std::FILE* stream)
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    const HANDLE console = ConsoleOf(stream);
    if (console == nullptr || !::GetConsoleScreenBufferInfo(console, &info))
        return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

bool TakeConsoleResize()
{
    // The width is asked for at each redraw: the console has no resize signal.
    return true;
}
