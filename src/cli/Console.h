#pragma once
// The console velunda-cli runs in: how an interrupt reaches the run, and what
// the progress line may use. One file per platform: POSIX signals and the
// terminal, or the Windows console.
#include <cstdio>

// Before any thread starts: interrupts (Ctrl-C, SIGTERM, SIGHUP, the console
// window closing) are held for the run's loop to notice, so it can close the
// links and clean up; writing to a closed pipe is no signal; the output is UTF-8.
void PrepareConsole();

// True once an interrupt is pending; it stays pending.
bool InterruptPending();

// True when stream is a terminal or console that can redraw a line in place.
bool IsCursorConsole(std::FILE* stream);

// The width of the terminal or console of stream in columns; 0 when unknown.
int ConsoleColumns(std::FILE* stream);

// True when the terminal was resized since the last call.
bool TakeConsoleResize();
